"""Changes of light taken out before frames are compared.

A change of light multiplies each part of the picture by a factor that
varies smoothly across it: the sun coming out, dawn, a lamp's pool of light.
That factor is measured on a coarse grid of cells, as the ratio of the
frame's cells to the reference's. A median over neighbouring cells leaves
out the few cells an object covers, so what moves stays, and the reference
is brought to the frame's light before the two are compared."""

from __future__ import annotations

import cv2
import numpy as np

CELLS_ACROSS = 16
MEDIAN_CELLS = 5  # neighbourhood of the median: wider than most objects' cells


class LitReference:
    """The picture frames are compared with, as a running image that follows
    a still scene, and how it looks in the current frame's light."""

    def __init__(self, first: np.ndarray):
        height, width = first.shape
        across = min(CELLS_ACROSS, width)
        self.grid = (across, max(1, min(height, round(across * height / width))))
        self.size = (width, height)
        self.image = first.astype(np.float32)
        self.lit = first.copy()
        self._factor = np.empty(first.shape, np.float32)
        self._scratch = np.empty(first.shape, np.float32)

    def take(self, frame: np.ndarray) -> None:
        """The frame itself becomes the reference."""
        self.image[:] = frame

    def follow(self, frame: np.ndarray, rate: float) -> None:
        """The reference moves towards the frame by `rate`."""
        cv2.accumulateWeighted(frame, self.image, rate)

    def measure(self, frame: np.ndarray, threshold: int) -> float:
        """Measures how the frame's light differs from the reference's; gives
        the share of cells whose mean moved by more than `threshold`."""
        cells = cv2.resize(frame, self.grid, interpolation=cv2.INTER_AREA).astype(np.float32)
        own = cv2.resize(self.image, self.grid, interpolation=cv2.INTER_AREA)
        moved = np.count_nonzero(np.abs(cells - own) > threshold) / cells.size
        ratio = (cells + 1.0) / (own + 1.0)
        if min(self.grid) >= MEDIAN_CELLS:
            ratio = cv2.medianBlur(ratio, MEDIAN_CELLS)
        cv2.resize(ratio, self.size, dst=self._factor, interpolation=cv2.INTER_LINEAR)
        return moved

    def in_frame_light(self) -> np.ndarray:
        """The reference as it looks in the measured frame's light (uint8)."""
        cv2.multiply(self.image, self._factor, dst=self._scratch)
        return cv2.convertScaleAbs(self._scratch, dst=self.lit)

    def in_own_light(self, frame: np.ndarray) -> np.ndarray:
        """The measured frame as it looks in the reference's light (uint8)."""
        cv2.divide(frame.astype(np.float32), self._factor, dst=self._scratch)
        return cv2.convertScaleAbs(self._scratch, dst=self.lit)
