// Writing one frame: the timestamp drawn on the region copy, the copy
// appended to the video, its row to the log, and the preview refreshed.
#pragma once

#include "capture/session.h"

namespace velmar::capture {

// Writes `s.roi`, stamped `s.ts`, as input frame `s.inframe`, opening the
// next output set first when none is open; true when q or Esc was pressed.
bool write_frame(Session &s);

}  // namespace velmar::capture
