import contextlib
import types

import cv2
import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import velmar.ccapture as ccapture
from conftest import FakeCv2, zero_pair

DIFF_WINDOW, THRESH_WINDOW = "DEBUG - absdiff between frames", "DEBUG - thresholded absdiff"
gray = ccapture.check_motion_gray


def blocks(*corners, shape=(40, 60)):
    frame = np.zeros(shape, np.uint8)
    for y, x in corners:
        frame[y:y + 8, x:x + 10] = 200
    return frame


# With a 1x1 blur (the identity) one changed sample stays one sample of the
# difference; two dilations make it a 5x5 square whose contour encloses 16.
# A negative threshold marks every sample: the 20x30 frame is one region of
# area 19 * 29 = 551. Nothing exceeds a threshold of 255, nor does a dark frame.
DOT, DARK = np.pad([[200]], 10).astype(np.uint8), np.zeros((20, 30), np.uint8)


@pytest.mark.parametrize("frame, threshold, min_area, moving", [
    (DOT, 100, 15, True), (DOT, 100, 16, False), (DOT, 100, -2**31, True),
    (DARK, -1, 550, True), (DARK, -1, 551, False), (DARK, 0, -1, False),  # no contour at all
    (DARK + 255, 255, -1, False)])
def test_first_call_on_a_zero_pair(frame, threshold, min_area, moving):
    p, q = zero_pair(frame.shape)
    assert gray(frame, p, q, threshold, min_area, 1) is moving
    assert (q == frame).all() and (p == (frame if moving else 0)).all()
    reference = p.copy()  # the same frame again differs from it nowhere
    assert gray(frame.copy(), p, q, threshold, min_area, 1) is (moving and threshold < 0)
    assert (p == reference).all()


@pytest.mark.parametrize("kernel_width", [20, 0])
def test_invalid_kernel_fails_before_anything_is_written(kernel_width):
    p, q = np.full((16, 16), 7, np.uint8), np.full((16, 16), 9, np.uint8)
    with pytest.raises(cv2.error):
        gray(blocks((2, 2), shape=(16, 16)), p, q, 25, 5, kernel_width)
    assert (p == 7).all() and (q == 9).all()


# The generation is compared by Python equality; the contour result, and the
# contours in it, may be any iterable of the right length.
@pytest.mark.parametrize("major, reshape, error", [
    (4.0, None, None), (3, lambda r: (None, *r), None), (4, iter, None),
    (3, None, ValueError), (4, lambda r: (None, *r), ValueError),
    (5, None, TypeError), ("4", None, TypeError),
])
def test_contour_result_follows_the_generation(monkeypatch, fake_cv2, major, reshape, error):
    monkeypatch.setattr(ccapture, "caputil", types.SimpleNamespace(CV2_MAJOR=major))
    if reshape:
        fake_cv2.overrides["findContours"] = lambda *a: reshape(cv2.findContours(*a))
    frame, (p, q) = blocks((5, 5), (25, 40)), zero_pair((40, 60))
    with pytest.raises(error) if error else contextlib.nullcontext():
        assert gray(frame, p, q, 25, 5, 5) is True
    # A failed call leaves the new blurred frame and the old reference.
    assert (q == cv2.GaussianBlur(frame, (5, 5), 0)).all() and (p == 0).all() == bool(error)
    assert [c[0] for c in fake_cv2.calls].count("contourArea") == (0 if error else 2)


def same(record, name, *args, **kwargs):
    """The recorded call is `name` with these very objects, or equal numbers."""
    assert record[0] == name and record[2] == kwargs and len(record[1]) == len(args)
    assert all(g is e or (type(g) is type(e) and g == e) for g, e in zip(record[1], args))


def test_library_calls_in_order_with_their_arguments(fake_cv2):
    frame = blocks((5, 5), (25, 40))
    p, q = zero_pair(frame.shape)
    assert gray(frame, p, q, 25, 5, 5, True) is True
    blur, diff, thresh, dilate, find, *areas = fake_cv2.calls[:-6]
    named_diff, named_thresh, colour, draw, show_diff, show_thresh = fake_cv2.calls[-6:]
    same(blur, "GaussianBlur", frame, (5, 5), 0)
    same(diff, "absdiff", q, p)
    same(thresh, "threshold", diff[3], 25, 255, cv2.THRESH_BINARY)
    same(dilate, "dilate", thresh[3][1], None, iterations=2)
    same(find, "findContours", dilate[3], cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
    contours = find[3][0]
    assert len(areas) == len(contours) == 2  # both count, and both are measured
    for area, contour in zip(areas, contours):
        same(area, "contourArea", contour)
    same(named_diff, "namedWindow", DIFF_WINDOW, cv2.WINDOW_NORMAL)
    same(named_thresh, "namedWindow", THRESH_WINDOW, cv2.WINDOW_NORMAL)
    same(colour, "applyColorMap", diff[3], cv2.COLORMAP_JET)
    same(draw, "drawContours", colour[3], contours, -1, -1)
    same(show_diff, "imshow", DIFF_WINDOW, colour[3])
    same(show_thresh, "imshow", THRESH_WINDOW, dilate[3])


def test_cv2_is_looked_up_in_the_module_namespace_on_every_call(monkeypatch):
    frame, (p, q) = blocks((10, 10)), zero_pair((40, 60))
    monkeypatch.delattr(ccapture, "cv2")
    with pytest.raises(NameError, match="cv2"):
        gray(frame, p, q, 25, 5, 5)
    assert (p == 0).all() and (q == 0).all()


def test_colour_check_runs_the_grayscale_check_inside_the_module(monkeypatch, fake_cv2):
    monkeypatch.setattr(ccapture, "check_motion_gray", None)
    current = np.dstack([blocks((10, 10))] * 3)
    assert ccapture.check_motion_rgb(current, *zero_pair((40, 60)), 25, 5, 5, True)
    convert, blur = fake_cv2.calls[:2]
    assert convert[:2] == ["cvtColor", (current, cv2.COLOR_BGR2GRAY)]
    assert blur[0] == "GaussianBlur" and blur[1][0] is convert[3]
    assert "imshow" in [c[0] for c in fake_cv2.calls]  # show_diff passed through


@settings(max_examples=40, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), shape=st.tuples(st.integers(6, 40), st.integers(6, 40)),
       args=st.tuples(st.sampled_from([-1, 0, 25, 255]), st.sampled_from([-1, 15, 16, 400]),
                      st.sampled_from([1, 3, 21])))
def test_colour_check_equals_grey_check_on_the_converted_frame(seed, shape, args):
    rng, colour_pair, grey_pair = np.random.default_rng(seed), zero_pair(shape), zero_pair(shape)
    for _ in range(3):
        colour = (rng.integers(0, 256, (*shape, 3)) *
                  (rng.random((*shape, 1)) < rng.random())).astype(np.uint8)
        with pytest.MonkeyPatch.context() as patch:  # the debug display changes nothing
            patch.setattr(ccapture, "cv2", FakeCv2())
            moving = ccapture.check_motion_rgb(colour, *colour_pair, *args, True)
        assert moving is gray(cv2.cvtColor(colour, cv2.COLOR_BGR2GRAY), *grey_pair, *args)
        assert all((a == b).all() for a, b in zip(colour_pair, grey_pair))
