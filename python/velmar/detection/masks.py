"""Where motion is looked for: the frame's watched pixels, from the polygons
to include and exclude and the mask image of the motion options."""

from __future__ import annotations

from velmar.area_checks import read_mask
from velmar.options import Motion
from velmar.value_checks import OptionValueError


def check_fits(motion: Motion, size: tuple[int, int]) -> None:
    """Every point and the mask image fit frames of `size` (width, height)."""
    width, height = size
    for name in ("include", "exclude"):
        for shape in getattr(motion, name) or ():
            off = [point for point in shape if point[0] >= width or point[1] >= height]
            if off:
                raise OptionValueError(name, f"point {off[0]} is off the {width}x{height} "
                                             f"frame")
    if motion.mask is not None:
        mask = read_mask(motion.mask)
        if mask is None or (mask.shape[1], mask.shape[0]) != (width, height):
            found = "unreadable" if mask is None else f"{mask.shape[1]}x{mask.shape[0]}"
            raise OptionValueError("mask", f"must be the frame's size ({width}x{height}), "
                                           f"got {found}")


def watched(motion: Motion, size: tuple[int, int]):
    """The frame's watched pixels (255) as an image of `size`; None: all of it."""
    import cv2
    import numpy as np
    include, exclude, image = motion.include, motion.exclude, motion.mask
    if include is None and exclude is None and image is None:
        return None
    width, height = size
    area = np.full((height, width), 255, np.uint8)
    if include is not None:
        area[:] = 0
        cv2.fillPoly(area, [np.array(shape, np.int32) for shape in include], 255)
    if exclude is not None:
        cv2.fillPoly(area, [np.array(shape, np.int32) for shape in exclude], 0)
    if image is not None:
        area &= np.where(read_mask(image) >= 128, 255, 0).astype(np.uint8)
    return area
