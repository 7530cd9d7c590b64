// One capture session from opening the input to releasing everything: the
// engine behind both the exact entry and the recording API.
#pragma once

#include "capture/behaviour.h"
#include "capture/hooks.h"
#include "capture/options.h"
#include "capture/result.h"
#include "glue/namespace.h"

namespace velmar::capture {

// `behaviour` is the calling entry's profile; `hooks` are held until it returns.
Result run_session(const Namespace &ns, const Options &options, const Hooks &hooks,
                   const Behaviour &behaviour);

}  // namespace velmar::capture
