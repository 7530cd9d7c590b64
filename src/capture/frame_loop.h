// The frame loop: read, stamp, check the region, crop, keep or skip, then
// for a kept frame draw the timestamp, write it, log it and show it.
#pragma once

#include "capture/session.h"

namespace velmar::capture {

// Why the loop ended: the input's end, the duration, a key, a signal or a
// frame smaller than the region of interest.
Stop run_frame_loop(Session &s);

}  // namespace velmar::capture
