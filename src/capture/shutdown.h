// The guard around the frame loop: a user interrupt or a missing path
// becomes a console line and an orderly end; every way out releases the
// input, finalises the open video, closes the open CSV file and destroys the
// windows; the result is the number of frames read, or 0 after a region
// mismatch.
#pragma once

#include <cstdint>

#include "capture/session.h"

namespace velmar::capture {

std::int64_t run_guarded_loop(Session &s);

}  // namespace velmar::capture
