#include "motion/motion_check.h"

#include "motion/debug_display.h"
#include "motion/unpack.h"
#include "velmar/ccapture/conversions.h"
#include "velmar/ccapture/errors.h"
#include "velmar/ccapture/numpy_binding.h"

namespace nb = nanobind;

namespace velmar::motion {
namespace {

// The array checks of the call boundary, for arrays made inside the module.
void check_uint8_array(nb::handle array, const char *name, int ndim) {
    if (array.is_none())
        return;
    if (!is_ndarray(array.ptr()))
        raise(PyExc_TypeError, "'%s' has incorrect type (expected numpy.ndarray, got %s)",
              name, Py_TYPE(array.ptr())->tp_name);
    check_array(array.ptr(), name, Element::UInt8, ndim);
}

// `target[:, :] = source`: the caller's array keeps its identity.
void assign_all(nb::handle target, nb::handle source) {
    nb::object all = steal_checked(PySlice_New(nullptr, nullptr, nullptr));
    nb::object both_axes = nb::make_tuple(all, all);
    if (PyObject_SetItem(target.ptr(), both_axes.ptr(), source.ptr()) < 0)
        throw nb::python_error();
}

// The sequence of contours out of the raw result of findContours, shaped by
// the OpenCV generation that caputil names; None for an unknown generation.
nb::object contours_of(const Namespace &ns, nb::handle contour_info) {
    nb::object three = nb::int_(3);
    if (nb::bool_(ns["caputil"].attr("CV2_MAJOR").equal(three)))
        return unpack(contour_info, 3)[1];
    if (nb::bool_(ns["caputil"].attr("CV2_MAJOR").equal(nb::int_(4))))
        return unpack(contour_info, 2)[0];
    return nb::none();
}

bool any_larger_than(const Namespace &ns, nb::handle contours, int min_area) {
    nb::object limit = nb::int_(min_area);
    bool moving = false;
    for_each_item(contours, [&](nb::handle contour) {
        nb::object area = ns["cv2"].attr("contourArea")(contour);
        int larger = PyObject_RichCompareBool(area.ptr(), limit.ptr(), Py_GT);
        if (larger < 0)
            throw nb::python_error();
        moving = moving || larger;
    });
    return moving;
}

}  // namespace

bool check_motion_gray(const Namespace &ns, nb::handle gray_cur, nb::handle blurred_prev,
                       nb::handle blurred_cur, int threshold, int min_area,
                       int kernel_width, bool show_diff) {
    check_uint8_array(gray_cur, "gray_cur", 2);
    check_uint8_array(blurred_prev, "blurred_prev", 2);
    check_uint8_array(blurred_cur, "blurred_cur", 2);

    nb::object blur = ns["cv2"].attr("GaussianBlur");
    assign_all(blurred_cur, blur(gray_cur, nb::make_tuple(kernel_width, kernel_width), 0));

    nb::object absdiff = ns["cv2"].attr("absdiff");
    nb::object frame_delta = absdiff(blurred_cur, blurred_prev);
    check_uint8_array(frame_delta, "frame_delta", 2);

    nb::object threshold_fn = ns["cv2"].attr("threshold");
    std::vector<nb::object> thresholded = unpack(
        threshold_fn(frame_delta, threshold, 255, ns["cv2"].attr("THRESH_BINARY")), 2);
    to_int64(thresholded[0].ptr());  // must be a number; its value is not used
    nb::object thresh_img = thresholded[1];

    nb::object dilate = ns["cv2"].attr("dilate");
    thresh_img = dilate(thresh_img, nb::none(), nb::arg("iterations") = 2);

    nb::object find = ns["cv2"].attr("findContours");
    nb::object contour_info = find(thresh_img, ns["cv2"].attr("RETR_EXTERNAL"),
                                   ns["cv2"].attr("CHAIN_APPROX_SIMPLE"));
    nb::object contours = contours_of(ns, contour_info);
    bool moving = any_larger_than(ns, contours, min_area);

    if (show_diff)
        show_debug_windows(ns, frame_delta, contours, thresh_img);
    if (moving)
        assign_all(blurred_prev, blurred_cur);
    return moving;
}

bool check_motion_rgb(const Namespace &ns, nb::handle current, nb::handle blurred_prev,
                      nb::handle blurred_cur, int threshold, int min_area,
                      int kernel_width, bool show_diff) {
    check_uint8_array(current, "current", 3);
    check_uint8_array(blurred_prev, "blurred_prev", 2);
    check_uint8_array(blurred_cur, "blurred_cur", 2);
    nb::object convert = ns["cv2"].attr("cvtColor");
    nb::object gray_cur = convert(current, ns["cv2"].attr("COLOR_BGR2GRAY"));
    check_uint8_array(gray_cur, "gray_cur", 2);
    return check_motion_gray(ns, gray_cur, blurred_prev, blurred_cur, threshold, min_area,
                             kernel_width, show_diff);
}

}  // namespace velmar::motion
