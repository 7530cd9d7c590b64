// The motion checks: blur the frame, difference it against the reference of
// the caller's blurred-frame pair, threshold, dilate, find outer contours and
// report motion when one of them encloses more than `min_area`. The pair is
// written in place; nothing is caught.
#pragma once

#include <nanobind/nanobind.h>

#include "glue/namespace.h"

namespace velmar::motion {

// `largest`, when given, receives the area of the largest changed region.
bool check_motion_gray(const Namespace &ns, nanobind::handle gray_cur,
                       nanobind::handle blurred_prev, nanobind::handle blurred_cur,
                       int threshold, int min_area, int kernel_width = 21,
                       bool show_diff = false, double *largest = nullptr);

// Converts `current` (blue-green-red) to grey, then runs the grayscale check.
bool check_motion_rgb(const Namespace &ns, nanobind::handle current,
                      nanobind::handle blurred_prev, nanobind::handle blurred_cur,
                      int threshold, int min_area, int kernel_width = 21,
                      bool show_diff = false, double *largest = nullptr);

}  // namespace velmar::motion
