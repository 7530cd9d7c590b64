// The options of one capture session. Both entries fill them by name through
// one table: the exact call from its converted values (its `max_frames`
// becoming `frames_per_file`), the recording API from a dict of plain values
// (its hooks come apart, see hooks.h). Object options are borrowed from the
// caller, which holds them for the whole session.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string_view>
#include <variant>

namespace velmar::capture {

// How a frame's time is worked out.
enum class TimeSource {
    ClockOrWholeFps,  // camera or live source: wall clock; file: start + frame number / whole fps
    Pts,              // start + the frame's presentation time, from the first frame's
    Rate,             // start + frame number / the exact rate
    Clock,            // wall-clock time of the read
};

struct Options {
    // The exact entry's values; but for frames_per_file, their names are its
    // parameter names.
    nanobind::handle input_{Py_None};
    nanobind::handle output{Py_None};
    nanobind::handle fmt{Py_None};
    std::int32_t fps = -1;
    bool interactive = false;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t roi_x = 0;
    std::int32_t roi_y = 0;
    std::int32_t roi_w = 0;
    std::int32_t roi_h = 0;
    double interval = 0.0;
    double duration = 0.0;
    // Kept frames in each numbered file; 0: one file, not numbered. The exact
    // entry derives it from its `max_frames`.
    std::int64_t frames_per_file = 0;
    bool motion_based = false;  // with the recording API's profile, in events
    bool config = false;
    std::int32_t threshold = 25;
    std::int32_t min_area = 500;
    std::int32_t kernel_width = 21;
    bool timestamp = false;
    bool show_diff = false;
    nanobind::handle tb{Py_None};
    nanobind::handle tc{Py_None};
    std::int32_t tx = 10;
    std::int32_t ty = 20;
    double fs = 0.5;

    // The recording API's own.
    bool verbose = true;      // console lines
    bool live = false;        // stamp frames with the wall-clock time of their reading
    bool whole_frame = false; // the region is the first frame's size
    nanobind::handle start{Py_None};   // datetime: the start time of a file's frames
    TimeSource timestamps = TimeSource::ClockOrWholeFps;  // given by name: "pts", "rate", "clock"
    double rate = 0.0;                 // a file's exact rate; 0: as OpenCV reports it
    bool utc_offset = false;           // log times carry the local UTC offset
    // Motion events (the recording API, motion-based): seconds of padding
    // and of motion an event needs, and a clip per event.
    double before = 0.0;
    double after = 0.0;
    double min_event = 0.0;
    bool file_per_event = false;
};

// One option's place in the record; its type is the option's kind.
using OptionField = std::variant<std::int32_t Options::*, std::int64_t Options::*,
                                 double Options::*, bool Options::*,
                                 nanobind::handle Options::*>;

// The option called `name`, or nullptr when there is none.
const OptionField *option_field(std::string_view name);

// Sets the option called `name` from a Python value, converted to the
// option's kind; TypeError for a name that is not an option. `timestamps`
// takes the name of its TimeSource, so it is set here and not through the
// table of plain values.
void set_option(Options &options, std::string_view name, PyObject *value);

// Whether the region of interest lies inside frames of this size; the sums
// are taken in 64 bits so a huge region cannot wrap around and pass.
inline bool region_fits(const Options &o, std::int64_t width, std::int64_t height) {
    return std::int64_t{o.roi_x} + o.roi_w <= width && std::int64_t{o.roi_y} + o.roi_h <= height;
}

}  // namespace velmar::capture
