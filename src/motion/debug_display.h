// The motion check's two diagnostic windows: the coloured difference with
// every contour found outlined, and the dilated mask.
#pragma once

#include <nanobind/nanobind.h>

#include "velmar/ccapture/namespace.h"

namespace velmar::motion {

void show_debug_windows(const Namespace &ns, nanobind::handle frame_delta,
                        nanobind::handle contours, nanobind::handle thresh_img);

}  // namespace velmar::motion
