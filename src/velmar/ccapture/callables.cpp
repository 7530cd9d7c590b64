#include "velmar/ccapture/callables.h"

#include <string_view>
#include <variant>

#include "capture/behaviour.h"
#include "capture/engine.h"
#include "capture/hooks.h"
#include "capture/options.h"
#include "motion/motion_check.h"
#include "velmar/ccapture/bound_arguments.h"
#include "glue/errors.h"
#include "glue/namespace.h"

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

// Each converted value goes to the option of the parameter's name.
struct ValueSetter {
    capture::Options &options;
    const BoundArguments &bound;
    std::size_t i;

    void operator()(std::int32_t capture::Options::*m) const { options.*m = bound.int32(i); }
    void operator()(std::int64_t capture::Options::*m) const { options.*m = bound.int64(i); }
    void operator()(double capture::Options::*m) const { options.*m = bound.real(i); }
    void operator()(bool capture::Options::*m) const { options.*m = bound.truth(i); }
    void operator()(nb::handle capture::Options::*m) const { options.*m = bound.object(i); }
};

// A new numbered file starts when the count of frames written reaches
// max_frames, the first counted as 1, so a file holds max_frames - 1 of them
// (1 when max_frames is 1); 0 or less keeps one file, not numbered.
std::int64_t frames_per_file(std::int64_t max_frames) {
    if (max_frames <= 0)
        return 0;
    return max_frames == 1 ? 1 : max_frames - 1;
}

capture::Options vcapture_options(const BoundArguments &a) {
    capture::Options options;
    for (std::size_t i = 0; i < std::size(vcapture_parameters); ++i) {
        std::string_view name = vcapture_parameters[i].name;
        if (name == "max_frames")
            options.frames_per_file = frames_per_file(a.int64(i));
        else
            std::visit(ValueSetter{options, a, i}, *capture::option_field(name));
    }
    return options;
}

// The number of frames read, or 0 when the session stopped early.
PyObject *run_vcapture(const Namespace &ns, const BoundArguments &a) {
    capture::Result result =
        capture::run_session(ns, vcapture_options(a), capture::Hooks{}, capture::exact_profile());
    bool early = result.stop == capture::Stop::Region || result.stop == capture::Stop::NotOpened;
    return PyLong_FromLongLong(early ? 0 : result.frames_read);
}

}  // namespace

const Signature check_motion_rgb_signature =
    make_signature("check_motion_rgb", check_motion_rgb_parameters, run_check_motion_rgb);
const Signature check_motion_gray_signature =
    make_signature("check_motion_gray", check_motion_gray_parameters, run_check_motion_gray);
const Signature vcapture_signature =
    make_signature("vcapture", vcapture_parameters, run_vcapture);

}  // namespace velmar
