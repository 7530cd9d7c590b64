"""Where the detector looks in a frame: the region, and around it the
surround on which light is measured, both on the scaled copy.

Light is judged on the surround, not on the region alone: a car that fills
a small region changes most of the region but little of what lies around
it, while a change of light reaches both."""

from __future__ import annotations

from dataclasses import dataclass

import cv2
import numpy as np

Box = tuple[int, int, int, int]  # x, y, width, height


@dataclass(frozen=True)
class Framing:
    surround: Box          # in frame pixels
    small_size: tuple[int, int]  # the surround scaled (width, height)
    region: Box            # the region inside the scaled surround

    def region_of(self, small: np.ndarray) -> np.ndarray:
        x, y, width, height = self.region
        return small[y:y + height, x:x + width]


def surround_of(region: Box, frame: tuple[int, int], light_guard: bool) -> Box:
    """The region grown by its larger side each way, within the frame; the
    region alone when light is not judged."""
    x, y, width, height = region
    if not light_guard:
        return region
    margin = max(width, height)
    left, top = max(0, x - margin), max(0, y - margin)
    right, bottom = min(frame[0], x + width + margin), min(frame[1], y + height + margin)
    return left, top, right - left, bottom - top


def framing(region: Box, frame: tuple[int, int], scale: float, light_guard: bool) -> Framing:
    surround = surround_of(region, frame, light_guard)
    small = (max(1, round(surround[2] * scale)), max(1, round(surround[3] * scale)))
    sx, sy = small[0] / surround[2], small[1] / surround[3]
    left, top = round((region[0] - surround[0]) * sx), round((region[1] - surround[1]) * sy)
    right = min(small[0], max(left + 1, round((region[0] + region[2] - surround[0]) * sx)))
    bottom = min(small[1], max(top + 1, round((region[1] + region[3] - surround[1]) * sy)))
    return Framing(surround, small, (left, top, right - left, bottom - top))


def small_grey(frame, box: Box, size: tuple[int, int]) -> np.ndarray:
    """The grey of `box` scaled to `size`: from an image (BGR or grey), or
    from a decoder's picture, which gives its own grey plane."""
    if not isinstance(frame, np.ndarray):
        return frame.grey(box, size)
    x, y, width, height = box
    part = frame[y:y + height, x:x + width]
    if (width, height) != size:
        # Scaling first leaves fewer pixels to turn grey.
        part = cv2.resize(part, size, interpolation=cv2.INTER_AREA)
    if part.ndim == 3:
        return cv2.cvtColor(part, cv2.COLOR_BGR2GRAY)
    return np.ascontiguousarray(part)
