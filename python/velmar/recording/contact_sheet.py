"""Contact sheets: one thumbnail per event, labelled with its start time and
length, so one look answers "what came by today?". A sheet is written as
soon as it is full, so memory stays small however many events there are."""

from __future__ import annotations

import cv2
import numpy as np

from velmar.recording.outputs import free_name

COLUMNS, ROWS = 4, 5
THUMB_WIDTH = 240
LABEL_HEIGHT = 22
MARGIN = 6


class ContactSheet:
    def __init__(self, stem: str):
        self.stem = stem
        self.cells: list[np.ndarray] = []
        self.written: list[str] = []

    def add(self, image, event) -> None:
        self.cells.append(cell(image, f"{event.start:%Y-%m-%d %H:%M:%S}  {event.seconds:.1f} s"))
        if len(self.cells) == COLUMNS * ROWS:
            self._write()

    def close(self) -> list[str]:
        if self.cells:
            self._write()
        return self.written

    def _write(self) -> None:
        suffix = ".events.jpg" if not self.written else f".events_{len(self.written) + 1:03d}.jpg"
        name = free_name(self.stem, suffix)
        if not cv2.imwrite(name, grid(self.cells)):
            raise OSError(f"could not write the contact sheet {name}")
        self.written.append(name)
        self.cells = []


def cell(image, label: str) -> np.ndarray:
    """A thumbnail of the event's picture with its label below it."""
    if image.ndim == 2:
        image = cv2.cvtColor(image, cv2.COLOR_GRAY2BGR)
    height = max(1, round(image.shape[0] * THUMB_WIDTH / image.shape[1]))
    thumb = cv2.resize(image, (THUMB_WIDTH, height), interpolation=cv2.INTER_AREA)
    out = np.full((height + LABEL_HEIGHT, THUMB_WIDTH, 3), 32, np.uint8)
    out[:height] = thumb
    cv2.putText(out, label, (4, height + 16), cv2.FONT_HERSHEY_SIMPLEX, 0.45, (255, 255, 255),
                1, cv2.LINE_AA)
    return out


def grid(cells: list[np.ndarray]) -> np.ndarray:
    height = max(c.shape[0] for c in cells)
    columns = min(COLUMNS, len(cells))
    rows = -(-len(cells) // COLUMNS)
    sheet = np.full((MARGIN + rows * (height + MARGIN), MARGIN + columns * (THUMB_WIDTH + MARGIN),
                     3), 16, np.uint8)
    for i, c in enumerate(cells):
        y = MARGIN + (i // COLUMNS) * (height + MARGIN)
        x = MARGIN + (i % COLUMNS) * (THUMB_WIDTH + MARGIN)
        sheet[y:y + c.shape[0], x:x + THUMB_WIDTH] = c
    return sheet
