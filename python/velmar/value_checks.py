"""Checks of option values, made before anything is opened.

Each takes the option's name and its value, and raises `OptionTypeError` for
a value of the wrong kind and `OptionValueError` for one out of range. Both
keep the option apart from what is wrong with it, so that a command can name
its own flag instead (`--frames-per-file must be at least 1, got 0`).
"""

from __future__ import annotations

import ipaddress
import math
import numbers
import os
import re
import shlex
import shutil
import sys
from collections.abc import Callable
from datetime import datetime
from typing import Any

INT32_MAX = 2**31 - 1


class OptionError(Exception):
    """A refused option value: `option` is its name, `problem` what is wrong."""

    def __init__(self, option: str, problem: str):
        super().__init__(option, problem)
        self.option, self.problem = option, problem

    def __str__(self) -> str:
        return f"{self.option} {self.problem}"


class OptionTypeError(OptionError, TypeError):
    pass


class OptionValueError(OptionError, ValueError):
    pass


def _is_int(value: Any) -> bool:
    return isinstance(value, numbers.Integral) and not isinstance(value, bool)


def _is_number(value: Any) -> bool:
    return isinstance(value, numbers.Real) and not isinstance(value, bool)


def _range_text(low: int, high: int) -> str:
    return f"at least {low}" if high >= INT32_MAX - 1 else f"from {low} to {high}"


def integer(name: str, value: Any, low: int = 0, high: int = INT32_MAX) -> int:
    if not _is_int(value):
        raise OptionTypeError(name, f"must be an int, not {value!r}")
    if not low <= value <= high:
        # Above an open range, its top is what the value passed.
        open_top = value > high and high >= INT32_MAX - 1
        limits = f"at most {high}" if open_top else _range_text(low, high)
        raise OptionValueError(name, f"must be {limits}, got {value!r}")
    return int(value)


def seconds(name: str, value: Any, *, allow_zero: bool = False, most: float = 10**9,
            unit: str = "seconds") -> float:
    if not _is_number(value):
        raise OptionTypeError(name, f"must be a number of {unit}, not {value!r}")
    low_ok = value >= 0 if allow_zero else value > 0
    if not (math.isfinite(value) and low_ok and value <= most):
        kind = "0 or more" if allow_zero else "a positive number of"
        raise OptionValueError(name, f"must be {kind} {unit} (at most {most:g}), got {value!r}")
    return float(value)


def flag(name: str, value: Any) -> bool:
    if not isinstance(value, bool):
        raise OptionTypeError(name, f"must be True or False, not {value!r}")
    return value


def choice(name: str, value: Any, choices: tuple[str, ...]) -> str:
    if not isinstance(value, str) or value not in choices:
        raise OptionValueError(name, f"must be one of {', '.join(map(repr, choices))}, "
                                     f"got {value!r}")
    return value


def integers(name: str, value: Any, count: int, low: int = 0,
             high: int = INT32_MAX) -> tuple[int, ...]:
    try:
        items = tuple(value)
    except TypeError:
        raise OptionTypeError(name, f"must be {count} integers, not {value!r}") from None
    if len(items) != count or not all(_is_int(item) for item in items):
        raise OptionTypeError(name, f"must be {count} integers, not {value!r}")
    if not all(low <= item <= high for item in items):
        raise OptionValueError(name, f"values must be from {low} to {high}, got {value!r}")
    return tuple(int(item) for item in items)


def region(name: str, value: Any) -> tuple[int, int, int, int]:
    x, y, w, h = integers(name, value, 4)
    if w == 0 or h == 0:
        raise OptionValueError(name, f"width and height must be positive, got {value!r}")
    if x + w > INT32_MAX or y + h > INT32_MAX:
        raise OptionValueError(name, f"reaches past the largest frame, got {value!r}")
    return x, y, w, h


def odd(name: str, value: Any) -> int:
    width = integer(name, value, 1)
    if width % 2 == 0:
        raise OptionValueError(name, f"must be odd, got {value!r}")
    return width


def scale(name: str, value: Any, most: float) -> float:
    if not _is_number(value):
        raise OptionTypeError(name, f"must be a number, not {value!r}")
    if not (math.isfinite(value) and 0 < value <= most):
        raise OptionValueError(name, f"must be more than 0 and at most {most:g}, got {value!r}")
    return float(value)


def start_time(name: str, value: Any) -> datetime:
    """A naive local time; an aware one is converted to local time."""
    if not isinstance(value, datetime):
        raise OptionTypeError(name, f"must be a datetime, not {value!r}")
    if value.tzinfo is not None:
        value = value.astimezone().replace(tzinfo=None)
    return value


def callback(name: str, value: Any) -> Callable:
    if not callable(value):
        raise OptionTypeError(name, f"must be callable or None, not {value!r}")
    return value


def display_available(environ=os.environ, platform: str = sys.platform) -> bool:
    if platform.startswith("linux"):
        return bool(environ.get("DISPLAY") or environ.get("WAYLAND_DISPLAY"))
    return True


