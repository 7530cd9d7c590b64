// One capture session from opening the input to releasing everything.
#pragma once

#include <cstdint>

#include "capture/request.h"
#include "velmar/ccapture/namespace.h"

namespace velmar::capture {

// The number of frames read, or 0 when the session stopped early.
std::int64_t vcapture(const Namespace &ns, const Request &request);

}  // namespace velmar::capture
