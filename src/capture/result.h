// What one capture session gives back: counts, the files it wrote with the
// frames in each, and why it stopped.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <vector>

namespace velmar::capture {

enum class Stop {
    End,        // the input ended
    Duration,   // the duration limit was passed
    Key,        // q or Esc in the preview
    Interrupt,  // KeyboardInterrupt inside the loop, or SIGINT noted
    Terminate,  // another signal noted
    DiskFull,   // the recording API's disk guard found too little room
    SourceLost, // a live source stayed away longer than the recording waits for it
    Region,     // a frame smaller than the region of interest
    NotOpened,  // the input did not open
    Missing,    // a path was not found inside the loop (the exact entry's sessions only)
};

struct OutputFile {
    nanobind::object video;
    nanobind::object log;
    std::int64_t frames = 0;
};

struct Result {
    std::int64_t frames_read = 0;
    std::int64_t frames_kept = 0;
    std::int64_t frame_count = -1;  // frames the input reports, -1 when unknown
    double position = 0.0;          // seconds of input up to the last frame read
    double rate = 0.0;              // frames per second the videos were written at
    Stop stop = Stop::End;
    std::vector<OutputFile> files;
};

}  // namespace velmar::capture
