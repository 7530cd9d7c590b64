"""How `record()` opens its source.

A file is decoded with more of FFmpeg's frame threads than the machine has
cores. OpenCV asks for one a core, which on two cores keeps only about 1.4 of
them busy while it decodes H.264; with three a core both stay busy, and a
720p file decodes in about a quarter less time.
Live sources keep OpenCV's choice: every frame thread holds a frame back for
one more frame's time, which would make a live frame's clock time late.
"""

from __future__ import annotations

import os

from velmar.recording.read_ahead import ReadAhead

FRAME_THREADS_PER_CORE = 3
MOST_FRAME_THREADS = 16  # as many as FFmpeg's decoders take


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


def opener(cv2, live: bool, read_ahead: bool, stop: list):
    """What the engine calls to open its source; None lets it open a live
    source its own way."""
    if live and not read_ahead:
        return None

    def open_source(value):
        capture = cv2.VideoCapture(value) if live else open_file(cv2, value)
        return ReadAhead(capture, stop) if read_ahead else capture
    return open_source
