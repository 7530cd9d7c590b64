// Session set-up: opens the input (camera index or video file), applies the
// camera requests, fixes the start time and, for a file, its frame rate.
#pragma once

#include "capture/session.h"

namespace velmar::capture {

// False when the session ends before its frame loop (the input file does not
// open, or the camera's frames are smaller than the region): result 0.
bool set_up_input(Session &s);

}  // namespace velmar::capture
