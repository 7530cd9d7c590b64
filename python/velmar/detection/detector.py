"""The engine's motion hook of a recording: each region copy is scaled,
turned grey and blurred, compared by the chosen model where the masks let
it look, and judged as today's check does, by the area of what changed."""

from __future__ import annotations

import cv2
import numpy as np

from velmar.detection import masks
from velmar.detection.models import model

WINDOWS = ("DEBUG - absdiff between frames", "DEBUG - thresholded absdiff")


def scaled_kernel(width: int, scale: float) -> int:
    """The odd blur width nearest `width` scaled."""
    return max(1, 2 * round((width * scale - 1) / 2) + 1)


class Detector:
    """Called by the engine with each region copy and whether it is to be the
    new reference; gives (motion, largest changed area in frame pixels)."""

    def __init__(self, checked: dict, frame_size: tuple[int, int] | None = None):
        self.checked = checked
        self.kind, self.threshold = checked["detector"], checked["threshold"]
        self.history, self.light_guard = checked["history"], checked["light_guard"]
        # Without the guard no share of changed pixels is too large.
        self.max_change = checked["max_change"] if self.light_guard else 1.0
        self.scale, self.every = checked["detect_scale"], checked["detect_every"]
        self.kernel = scaled_kernel(checked["kernel_width"], self.scale)
        self.min_area = checked["min_area"] * self.scale ** 2
        self.dilations = max(1, round(2 * self.scale))
        self.show = checked["show_diff"]
        self.frame_size = frame_size
        self.model = None
        self.watched = None
        self.watched_pixels = 0
        self.small_size = None
        self.count = 0
        self.last = (False, 0.0)

    def __call__(self, region: np.ndarray, reference: bool):
        if reference or self.model is None:
            self.count = 0
            self._restart(self._small_grey(region))
            return False, 0.0
        self.count += 1
        if self.count % self.every:
            return self.last[0], 0.0  # between checks, frames take the last decision
        self.last = self._judge(self._small_grey(region))
        return self.last

    def _small_grey(self, region: np.ndarray) -> np.ndarray:
        if self.small_size is None:
            self._size_up(region)
        grey = cv2.cvtColor(region, cv2.COLOR_BGR2GRAY) if region.ndim == 3 else region
        if self.scale != 1.0:
            grey = cv2.resize(grey, self.small_size, interpolation=cv2.INTER_AREA)
        return cv2.GaussianBlur(grey, (self.kernel, self.kernel), 0)

    def _size_up(self, region: np.ndarray) -> None:
        """At the first frame: the scaled size, and the watched pixels in it."""
        height, width = region.shape[:2]
        self.small_size = (max(1, round(width * self.scale)), max(1, round(height * self.scale)))
        x, y = self.checked["region"][:2] if self.checked["region"] else (0, 0)
        frame = self.frame_size or (x + width, y + height)
        if self.checked["region"] is None or self.frame_size is not None:
            masks.check_fits(self.checked, frame)
        whole = masks.watched(self.checked, self._mask_canvas(frame, x + width, y + height))
        if whole is None:
            return
        area = whole[y:y + height, x:x + width]
        self.watched = cv2.resize(area, self.small_size, interpolation=cv2.INTER_NEAREST)
        self.watched_pixels = cv2.countNonZero(self.watched)

    def _mask_canvas(self, frame, right: int, bottom: int) -> tuple[int, int]:
        """Polygons are drawn on the whole frame, or as far as the region
        reaches when the frame's size is unknown."""
        return max(frame[0], right), max(frame[1], bottom)

    def _restart(self, small: np.ndarray) -> None:
        self.model = model(self.kind, small, self.threshold, self.history, self.light_guard)
        self.last = (False, 0.0)

    def _judge(self, small: np.ndarray) -> tuple[bool, float]:
        relit, changed = self.model.changed(small)
        if self.watched is not None:
            cv2.bitwise_and(changed, self.watched, dst=changed)
        pixels = self.watched_pixels or changed.size
        if max(relit, cv2.countNonZero(changed) / pixels) > self.max_change:
            # Too much changed at once to be something moving: the light did.
            self._restart(small)
            return False, 0.0
        grown = cv2.dilate(changed, None, iterations=self.dilations)
        contours = cv2.findContours(grown, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)[-2]
        largest = max((cv2.contourArea(c) for c in contours), default=0.0)
        moving = largest > self.min_area
        if self.show:
            self._show(contours, grown)
        self.model.after(small, moving)
        return moving, largest / self.scale ** 2

    def _show(self, contours, grown: np.ndarray) -> None:
        picture = cv2.applyColorMap(self.model.delta, cv2.COLORMAP_JET)
        cv2.drawContours(picture, contours, -1, (0, 0, 0))
        for name, image in zip(WINDOWS, (picture, grown)):
            cv2.namedWindow(name, cv2.WINDOW_NORMAL)
            cv2.imshow(name, image)
