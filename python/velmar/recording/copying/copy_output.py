"""The file a copy writes into: each begins at a keyframe, and a new one
begins at the first keyframe written once a clock segment has begun or the
file holds its frames, or once asked to (an event of its own)."""

from __future__ import annotations

import os
from dataclasses import dataclass

from velmar.recording.copying.copy_file import CopyFile
from velmar.recording.copying.held import Held, packet_copy


@dataclass(frozen=True)
class CopiedFile:
    video: str
    log: str
    frames: int


class CopyOutput:
    def __init__(self, namer, segmenter, frames_per_file: int, writers, files: list):
        self.namer, self.segmenter, self.writers = namer, segmenter, writers
        self.frames_per_file = frames_per_file
        self.files = files  # of the run: each file as it is closed
        self.file: CopyFile | None = None
        self.numbered = 0  # files begun
        self.split_due = False
        self.written = 0

    @property
    def path(self) -> str | None:
        return None if self.file is None else self.file.path

    def read(self, held: Held) -> None:
        """Every packet read tells the clock segments its time."""
        if self.segmenter is not None and self.segmenter(held.moment):
            self.split_due = True

    def write(self, held: Held, template, rate: float, keep_packet: bool = False) -> bool:
        """Writes the packet, the packet's own or, with `keep_packet`, a
        copy; False when no file can begin with it (not a keyframe)."""
        if self.file is not None and held.keyframe and self._splits():
            self.close()
        if self.file is None:
            if not held.keyframe:
                return False  # nothing before a keyframe decodes
            self._open(held, template, rate)
        packet = packet_copy(held.packet) if keep_packet else held.packet
        self.file.write(packet, held.inframe, held.text)
        self.written += 1
        return True

    def _splits(self) -> bool:
        """Whether a new file begins at this keyframe."""
        full = 0 < self.frames_per_file <= self.file.frames
        due, self.split_due = self.split_due, False
        return full or due

    def _open(self, held: Held, template, rate: float) -> None:
        """A file under the next name that is not taken: no video or log is
        ever overwritten (a recording killed before may have left them)."""
        path = self.namer(self.numbered, held.moment)
        while os.path.lexists(path) or os.path.lexists(path + ".csv"):
            self.numbered += 1
            path = self.namer(self.numbered, held.moment)
        self.numbered += 1
        self.file = self.writers.open_copy(path, template, rate)
        self.split_due = False

    def close(self) -> None:
        file, self.file = self.file, None
        if file is None:
            return
        try:
            file.close()
        finally:
            self.files.append(CopiedFile(file.path, file.path + ".csv", file.frames))
