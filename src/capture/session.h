// The state of one capture session, gathered by kind. Every Python object it
// holds is owned here and released with the record, so whatever way the
// session ends, nothing outlives the call but the output files.
#pragma once

#include <nanobind/nanobind.h>

#include <chrono>
#include <cstdint>

#include "capture/behaviour.h"
#include "capture/event_state.h"
#include "capture/hooks.h"
#include "capture/options.h"
#include "capture/result.h"
#include "glue/namespace.h"

namespace velmar::capture {

// The input and its clock.
struct InputState {
    nanobind::object cap = nanobind::none();  // the input's VideoCapture
    std::int32_t iinput = -1;                 // camera index; negative for a file
    std::int32_t fps = 0;                     // whole frames per second
    double rate = 0.0;                        // the measured rate
    double first_pts = -1.0;  // presentation time of the first frame, in seconds
    nanobind::object tstart = nanobind::none();
    // What presentation times and frame numbers count from: the start, and
    // after an outage the first frame that came back.
    nanobind::object tbase = nanobind::none();
    std::int64_t base_frames = 0;
    std::int64_t read_frames = 0;
};

// The open output set: its names, the video writer and the log.
struct OutputSetState {
    nanobind::object outfname = nanobind::none();
    nanobind::object tsfname = nanobind::none();
    nanobind::object outfile = nanobind::none();
    nanobind::object tsfile = nanobind::none();
    nanobind::object tswriter = nanobind::none();
    std::int64_t writ_frames = 0;  // 0: no set open, or the open one is full
    std::int32_t file_count = 0;
};

// What decides whether a frame is kept: the blurred pair the motion check
// compares, the interval clock, and the last decision.
struct KeepState {
    nanobind::object prev_blurred = nanobind::none();
    nanobind::object cur_blurred = nanobind::none();
    nanobind::object tprev = nanobind::none();  // time of the last kept frame
    double area = 0.0;  // the largest changed area the motion check found
    bool save = true;
    bool take_reference = false;  // the next frame is the motion reference, not kept
    double next_point = 0.0;  // seconds: the time-lapse grid's next point
};

// The frame being taken.
struct CurrentFrame {
    std::int64_t inframe = 0;  // its input frame number
    bool grayscale = false;
    nanobind::object ts = nanobind::none();
    nanobind::object roi = nanobind::none();
    nanobind::object tstring = nanobind::none();
};

// Fixed for the session, built once before the first frame: the index that
// crops the region, the overlay's colour triples, and a keyword value.
struct SessionConstants {
    nanobind::object region = nanobind::none();
    nanobind::object box_colour = nanobind::none();
    nanobind::object text_colour = nanobind::none();
    nanobind::object microseconds = nanobind::str("microseconds");
};

struct Session {
    Session(const Namespace &ns_, const Options &options_, const Hooks &hooks_,
            const Behaviour &behaviour_)
        : ns(ns_), opt(options_), hooks(hooks_), behaviour(behaviour_) {
        input.fps = options_.fps;
        keep.take_reference = behaviour_.first_frame_is_motion_reference;
    }

    const Namespace &ns;
    Options opt;  // a copy: the region of a whole-frame session is filled in later
    const Hooks &hooks;  // the caller's, held until the session returns
    const Behaviour behaviour;

    InputState input;
    OutputSetState output;
    KeepState keep;
    CurrentFrame frame;
    SessionConstants constants;
    EventState events;
    Result result;
    std::chrono::steady_clock::time_point next_progress{};

    nanobind::object cv2() const { return ns[Global::cv2]; }
    bool motion_events() const { return opt.motion_based && behaviour.motion_comes_in_events; }
    OutputFile &current_file() { return result.files.back(); }
};

}  // namespace velmar::capture
