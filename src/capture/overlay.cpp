#include "capture/overlay.h"

#include <cstdint>
#include <array>

#include "glue/unpack.h"
#include "glue/conversions.h"
#include "glue/errors.h"
#include "glue/numpy_binding.h"

namespace nb = nanobind;

namespace velmar::capture {
namespace {

void check_colour(nb::handle colour, const char *name) {
    if (colour.is_none())
        raise(PyExc_ValueError, "%s must hold 3 colour components when timestamp is set, not None",
              name);
    std::int64_t length = array_length(colour.ptr());
    if (length < 3)
        raise(PyExc_ValueError,
              "%s must hold 3 colour components when timestamp is set, not %lld", name,
              static_cast<long long>(length));
}

}  // namespace

nb::object colour_of(nb::handle colour) {
    return nb::make_tuple(int32_at(colour.ptr(), 0), int32_at(colour.ptr(), 1),
                          int32_at(colour.ptr(), 2));
}

void check_overlay_colours(const Options &r) {
    if (!r.timestamp)
        return;
    check_colour(r.tb, "tb");
    check_colour(r.tc, "tc");
}

void draw_timestamp(const Namespace &ns, const Options &r, nb::handle box_colour,
                    nb::handle text_colour, nb::handle roi, nb::handle tstring) {
    nb::object cv2 = ns[Global::cv2];
    nb::object measured = cv2.attr("getTextSize")(tstring, cv2.attr("FONT_HERSHEY_SIMPLEX"),
                                                  0.5, 2);
    std::array<nb::object, 2> size = unpack<2>(unpack<2>(measured)[0]);
    std::int64_t w = to_int64(size[0].ptr());
    std::int64_t h = to_int64(size[1].ptr());
    nb::object origin = nb::make_tuple(r.tx, r.ty);
    // The box spans from the text origin up to the measured height: glyph
    // parts below the baseline are not on it.
    cv2.attr("rectangle")(roi, origin, nb::make_tuple(r.tx + w, r.ty - h), box_colour,
                          cv2.attr("FILLED"));
    cv2.attr("putText")(roi, tstring, origin, cv2.attr("FONT_HERSHEY_SIMPLEX"), r.fs,
                        text_colour, 2, cv2.attr("LINE_AA"));
}

}  // namespace velmar::capture
