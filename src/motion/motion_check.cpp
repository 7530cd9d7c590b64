#include "motion/motion_check.h"

#include <algorithm>

#include "motion/debug_display.h"
#include "glue/unpack.h"
#include "glue/conversions.h"
#include "glue/errors.h"
#include "glue/keyword_call.h"
#include "glue/numpy_binding.h"

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
    if (nb::bool_(ns.get(ns[Global::caputil], Attr::CV2_MAJOR).equal(nb::int_(3))))
        return std::move(unpack<3>(contour_info)[1]);
    if (nb::bool_(ns.get(ns[Global::caputil], Attr::CV2_MAJOR).equal(nb::int_(4))))
        return std::move(unpack<2>(contour_info)[0]);
    return nb::none();
}

// `area > min_area` as Python compares numbers; a float area, OpenCV's
// usual answer, is compared directly.
bool larger_than(nb::handle area, int min_area) {
    if (PyFloat_CheckExact(area.ptr()))
        return PyFloat_AS_DOUBLE(area.ptr()) > min_area;
    nb::object limit = nb::int_(min_area);
    int larger = PyObject_RichCompareBool(area.ptr(), limit.ptr(), Py_GT);
    if (larger < 0)
        throw nb::python_error();
    return larger;
}

// Every contour is measured, even after one has counted; `largest`, when
// given, receives the largest area.
bool any_larger_than(const Namespace &ns, nb::handle cv2, nb::handle contours, int min_area,
                     double *largest) {
    nb::object area_of = ns.get(cv2, Attr::contourArea);
    bool moving = false;
    for_each_item(contours, [&](nb::handle contour) {
        nb::object area = area_of(contour);
        bool larger = larger_than(area, min_area);
        moving = moving || larger;
        if (largest)
            *largest = std::max(*largest, to_double(area.ptr()));
    });
    return moving;
}

nb::object dilate_twice(const Namespace &ns, nb::handle cv2, nb::handle mask) {
    nb::object twice = nb::int_(2);
    return call_with_keywords<2, 1>(ns.get(cv2, Attr::dilate), {mask, Py_None},
                                    {ns.keyword(Keyword::iterations)}, {twice});
}

}  // namespace

// `cv2` is looked up once per call: every library call of one check goes to
// the binding the module held when the check started.
bool check_motion_gray(const Namespace &ns, nb::handle gray_cur, nb::handle blurred_prev,
                       nb::handle blurred_cur, int threshold, int min_area,
                       int kernel_width, bool show_diff, double *largest) {
    check_uint8_array(gray_cur, "gray_cur", 2);
    check_uint8_array(blurred_prev, "blurred_prev", 2);
    check_uint8_array(blurred_cur, "blurred_cur", 2);
    nb::object cv2 = ns[Global::cv2];

    nb::object blur = ns.get(cv2, Attr::GaussianBlur);
    assign_all(blurred_cur, blur(gray_cur, nb::make_tuple(kernel_width, kernel_width), 0));

    nb::object frame_delta = ns.get(cv2, Attr::absdiff)(blurred_cur, blurred_prev);
    check_uint8_array(frame_delta, "frame_delta", 2);

    nb::object threshold_fn = ns.get(cv2, Attr::threshold);
    std::array<nb::object, 2> thresholded =
        unpack<2>(threshold_fn(frame_delta, threshold, 255, ns.get(cv2, Attr::THRESH_BINARY)));
    to_int64(thresholded[0].ptr());  // must be a number; its value is not used
    nb::object thresh_img = dilate_twice(ns, cv2, thresholded[1]);

    nb::object find = ns.get(cv2, Attr::findContours);
    nb::object contour_info =
        find(thresh_img, ns.get(cv2, Attr::RETR_EXTERNAL), ns.get(cv2, Attr::CHAIN_APPROX_SIMPLE));
    nb::object contours = contours_of(ns, contour_info);
    bool moving = any_larger_than(ns, cv2, contours, min_area, largest);

    if (show_diff)
        show_debug_windows(cv2, frame_delta, contours, thresh_img);
    if (moving)
        assign_all(blurred_prev, blurred_cur);
    return moving;
}

bool check_motion_rgb(const Namespace &ns, nb::handle current, nb::handle blurred_prev,
                      nb::handle blurred_cur, int threshold, int min_area,
                      int kernel_width, bool show_diff, double *largest) {
    check_uint8_array(current, "current", 3);
    check_uint8_array(blurred_prev, "blurred_prev", 2);
    check_uint8_array(blurred_cur, "blurred_cur", 2);
    nb::object cv2 = ns[Global::cv2];
    nb::object gray_cur = ns.get(cv2, Attr::cvtColor)(current, ns.get(cv2, Attr::COLOR_BGR2GRAY));
    check_uint8_array(gray_cur, "gray_cur", 2);
    return check_motion_gray(ns, gray_cur, blurred_prev, blurred_cur, threshold, min_area,
                             kernel_width, show_diff, largest);
}

}  // namespace velmar::motion
