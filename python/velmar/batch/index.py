"""The index of a batch: `index.csv` in the output folder, one row per
finished input, appended and flushed as each input finishes, so that a crash
loses nothing already done and the next run knows what to skip."""

from __future__ import annotations

import csv
import os
from dataclasses import dataclass

from velmar.shared.companions import INDEX_NAME
from velmar.shared.stops import UNFINISHED  # stopped by a signal: to be recorded again

COLUMNS = ("input", "size", "mtime", "outputs", "frames_read", "frames_kept", "events",
           "stop", "seconds", "error")


@dataclass(frozen=True)
class IndexRow:
    """One input's outcome. `outputs` are relative to the output folder;
    counts are None where the recording raised before giving any."""

    input: str
    size: int
    mtime: float
    outputs: tuple[str, ...] = ()
    frames_read: int | None = None
    frames_kept: int | None = None
    events: int | None = None
    stop: str = ""
    seconds: float = 0.0
    error: str = ""

    @property
    def done(self) -> bool:
        return not self.error and self.stop not in UNFINISHED

    @property
    def failed(self) -> bool:
        return bool(self.error)

    @property
    def folder(self) -> str | None:
        """The folder in the output folder that this input's files went to."""
        return self.outputs[0].split("/")[0] if self.outputs else None

    def cells(self) -> list[str]:
        return [self.input, str(self.size), repr(self.mtime), ";".join(self.outputs),
                _text(self.frames_read), _text(self.frames_kept), _text(self.events),
                self.stop, f"{self.seconds:.3f}", self.error]

    @classmethod
    def from_cells(cls, cells: list[str]) -> IndexRow:
        """Raises ValueError for a row that is not one of ours, as one cut short."""
        if len(cells) != len(COLUMNS):
            raise ValueError(f"{len(cells)} cells")
        path, size, mtime, outputs, read, kept, events, stop, seconds, error = cells
        return cls(path, int(size), float(mtime), tuple(filter(None, outputs.split(";"))),
                   _count(read), _count(kept), _count(events), stop, float(seconds), error)


def _text(count: int | None) -> str:
    return "" if count is None else str(count)


def _count(text: str) -> int | None:
    return int(text) if text else None


def read_index(path: str) -> list[IndexRow]:
    """The rows of an index, oldest first; none when there is no index yet."""
    if not os.path.exists(path):
        return []
    with open(path, newline="", encoding="utf-8", errors="surrogateescape") as f:
        reader = csv.reader(f)
        header = next(reader, None)
        if header is not None and tuple(header) != COLUMNS:
            raise ValueError(f"{path} is not a batch index: its columns are not "
                             f"{','.join(COLUMNS)}")
        rows = []
        for cells in reader:
            try:
                rows.append(IndexRow.from_cells(cells))
            except ValueError:
                continue  # the last row of a process that was killed while writing it
        return rows


def latest(rows: list[IndexRow]) -> dict[str, IndexRow]:
    """Each input's most recent row."""
    return {row.input: row for row in rows}


class IndexWriter:
    """Appends rows to an index, each flushed to the disk before the next."""

    def __init__(self, path: str):
        complete = _ends_a_line(path)
        self._file = open(path, "a", newline="", encoding="utf-8", errors="surrogateescape")
        self._csv = csv.writer(self._file)
        if self._file.tell() == 0:
            self._write(COLUMNS)
        elif not complete:
            self._file.write("\r\n")  # the next row must not continue a row cut short

    def append(self, row: IndexRow) -> None:
        self._write(row.cells())

    def _write(self, cells) -> None:
        self._csv.writerow(cells)
        self._file.flush()
        os.fsync(self._file.fileno())

    def close(self) -> None:
        self._file.close()

    def __enter__(self) -> IndexWriter:
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def _ends_a_line(path: str) -> bool:
    try:
        with open(path, "rb") as f:
            f.seek(0, os.SEEK_END)
            if f.tell() == 0:
                return True
            f.seek(-1, os.SEEK_END)
            return f.read(1) == b"\n"
    except FileNotFoundError:
        return True
