import contextlib
import gc
import pathlib
import sys

import numpy as np
import pytest

import velmar.ccapture as ccapture
from conftest import SANITIZED


def converter(method):
    """A class converting only by `method`, to its value; Boom as the value raises."""
    def give(self):
        if self.value is Boom:
            raise Boom
        return self.value
    return type(method, (), {"__init__": lambda self, v: setattr(self, "value", v), method: give})


Boom = type("Boom", (Exception,), {})
Index, IntOnly, FloatOnly, BadTruth = map(converter, "__index__ __int__ __float__ __bool__".split())
StrSub, ArraySub = type("StrSub", (str,), {}), type("ArraySub", (np.ndarray,), {})
F32, Z = np.zeros((9, 9), np.float32), np.zeros((9, 9), np.uint8)  # Z stays zero throughout


def check(args=(), **changes):
    """The colour check if `current` is given, else the grey one: with `args`, or on a
    zero frame and pair, where only a negative threshold sees motion."""
    rgb = "current" in changes
    defaults = {"current" if rgb else "gray_cur": np.zeros((9, 9, 3)[:2 + rgb], np.uint8),
                "blurred_prev": Z.copy(), "blurred_cur": Z.copy(), "threshold": 0, "min_area": -1}
    function = ccapture.check_motion_rgb if rgb else ccapture.check_motion_gray
    return function(*args, **(changes if args else {**defaults, **changes}))


# Outcome: (motion seen, windows shown, blur kernel width) of an accepted call; None
# when the binding lets the value through and the operation fails on it; an exception
# raised before the operation starts; or a parameter's name, for a TypeError naming it.
@pytest.mark.parametrize("changes, outcome", [
    (dict(args=(Z, Z, Z, 25, 5)), (False, False, 21)), (dict(show_diff=1), (False, True, 21)),
    (dict(args=(Z, Z, Z, 25, 5, 3, 1)), (False, True, 3)),
    # A float is truncated toward zero: -0.9 becomes 0, which sees nothing.
    (dict(threshold=-0.9, kernel_width=3.9), (False, False, 3)),
    (dict(threshold=-1.9), (True, False, 21)), (dict(threshold=Index(-1)), (True, False, 21)),
    (dict(threshold=IntOnly(0)), (False, False, 21)), (dict(threshold=-2**31), (True, False, 21)),
    (dict(show_diff=None), (False, False, 21)), (dict(show_diff=[0]), (False, True, 21)),
    (dict(gray_cur=Z.view(ArraySub), blurred_cur=np.tile(Z, 2)[:, ::2]), (False, False, 21)),
    (dict(gray_cur=None), None), (dict(blurred_prev=None), None), (dict(current=None), None),
    (dict(args=(Z, Z, Z, 25, 2**31, 3, False, 0)), TypeError),  # matching comes first
    (dict(args=(Z, Z, Z, 25)), TypeError), (dict(args=(Z, Z, Z, 25, 5), threshold=5), TypeError),
    *[({name: value}, error) for name in ("threshold", "min_area", "kernel_width")
      for value, error in [("21", TypeError), (None, TypeError), (2**31, OverflowError),
                           (-2**31 - 1, OverflowError), (3e9, OverflowError),
                           (float("inf"), OverflowError), (float("nan"), ValueError),
                           (Index(Boom), Boom), (IntOnly(Boom), Boom)]],
    (dict(show_diff=BadTruth(Boom)), Boom), (dict(gray_cur=[[0]]), "gray_cur"),
    (dict(current=()), "current"), (dict(gray_cur=F32), ValueError), (dict(current=Z), ValueError),
    (dict(gray_cur=np.zeros((9, 9, 3), "u1")), ValueError), (dict(blurred_prev=Z > 0), ValueError),
    (dict(blurred_cur=Z.ravel()), ValueError),
    # scalars first, in parameter order; then all type checks; then element types and ndim
    (dict(gray_cur=F32, threshold="x"), TypeError), (dict(threshold="x", min_area=3e9), TypeError),
    (dict(threshold=2**31, min_area="x"), OverflowError),
    (dict(blurred_cur=[0], show_diff=BadTruth(Boom)), Boom),
    (dict(gray_cur=F32, blurred_cur=[0]), "blurred_cur"),
    (dict(gray_cur=[0], blurred_prev=[0]), "gray_cur")])
def test_motion_check_arguments(fake_cv2, changes, outcome):
    if isinstance(outcome, tuple):
        moving, calls = check(**changes), {c[0]: c[1] for c in fake_cv2.calls}
        assert (moving, "namedWindow" in calls, calls["GaussianBlur"][1][0]) == outcome
        return
    with pytest.raises(outcome if isinstance(outcome, type) else Exception) as info:
        check(**changes)
    assert bool(fake_cv2.calls) == (outcome is None)  # whether the operation started
    if isinstance(outcome, str):
        assert info.type is TypeError and all(part in str(info.value) for part in (
            outcome, "ndarray", type(changes[outcome]).__name__))


