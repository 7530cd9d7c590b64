#include "capture/outage.h"

#include "capture/events.h"
#include "capture/output_set.h"
#include "glue/conversions.h"

namespace nb = nanobind;

namespace velmar::capture {
namespace {

// Frames from before the gap are no reference for those after it, and a
// source that came back counts its times afresh; clock times need nothing.
void start_afresh(Session &s) {
    s.keep.take_reference = s.behaviour.first_frame_is_motion_reference;
    s.input.first_pts = -1.0;
    s.input.base_frames = s.input.read_frames;
    s.input.tbase = s.ns[Global::datetime].attr("now")();
}

}  // namespace

bool rode_out_outage(Session &s) {
    finish_events(s);
    close_output_set(s);
    if (!to_bool(s.hooks.reconnect().ptr()))
        return false;
    start_afresh(s);
    return true;
}

}  // namespace velmar::capture
