#include "capture/output_set.h"

#include <cstdio>

#include "capture/console.h"
#include "velmar/ccapture/conversions.h"
#include "velmar/ccapture/errors.h"

namespace nb = nanobind;

namespace velmar::capture {
namespace {

bool exists(const Session &s, nb::handle name) {
    return to_bool(s.ns[Global::os].attr("path").attr("exists")(name).ptr());
}

nb::object csv_name(nb::handle video) { return nb::str(video) + nb::str(".csv"); }

// A name is taken when its video or its CSV file exists: neither is ever
// overwritten or truncated.
bool is_taken(const Session &s, nb::handle name) {
    return exists(s, name) || exists(s, csv_name(name));
}

nb::object choose_video_name(Session &s) {
    nb::handle output = s.request.output;
    if (!PyUnicode_Check(output.ptr()))
        raise(PyExc_TypeError, "output must be str, not %s", Py_TYPE(output.ptr())->tp_name);
    nb::object name = s.request.max_frames > 0 ? numbered_name(output, s.file_count)
                                               : nb::borrow(output);
    while (is_taken(s, name)) {
        ++s.file_count;
        name = numbered_name(output, s.file_count);
    }
    ++s.file_count;
    return name;
}

nb::object blank_pair_half(const Session &s) {
    nb::object np = s.ns[Global::np];
    return np.attr("zeros")(nb::make_tuple(s.request.roi_h, s.request.roi_w),
                            nb::arg("dtype") = np.attr("uint8"));
}

// `cv2.VideoWriter_fourcc(*fmt)`: each character of the codec text is one argument.
nb::object fourcc_of(const Session &s) {
    nb::object chars = steal_checked(PySequence_Tuple(s.request.fmt.ptr()));
    nb::object make = s.cv2().attr("VideoWriter_fourcc");
    return steal_checked(PyObject_Call(make.ptr(), chars.ptr(), nullptr));
}

nb::object new_writer(const Session &s, nb::handle fourcc, bool grayscale) {
    nb::object size = nb::make_tuple(s.request.roi_w, s.request.roi_h);
    nb::object writer = s.cv2().attr("VideoWriter");
    if (grayscale)
        return writer(s.outfname, fourcc, s.fps, size, false);
    return writer(s.outfname, fourcc, s.fps, size);
}

// The new CSV file replaces the previous one only once it exists; until
// then the previous one stays the session's to close.
void open_csv_file(Session &s) {
    nb::object file = s.ns[Global::open](s.tsfname, "w", nb::arg("newline") = "",
                                   nb::arg("encoding") = "ascii");
    // Rows go straight to the file's byte buffer: an interrupted row is then
    // either written whole or not at all, never lost with a pending chunk.
    nb::object reconfigure = nb::getattr(file, "reconfigure", nb::none());
    if (!reconfigure.is_none())
        reconfigure(nb::arg("write_through") = true);
    nb::object writer = s.ns[Global::csv].attr("writer")(file);
    nb::object previous = s.tsfile;
    s.tsfile = file;
    s.tswriter = writer;
    if (!previous.is_none())
        previous.attr("close")();
    nb::list header;
    for (const char *field : {"inframe", "outframe", "timestamp"})
        header.append(field);
    s.tswriter.attr("writerow")(header);
}

// A writer that did not open would lose every frame while the session
// reports success.
void require_open_writer(const Session &s) {
    if (to_bool(s.outfile.attr("isOpened")().ptr()))
        return;
    raise(PyExc_RuntimeError, "Could not open video file %S for writing (codec %R, %d fps)",
          s.outfname.ptr(), s.request.fmt.ptr(), s.fps);
}

}  // namespace

nb::object numbered_name(nb::handle output, std::int32_t file_count) {
    nb::object parts = output.attr("rpartition")(".");
    char number[16];
    std::snprintf(number, sizeof number, "%03d", static_cast<int>(file_count));
    return steal_checked(PyUnicode_FromFormat("%S_%s.%S", nb::object(parts[0]).ptr(), number,
                                              nb::object(parts[2]).ptr()));
}

void open_output_set(Session &s, nb::handle ts, bool grayscale) {
    s.outfname = choose_video_name(s);
    s.tsfname = csv_name(s.outfname);
    print(s.ns, nb::str("Video saved in ") + s.outfname + nb::str("\nTimestamps in ") +
                    s.tsfname);
    s.tprev = nb::borrow(ts);
    s.prev_blurred = blank_pair_half(s);
    s.cur_blurred = blank_pair_half(s);
    nb::object fourcc = fourcc_of(s);
    if (!s.outfile.is_none())
        s.outfile.attr("release")();
    s.outfile = new_writer(s, fourcc, grayscale);
    open_csv_file(s);
    require_open_writer(s);
    s.writ_frames = 1;
    s.cv2().attr("destroyAllWindows")();
    if (s.request.interactive)
        s.cv2().attr("namedWindow")(s.outfname, s.cv2().attr("WINDOW_NORMAL"));
}

}  // namespace velmar::capture
