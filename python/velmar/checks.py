"""Checks of the options of `velmar.record()`, made before anything is opened.

Each raises TypeError for a value of the wrong kind and ValueError for one
out of range, naming the option and the value.
"""

from __future__ import annotations

import math
import numbers
import os
import sys
from collections.abc import Callable
from datetime import datetime
from typing import Any

KEEP_MODES = ("all", "motion", "interval")
MAX_STAMP_SCALE = 10.0
INT32_MAX = 2**31 - 1


def _is_int(value: Any) -> bool:
    return isinstance(value, numbers.Integral) and not isinstance(value, bool)


def integer(name: str, value: Any, low: int = 0, high: int = INT32_MAX) -> int:
    if not _is_int(value):
        raise TypeError(f"{name} must be an int, not {value!r}")
    if not low <= value <= high:
        raise ValueError(f"{name} must be from {low} to {high}, got {value!r}")
    return int(value)


def seconds(name: str, value: Any, *, optional: bool = False, allow_zero: bool = False,
            most: float = 10**9, unit: str = "seconds") -> float | None:
    if value is None and optional:
        return None
    if not isinstance(value, numbers.Real) or isinstance(value, bool):
        raise TypeError(f"{name} must be a number of {unit}, not {value!r}")
    low_ok = value >= 0 if allow_zero else value > 0
    if not (math.isfinite(value) and low_ok and value <= most):
        kind = "0 or more" if allow_zero else "a positive number of"
        raise ValueError(f"{name} must be {kind} {unit} (at most {most:g}), got {value!r}")
    return float(value)


def flag(name: str, value: Any) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be True or False, not {value!r}")
    return value


def choice(name: str, value: Any, choices: tuple[str, ...]) -> str:
    if not isinstance(value, str) or value not in choices:
        raise ValueError(f"{name} must be one of {', '.join(map(repr, choices))}, got {value!r}")
    return value


def integers(name: str, value: Any, count: int, low: int = 0,
             high: int = INT32_MAX) -> tuple[int, ...]:
    try:
        items = tuple(value)
    except TypeError:
        raise TypeError(f"{name} must be {count} integers, not {value!r}") from None
    if len(items) != count or not all(_is_int(item) for item in items):
        raise TypeError(f"{name} must be {count} integers, not {value!r}")
    if not all(low <= item <= high for item in items):
        raise ValueError(f"{name} values must be from {low} to {high}, got {value!r}")
    return tuple(int(item) for item in items)


def region(value: Any) -> tuple[int, int, int, int] | None:
    if value is None:
        return None
    x, y, w, h = integers("region", value, 4)
    if w == 0 or h == 0:
        raise ValueError(f"region width and height must be positive, got {value!r}")
    if x + w > INT32_MAX or y + h > INT32_MAX:
        raise ValueError(f"region reaches past the largest frame, got {value!r}")
    return x, y, w, h


def kernel_width(value: Any, area: tuple[int, int, int, int] | None) -> int:
    width = integer("kernel_width", value, 1)
    if width % 2 == 0:
        raise ValueError(f"kernel_width must be odd, got {value!r}")
    if area is not None and width > min(area[2], area[3]):
        raise ValueError(f"kernel_width must be at most the region's smaller side "
                         f"({min(area[2], area[3])}), got {value!r}")
    return width


def stamp_scale(value: Any) -> float:
    if not isinstance(value, numbers.Real) or isinstance(value, bool):
        raise TypeError(f"stamp_scale must be a number, not {value!r}")
    if not (math.isfinite(value) and 0 < value <= MAX_STAMP_SCALE):
        raise ValueError(f"stamp_scale must be more than 0 and at most {MAX_STAMP_SCALE:g}, "
                         f"got {value!r}")
    return float(value)


def start_time(value: Any) -> datetime | None:
    """A naive local time; an aware one is converted to local time."""
    if value is None:
        return None
    if not isinstance(value, datetime):
        raise TypeError(f"start must be a datetime, not {value!r}")
    if value.tzinfo is not None:
        value = value.astimezone().replace(tzinfo=None)
    return value


def callback(name: str, value: Any) -> Callable | None:
    if value is not None and not callable(value):
        raise TypeError(f"{name} must be callable or None, not {value!r}")
    return value


def display_available(environ=os.environ, platform: str = sys.platform) -> bool:
    if platform.startswith("linux"):
        return bool(environ.get("DISPLAY") or environ.get("WAYLAND_DISPLAY"))
    return True


def windows(preview: Any, show_diff: Any) -> tuple[bool, bool]:
    preview, show_diff = flag("preview", preview), flag("show_diff", show_diff)
    if (preview or show_diff) and not display_available():
        raise ValueError("preview and show_diff need a display (DISPLAY or WAYLAND_DISPLAY)")
    return preview, show_diff
