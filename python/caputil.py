"""Helpers shared by velmar's capture module and its front end."""

import cv2


def _contour_generation(version):
    """The OpenCV generation whose findContours result shape applies.

    OpenCV 3 returns (image, contours, hierarchy); OpenCV 4 and every later
    major version return (contours, hierarchy).
    """
    major = int(version.split(".")[0])
    return 3 if major == 3 else 4


CV2_MAJOR = _contour_generation(cv2.__version__)
