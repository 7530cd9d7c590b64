// The motion check's two diagnostic windows: the coloured difference with
// every contour found outlined, and the dilated mask.
#pragma once

#include <nanobind/nanobind.h>


namespace velmar::motion {

void show_debug_windows(nanobind::handle cv2, nanobind::handle frame_delta,
                        nanobind::handle contours, nanobind::handle thresh_img);

}  // namespace velmar::motion
