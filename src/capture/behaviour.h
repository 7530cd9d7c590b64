// The behaviours in which the two entries' sessions differ, each named for
// what it does. Every entry passes its own fixed set to the engine; a
// behaviour is off unless the entry turns it on.
#pragma once

namespace velmar::capture {

struct Behaviour {
    // Motion is checked against the scene as it first was, not against a
    // black frame that would make the first frame motion.
    bool first_frame_is_motion_reference = false;
    // A time-lapse keeps the frame nearest each point of a fixed grid (the
    // start, one interval on, ...), so that it does not drift; otherwise the
    // first frame an interval past the last kept one.
    bool timelapse_on_grid = false;
    // A time-lapse decides first and copies the region only of frames it keeps.
    bool timelapse_copies_only_kept_frames = false;
    // An output set opens at the first frame accepted into the loop, before
    // it is known to be kept; otherwise at the first frame written.
    bool set_opens_at_first_accepted_frame = false;
    // The motion reference and the interval clock run on across output sets,
    // so splitting a recording does not change which frames it keeps.
    bool sets_share_motion_reference_and_clock = false;
    // A writer that did not open is refused before its log is created.
    bool writer_checked_before_log = false;
    // The file a writer that did not open left behind is removed.
    bool failed_writer_file_removed = false;
    // An OS error while the log is written carries the log's name.
    bool os_error_names_log = false;
    // FileNotFoundError inside the loop ends the session with a console line.
    bool missing_path_ends_quietly = false;
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
};

}  // namespace velmar::capture