VALUES = ["in.avi", "out.avi", "MJPG", 30, False, 0, 0, 0, 0, 8, 8, 0.0, 0.0, 0, False, False,
          25, 500, 21, False, False, np.zeros(3, np.int32), np.zeros(3, np.int64), 10, 20, 1.0]
KEYWORDS = dict(zip(ccapture.vcapture.__signature__.parameters, VALUES))


# `timestamp` is false and `tc` 64-bit throughout: an accepted value shows as the last refusal.
@pytest.mark.parametrize("changes, error, named", [
    (dict(args=VALUES[:25]), TypeError, None), (dict(args=VALUES + [0]), TypeError, None),
    (dict(args=VALUES[:25], input_="in.avi"), TypeError, None), (dict(roi=0), TypeError, None),
    (dict(args=VALUES[:3], **{**KEYWORDS, "fps": 2**31}), TypeError, None),  # matching first
    (dict(fps="30"), TypeError, None), (dict(fps=2**31), OverflowError, None),
    (dict(duration=10**400), OverflowError, None), (dict(interval="1"), TypeError, None),
    (dict(fs=FloatOnly(Boom)), Boom, None), (dict(max_frames=2**63), OverflowError, None),
    (dict(interactive=BadTruth(Boom)), Boom, None), (dict(input_=StrSub()), TypeError, "input_"),
    (dict(output=b"o"), TypeError, "output"), (dict(fmt=pathlib.Path()), TypeError, "fmt"),
    (dict(tb=[0]), TypeError, "tb"), (dict(tb=np.array([0, 0, 0])), ValueError, "tb"),
    (dict(tb=np.zeros(3, ">i4")), ValueError, "tb"),
    (dict(tb=np.zeros((1, 3), "i4")), ValueError, "tb"),
    *[({name: value}, ValueError, "tc") for name, value in [
        ("fps", 30.9), ("interactive", None), ("interactive", [0]), ("max_frames", -2**63),
        ("interval", Index(2)), ("duration", FloatOnly(1.5)), ("fs", float("nan")),
        ("duration", float("inf")), ("input_", None), ("tb", None),
        ("tb", np.zeros(6, np.int32)[::2]), ("tb", np.zeros(3, np.int32).view(ArraySub))]],
    # scalars in parameter order, then texts, then array types, then array layouts
    (dict(tb=[0], ty=2**31), OverflowError, None), (dict(fps="x", fs=10**400), TypeError, None),
    (dict(input_=StrSub(), fs=10**400), OverflowError, None),
    (dict(fmt=b"", tb=[0]), TypeError, "fmt"),
    (dict(output=b"", input_=b""), TypeError, "input_"), (dict(tc=[0], tb=[0]), TypeError, "tb"),
    (dict(tb=np.array([0, 0, 0]), tc=[0]), TypeError, "tc")])
def test_vcapture_refusals_in_order(tmp_path, monkeypatch, capsys, changes, error, named):
    monkeypatch.chdir(tmp_path)
    monkeypatch.delattr(ccapture, "cv2")  # a refused call opens nothing
    args, kwargs = changes.get("args", ()), {k: v for k, v in changes.items() if k != "args"}
    with pytest.raises(error) as info:
        ccapture.vcapture(*args, **(kwargs if args else {**KEYWORDS, **kwargs}))
    assert capsys.readouterr().out == "" and list(tmp_path.iterdir()) == []
    assert named is None or named in str(info.value)


def test_repeated_calls_leak_nothing():
    # 100,000 calls, valid and refused, with scalars of their own so a leaked reference shows.
    frame, p, q = np.pad([[255]], 4).astype(np.uint8), Z.copy(), Z.copy()
    gray, rgb, session = ccapture.check_motion_gray, ccapture.check_motion_rgb, ccapture.vcapture
    calls = [(gray, (frame, p, q, 25.5, Index(5), 1), {}), (gray, (frame, p, [q], 25, 5), {}),
             (rgb, (np.dstack([frame] * 3), p, q, 25, -1), dict(kernel_width=1.5, show_diff=[])),
             (rgb, (frame, p, q, Index(Boom), 5), {}), (rgb, (frame, p, q, 25, 3e9), {}),
             (gray, (frame, p, q, 25, 5), dict(size=5)), (session, VALUES, {}),
             (session, VALUES[1:], dict(input_=StrSub(), fs=FloatOnly(2)))]
    objects = [o for _, a, k in calls for o in (*a, *k.values()) if not isinstance(o, (int, str))]

    def footprint(n):
        for function, args, kwargs in calls * (n // len(calls)):
            with contextlib.suppress(TypeError, ValueError, OverflowError, Boom):
                function(*args, **kwargs)
        gc.collect()
        pages = int(pathlib.Path("/proc/self/statm").read_text().split()[1])
        return sys.getallocatedblocks(), pages, [sys.getrefcount(o) for o in objects]

    before, after = footprint(5000), footprint(100_000)
    assert after[0] - before[0] < 1000  # one object leaked per call: 100,000 blocks
    assert after[2] == before[2]
    assert SANITIZED or after[1] - before[1] < 2048  # 8 MiB of 4 KiB pages
