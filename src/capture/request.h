// The values of one vcapture call, as the binding converted them. Text and
// array parameters are borrowed from the call and may be None.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>

namespace velmar::capture {

struct Request {
    nanobind::handle input_;
    nanobind::handle output;
    nanobind::handle fmt;
    std::int32_t fps;
    bool interactive;
    std::int32_t width;
    std::int32_t height;
    std::int32_t roi_x;
    std::int32_t roi_y;
    std::int32_t roi_w;
    std::int32_t roi_h;
    double interval;
    double duration;
    std::int64_t max_frames;
    bool motion_based;
    bool config;
    std::int32_t threshold;
    std::int32_t min_area;
    std::int32_t kernel_width;
    bool timestamp;
    bool show_diff;
    nanobind::handle tb;
    nanobind::handle tc;
    std::int32_t tx;
    std::int32_t ty;
    double fs;
};

// Whether the region of interest lies inside frames of this size; the sums
// are taken in 64 bits so a huge region cannot wrap around and pass.
inline bool region_fits(const Request &r, std::int64_t width, std::int64_t height) {
    return std::int64_t{r.roi_x} + r.roi_w <= width && std::int64_t{r.roi_y} + r.roi_h <= height;
}

}  // namespace velmar::capture
