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
        part = shrunk(part, size)  # first: it leaves fewer pixels to turn grey
    if part.ndim == 3:
        return cv2.cvtColor(part, cv2.COLOR_BGR2GRAY)
    return np.ascontiguousarray(part)


def shrunk(image: np.ndarray, size: tuple[int, int]) -> np.ndarray:
    """`image` scaled down to `size` (width, height). OpenCV averages 2x2
    blocks ten to fifty times faster than it averages any other ratio (a
    4x4 block, or 4 pixels into 3), so the image is halved while it is
    twice the size or more, and what is left, less than a halving, is
    interpolated; the blur that follows smooths the difference away."""
    width, height = size
    while image.shape[1] >= 2 * width and image.shape[0] >= 2 * height:
        image = cv2.resize(image, (image.shape[1] // 2, image.shape[0] // 2),
                           interpolation=cv2.INTER_AREA)
    if image.shape[:2] == (height, width):
        return image
    return cv2.resize(image, size, interpolation=cv2.INTER_LINEAR)
