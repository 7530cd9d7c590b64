// The state of one capture session, gathered in one record. Every Python
// object it holds is owned here and released with the record, so whatever
// way the session ends, nothing outlives the call but the output files.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>

#include "capture/request.h"
#include "velmar/ccapture/namespace.h"

namespace velmar::capture {

struct Session {
    Session(const Namespace &ns_, const Request &request_)
        : ns(ns_), request(request_), fps(request_.fps) {}

    const Namespace &ns;
    const Request &request;

    nanobind::object cap = nanobind::none();  // the input's VideoCapture
    std::int32_t iinput = -1;                 // camera index; negative for a file
    std::int32_t fps;
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

    // The current frame.
    nanobind::object ts = nanobind::none();
    nanobind::object roi = nanobind::none();
    nanobind::object tstring = nanobind::none();

    nanobind::object cv2() const { return ns[Global::cv2]; }
};

}  // namespace velmar::capture
