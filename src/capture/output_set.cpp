#include "capture/output_set.h"

#include <cstdio>

#include "capture/console.h"
#include "glue/conversions.h"
#include "glue/errors.h"

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

// The recording API names its files itself; the exact entry numbers them
// from `output`.
nb::object candidate_name(const Session &s) {
    if (!s.opt.namer.is_none())
        return s.opt.namer(s.file_count);
    return numbered_name(s.opt.output, s.file_count);
}

nb::object choose_video_name(Session &s) {
    nb::handle output = s.opt.output;
    if (s.opt.namer.is_none() && !PyUnicode_Check(output.ptr()))
        raise(PyExc_TypeError, "output must be str, not %s", Py_TYPE(output.ptr())->tp_name);
    nb::object name = s.opt.max_frames > 0 || !s.opt.namer.is_none() ? candidate_name(s)
                                                                     : nb::borrow(output);
    while (is_taken(s, name)) {
        ++s.file_count;
        name = candidate_name(s);
    }
    ++s.file_count;
    return name;
}

nb::object blank_pair_half(const Session &s) {
    nb::object np = s.ns[Global::np];
    return np.attr("zeros")(nb::make_tuple(s.opt.roi_h, s.opt.roi_w),
                            nb::arg("dtype") = np.attr("uint8"));
}

// `cv2.VideoWriter_fourcc(*fmt)`: each character of the codec text is one argument.
nb::object fourcc_of(const Session &s) {
    nb::object chars = steal_checked(PySequence_Tuple(s.opt.fmt.ptr()));
    nb::object make = s.cv2().attr("VideoWriter_fourcc");
    return steal_checked(PyObject_Call(make.ptr(), chars.ptr(), nullptr));
}

nb::object new_writer(const Session &s, nb::handle fourcc, bool grayscale) {
    nb::object size = nb::make_tuple(s.opt.roi_w, s.opt.roi_h);
    // The recording API brings its own writers, named by their codec.
    if (!s.opt.writer.is_none())
        return s.opt.writer(s.outfname, s.opt.fmt, s.rate, size, !grayscale);
    nb::object writer = s.cv2().attr("VideoWriter");
    nb::object rate = s.opt.exact ? nb::object(nb::int_(s.fps)) : nb::object(nb::float_(s.rate));
    if (grayscale)
        return writer(s.outfname, fourcc, rate, size, false);
    return writer(s.outfname, fourcc, rate, size);
}

void write_header(const Session &s) {
    nb::list header;
    for (const char *field : {"inframe", "outframe", "timestamp"})
        header.append(field);
    s.tswriter.attr("writerow")(header);
}

// The new CSV file replaces the previous one only once it exists; until
// then the previous one stays the session's to close. Rows go straight to
// the file's byte buffer: an interrupted row is then either written whole
// or not at all, never lost with a pending chunk.
void take_over_log(Session &s, nb::handle file) {
    if (s.tsfile.is(file))
        return;
    nb::object reconfigure = nb::getattr(file, "reconfigure", nb::none());
    if (!reconfigure.is_none())
        reconfigure(nb::arg("write_through") = true);
    nb::object writer = s.ns[Global::csv].attr("writer")(file);
    nb::object previous = s.tsfile;
    s.tsfile = nb::borrow(file);
    s.tswriter = writer;
    if (!previous.is_none())
        previous.attr("close")();
}

void start_log(Session &s, nb::handle file) {
    take_over_log(s, file);
    if (to_int64(s.tsfile.attr("tell")().ptr()) == 0)
        write_header(s);
}

nb::object open_log_file(const Session &s) {
    return s.ns[Global::open](s.tsfname, "w", nb::arg("newline") = "",
                              nb::arg("encoding") = "ascii");
}

// Once the file exists it gets its header whatever happens: an interrupt
// that lands in between is taken only after the header is written, so no
// log is ever left empty.
void open_csv_file(Session &s) {
    nb::object file;
    try {
        file = open_log_file(s);
        start_log(s, file);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_KeyboardInterrupt))
            throw;
        // Inside open() the file may exist already: it is the session's own
        // (its name was free), so it is opened again and gets its header.
        if (!file.is_valid())
            file = open_log_file(s);
        start_log(s, file);
        throw;
    }
}

// A writer that did not open may still have left an empty file; the name
// was free before, so the file is the session's own.
void discard_failed_video(const Session &s) {
    s.outfile.attr("release")();
    if (exists(s, s.outfname))
        s.ns[Global::os].attr("remove")(s.outfname);
}

// A writer that did not open would lose every frame while the session
// reports success.
void require_open_writer(const Session &s) {
    if (to_bool(s.outfile.attr("isOpened")().ptr()))
        return;
    if (!s.opt.exact)
        discard_failed_video(s);
    raise(PyExc_RuntimeError, "Could not open video file %S for writing (codec %R, %d fps)",
          s.outfname.ptr(), s.opt.fmt.ptr(), s.fps);
}

}  // namespace

nb::object numbered_name(nb::handle output, std::int32_t file_count) {
    nb::object parts = output.attr("rpartition")(".");
    char number[16];
    std::snprintf(number, sizeof number, "%03d", static_cast<int>(file_count));
    return steal_checked(PyUnicode_FromFormat("%S_%s.%S", nb::object(parts[0]).ptr(), number,
                                              nb::object(parts[2]).ptr()));
}

void fresh_blurred_pair(Session &s) {
    s.prev_blurred = blank_pair_half(s);
    s.cur_blurred = blank_pair_half(s);
}

void open_output_set(Session &s, nb::handle ts, bool grayscale) {
    s.outfname = choose_video_name(s);
    s.tsfname = csv_name(s.outfname);
    say(s, nb::str("Video saved in ") + s.outfname + nb::str("\nTimestamps in ") +
                    s.tsfname);
    // The exact entry starts every set afresh; the recording API keeps its
    // reference and interval clock across files, so splitting a recording
    // does not change which frames it keeps.
    if (s.opt.exact) {
        s.tprev = nb::borrow(ts);
        fresh_blurred_pair(s);
    }
    nb::object fourcc = s.opt.writer.is_none() ? fourcc_of(s) : nb::none();
    if (!s.outfile.is_none())
        s.outfile.attr("release")();
    s.outfile = new_writer(s, fourcc, grayscale);
    // The recording API checks the writer before the log exists, so a failed
    // start leaves no log without a video.
    if (!s.opt.exact)
        require_open_writer(s);
    open_csv_file(s);
    if (s.opt.exact)
        require_open_writer(s);
    s.result.files.push_back({s.outfname, s.tsfname, 0});
    s.writ_frames = 1;
    s.cv2().attr("destroyAllWindows")();
    if (s.opt.interactive)
        s.cv2().attr("namedWindow")(s.outfname, s.cv2().attr("WINDOW_NORMAL"));
}

}  // namespace velmar::capture
