// The timestamp overlay: a filled box measured for scale 0.5 and the
// timestamp text at the requested scale, drawn onto the kept region copy.
#pragma once

#include <nanobind/nanobind.h>

#include "capture/options.h"
#include "glue/namespace.h"

namespace velmar::capture {

// ValueError unless `tb` and `tc` each hold the three colour components the
// overlay draws with; checked before a session with the overlay opens anything.
void check_overlay_colours(const Options &r);

// The colour (element 0, 1, 2) of a checked `tb` or `tc` as OpenCV takes it.
nanobind::object colour_of(nanobind::handle colour);

void draw_timestamp(const Namespace &ns, const Options &r, nanobind::handle box_colour,
                    nanobind::handle text_colour, nanobind::handle roi,
                    nanobind::handle tstring);

}  // namespace velmar::capture
