"""Motion by copy's plan, from the checked settings: the events' rules, the
detector, and the stream it looks at."""

from __future__ import annotations

from dataclasses import replace
from functools import partial
from typing import TYPE_CHECKING

from velmar.options import KEYFRAME, Motion, Settings
from velmar.recording.copying.packet_reader import open_reader

if TYPE_CHECKING:
    from velmar.detection.detector import Detector
    from velmar.recording.copying.motion_copy import MotionPlan


def copy_detector(motion: Motion, scale: float) -> Detector:
    """A detector of pictures read from frames `scale` times as wide as the
    recorded stream's (a sub-stream's): its frame is the recorded stream's,
    so its masks and areas are in that stream's pixels, and it looks at as
    many pixels as `detect_scale` asks of the frames it reads. Keyframes
    alone are each checked."""
    from velmar.detection.detector import Detector
    every = 1 if motion.detect_every == KEYFRAME else motion.detect_every
    return Detector(replace(motion, detect_every=every, detect_scale=motion.detect_scale * scale))


def motion_plan(checked: Settings, live: bool, events) -> MotionPlan | None:
    """None unless motion is kept. `events` is the events log, told of each."""
    if not checked.keeping.by_motion:
        return None
    # Detection loads NumPy and OpenCV: a copy of every packet loads neither.
    from velmar.recording.copying.copy_events import EventRules
    from velmar.recording.copying.motion_copy import MotionPlan
    motion, source = checked.motion, None
    if motion.detect_source is not None:
        source = partial(open_reader, motion.detect_source,
                         checked.live.stall_timeout if live else None,
                         checked.live.rtsp_transport)
    rules = EventRules(checked.events.before, checked.events.after, checked.events.min_event,
                       checked.events.file_per_event)
    return MotionPlan(rules, partial(copy_detector, motion), motion.detect_every == KEYFRAME,
                      pictures=bool(events.thumbnails or events.wants_sheet), on_event=events,
                      detection_source=source)
