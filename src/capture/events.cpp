#include "capture/events.h"

#include <cmath>
#include <utility>

#include "capture/frame_writer.h"

namespace nb = nanobind;

namespace velmar::capture {

void FrameRing::push(HeldFrame frame) {
    if (capacity_ == 0)
        return;
    if (frames_.size() == capacity_)
        frames_.pop_front();
    frames_.push_back(std::move(frame));
}

namespace {

// Frames of up to before + min_event + after seconds, and the current one.
std::size_t ring_capacity(const Options &o, double rate) {
    double seconds = o.before + o.min_event + o.after;
    return static_cast<std::size_t>(std::ceil(seconds * rate)) + 2;
}

void drop_before(EventState &e, double t) {
    while (!e.ring.empty() && e.ring.front().t < t)
        e.ring.pop();
}

bool write_held(Session &s, const HeldFrame &frame) {
    EventState &e = s.events;
    s.frame.roi = frame.roi;
    s.frame.ts = frame.ts;
    s.frame.inframe = frame.inframe;
    bool key = write_frame(s);
    if (e.frames == 0) {
        e.first_frame = frame.inframe;
        e.start = frame.t;
        e.start_text = s.frame.tstring;
        e.video = s.output.outfname;
    }
    e.last_frame = frame.inframe;
    e.end = frame.t;
    e.end_text = s.frame.tstring;
    ++e.frames;
    if (frame.area > e.best_area) {
        e.best_area = frame.area;
        e.best_roi = s.frame.roi;  // as written: in colour, with its timestamp
    }
    return key;
}

// A clip per event starts a new output set with each event.
void start_event(Session &s) {
    EventState &e = s.events;
    e.phase = EventState::Phase::Open;
    e.frames = 0;
    e.best_area = -1.0;
    if (s.opt.file_per_event)
        s.output.writ_frames = 0;
}

// The held frames from `before` seconds ahead of the first motion on.
bool open_event(Session &s) {
    EventState &e = s.events;
    start_event(s);
    drop_before(e, e.first_motion - s.opt.before);
    bool key = false;
    while (!e.ring.empty() && !key) {
        HeldFrame frame = std::move(e.ring.front());
        e.ring.pop();
        key = write_held(s, frame);
    }
    e.ring.clear();
    return key;
}

void end_event(Session &s) {
    EventState &e = s.events;
    e.phase = EventState::Phase::Idle;
    nb::object thumbnail = std::move(e.best_roi);
    e.best_roi = nb::none();
    if (s.hooks.on_event.is_none())
        return;
    EndedEvent ended{e.first_frame, e.last_frame, e.start_text, e.end_text, e.end - e.start,
                     e.frames, e.video, std::move(thumbnail)};
    s.hooks.on_event(nb::cast(std::move(ended), nb::rv_policy::move));
}

}  // namespace

void prepare_events(Session &s) {
    s.events.ring.set_capacity(ring_capacity(s.opt, s.input.rate));
}

bool take_frame(Session &s, double t, bool motion, double area) {
    EventState &e = s.events;
    const Options &o = s.opt;
    HeldFrame frame{s.frame.roi, s.frame.ts, s.frame.inframe, t, area};
    // An open event goes on with motion, and for `after` seconds past its
    // last motion; its frames follow one another, so it has no gap.
    if (e.phase == EventState::Phase::Open) {
        if (motion)
            e.last_motion = t;
        if (motion || t - e.last_motion <= o.after)
            return write_held(s, frame);
        end_event(s);
    }
    e.ring.push(std::move(frame));
    if (e.phase == EventState::Phase::Idle) {
        drop_before(e, t - o.before);
        if (!motion)
            return false;
        e.phase = EventState::Phase::Pending;
        e.first_motion = e.last_motion = t;
    } else if (motion) {
        e.last_motion = t;
    } else if (t - e.last_motion > o.after) {
        // Motion too short to be an event: its frames stay as lead-in.
        e.phase = EventState::Phase::Idle;
        drop_before(e, t - o.before);
        return false;
    }
    if (e.last_motion - e.first_motion < o.min_event)
        return false;
    return open_event(s);
}

void finish_events(Session &s) {
    EventState &e = s.events;
    e.ring.clear();
    if (e.phase == EventState::Phase::Open && e.frames > 0)
        end_event(s);
    e.phase = EventState::Phase::Idle;
}

}  // namespace velmar::capture
