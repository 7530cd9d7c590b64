"""Option checks of where motion is looked for: polygons to include and
exclude, and a mask image, all in the whole frame's coordinates. They sit
below the option table and the detection that both use them."""

from __future__ import annotations

import numbers
import os
from typing import Any

from velmar.value_checks import OptionTypeError, OptionValueError

Polygon = tuple[tuple[int, int], ...]


def _is_point(item: Any) -> bool:
    try:
        x, y = item
    except (TypeError, ValueError):
        return False
    return all(isinstance(v, numbers.Integral) and not isinstance(v, bool) for v in (x, y))


def polygons(name: str, value: Any) -> tuple[Polygon, ...]:
    """A list of polygons, each of (x, y) points; one polygon alone is taken too."""
    try:
        items = list(value)
    except TypeError:
        raise OptionTypeError(name, f"must be a list of polygons of (x, y) points, "
                                    f"not {value!r}") from None
    if items and all(_is_point(item) for item in items):
        items = [items]
    shapes = []
    for item in items:
        points = list(item) if not isinstance(item, (str, bytes)) else None
        if points is None or not all(_is_point(point) for point in points):
            raise OptionTypeError(name, f"must be a list of polygons of (x, y) points, "
                                        f"not {value!r}")
        if len(points) < 3:
            raise OptionValueError(name, f"polygons need at least 3 points, got {item!r}")
        if any(x < 0 or y < 0 for x, y in points):
            raise OptionValueError(name, f"points must not be negative, got {item!r}")
        shapes.append(tuple((int(x), int(y)) for x, y in points))
    if not shapes:
        raise OptionValueError(name, "must hold at least one polygon")
    return tuple(shapes)


def mask_file(name: str, value: Any) -> str:
    """An image file that OpenCV reads, checked once here."""
    if not isinstance(value, (str, os.PathLike)):
        raise OptionTypeError(name, f"must be the path of an image, not {value!r}")
    if read_mask(value) is None:
        raise OptionValueError(name, f"cannot read {os.fspath(value)!r} as an image")
    return os.fspath(value)


def read_mask(path: str | os.PathLike):
    import cv2
    import numpy as np
    try:
        data = np.fromfile(path, dtype=np.uint8)
    except OSError:
        return None
    return cv2.imdecode(data, cv2.IMREAD_GRAYSCALE) if data.size else None
