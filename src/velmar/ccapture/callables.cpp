#include "velmar/ccapture/callables.h"

#include "capture/vcapture.h"
#include "motion/motion_check.h"
#include "velmar/ccapture/bound_arguments.h"
#include "velmar/ccapture/errors.h"
#include "velmar/ccapture/namespace.h"

namespace nb = nanobind;

namespace velmar {
namespace {

constexpr Parameter check_motion_rgb_parameters[] = {
    {"current", Kind::UInt8Array3D, required},
    {"blurred_prev", Kind::UInt8Array2D, required},
    {"blurred_cur", Kind::UInt8Array2D, required},
    {"threshold", Kind::Int, required},
    {"min_area", Kind::Int, required},
    {"kernel_width", Kind::Int, default_int(21)},
    {"show_diff", Kind::Bool, default_bool(false)},
};

constexpr Parameter check_motion_gray_parameters[] = {
    {"gray_cur", Kind::UInt8Array2D, required},
    {"blurred_prev", Kind::UInt8Array2D, required},
    {"blurred_cur", Kind::UInt8Array2D, required},
    {"threshold", Kind::Int, required},
    {"min_area", Kind::Int, required},
    {"kernel_width", Kind::Int, default_int(21)},
    {"show_diff", Kind::Bool, default_bool(false)},
};

constexpr Parameter vcapture_parameters[] = {
    {"input_", Kind::Text, required},
    {"output", Kind::Text, required},
    {"fmt", Kind::Text, required},
    {"fps", Kind::Int, required},
    {"interactive", Kind::Bool, required},
    {"width", Kind::Int, required},
    {"height", Kind::Int, required},
    {"roi_x", Kind::Int, required},
    {"roi_y", Kind::Int, required},
    {"roi_w", Kind::Int, required},
    {"roi_h", Kind::Int, required},
    {"interval", Kind::Float, required},
    {"duration", Kind::Float, required},
    {"max_frames", Kind::Long, required},
    {"motion_based", Kind::Bool, required},
    {"config", Kind::Bool, required},
    {"threshold", Kind::Int, required},
    {"min_area", Kind::Int, required},
    {"kernel_width", Kind::Int, required},
    {"timestamp", Kind::Bool, required},
    {"show_diff", Kind::Bool, required},
    {"tb", Kind::Int32Array1D, required},
    {"tc", Kind::Int32Array1D, required},
    {"tx", Kind::Int, required},
    {"ty", Kind::Int, required},
    {"fs", Kind::Float, required},
};

PyObject *as_bool(bool value) { return PyBool_FromLong(value); }

PyObject *run_check_motion_rgb(const Namespace &ns, const BoundArguments &a) {
    return as_bool(motion::check_motion_rgb(ns, a.object(0), a.object(1), a.object(2),
                                            a.int32(3), a.int32(4), a.int32(5),
                                            a.truth(6)));
}

PyObject *run_check_motion_gray(const Namespace &ns, const BoundArguments &a) {
    return as_bool(motion::check_motion_gray(ns, a.object(0), a.object(1), a.object(2),
                                             a.int32(3), a.int32(4), a.int32(5),
                                             a.truth(6)));
}

PyObject *run_vcapture(const Namespace &ns, const BoundArguments &a) {
    capture::Request request{
        a.object(0),  a.object(1), a.object(2),  a.int32(3),   a.truth(4),   a.int32(5),
        a.int32(6),   a.int32(7),  a.int32(8),   a.int32(9),   a.int32(10),  a.real(11),
        a.real(12),   a.int64(13), a.truth(14),  a.truth(15),  a.int32(16),  a.int32(17),
        a.int32(18),  a.truth(19), a.truth(20),  a.object(21), a.object(22), a.int32(23),
        a.int32(24),  a.real(25),
    };
    return PyLong_FromLongLong(capture::vcapture(ns, request));
}

}  // namespace

const Signature check_motion_rgb_signature =
    make_signature("check_motion_rgb", check_motion_rgb_parameters, run_check_motion_rgb);
const Signature check_motion_gray_signature =
    make_signature("check_motion_gray", check_motion_gray_parameters, run_check_motion_gray);
const Signature vcapture_signature =
    make_signature("vcapture", vcapture_parameters, run_vcapture);

}  // namespace velmar
