// The frame loop: read, stamp, check the region, crop, keep or skip, then
// for a kept frame draw the timestamp, write it, log it and show it.
#pragma once

#include "capture/session.h"

namespace velmar::capture {

enum class LoopEnd {
    Stopped,         // end of input, duration exceeded, or q / Esc
    RegionMismatch,  // a frame smaller than the region of interest
};

LoopEnd run_frame_loop(Session &s);

}  // namespace velmar::capture
