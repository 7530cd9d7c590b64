// The stop list of the recording API: its signal handlers append the numbers
// of the signals they note, its disk guard "disk_full", its live source
// "source_lost", and the session stops between two frames.
#pragma once

#include "capture/hooks.h"
#include "capture/result.h"

namespace velmar::capture {

// Whether a signal has been noted.
bool signal_noted(const Hooks &h);

// Why a session stopped for a noted signal or a KeyboardInterrupt: the first
// noted item decides. SIGINT, or none noted, is an interrupt; "disk_full" a
// full disk; "source_lost" a source that stayed away; any other value, of
// whatever type, a termination.
Stop signal_stop(const Hooks &h);

}  // namespace velmar::capture
