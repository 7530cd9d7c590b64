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

// A namer names the files, from their number and their first frame's time;
// without one they are numbered from `output`.
nb::object candidate_name(const Session &s, nb::handle ts) {
    if (!s.hooks.namer.is_none())
        return s.hooks.namer(s.output.file_count, ts);
    return numbered_name(s.opt.output, s.output.file_count);
}

nb::object choose_video_name(Session &s, nb::handle ts) {
    nb::handle output = s.opt.output;
    if (s.hooks.namer.is_none() && !PyUnicode_Check(output.ptr()))
        raise(PyExc_TypeError, "output must be str, not %s", Py_TYPE(output.ptr())->tp_name);
    bool numbered = s.opt.frames_per_file > 0 || !s.hooks.namer.is_none();
    nb::object name = numbered ? candidate_name(s, ts) : nb::borrow(output);
    while (is_taken(s, name)) {
        ++s.output.file_count;
        name = candidate_name(s, ts);
    }
    ++s.output.file_count;
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
    if (!s.hooks.writer.is_none())
        return s.hooks.writer(s.output.outfname, s.opt.fmt, s.input.rate, size, !grayscale);
    nb::object writer = s.cv2().attr("VideoWriter");
    nb::object rate = s.behaviour.rate_is_measured ? nb::object(nb::float_(s.input.rate))
                                                   : nb::object(nb::int_(s.input.fps));
    nb::object name = plain_str(s.output.outfname);
    if (grayscale)
        return writer(name, fourcc, rate, size, false);
    return writer(name, fourcc, rate, size);
}

void write_header(const OutputSetState &set) {
    nb::list header;
    for (const char *field : {"inframe", "outframe", "timestamp"})
        header.append(field);
    set.tswriter.attr("writerow")(header);
}

// The new CSV file replaces the previous one only once it exists; until
// then the previous one stays the session's to close. Rows go straight to
// the file's byte buffer: an interrupted row is then either written whole
// or not at all, never lost with a pending chunk.
void take_over_log(Session &s, nb::handle file) {
    if (s.output.tsfile.is(file))
        return;
    nb::object reconfigure = nb::getattr(file, "reconfigure", nb::none());
    if (!reconfigure.is_none())
        reconfigure(nb::arg("write_through") = true);
    nb::object writer = s.ns[Global::csv].attr("writer")(file);
    nb::object previous = s.output.tsfile;
    s.output.tsfile = nb::borrow(file);
    s.output.tswriter = writer;
    if (!previous.is_none())
        previous.attr("close")();
}

void start_log(Session &s, nb::handle file) {
    take_over_log(s, file);
    if (to_int64(s.output.tsfile.attr("tell")().ptr()) == 0)
        write_header(s.output);
}

// The recording API opens its logs itself, so that their rows reach the disk
// in step with their video's frames.
nb::object open_log_file(const Session &s) {
    if (!s.hooks.log_opener.is_none())
        return s.hooks.log_opener(s.output.tsfname);
    return s.ns[Global::open](s.output.tsfname, "w", nb::arg("newline") = "",
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
    s.output.outfile.attr("release")();
    if (exists(s, s.output.outfname))
        s.ns[Global::os].attr("remove")(s.output.outfname);
}

// A writer that did not open would lose every frame while the session
// reports success.
void require_open_writer(const Session &s) {
    if (to_bool(s.output.outfile.attr("isOpened")().ptr()))
        return;
    if (s.behaviour.failed_writer_file_removed)
        discard_failed_video(s);
    raise(PyExc_RuntimeError, "Could not open video file %S for writing (codec %R, %d fps)",
          s.output.outfname.ptr(), s.opt.fmt.ptr(), s.input.fps);
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
    s.keep.prev_blurred = blank_pair_half(s);
    s.keep.cur_blurred = blank_pair_half(s);
}

void open_output_set(Session &s, nb::handle ts, bool grayscale) {
    s.output.outfname = choose_video_name(s, ts);
    s.output.tsfname = csv_name(s.output.outfname);
    say(s, nb::str("Video saved in ") + s.output.outfname + nb::str("\nTimestamps in ") +
                    s.output.tsfname);
    // Unshared, the motion reference and the interval clock start afresh
    // with each set.
    if (!s.behaviour.sets_share_motion_reference_and_clock) {
        s.keep.tprev = nb::borrow(ts);
        fresh_blurred_pair(s);
    }
    nb::object fourcc = s.hooks.writer.is_none() ? fourcc_of(s) : nb::none();
    if (!s.output.outfile.is_none())
        s.output.outfile.attr("release")();
    s.output.outfile = new_writer(s, fourcc, grayscale);
    // Checked before the log exists, a failed start leaves no log without a video.
    if (s.behaviour.writer_checked_before_log)
        require_open_writer(s);
    open_csv_file(s);
    if (!s.behaviour.writer_checked_before_log)
        require_open_writer(s);
    s.result.files.push_back({s.output.outfname, s.output.tsfname, 0});
    s.output.writ_frames = 1;
    s.cv2().attr("destroyAllWindows")();
    if (s.opt.interactive)
        s.cv2().attr("namedWindow")(s.output.outfname, s.cv2().attr("WINDOW_NORMAL"));
}

void close_output_set(Session &s) {
    OutputSetState &set = s.output;
    set.writ_frames = 0;
    if (!set.outfile.is_none()) {
        nb::object video = std::move(set.outfile);
        set.outfile = nb::none();
        video.attr("release")();
    }
    if (!set.tsfile.is_none()) {
        nb::object log = std::move(set.tsfile);
        set.tsfile = set.tswriter = nb::none();
        log.attr("close")();
    }
}

}  // namespace velmar::capture
