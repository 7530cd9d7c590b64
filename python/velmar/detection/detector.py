"""The engine's motion hook of a recording: each frame's region and its
surround are scaled and turned grey, the region blurred and compared by the
chosen model where the masks let it look, and judged as today's check does,
by the area of what changed."""

from __future__ import annotations

import cv2
import numpy as np

from velmar.detection import masks
from velmar.detection.framing import framing, small_grey
from velmar.detection.models import model
from velmar.options import Motion

WINDOWS = ("DEBUG - absdiff between frames", "DEBUG - thresholded absdiff")


def scaled_kernel(width: int, scale: float) -> int:
    """The odd blur width nearest `width` scaled."""
    return max(1, 2 * round((width * scale - 1) / 2) + 1)


class Detector:
    """Called by the engine with each whole frame (an image, or a decoder's
    picture) and whether it is to be the new reference; gives (motion,
    largest changed area in frame pixels)."""

    def __init__(self, motion: Motion, region: tuple[int, int, int, int] | None = None,
                 frame_size: tuple[int, int] | None = None):
        self.motion, self.region = motion, region
        self.kind, self.threshold = motion.detector, motion.threshold
        self.history, self.light_guard = motion.history, motion.light_guard
        # Without the guard no share of changed light is too large.
        self.max_change = motion.max_change if self.light_guard else 1.0
        self.scale, self.every = motion.detect_scale, motion.detect_every
        self.kernel = scaled_kernel(motion.kernel_width, self.scale)
        self.min_area = motion.min_area * self.scale ** 2
        self.dilations = max(1, round(2 * self.scale))
        self.show = motion.show_diff
        self.frame_size = frame_size  # known ahead for a file: its masks are checked then
        self.framing = None
        self.model = None
        self.watched = None
        self.count = 0
        self.last = (False, 0.0)

    def __call__(self, frame, reference: bool):
        if reference or self.model is None:
            self.count = 0
            self._restart(*self._look(frame))
            return False, 0.0
        self.count += 1
        if self.count % self.every:
            return self.last[0], 0.0  # between checks, frames take the last decision
        self.last = self._judge(*self._look(frame))
        return self.last

    def _look(self, frame) -> tuple[np.ndarray, np.ndarray]:
        """The scaled grey surround, and the blurred region in it."""
        if self.framing is None:
            self._size_up(frame.shape[1], frame.shape[0])
        small = small_grey(frame, self.framing.surround, self.framing.small_size)
        region = cv2.GaussianBlur(self.framing.region_of(small), (self.kernel, self.kernel), 0)
        return region, small

    def _size_up(self, width: int, height: int) -> None:
        """At the first frame: where to look, and the watched pixels there."""
        region = self.region or (0, 0, width, height)
        if self.frame_size is None:
            masks.check_fits(self.motion, (width, height))
        self.framing = framing(region, (width, height), self.scale, self.light_guard)
        whole = masks.watched(self.motion, (width, height))
        if whole is None:
            return
        x, y, w, h = region
        self.watched = cv2.resize(whole[y:y + h, x:x + w], self.framing.region[2:],
                                  interpolation=cv2.INTER_NEAREST)

    def _restart(self, region: np.ndarray, small: np.ndarray) -> None:
        self.model = model(self.kind, region, small, self.framing.region, self.threshold,
                           self.history, self.light_guard)
        self.last = (False, 0.0)

    def _judge(self, region: np.ndarray, small: np.ndarray) -> tuple[bool, float]:
        relit, changed = self.model.changed(region, small)
        if relit > self.max_change:
            # Too much of the picture changed at once to be something moving: the light did.
            self._restart(region, small)
            return False, 0.0
        if self.watched is not None:
            cv2.bitwise_and(changed, self.watched, dst=changed)
        largest = (self._shown(changed) if self.show
                   else largest_change(changed, self.dilations))
        moving = largest > self.min_area
        self.model.after(region, moving)
        return moving, largest / self.scale ** 2

    def _shown(self, changed: np.ndarray) -> float:
        """largest_change() over the whole picture, shown in two windows."""
        grown = cv2.dilate(changed, None, iterations=self.dilations)
        contours = cv2.findContours(grown, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)[-2]
        picture = cv2.applyColorMap(self.model.delta, cv2.COLORMAP_JET)
        cv2.drawContours(picture, contours, -1, (0, 0, 0))
        for name, image in zip(WINDOWS, (picture, grown)):
            cv2.namedWindow(name, cv2.WINDOW_NORMAL)
            cv2.imshow(name, image)
        return largest_area(contours)


def largest_change(changed: np.ndarray, dilations: int) -> float:
    """The area of the largest patch of change, grown by `dilations` pixels
    so that patches close together join. Only the box around what changed
    is looked at: most frames change little or nothing, and outside it the
    growing and the outlines find nothing."""
    if not cv2.countNonZero(changed):
        return 0.0
    x, y, width, height = cv2.boundingRect(changed)
    margin = dilations + 1
    left, top = max(0, x - margin), max(0, y - margin)
    part = changed[top:y + height + margin, left:x + width + margin]
    grown = cv2.dilate(part, None, iterations=dilations)
    return largest_area(cv2.findContours(grown, cv2.RETR_EXTERNAL,
                                         cv2.CHAIN_APPROX_SIMPLE)[-2])


def largest_area(contours) -> float:
    return max((cv2.contourArea(c) for c in contours), default=0.0)
