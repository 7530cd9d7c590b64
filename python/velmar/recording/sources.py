"""What a source names: a camera index, a live device or stream, or a file
or image sequence on disk. Live sources are stamped with the wall-clock time
of each read; files and image sequences from their start time."""

from __future__ import annotations

import glob
import os
import re
from dataclasses import dataclass
from datetime import datetime
from typing import Any

from velmar import value_checks

STREAM = value_checks.STREAM
SEQUENCE = re.compile(r"%0?\d*d")


@dataclass(frozen=True)
class Source:
    value: int | str  # handed to OpenCV as it is
    live: bool
    start: datetime | None = None  # when the engine cannot read it off the file
    sequence: bool = False  # of images


def sequence_start(pattern: str) -> datetime:
    """An image sequence starts at its first image's modification time."""
    # Numbers without padding sort by length first: img_2 before img_10.
    found = sorted(glob.glob(SEQUENCE.sub("*", glob.escape(pattern))), key=lambda n: (len(n), n))
    if not found:
        raise FileNotFoundError(2, "no image matches the sequence", pattern)
    return datetime.fromtimestamp(int(os.path.getmtime(found[0])))


def not_opened(value: int | str) -> str:
    """What could not be opened, in the user's words: `value` as source() gave it."""
    if isinstance(value, int):
        return f"no camera {value} was found, or it could not be opened"
    if STREAM.match(value):
        return f"cannot open the stream {value!r}"
    if value.startswith("/dev/"):
        return f"cannot open the device {value!r}"
    if SEQUENCE.search(os.path.basename(value)):
        return f"cannot read the image sequence {value!r}"
    return f"cannot read {value!r} as a video"


def source(value: Any) -> Source:
    if isinstance(value, bool) or not isinstance(value, (int, str, os.PathLike)):
        raise value_checks.OptionTypeError("source", f"must be a camera index, a path or a URL, "
                                                f"not {value!r}")
    if isinstance(value, int):
        if value < 0:
            raise value_checks.OptionValueError("source", f"must be a camera index of 0 or more, "
                                                     f"got {value}")
        if value > 2**31 - 1:
            raise value_checks.OptionValueError("source", f"camera index is too large: {value}")
        return Source(value, True)
    text = os.fspath(value)
    if not isinstance(text, str):
        raise value_checks.OptionTypeError("source", f"must be a camera index, a path or a URL, "
                                                f"not {value!r}")
    # A plain str: OpenCV 4 keeps a reference to a str subclass at each opening.
    text = str.__str__(text)
    if STREAM.match(text):
        return Source(text, True)
    if text.startswith("/dev/"):
        if not os.path.exists(text):
            raise FileNotFoundError(2, "no such device", text)
        return Source(text, True)
    if SEQUENCE.search(os.path.basename(text)):
        return Source(text, False, sequence_start(text), sequence=True)
    if os.path.isdir(text):
        raise IsADirectoryError(21, "a folder, not a video file", text)
    if not os.path.isfile(text):
        raise FileNotFoundError(2, "no such file", text)
    return Source(text, False)
