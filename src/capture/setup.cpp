#include "capture/setup.h"

#include <string>

#include "capture/console.h"
#include "velmar/ccapture/conversions.h"

namespace nb = nanobind;

namespace velmar::capture {
namespace {

// The DirectShow back-end is asked for only by interactive sessions on Windows.
bool wants_directshow(const Session &s) {
    nb::object platform = s.ns[Global::sys].attr("platform");
    return s.request.interactive && platform.equal(nb::str("win32"));
}

// Console text built in C++ reaches `print` as a Python str.
nb::str text(const std::string &line) { return nb::str(line.data(), line.size()); }

bool is_opened(const Session &s) { return to_bool(s.cap.attr("isOpened")().ptr()); }

std::int32_t get_int32(const Session &s, const char *property) {
    nb::object value = s.cap.attr("get")(s.cv2().attr(property));
    return to_int32(value.ptr());
}

bool set_up_camera(Session &s) {
    const Request &r = s.request;
    if (wants_directshow(s))
        s.cap = s.cv2().attr("VideoCapture")(s.iinput, s.cv2().attr("CAP_DSHOW"));
    else
        s.cap = s.cv2().attr("VideoCapture")(s.iinput);
    if (r.width > 0)
        s.cap.attr("set")(s.cv2().attr("CAP_PROP_FRAME_WIDTH"), r.width);
    if (r.height > 0)
        s.cap.attr("set")(s.cv2().attr("CAP_PROP_FRAME_HEIGHT"), r.height);
    if (s.fps > 0)
        s.cap.attr("set")(s.cv2().attr("CAP_PROP_FPS"), s.fps);
    if (r.config)
        s.cap.attr("set")(s.cv2().attr("CAP_PROP_SETTINGS"), 1);
    print(s.ns, text("Camera FPS set to " + std::to_string(s.fps)));
    s.tstart = s.ns[Global::datetime].attr("now")();
    std::int32_t w_ = get_int32(s, "CAP_PROP_FRAME_WIDTH");
    std::int32_t h_ = get_int32(s, "CAP_PROP_FRAME_HEIGHT");
    print(s.ns, text("Frame size: " + std::to_string(w_) + "x" + std::to_string(h_)));
    if (!region_fits(r, w_, h_)) {
        print(s.ns, "ROI limits exceed frame size");
        return false;
    }
    return true;
}

// The file's modification time in local time, whole seconds.
nb::object modification_time(const Session &s) {
    nb::object mtime = s.ns[Global::os].attr("path").attr("getmtime")(s.request.input_);
    nb::object local = s.ns[Global::time].attr("localtime")(mtime);
    nb::object seconds = s.ns[Global::time].attr("mktime")(local);
    return s.ns[Global::datetime].attr("fromtimestamp")(seconds);
}

bool set_up_file(Session &s) {
    nb::handle path = s.request.input_;
    s.tstart = modification_time(s);
    s.cap = s.cv2().attr("VideoCapture")(path);
    if (!is_opened(s) && wants_directshow(s))
        s.cap = s.cv2().attr("VideoCapture")(path, s.cv2().attr("CAP_DSHOW"));
    print(s.ns, "Input from file", path, "Open?", nb::bool_(is_opened(s)));
    if (!is_opened(s)) {
        print(s.ns, nb::str("Could not open video file ") + nb::str(path) +
                        nb::str(" for reading."));
        return false;
    }
    s.fps = get_int32(s, "CAP_PROP_FPS");
    nb::object count = s.cap.attr("get")(s.cv2().attr("CAP_PROP_FRAME_COUNT"));
    print(s.ns, "Frames to process", nb::int_(to_int64(count.ptr())));
    return true;
}

// `int(input_)`: a camera index when it converts, otherwise a file path.
// A ValueError from any camera step also falls back to the file.
bool set_up_camera_or_file(Session &s) {
    try {
        nb::object index = s.ns[Global::int_](s.request.input_);
        s.iinput = to_int32(index.ptr());
        return set_up_camera(s);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError))
            throw;
    }
    return set_up_file(s);
}

}  // namespace

bool set_up_input(Session &s) {
    if (s.fps < 0)
        s.fps = 30;
    return set_up_camera_or_file(s);
}

}  // namespace velmar::capture
