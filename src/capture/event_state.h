// The state of motion events: frames waiting for a possible event in a
// bounded ring of region copies, and the event being written.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <deque>

namespace velmar::capture {

// One frame read, with what writing it needs later.
struct HeldFrame {
    nanobind::object roi;
    nanobind::object ts;
    std::int64_t inframe = 0;
    double t = 0.0;     // seconds since the start, on the frames' own times
    double area = 0.0;  // the largest changed area the motion check found
};

// A ring of at most `capacity` frames, oldest first; a full ring lets its
// oldest frame go, so memory stays flat whatever the source does.
class FrameRing {
public:
    void set_capacity(std::size_t capacity) { capacity_ = capacity; }
    bool empty() const { return frames_.empty(); }
    HeldFrame &front() { return frames_.front(); }
    void push(HeldFrame frame);
    void pop() { frames_.pop_front(); }
    void clear() { frames_.clear(); }

private:
    std::deque<HeldFrame> frames_;
    std::size_t capacity_ = 0;
};

struct EventState {
    enum class Phase { Idle, Pending, Open };
    Phase phase = Phase::Idle;
    FrameRing ring;
    double first_motion = 0.0;
    double last_motion = 0.0;

    // The event being written.
    std::int64_t first_frame = 0;
    std::int64_t last_frame = 0;
    std::int64_t frames = 0;
    double start = 0.0;
    double end = 0.0;
    nanobind::object start_text = nanobind::none();
    nanobind::object end_text = nanobind::none();
    nanobind::object video = nanobind::none();
    double best_area = -1.0;
    nanobind::object best_roi = nanobind::none();
};

}  // namespace velmar::capture
