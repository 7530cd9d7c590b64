// Outages of a live source: a read that gives no frame while the recording
// API reconnects. The recording's files stay whole through the wait, and no
// event, padding or motion reference spans the gap.
#pragma once

#include "capture/session.h"

namespace velmar::capture {

// Ends the open event, closes the open set and waits on the `reconnect`
// hook; true when the source gives frames again, with the session ready to
// go on into a new set.
bool rode_out_outage(Session &s);

}  // namespace velmar::capture
