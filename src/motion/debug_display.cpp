#include "motion/debug_display.h"

namespace nb = nanobind;

namespace velmar::motion {

void show_debug_windows(nb::handle cv2, nb::handle frame_delta, nb::handle contours,
                        nb::handle thresh_img) {
    const char *win_diff_name = "DEBUG - absdiff between frames";
    const char *win_thresh_name = "DEBUG - thresholded absdiff";
    cv2.attr("namedWindow")(win_diff_name, cv2.attr("WINDOW_NORMAL"));
    cv2.attr("namedWindow")(win_thresh_name, cv2.attr("WINDOW_NORMAL"));
    nb::object frame =
        cv2.attr("applyColorMap")(frame_delta, cv2.attr("COLORMAP_JET"));
    // Colour -1 saturates to black on the 8-bit frame: every outline is drawn black.
    cv2.attr("drawContours")(frame, contours, -1, -1);
    cv2.attr("imshow")(win_diff_name, frame);
    cv2.attr("imshow")(win_thresh_name, thresh_img);
}

}  // namespace velmar::motion
