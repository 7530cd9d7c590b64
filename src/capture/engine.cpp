#include "capture/engine.h"

#include "capture/overlay.h"
#include "capture/session.h"
#include "capture/setup.h"
#include "capture/shutdown.h"
#include "glue/errors.h"

namespace velmar::capture {
namespace {

// Refused before anything is opened or printed: a negative start would crop
// a wrong or empty region and record it as if it were right.
void check_region_start(const Options &r) {
    if (r.roi_x < 0 || r.roi_y < 0)
        raise(PyExc_ValueError, "roi_x and roi_y must not be negative (got %d, %d)", r.roi_x,
              r.roi_y);
}

// A whole-frame session checks its kernel once the first frame gives the region.
void check_kernel(const Options &r) {
    if (!r.motion_based || r.whole_frame)
        return;
    std::int32_t side = r.roi_w < r.roi_h ? r.roi_w : r.roi_h;
    if (r.kernel_width < 1 || r.kernel_width % 2 == 0 || r.kernel_width > side)
        raise(PyExc_ValueError, "kernel_width must be odd, from 1 to the region's smaller side "
              "(%d), not %d", side, r.kernel_width);
}

// Padding and spans are seconds of input; a ring sized from them must be finite.
void check_event_times(const Options &r) {
    for (double seconds : {r.before, r.after, r.min_event})
        if (!(seconds >= 0 && seconds <= 3600))
            raise(PyExc_ValueError, "before, after and min_event must be from 0 to 3600 "
                  "seconds, not %R", nanobind::float_(seconds).ptr());
}

// Numbered files of no frames at all would never end.
void check_frames_per_file(const Options &r) {
    if (r.frames_per_file < 0)
        raise(PyExc_ValueError, "frames_per_file must not be negative, not %lld",
              static_cast<long long>(r.frames_per_file));
}

}  // namespace

Result run_session(const Namespace &ns, const Options &options, const Hooks &hooks,
                   const Behaviour &behaviour) {
    check_overlay_colours(options);
    check_region_start(options);
    check_event_times(options);
    check_frames_per_file(options);
    if (behaviour.kernel_checked_against_region)
        check_kernel(options);
    Session s(ns, options, hooks, behaviour);
    if (set_up_input(s))
        run_guarded_loop(s);
    s.result.frames_read = s.input.read_frames;
    s.result.rate = behaviour.rate_is_measured ? s.input.rate : s.input.fps;
    return std::move(s.result);
}

}  // namespace velmar::capture
