"""Changes of light taken out before frames are compared.

A change of light multiplies each part of the picture by a factor that
varies smoothly across it: the sun coming out, dawn, a lamp's pool of light,
a camera's exposure. That factor is measured on a coarse grid of cells over
the surround (the region and a margin around it), as the ratio of the
frame's cells to the reference's. A median over neighbouring cells leaves
out the few cells an object covers, so what moves stays, and the reference
is brought to the frame's light before the two are compared."""

from __future__ import annotations

import cv2
import numpy as np

CELLS_ACROSS = 16
MEDIAN_CELLS = 5  # neighbourhood of the median: wider than most objects' cells
SAMPLES_ACROSS_CELL = 8
SAME_LIGHT = 0.01  # a factor this close to 1 changes no pixel by more than 2.5 levels
# A fresh reference learns fast, so that what left the first frame is soon
# forgotten, then slows to the history's rate.
WARM_UP = 30  # frames


class LitReference:
    """The picture frames are compared with: a running image of the still
    scene (the background) over the region, and how it looks in the current
    frame's light."""

    def __init__(self, first: np.ndarray, surround: np.ndarray, region):
        height, width = surround.shape
        across = min(CELLS_ACROSS, width)
        self.grid = (across, max(1, min(height, round(across * height / width))))
        self.surround_size = (width, height)
        x, y, w, h = region
        self.region = (slice(y, y + h), slice(x, x + w))
        self.step = max(1, width // across // SAMPLES_ACROSS_CELL)
        self.image = first.astype(np.float32)
        self.image8 = first.copy()  # the image in whole grey levels
        self.lit = np.empty_like(first)
        self.cells = self._cells_of(surround)  # of the frame last measured
        self.own_cells = self.cells.copy()
        self.same_light = True
        self.seen = 0  # frames followed since the reference was taken
        self._factor_surround = np.empty((height, width), np.float32)
        self._factor = self._factor_surround[self.region]
        self._scratch = np.empty(first.shape, np.float32)

    def _cells_of(self, surround: np.ndarray) -> np.ndarray:
        # A pixel in `step` each way gives the cells' means closely enough.
        sampled = np.ascontiguousarray(surround[::self.step, ::self.step])
        return cv2.resize(sampled, self.grid, interpolation=cv2.INTER_AREA).astype(np.float32)

    def take(self, frame: np.ndarray) -> None:
        """The region of the frame last measured becomes the reference."""
        self.image[:] = frame
        self.image8[:] = frame
        self.own_cells[:] = self.cells
        self.seen = 0

    def after(self, frame: np.ndarray, _moving: bool, rate: float) -> None:
        """The background follows every frame, so a slow object stands out
        in each frame it is in, and one that stays is learnt."""
        self.seen += 1
        self.follow(frame, max(rate, 1.0 / (self.seen + WARM_UP)))

    def follow(self, frame: np.ndarray, rate: float) -> None:
        """The reference moves towards the frame last measured by `rate`."""
        cv2.accumulateWeighted(frame, self.image, rate)
        cv2.convertScaleAbs(self.image, dst=self.image8)
        cv2.accumulateWeighted(self.cells, self.own_cells, rate)

    def measure(self, surround: np.ndarray, threshold: int) -> float:
        """Measures how the frame's light differs from the reference's; gives
        the share of the surround's cells whose mean moved by more than
        `threshold`."""
        self.cells = self._cells_of(surround)
        moved = np.count_nonzero(np.abs(self.cells - self.own_cells) > threshold)
        ratio = (self.cells + 1.0) / (self.own_cells + 1.0)
        if min(self.grid) >= MEDIAN_CELLS:
            ratio = cv2.medianBlur(ratio, MEDIAN_CELLS)
        # Light that changed by less than a grey level or so is left as it is.
        self.same_light = float(np.abs(ratio - 1.0).max()) < SAME_LIGHT
        if not self.same_light:
            cv2.resize(ratio, self.surround_size, dst=self._factor_surround,
                       interpolation=cv2.INTER_LINEAR)
        return moved / self.cells.size

    def in_frame_light(self) -> np.ndarray:
        """The reference as it looks in the measured frame's light (uint8)."""
        if self.same_light:
            return self.image8
        cv2.multiply(self.image, self._factor, dst=self._scratch)
        return cv2.convertScaleAbs(self._scratch, dst=self.lit)

    def in_own_light(self, frame: np.ndarray) -> np.ndarray:
        """The measured frame as it looks in the reference's light (uint8)."""
        if self.same_light:
            return frame
        cv2.divide(frame.astype(np.float32), self._factor, dst=self._scratch)
        return cv2.convertScaleAbs(self._scratch, dst=self.lit)


class PlainReference:
    """The reference without the light guard: the last frame that showed
    motion, as it was (the frame the engine's own check compares with)."""

    def __init__(self, first: np.ndarray, _surround: np.ndarray, _region):
        self.image8 = first.copy()

    def take(self, frame: np.ndarray) -> None:
        self.image8[:] = frame

    def after(self, frame: np.ndarray, moving: bool, _rate: float) -> None:
        if moving:
            self.take(frame)

    def follow(self, frame: np.ndarray, rate: float) -> None:
        """It stays as it was taken."""

    def measure(self, surround: np.ndarray, threshold: int) -> float:
        return 0.0

    def in_frame_light(self) -> np.ndarray:
        return self.image8

    def in_own_light(self, frame: np.ndarray) -> np.ndarray:
        return frame
