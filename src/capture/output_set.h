// Output sets: a numbered video name that never overwrites, the video writer
// of the region's size, the timestamps CSV file with its header, a fresh
// blurred-frame pair and the preview window.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>

#include "capture/session.h"

namespace velmar::capture {

// "<fname>_<count, at least 3 digits>.<ext>" from `output` split at its last ".".
nanobind::object numbered_name(nanobind::handle output, std::int32_t file_count);

// A new all-zero blurred-frame pair of the region's size.
void fresh_blurred_pair(Session &s);

// Opens the next output set at the frame stamped `ts`. `grayscale` frames get
// a writer made for one channel, which would drop them otherwise.
void open_output_set(Session &s, nanobind::handle ts, bool grayscale);

// Closes the open set, its video and then its log, if one is open; the next
// frame written opens a new one.
void close_output_set(Session &s);

}  // namespace velmar::capture
