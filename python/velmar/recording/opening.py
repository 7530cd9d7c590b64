"""How `record()` opens its source.

A file is decoded with more of FFmpeg's frame threads than the machine has
cores. OpenCV asks for one a core, which on two cores keeps only about 1.4 of
them busy while it decodes H.264; with three a core both stay busy, and a
720p file decodes in about a quarter less time.
Live sources keep OpenCV's choice: every frame thread holds a frame back for
one more frame's time, which would make a live frame's clock time late.
Streams are opened by FFmpeg with open and read timeouts, so that a stalled
server gives up a read on its own; RTSP goes over TCP unless asked otherwise.
"""

from __future__ import annotations

import os
import re
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any

from velmar.recording.pictures import open_pictures
from velmar.recording.read_ahead import ReadAhead
from velmar.recording.sources import STREAM

FRAME_THREADS_PER_CORE = 3
MOST_FRAME_THREADS = 16  # as many as FFmpeg's decoders take
READ_TIMEOUT_MARGIN = 5.0  # seconds
RTSP = re.compile(r"^rtsps?://", re.IGNORECASE)
# FFmpeg's options for OpenCV's captures, "key;value|key;value"; the user's own stand.
CAPTURE_OPTIONS = "OPENCV_FFMPEG_CAPTURE_OPTIONS"


def cores() -> int:
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1


def frame_threads() -> int:
    return min(MOST_FRAME_THREADS, FRAME_THREADS_PER_CORE * cores())


def open_file(cv2, path):
    # OpenCV before 4.6 cannot be asked: its default stands.
    threads = getattr(cv2, "CAP_PROP_N_THREADS", None)
    if threads is None:
        return cv2.VideoCapture(path)
    return cv2.VideoCapture(path, cv2.CAP_ANY, [threads, frame_threads()])


def stream_timeouts(cv2, stall_timeout: float) -> list[int]:
    """Open and read timeouts of FFmpeg's captures, where OpenCV has them.
    A read gives up a little after the recording has noticed the stall
    itself, so that its thread is not blocked for good."""
    limits = {"CAP_PROP_OPEN_TIMEOUT_MSEC": stall_timeout,
              "CAP_PROP_READ_TIMEOUT_MSEC": stall_timeout + READ_TIMEOUT_MARGIN}
    if not all(hasattr(cv2, name) for name in limits):
        return []
    return [value for name, seconds in limits.items()
            for value in (getattr(cv2, name), int(seconds * 1000))]


@contextmanager
def rtsp_transport(value: str, transport: str) -> Iterator[None]:
    """FFmpeg reads its capture options from the environment at each open."""
    if not RTSP.match(value) or CAPTURE_OPTIONS in os.environ:
        yield
        return
    os.environ[CAPTURE_OPTIONS] = f"rtsp_transport;{transport}"
    try:
        yield
    finally:
        os.environ.pop(CAPTURE_OPTIONS, None)


def live_opener(cv2, value: int | str, stall_timeout: float,
                transport: str) -> Callable[[], Any]:
    """Makes a new capture of a live source each time it is called."""
    if not (isinstance(value, str) and STREAM.match(value)):
        return lambda: cv2.VideoCapture(value)
    params = stream_timeouts(cv2, stall_timeout)

    def open_stream():
        with rtsp_transport(value, transport):
            if not params:
                return cv2.VideoCapture(value, cv2.CAP_FFMPEG)
            return cv2.VideoCapture(value, cv2.CAP_FFMPEG, params)
    return open_stream


def opener(cv2, read_ahead: bool, stop: list, pictures: bool = False) -> Callable[[str], Any]:
    """What the engine calls to open a file or an image sequence; with
    `pictures`, a file the decoder's pictures serve is read through PyAV."""
    def open_source(value):
        capture = (pictures and open_pictures(value, frame_threads())) or open_file(cv2, value)
        return ReadAhead(capture, stop) if read_ahead else capture
    return open_source
