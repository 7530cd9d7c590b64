"""A frame log `NAME.csv` read as it lies on the disk, cut off or not, and
written back.

The recorder ends every row with CR LF, so a last line without its LF is a
row it never finished. A power cut can leave NUL bytes past the last write;
they were never written either."""

from __future__ import annotations

import re
from dataclasses import dataclass, replace
from datetime import datetime
from pathlib import Path

from velmar.shared.companions import FRAME_LOG_HEADER, header_line

HEADER = header_line(FRAME_LOG_HEADER)
LINE_END = b"\r\n"
ROW = re.compile(rb"(\d+),(\d+),(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}(?:[+-]\d\d:\d\d)?)")


@dataclass(frozen=True)
class Row:
    inframe: int
    outframe: int
    time: datetime


@dataclass(frozen=True)
class FrameLog:
    """What a log holds. `header` is "ok", "missing" (rows without it),
    "cut" (the file ends inside it) or "empty". `unreadable` and
    `out_of_order` are the line numbers (from 1) of the first such row."""

    path: Path
    header: str
    rows: tuple[Row, ...]
    cut_row: bool = False
    unreadable: int | None = None
    out_of_order: int | None = None

    @property
    def whole(self) -> bool:
        """Nothing in it but the header and rows in order."""
        return (self.header == "ok" and not self.cut_row and self.unreadable is None
                and self.out_of_order is None)

    def inframes(self, frames: int) -> set[int]:
        """The input frames of the rows of the first `frames` frames."""
        return {row.inframe for row in self.rows[:frames]}


def read_log(path: Path) -> FrameLog:
    data = path.read_bytes().rstrip(b"\0")
    lines = data.split(b"\n")
    cut_row = lines[-1] != b""  # the last line has no line end
    lines = lines[:-1]
    if not lines and (HEADER + LINE_END).startswith(data):
        return FrameLog(path, "cut" if data else "empty", ())
    header = "ok" if lines and lines[0].rstrip(b"\r") == HEADER else "missing"
    log = FrameLog(path, header, (), cut_row)
    return _with_rows(log, lines[1:] if header == "ok" else lines, 2 if header == "ok" else 1)


def _with_rows(log: FrameLog, lines: list[bytes], first_line: int) -> FrameLog:
    rows: list[Row] = []
    for number, line in enumerate(lines, first_line):
        row = _parsed(line.rstrip(b"\r"))
        if row is None:
            return replace(log, rows=tuple(rows), unreadable=number)
        if log.out_of_order is None and not _follows(rows, row):
            log = replace(log, out_of_order=number)
        rows.append(row)
    return replace(log, rows=tuple(rows))


def _parsed(line: bytes) -> Row | None:
    match = ROW.fullmatch(line)
    if match is None:
        return None
    try:
        time = datetime.fromisoformat(match[3].decode("ascii"))
    except ValueError:  # a month 13 or such: not a time the recorder wrote
        return None
    return Row(int(match[1]), int(match[2]), time)


def _follows(rows: list[Row], row: Row) -> bool:
    """inframe increasing, outframe its place in the video, times not decreasing."""
    if row.outframe != len(rows):
        return False
    if not rows:
        return True
    last = rows[-1]
    try:
        return row.inframe > last.inframe and row.time >= last.time
    except TypeError:  # a time with a UTC offset after one without
        return False


def log_text(rows: tuple[Row, ...] | list[Row]) -> bytes:
    lines = [HEADER, *(row_line(row) for row in rows)]
    return b"".join(line + LINE_END for line in lines)


def row_line(row: Row) -> bytes:
    time = row.time.isoformat(timespec="microseconds")
    return f"{row.inframe},{row.outframe},{time}".encode("ascii")
