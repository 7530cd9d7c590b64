// The module's three callables: their parameter tables and operations.
#pragma once

#include "velmar/ccapture/parameters.h"

namespace velmar {

extern const Signature check_motion_rgb_signature;
extern const Signature check_motion_gray_signature;
extern const Signature vcapture_signature;

}  // namespace velmar
