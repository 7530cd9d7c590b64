// The recording API's hooks: what the engine calls back, and the stop list
// it reads between frames. They are read once from one object's attributes
// and held here, owned, for the whole session, so a caller that rebinds
// them midway cannot leave the engine with a freed object. The exact
// entry's sessions have none.
#pragma once

#include <nanobind/nanobind.h>

namespace velmar::capture {

struct Hooks {
    // list: the signal handlers append the numbers of the signals they note,
    // the disk guard "disk_full", the live source "source_lost".
    nanobind::object stop = nanobind::none();
    // callable: (read, kept, frame count, position)
    nanobind::object progress = nanobind::none();
    // callable: (name, codec, rate, size, colour) -> writer; None: cv2.VideoWriter
    nanobind::object writer = nanobind::none();
    // callable: log name -> file; None: open()
    nanobind::object log_opener = nanobind::none();
    // callable: (EndedEvent) -> None, told of each motion event as it ends
    nanobind::object on_event = nanobind::none();
    // callable: source -> capture; None: cv2.VideoCapture
    nanobind::object opener = nanobind::none();
    // callable: () -> whether a live source that gave no frame gives frames
    // again; None: no frame is the input's end.
    nanobind::object reconnect = nanobind::none();
    // callable: (file number, first frame's time) -> video name
    nanobind::object namer = nanobind::none();
    // callable: frame time -> whether a new file starts
    nanobind::object segmenter = nanobind::none();
    // callable: (whole frame, whether it is to be the new reference) ->
    // (motion, largest changed area); None: the engine's own check.
    nanobind::object detector = nanobind::none();
};

// The hooks named by `source`'s attributes, each of which it must have:
// TypeError for a stop that is not a list and a hook that is not callable,
// either of them may be None.
Hooks hooks_of(nanobind::handle source);

}  // namespace velmar::capture
