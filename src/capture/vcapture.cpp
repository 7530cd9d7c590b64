#include "capture/vcapture.h"

#include "capture/overlay.h"
#include "capture/session.h"
#include "capture/setup.h"
#include "capture/shutdown.h"
#include "velmar/ccapture/errors.h"

namespace velmar::capture {
namespace {

// Refused before anything is opened or printed: a negative start would crop
// a wrong or empty region and record it as if it were right.
void check_region_start(const Request &r) {
    if (r.roi_x < 0 || r.roi_y < 0)
        raise(PyExc_ValueError, "roi_x and roi_y must not be negative (got %d, %d)", r.roi_x,
              r.roi_y);
}

}  // namespace

std::int64_t vcapture(const Namespace &ns, const Request &request) {
    check_overlay_colours(request);
    check_region_start(request);
    Session s(ns, request);
    if (!set_up_input(s))
        return 0;
    return run_guarded_loop(s);
}

}  // namespace velmar::capture
