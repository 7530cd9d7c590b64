#include "capture/frame_loop.h"

#include <array>
#include <chrono>
#include <algorithm>
#include <cmath>

#include "capture/console.h"
#include "capture/events.h"
#include "capture/frame_writer.h"
#include "capture/outage.h"
#include "capture/output_set.h"
#include "capture/overlay.h"
#include "capture/stop_list.h"
#include "motion/motion_check.h"
#include "glue/unpack.h"
#include "glue/conversions.h"
#include "glue/errors.h"
#include "glue/keyword_call.h"

namespace nb = nanobind;

namespace velmar::capture {
namespace {

// Seconds since the first frame by its presentation time. Files whose first
// time is not 0 start at 0 all the same.
double pts_offset(Session &s) {
    nb::object msec = s.input.cap.attr("get")(s.cv2().attr("CAP_PROP_POS_MSEC"));
    double seconds = to_double(msec.ptr()) / 1000.0;
    if (s.input.first_pts < 0)
        s.input.first_pts = seconds;
    return seconds - s.input.first_pts;
}

double offset_seconds(Session &s) {
    switch (s.opt.timestamps) {
        case TimeSource::Pts: return pts_offset(s);
        case TimeSource::Rate:
            return static_cast<double>(s.input.read_frames - s.input.base_frames) / s.input.rate;
        case TimeSource::ClockOrWholeFps:
        case TimeSource::Clock: break;
    }
    if (s.input.fps == 0)
        raise(PyExc_ZeroDivisionError, "float division");
    return static_cast<double>(s.input.read_frames) / s.input.fps;
}

bool stamped_by_clock(const Session &s) {
    if (s.opt.timestamps == TimeSource::ClockOrWholeFps)
        return s.input.iinput >= 0 || s.opt.live;
    return s.opt.timestamps == TimeSource::Clock;
}

// Camera frames carry the wall-clock time of their reading; file frames
// (and cameras with a negative index) their position divided by the rate.
nb::object timestamp_of(Session &s) {
    if (stamped_by_clock(s))
        return s.ns[Global::datetime].attr("now")();
    double seconds = offset_seconds(s);
    nb::object offset = call_with_keywords<0, 2>(
        s.ns[Global::timedelta], {}, {s.ns.keyword(Keyword::days), s.ns.keyword(Keyword::seconds)},
        {nb::int_(0), nb::float_(seconds)});
    return s.input.tbase + offset;
}

struct FrameShape {
    std::int64_t width;
    std::int64_t height;
    Py_ssize_t ndim;
};

FrameShape shape_of(nb::handle frame) {
    nb::object shape = frame.attr("shape");
    Py_ssize_t ndim = PyObject_Length(shape.ptr());
    if (ndim < 0)
        throw nb::python_error();
    return {to_int32(nb::object(shape[1]).ptr()), to_int32(nb::object(shape[0]).ptr()), ndim};
}

double seconds_between(nb::handle later, nb::handle earlier) {
    nb::object difference = nb::borrow(later) - nb::borrow(earlier);
    return to_double(difference.attr("total_seconds")().ptr());
}

// `frame[y:y + h, x:x + w]`: rows first, then columns.
nb::object region_index(const Options &r) {
    std::int64_t x = r.roi_x, y = r.roi_y;
    nb::object rows = steal_checked(PySlice_New(nb::int_(y).ptr(),
                                                nb::int_(y + r.roi_h).ptr(), nullptr));
    nb::object columns = steal_checked(PySlice_New(nb::int_(x).ptr(),
                                                   nb::int_(x + r.roi_w).ptr(), nullptr));
    return nb::make_tuple(rows, columns);
}

// A whole-frame session learns its region from the first frame; its blur
// kernel must fit inside it.
void take_whole_frame(Session &s, const FrameShape &shape) {
    Options &r = s.opt;
    r.roi_x = r.roi_y = 0;
    r.roi_w = static_cast<std::int32_t>(shape.width);
    r.roi_h = static_cast<std::int32_t>(shape.height);
    std::int32_t side = r.roi_w < r.roi_h ? r.roi_w : r.roi_h;
    if (r.motion_based && r.kernel_width > side)
        raise(PyExc_ValueError,
              "kernel_width %d is larger than the frames' smaller side (%d pixels)",
              r.kernel_width, side);
}

void prepare_session_constants(Session &s) {
    s.constants.region = region_index(s.opt);
    if (s.opt.timestamp) {
        s.constants.box_colour = colour_of(s.opt.tb);
        s.constants.text_colour = colour_of(s.opt.tc);
    }
}

// An independent copy of the region.
nb::object crop(const Session &s, nb::handle frame) {
    nb::object region = steal_checked(PyObject_GetItem(frame.ptr(), s.constants.region.ptr()));
    return region.attr("copy")();
}

// Events also want the largest changed area, to pick an event's picture.
bool motion_seen(Session &s, const FrameShape &shape) {
    const Options &r = s.opt;
    KeepState &k = s.keep;
    k.area = 0.0;
    double *area = s.motion_events() ? &k.area : nullptr;
    if (shape.ndim == 3)
        return motion::check_motion_rgb(s.ns, s.frame.roi, k.prev_blurred, k.cur_blurred,
                                        r.threshold, r.min_area, r.kernel_width, r.show_diff,
                                        area);
    say(s, "Frame dimension", nb::int_(shape.ndim));
    return motion::check_motion_gray(s.ns, s.frame.roi, k.prev_blurred, k.cur_blurred,
                                     r.threshold, r.min_area, r.kernel_width, r.show_diff, area);
}

// Seconds since the last kept frame; 0 before the first one.
double seconds_since_kept(const Session &s) {
    return s.keep.tprev.is_none() ? 0.0 : seconds_between(s.frame.ts, s.keep.tprev);
}

// A frame is the nearest to the grid's next point once it is less than half
// a frame interval before it; the point after comes an interval on, or the
// first one past this frame when frames come more rarely than points.
bool nearest_to_grid(Session &s, double ttot) {
    double interval = s.opt.interval, half_frame = 0.5 / s.input.rate;
    if (ttot + half_frame < s.keep.next_point)
        return false;
    double past = (std::floor((ttot + half_frame) / interval) + 1.0) * interval;
    s.keep.next_point = std::max(s.keep.next_point + interval, past);
    return true;
}

// A detector of the recording API decides in place of the engine's check;
// it is told when the frame is to be its new reference, which is never motion.
// It is given the whole frame: it judges light around the region too.
bool detector_says(Session &s, nb::handle frame) {
    bool reference = s.keep.take_reference;
    s.keep.take_reference = false;
    std::array<nb::object, 2> answer =
        unpack<2>(s.hooks.detector(frame, nb::bool_(reference)));
    s.keep.area = to_double(answer[1].ptr());
    return to_bool(answer[0].ptr()) && !reference;
}

bool keep_frame(Session &s, nb::handle frame, const FrameShape &shape, double ttot) {
    const Options &r = s.opt;
    if (r.motion_based && !s.hooks.detector.is_none())
        return detector_says(s, frame);
    if (r.motion_based) {
        bool motion = motion_seen(s, shape);
        if (s.keep.take_reference) {
            s.keep.take_reference = false;
            s.keep.prev_blurred = s.keep.cur_blurred.attr("copy")();
            return false;
        }
        return motion;
    }
    if (r.interval > 0)
        return s.behaviour.timelapse_on_grid ? nearest_to_grid(s, ttot)
                                             : seconds_since_kept(s) >= r.interval;
    return s.keep.save;
}

// Ctrl-C reaches the loop only through calls back into the interpreter; the
// loop asks for it itself on every pass. Signal handlers of the recording
// API only note the signal, and the loop stops between two frames.
bool stop_requested(const Session &s) {
    if (PyErr_CheckSignals() < 0)
        throw nb::python_error();
    return signal_noted(s.hooks);
}


// Reports progress at most ten times a second.
void report_progress(Session &s, double position) {
    if (s.hooks.progress.is_none())
        return;
    auto now = std::chrono::steady_clock::now();
    if (now < s.next_progress)
        return;
    s.next_progress = now + std::chrono::milliseconds(100);
    s.hooks.progress(s.input.read_frames, s.result.frames_kept, s.result.frame_count, position);
}

}  // namespace

Stop run_frame_loop(Session &s) {
    const Options &r = s.opt;
    if (!r.whole_frame)
        prepare_session_constants(s);
    if (s.motion_events())
        prepare_events(s);
    s.input.tbase = s.input.tstart;
    for (;;) {
        if (stop_requested(s))
            return signal_stop(s.hooks);
        std::array<nb::object, 2> read = unpack<2>(s.input.cap.attr("read")());
        nb::object frame = read[1];
        if (frame.is_none()) {
            bool signalled = s.behaviour.cut_read_is_signal_end && stop_requested(s);
            if (!signalled && !s.hooks.reconnect.is_none() && rode_out_outage(s))
                continue;
            return s.behaviour.cut_read_is_signal_end && stop_requested(s)
                       ? signal_stop(s.hooks)
                       : Stop::End;
        }
        s.frame.ts = timestamp_of(s);
        FrameShape shape = shape_of(frame);
        if (s.constants.region.is_none()) {
            take_whole_frame(s, shape);
            prepare_session_constants(s);
        }
        if (!region_fits(r, shape.width, shape.height)) {
            say(s, "ROI limits exceed frame size");
            return Stop::Region;
        }
        s.frame.inframe = s.input.read_frames;
        s.frame.grayscale = shape.ndim == 2;
        ++s.input.read_frames;
        // A set opened here brings a fresh blurred pair; otherwise the pair
        // is made with the first frame.
        if (s.behaviour.set_opens_at_first_accepted_frame && s.output.writ_frames == 0)
            open_output_set(s, s.frame.ts, shape.ndim == 2);
        else if (s.keep.prev_blurred.is_none() && s.hooks.detector.is_none())
            fresh_blurred_pair(s);
        double ttot = seconds_between(s.frame.ts, s.input.tstart);
        s.result.position = ttot;
        if (r.duration > 0 && ttot > r.duration)
            return Stop::Duration;
        // The motion check looks at the region copy.
        bool copy_first = r.motion_based || !s.behaviour.timelapse_copies_only_kept_frames;
        if (copy_first)
            s.frame.roi = crop(s, frame);
        s.keep.save = keep_frame(s, frame, shape, ttot);
        if (!copy_first && s.keep.save)
            s.frame.roi = crop(s, frame);
        bool key = s.motion_events() ? take_frame(s, ttot, s.keep.save, s.keep.area)
                                     : s.keep.save && write_frame(s);
        if (key)
            return Stop::Key;
        report_progress(s, ttot);
    }
}

}  // namespace velmar::capture
