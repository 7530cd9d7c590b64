// The behaviours in which the two entries' sessions differ, each named for
// what it does, and the two profiles the entries pick from: the exact
// module's, which does everything as vcapture always has, and the recording
// API's, which makes a recording reportable and its files whole. Every
// behaviour is on in exactly one profile; the two functions below are the
// one list of which.
#pragma once

namespace velmar::capture {

struct Behaviour {
    // The exact module's own.

    // An output set opens at the first frame accepted into the loop, before
    // it is known to be kept; otherwise at the first frame written.
    bool set_opens_at_first_accepted_frame = false;
    // FileNotFoundError inside the loop ends the session with a console line.
    bool missing_path_ends_quietly = false;

    // The recording API's own.

    // Motion is checked against the scene as it first was, not against a
    // black frame that would make the first frame motion.
    bool first_frame_is_motion_reference = false;
    // A time-lapse keeps the frame nearest each point of a fixed grid (the
    // start, one interval on, ...), so that it does not drift; otherwise the
    // first frame an interval past the last kept one.
    bool timelapse_on_grid = false;
    // A time-lapse decides first and copies the region only of frames it keeps.
    bool timelapse_copies_only_kept_frames = false;
    // The motion reference and the interval clock run on across output sets,
    // so splitting a recording does not change which frames it keeps.
    bool sets_share_motion_reference_and_clock = false;
    // A writer that did not open is refused before its log is created.
    bool writer_checked_before_log = false;
    // The file a writer that did not open left behind is removed.
    bool failed_writer_file_removed = false;
    // An OS error while the log is written carries the log's name.
    bool os_error_names_log = false;
    // Videos are written and reported at the rate measured or requested as
    // a float, not at the whole frames per second.
    bool rate_is_measured = false;
    // An int is a camera index and anything else a file; otherwise whatever
    // int() converts is a camera index.
    bool source_kind_is_python_type = false;
    // A read that returns no frame while a signal is noted ends the session
    // for that signal, not as the input's end.
    bool cut_read_is_signal_end = false;
    // Log times have six digits of microseconds, so every stamp has one width.
    bool times_have_microseconds = false;
    // The blur kernel must be odd and fit the region before anything opens.
    bool kernel_checked_against_region = false;
    // A motion-based session keeps motion as events, with their padding,
    // and tells each one as it ends; otherwise every motion frame is written.
    bool motion_comes_in_events = false;
};

// velmar.ccapture.vcapture's sessions.
constexpr Behaviour exact_profile() {
    Behaviour b;
    b.set_opens_at_first_accepted_frame = true;
    b.missing_path_ends_quietly = true;
    return b;
}

// velmar.record()'s sessions, through velmar._engine.
constexpr Behaviour recording_profile() {
    Behaviour b;
    b.first_frame_is_motion_reference = true;
    b.timelapse_on_grid = true;
    b.timelapse_copies_only_kept_frames = true;
    b.sets_share_motion_reference_and_clock = true;
    b.writer_checked_before_log = true;
    b.failed_writer_file_removed = true;
    b.os_error_names_log = true;
    b.rate_is_measured = true;
    b.source_kind_is_python_type = true;
    b.cut_read_is_signal_end = true;
    b.times_have_microseconds = true;
    b.kernel_checked_against_region = true;
    b.motion_comes_in_events = true;
    return b;
}

}  // namespace velmar::capture
