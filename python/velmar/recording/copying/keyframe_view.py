"""What an observer (the live view) is shown of a copy, which decodes nothing
for writing: its keyframes, each decoded alone, at most a few a second.
A keyframe needs no other frame, so this costs one decode a keyframe
interval, not one a frame."""

from __future__ import annotations

import time
from collections.abc import Callable
from typing import Any

SHOWN_EVERY = 0.25  # seconds: the live view's pace


class KeyframeView:
    """`shown(image)` gets a NumPy image; `picture(frame)`, where the
    observer has it, the decoded PyAV frame, which it can make small
    without NumPy or OpenCV."""

    def __init__(self, shown: Callable[[Any], None], picture: Callable[[Any], None] | None):
        self.shown, self.picture = shown, picture
        self.last = float("-inf")

    def keyframe(self, stream, packet) -> None:
        """Shows the keyframe `packet` of `stream` when a picture is due; the
        packet is written unchanged after."""
        now = time.monotonic()
        if now - self.last < SHOWN_EVERY:
            return
        self.last = now
        try:
            frames = stream.codec_context.decode(packet)
        except Exception:  # a picture the live view misses is no fault of the recording
            return
        for frame in frames[-1:]:
            if self.picture is not None:
                self.picture(frame)
            else:
                self.shown(frame.to_ndarray(format="bgr24"))
