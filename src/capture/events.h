// Motion events of the recording API: frames are written from `before`
// seconds ahead of an event's first motion frame to `after` seconds past its
// last one; motion within `after` seconds continues the event; an event
// starts only once its motion spans `min_event` seconds. Each event is
// reported when it ends, and on every way out.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>

#include "capture/session.h"

namespace velmar::capture {

// An event as the `on_event` hook is told of it once it has ended: its first
// and last frames by input number, their log times, the seconds between
// them, the frames written, the video that holds them and the picture of
// its largest motion, as written.
struct EndedEvent {
    std::int64_t first_frame = 0;
    std::int64_t last_frame = 0;
    nanobind::object start;  // str, as in the frame log
    nanobind::object end;
    double seconds = 0.0;
    std::int64_t frames = 0;
    nanobind::object video;
    nanobind::object thumbnail;  // numpy.ndarray
};

// Sizes the ring from the rate; called once the rate is known.
void prepare_events(Session &s);

// Takes the current frame (`s.roi`, `s.ts`, `s.inframe`) with what the
// motion check found; true when q or Esc was pressed while writing.
bool take_frame(Session &s, double t, bool motion, double area);

// Ends the open event, if any, and reports it; a pending one is dropped.
void finish_events(Session &s);

}  // namespace velmar::capture
