"""Clock segments: a new file at each boundary of the local clock (for
15 minutes: 00:00, 00:15, ...; for a day or more, local midnights), and a
file's name from its first frame's time when the output holds strftime
fields (`garden/%Y-%m-%d/%H-%M-%S.mp4`)."""

from __future__ import annotations

import os
import re
from datetime import date, datetime, time, timedelta

DAY = 86400.0
FIELD = re.compile(r"%[A-Za-z]")


def has_fields(output: str) -> bool:
    return FIELD.search(output.replace("%%", "")) is not None


def fixed_folder(output: str) -> str:
    """The deepest folder of `output` that exists above its first strftime
    field: the others are made as files need them."""
    parts = os.path.dirname(output).split(os.sep)
    fixed = []
    for part in parts:
        if has_fields(part):
            break
        fixed.append(part)
    folder = os.sep.join(fixed)
    while folder and not os.path.isdir(folder):
        folder = os.path.dirname(folder) if os.path.dirname(folder) != folder else ""
    return folder or "."


def dated_name(output: str, moment: datetime) -> str:
    """`output` with its fields filled from `moment`, its folders made; a
    taken name (its video or its log) gets the next free number."""
    name = moment.strftime(output)
    if os.path.dirname(name):
        os.makedirs(os.path.dirname(name), exist_ok=True)
    stem, suffix = os.path.splitext(name)
    candidate, number = name, 0
    while os.path.lexists(candidate) or os.path.lexists(candidate + ".csv"):
        number += 1
        candidate = f"{stem}_{number:03d}{suffix}"
    return candidate


class SegmentClock:
    """Tells the engine which frame starts a new file: the first past a
    boundary of the local clock, or the first a whole segment of real time
    after its file's first frame, so that a day which a change of daylight
    saving time lengthens is still cut at its length."""

    def __init__(self, seconds: float):
        self.length = timedelta(seconds=seconds)
        self.started: datetime | None = None  # the current file's first frame, aware
        self.end: datetime | None = None      # where its segment ends, aware
        self.latest: datetime | None = None

    def __call__(self, moment: datetime) -> bool:
        now = self._aware(moment)
        if self.end is not None and now < self.end and now - self.started < self.length:
            return False
        cut = self.end is not None  # the first frame opens the first file anyway
        self.started, self.end = now, self._boundary_after(moment)
        return cut

    def _aware(self, moment: datetime) -> datetime:
        """A local time: in the hour that the clock goes back over, the
        second pass is told from the first by coming later."""
        if moment.tzinfo is not None:
            aware = moment
        else:
            aware = moment.astimezone()
            if self.latest is not None and aware < self.latest:
                aware = moment.replace(fold=1).astimezone()
        self.latest = aware
        return aware

    def _boundary_after(self, moment: datetime) -> datetime:
        wall = moment.replace(tzinfo=None, fold=0)
        midnight = datetime.combine(wall.date(), time())
        seconds = self.length.total_seconds()
        if seconds < DAY:
            into_day = (wall - midnight).total_seconds()
            start = midnight + timedelta(seconds=into_day // seconds * seconds)
            end = min(start + self.length, midnight + timedelta(days=1))
        else:
            days = round(seconds / DAY)
            number = (wall.date() - date(1970, 1, 1)).days // days + 1
            end = datetime.combine(date(1970, 1, 1) + timedelta(days=number * days), time())
        return end.astimezone()
