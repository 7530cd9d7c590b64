"""A stored video's frame log as the export reads it: its rows, or only its
first and last, without reading a day of rows for a list of files. Times
are compared as local times, whether a log wrote them with a UTC offset or
without."""

from __future__ import annotations

import os
from dataclasses import dataclass
from datetime import datetime
from pathlib import Path

from velmar.shared.companions import FRAME_LOG_HEADER, FRAME_LOG_SUFFIX, header_line

HEADER = header_line(FRAME_LOG_HEADER)
TAIL = 4096  # bytes from the end that hold the last whole row


@dataclass(frozen=True)
class Row:
    inframe: int
    outframe: int
    time: datetime


def local(moment: datetime) -> datetime:
    """A time as the local clock shows it, without offset: one log may write
    offsets and another not, and a query may come either way."""
    return moment.astimezone().replace(tzinfo=None) if moment.tzinfo is not None else moment


def log_of(video: Path) -> Path:
    return Path(f"{video}{FRAME_LOG_SUFFIX}")


def read_rows(video: Path) -> list[Row]:
    """Every whole row of the video's log, in order; a last row without its
    line end (the recorder never finished it) and what follows a row that
    does not read are left out."""
    with open(log_of(video), "rb") as log:
        lines = log.read().rstrip(b"\0").split(b"\n")[1:-1]
    rows = []
    for line in lines:
        row = _row(line)
        if row is None:
            break
        rows.append(row)
    return rows


def first_and_last(video: Path) -> tuple[Row, Row] | None:
    """The log's first and last whole rows, None without any."""
    with open(log_of(video), "rb") as log:
        head = log.read(len(HEADER) + 2 + TAIL)
        size = log.seek(0, os.SEEK_END)
        log.seek(max(0, size - TAIL))
        tail = log.read()
    first = _row(head.split(b"\n")[1]) if head.count(b"\n") >= 2 else None
    lines = tail.rstrip(b"\0").split(b"\n")[:-1]  # the part after the last LF is unfinished
    last = _row(lines[-1]) if lines else None
    return None if first is None or last is None else (first, last)


def _row(line: bytes) -> Row | None:
    try:
        inframe, outframe, time = line.rstrip(b"\r").decode("ascii").split(",")
        return Row(int(inframe), int(outframe), datetime.fromisoformat(time))
    except ValueError:  # a header, a cut row, or not a log of ours
        return None
