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
    row.append(nb::int_(s.inframe));
    row.append(nb::int_(s.writ_frames - 1));
    row.append(s.tstring);
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
        s.tswriter.attr("writerow")(row);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_KeyboardInterrupt))
            throw;
        s.tswriter.attr("writerow")(row);
        count_written(s);
        throw;
    }
    count_written(s);
}

// True when q or Esc was pressed in the preview.
bool show_preview(const Session &s) {
    s.cv2().attr("imshow")(s.outfname, s.roi);
    nb::object key = s.cv2().attr("waitKey")(1);
    std::int64_t code = to_int64(key.ptr()) & 255;
    return code == key_q || code == key_esc;
}

// The exact entry writes times as isoformat() gives them; the recording API
// always with six digits of microseconds, so the stamp keeps its width, and
// with the local UTC offset when asked.
nb::object time_text(const Session &s) {
    if (s.opt.exact)
        return s.ts.attr("isoformat")();
    nb::object ts = s.opt.utc_offset ? s.ts.attr("astimezone")() : s.ts;
    return call_with_keywords<0, 1>(ts.attr("isoformat"), {},
                                    {s.ns.keyword(Keyword::timespec)}, {s.microseconds});
}

}  // namespace

bool write_frame(Session &s) {
    const Options &r = s.opt;
    // The recording API opens a file only for a frame it writes, so no file
    // is ever left empty.
    if (s.writ_frames == 0)
        open_output_set(s, s.ts, s.grayscale);
    s.tprev = s.ts;
    s.tstring = time_text(s);
    if (r.timestamp)
        draw_timestamp(s.ns, r, s.box_colour, s.text_colour, s.roi, s.tstring);
    s.outfile.attr("write")(s.roi);
    write_csv_row(s);
    s.writ_frames = r.max_frames > 0 ? (s.writ_frames + 1) % r.max_frames : s.writ_frames + 1;
    return r.interactive && show_preview(s);
}

}  // namespace velmar::capture
