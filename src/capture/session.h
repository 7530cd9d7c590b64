// The state of one capture session, gathered in one record. Every Python
// object it holds is owned here and released with the record, so whatever
// way the session ends, nothing outlives the call but the output files.
#pragma once

#include <nanobind/nanobind.h>

#include <chrono>
#include <cstdint>

#include "capture/event_state.h"
#include "capture/options.h"
#include "capture/result.h"
#include "glue/namespace.h"

namespace velmar::capture {

struct Session {
    Session(const Namespace &ns_, const Options &options_)
        : ns(ns_), opt(options_), fps(options_.fps) {}

    const Namespace &ns;
    Options opt;  // a copy: the region of a whole-frame session is filled in later
    Result result;

    nanobind::object cap = nanobind::none();  // the input's VideoCapture
    std::int32_t iinput = -1;                 // camera index; negative for a file
    std::int32_t fps;
    double rate = 0.0;       // the recording API's exact rate
    double first_pts = -1.0;  // presentation time of the first frame, in seconds
    nanobind::object tstart = nanobind::none();
    nanobind::object tprev = nanobind::none();

    std::int64_t read_frames = 0;
    std::int64_t writ_frames = 0;  // 0: no output set open, or the open one is full
    std::int32_t file_count = 0;
    bool save = true;

    // The open output set.
    nanobind::object outfname = nanobind::none();
    nanobind::object tsfname = nanobind::none();
    nanobind::object outfile = nanobind::none();
    nanobind::object tsfile = nanobind::none();
    nanobind::object tswriter = nanobind::none();
    nanobind::object prev_blurred = nanobind::none();
    nanobind::object cur_blurred = nanobind::none();

    // Fixed for the session, built once before the first frame: the index
    // that crops the region, and the overlay's colour triples.
    nanobind::object region = nanobind::none();
    nanobind::object box_colour = nanobind::none();
    nanobind::object text_colour = nanobind::none();
    nanobind::object microseconds = nanobind::str("microseconds");

    // The current frame.
    std::int64_t inframe = 0;  // its input frame number
    bool grayscale = false;
    double area = 0.0;  // the largest changed area the motion check found in it
    nanobind::object ts = nanobind::none();
    nanobind::object roi = nanobind::none();
    nanobind::object tstring = nanobind::none();

    std::chrono::steady_clock::time_point next_progress{};
    EventState events;

    nanobind::object cv2() const { return ns[Global::cv2]; }
    OutputFile &current_file() { return result.files.back(); }
};

}  // namespace velmar::capture
