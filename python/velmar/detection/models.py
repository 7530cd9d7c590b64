"""What counts as changed in a frame: against a reference that follows the
still scene ("diff"), or against a learned background ("mog2", "knn")."""

from __future__ import annotations

import cv2
import numpy as np

from velmar.detection.light import LitReference, PlainReference

WARM_UP = 8  # frames a new background model is shown the first one


class FrameDifference:
    """Compares each frame with the reference in the frame's own light: with
    the light guard a background that follows the still scene over about
    `history` frames, without it the last frame that showed motion."""

    def __init__(self, first: np.ndarray, threshold: int, history: int, reference):
        self.threshold, self.rate = threshold, 1.0 / history
        self.reference = reference
        self._delta = np.empty_like(first)

    def changed(self, frame: np.ndarray, surround: np.ndarray) -> tuple[float, np.ndarray]:
        relit = self.reference.measure(surround, self.threshold)
        cv2.absdiff(frame, self.reference.in_frame_light(), dst=self._delta)
        return relit, cv2.threshold(self._delta, self.threshold, 255, cv2.THRESH_BINARY)[1]

    @property
    def delta(self) -> np.ndarray:
        return self._delta

    def after(self, frame: np.ndarray, moving: bool) -> None:
        self.reference.after(frame, moving, self.rate)


class BackgroundModel:
    """One of OpenCV's background subtractors, shown frames in the light of
    a reference that follows the scene as slowly as the model learns."""

    def __init__(self, first: np.ndarray, kind: str, threshold: int, history: int, reference):
        if kind == "mog2":
            self.model = cv2.createBackgroundSubtractorMOG2(history=history,
                                                            detectShadows=False)
        else:  # knn: its distance threshold is squared grey levels
            self.model = cv2.createBackgroundSubtractorKNN(
                history=history, dist2Threshold=float(threshold * threshold),
                detectShadows=False)
        self.threshold, self.rate = threshold, 1.0 / history
        self.reference = reference
        # knn calls all of a frame foreground until it holds a few samples.
        for _ in range(WARM_UP):
            self.model.apply(first)
        self._foreground = np.empty_like(first)

    def changed(self, frame: np.ndarray, surround: np.ndarray) -> tuple[float, np.ndarray]:
        relit = self.reference.measure(surround, self.threshold)
        # Not every subtractor fills a given mask in place: take what it returns.
        self._foreground = self.model.apply(self.reference.in_own_light(frame),
                                            self._foreground)
        return relit, self._foreground

    @property
    def delta(self) -> np.ndarray:
        return self._foreground

    def after(self, frame: np.ndarray, _moving: bool) -> None:
        self.reference.follow(frame, self.rate)


def model(kind: str, first: np.ndarray, surround: np.ndarray, region, threshold: int,
          history: int, light_guard: bool):
    """The chosen model, its reference the region of `first`; light is
    measured on `surround`, in which the region is the box `region`."""
    reference = (LitReference if light_guard else PlainReference)(first, surround, region)
    if kind == "diff":
        return FrameDifference(first, threshold, history, reference)
    return BackgroundModel(first, kind, threshold, history, reference)
