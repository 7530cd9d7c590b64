// The guard around the frame loop: a user interrupt or a missing path
// becomes a console line and an orderly end; every way out releases the
// input, finalises the open video, closes the open CSV file and destroys the
// windows. The session's result says how it ended.
#pragma once

#include "capture/session.h"

namespace velmar::capture {

void run_guarded_loop(Session &s);

}  // namespace velmar::capture