def window(name: str, value: Any) -> bool:
    """A window flag: set only where there is a display."""
    if flag(name, value) and not display_available():
        raise OptionValueError(name, "cannot open: windows need a display "
                                     "(DISPLAY or WAYLAND_DISPLAY)")
    return value


SIZE_UNITS = {"": 1, "K": 2**10, "M": 2**20, "G": 2**30, "T": 2**40}


def size(name: str, value: Any) -> int:
    """Bytes: an int, or a text such as "500M" or "2G" (units of 1024)."""
    if isinstance(value, str):
        text = value.strip().upper().removesuffix("B")
        unit = text[-1:] if text[-1:] in SIZE_UNITS else ""
        try:
            value = float(text[:len(text) - len(unit)]) * SIZE_UNITS[unit]
        except ValueError:
            raise OptionValueError(name, f"must be a size such as 500M or 2G, "
                                         f"got {value!r}") from None
        if not math.isfinite(value):
            raise OptionValueError(name, f"must be a size such as 500M or 2G, got {value!r}")
        value = int(value)
    return integer(name, value, 0, 2**62)


DURATION_UNITS = {"": 1, "s": 1, "m": 60, "min": 60, "h": 3600, "d": 86400, "w": 604800}


def duration(name: str, value: Any) -> float:
    """Seconds: a number, or a text such as "90s", "15min", "1h" or "14d"."""
    if isinstance(value, str):
        text = value.strip().lower()
        number = text.rstrip("abcdefghijklmnopqrstuvwxyz")
        unit = text[len(number):].strip()
        try:
            value = float(number) * DURATION_UNITS[unit]
        except (KeyError, ValueError):
            raise OptionValueError(name, f"must be a length of time such as 90s, 15min, 1h "
                                         f"or 14d, got {value!r}") from None
    return seconds(name, value)


def segment_length(name: str, value: Any) -> float:
    """A clock segment: a duration of whole files, so at least a second
    (a shorter one is no length to the clock that cuts it)."""
    length = duration(name, value)
    if length < 1:
        raise OptionValueError(name, f"must be at least 1 second, got {value!r}")
    return length


STREAM = re.compile(r"^[a-zA-Z][a-zA-Z0-9+.-]*://")  # a scheme: rtsp://, http://, ...


def stream_url(name: str, value: Any) -> str:
    """A stream's address: a scheme, then the rest."""
    if not isinstance(value, str) or not STREAM.match(value) or STREAM.fullmatch(value):
        raise OptionValueError(name, f"must be a stream's URL, as rtsp://HOST/PATH, not "
                                     f"{value!r}")
    return value


def camera_name(name: str, value: Any) -> str:
    """A name that is also a part of the live view's addresses and of a
    journal's lines: letters, digits, '_', '-' and '.', not first."""
    if not isinstance(value, str):
        raise OptionTypeError(name, f"must be a str, not {value!r}")
    if not re.fullmatch(r"\w[\w.-]{0,63}", value):
        raise OptionValueError(name, f"must be up to 64 letters, digits, '_', '-' or '.', "
                                     f"beginning with a letter or digit, got {value!r}")
    return value


def command(name: str, value: Any) -> list[str] | Callable:
    """A command as its words, split as a shell would but run without one,
    or a Python function; its program must be found now, not at the first
    event."""
    if callable(value):
        return value
    if isinstance(value, str):
        try:
            words = shlex.split(value)
        except ValueError as error:
            raise OptionValueError(name, f"cannot be split into words: {error}") from None
    elif isinstance(value, (list, tuple)) and all(isinstance(word, str) for word in value):
        words = list(value)
    else:
        raise OptionTypeError(name, f"must be a command (a str or a list of str) or a "
                                    f"function, not {value!r}")
    if not words:
        raise OptionValueError(name, "must name a command, got nothing")
    if shutil.which(words[0]) is None:
        raise OptionValueError(name, f"finds no program {words[0]!r}")
    return words


LOOPBACK_NAMES = ("localhost",)


def address(name: str, value: Any) -> tuple[str, int]:
    """HOST:PORT, [IPv6]:PORT, or PORT alone for loopback; port 0 takes a free one."""
    if not isinstance(value, str):
        raise OptionTypeError(name, f"must be HOST:PORT, not {value!r}")
    host, _, port = value.rpartition(":")
    host = host.removeprefix("[").removesuffix("]") or "127.0.0.1"
    if not port.isdigit() or int(port) > 65535:
        raise OptionValueError(name, f"must be HOST:PORT, as 127.0.0.1:8080, got {value!r}")
    return host, int(port)


def is_loopback(host: str) -> bool:
    if host in LOOPBACK_NAMES:
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:  # a host name: only the ones above are known to be loopback
        return False


def password(name: str, value: Any) -> str:
    if not isinstance(value, str) or not value:
        raise OptionTypeError(name, f"must be a non-empty str, not {value!r}")
    return value


def observer(name: str, value: Any) -> Any:
    """An object told of each kept frame and each event."""
    missing = [method for method in ("frame", "event") if not callable(getattr(value, method, None))]
    if missing:
        raise OptionTypeError(name, f"must have the methods frame(image) and event(event), "
                                    f"not {value!r}")
    return value
