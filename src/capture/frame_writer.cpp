#include "capture/frame_writer.h"

#include "capture/output_set.h"
#include "capture/overlay.h"
#include "glue/conversions.h"
#include "glue/keyword_call.h"

namespace nb = nanobind;

namespace velmar::capture {
namespace {

constexpr std::int64_t key_q = 113;
constexpr std::int64_t key_esc = 27;

nb::object csv_row(const Session &s) {
    nb::list row;
    row.append(nb::int_(s.frame.inframe));
    row.append(nb::int_(s.output.writ_frames - 1));
    row.append(s.frame.tstring);
    return row;
}

void count_written(Session &s) {
    ++s.result.frames_kept;
    ++s.current_file().frames;
}

// The frame is in the video already, so its row must reach the log even when
// Ctrl-C lands inside writerow (which checks for it before writing anything;
// the CSV file is write-through, so a refused row is never half buffered).
void write_csv_row(Session &s) {
    nb::object row = csv_row(s);
    try {
        s.output.tswriter.attr("writerow")(row);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_KeyboardInterrupt))
            throw;
        s.output.tswriter.attr("writerow")(row);
        count_written(s);
        throw;
    }
    count_written(s);
}

// True when q or Esc was pressed in the preview.
bool show_preview(const Session &s) {
    s.cv2().attr("imshow")(s.output.outfname, s.frame.roi);
    nb::object key = s.cv2().attr("waitKey")(1);
    std::int64_t code = to_int64(key.ptr()) & 255;
    return code == key_q || code == key_esc;
}

// Times as isoformat() gives them, or with six digits of microseconds and,
// when asked, the local UTC offset.
nb::object time_text(const Session &s) {
    if (!s.behaviour.times_have_microseconds)
        return s.frame.ts.attr("isoformat")();
    nb::object ts = s.opt.utc_offset ? s.frame.ts.attr("astimezone")() : s.frame.ts;
    return call_with_keywords<0, 1>(ts.attr("isoformat"), {},
                                    {s.ns.keyword(Keyword::timespec)}, {s.constants.microseconds});
}

// A segmenter of the recording API ends the open set where the frame about
// to be written starts a new segment of the clock.
bool starts_segment(const Session &s) {
    return !s.hooks.segmenter.is_none() && to_bool(s.hooks.segmenter(s.frame.ts).ptr());
}

}  // namespace

bool write_frame(Session &s) {
    const Options &r = s.opt;
    if (starts_segment(s))
        s.output.writ_frames = 0;
    // Unless a set opened at the first accepted frame, one opens only for a
    // frame written, so no file is ever left empty.
    if (s.output.writ_frames == 0)
        open_output_set(s, s.frame.ts, s.frame.grayscale);
    s.keep.tprev = s.frame.ts;
    s.frame.tstring = time_text(s);
    // A decoder's picture is turned into colour only once it is written.
    if (nb::hasattr(s.frame.roi, "in_colour"))
        s.frame.roi = s.frame.roi.attr("in_colour")();
    if (r.timestamp)
        draw_timestamp(s.ns, r, s.constants.box_colour, s.constants.text_colour, s.frame.roi,
                       s.frame.tstring);
    s.output.outfile.attr("write")(s.frame.roi);
    write_csv_row(s);
    bool set_full = r.frames_per_file > 0 && s.output.writ_frames == r.frames_per_file;
    s.output.writ_frames = set_full ? 0 : s.output.writ_frames + 1;
    return r.interactive && show_preview(s);
}

}  // namespace velmar::capture
