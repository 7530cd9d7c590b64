import glob
import os
from datetime import datetime

import cv2
import numpy as np
import pytest

import velmar.ccapture as ccapture
from conftest import FakeCapture, csv_rows, make_frames, read_video, run, use_fake_cv2, write_video

pytestmark = pytest.mark.usefixtures("in_tmp")


@pytest.mark.parametrize("frames, changes, result, sets", [
    # Frame 10 is exactly 1.0 s in, which is not past the limit; frame 11 is.
    (25, dict(duration=1.0), 12, [[(i, i) for i in range(11)]]),
    (25, dict(interval=0.5), 25, [[(5, 0), (10, 1), (15, 2), (20, 3)]]),
    # The frame that opens a set is never kept, so gaps across a switch grow.
    (25, dict(interval=0.5, max_frames=3), 25, [[(5, 0), (10, 1)], [(16, 0), (21, 1)], []]),
    (5, dict(max_frames=3), 5, [[(0, 0), (1, 1)], [(2, 0), (3, 1)], [(4, 0)]]),
    (4, dict(max_frames=3), 4, [[(0, 0), (1, 1)], [(2, 0), (3, 1)]]),
    (3, dict(max_frames=2), 3, [[(0, 0)], [(1, 0)], [(2, 0)]]),
    (3, dict(max_frames=1), 3, [[(0, 0)], [(1, 0)], [(2, 0)]]),
])
def test_frames_kept_per_output_set(monkeypatch, frames, changes, result, sets):
    write_video("in.avi", frames)
    use_fake_cv2(monkeypatch)
    fds = len(os.listdir("/proc/self/fd"))
    assert run(**changes) == result and len(os.listdir("/proc/self/fd")) == fds
    names = sorted(glob.glob("out*.avi"))
    assert [[(a, b) for a, b, _ in csv_rows(name + ".csv")] for name in names] == sets
    # Frame i is uniformly 5 * i, and FFV1 is lossless.
    assert [[f[0, 0, 0] // 5 for f in read_video(n)] for n in names] == [
        [a for a, _ in s] for s in sets]


MESSAGES = [("Caught keyboard interrupt",), ("Could not find one or more file paths",),
            ("ROI limits exceed frame size",)]
CLEAN_UP = [("cap.release",), ("writer.release",), ("csv.close", "out.avi.csv"),
            ("destroyAllWindows",)]


@pytest.mark.parametrize("script, changes, result, message, kept", [
    ([], {}, 0, None, None),
    (make_frames(3), {}, 3, None, 3),
    (make_frames(2) + [KeyboardInterrupt()] + make_frames(1), {}, 2,
     "Caught keyboard interrupt", 2),
    (make_frames(3), dict(output="nowhere/out.avi"), 1,
     "Could not find one or more file paths", None),
    (make_frames(2) + make_frames(1, 63), {}, 0, "ROI limits exceed frame size", 2),
    (make_frames(2), dict(roi_x=2**31 - 1, roi_w=10), 0, "ROI limits exceed frame size", None),
    (make_frames(2) + [RuntimeError("boom")], {}, RuntimeError, None, 2),
    (make_frames(2), dict(motion_based=True, kernel_width=20), cv2.error, None, 0),
])
def test_ways_out_and_clean_up(monkeypatch, script, changes, result, message, kept):
    fake = use_fake_cv2(monkeypatch, script)
    monkeypatch.setattr(ccapture, "print", lambda *a: fake.events.append(a), raising=False)
    fds = len(os.listdir("/proc/self/fd"))
    if isinstance(result, int):
        assert run(**changes) == result
    else:
        pytest.raises(result, run, **changes)
    clean_up = CLEAN_UP if kept is not None else [CLEAN_UP[0], CLEAN_UP[-1]]
    assert fake.events[-len(clean_up) - bool(message):] == [(message,)] * bool(message) + clean_up
    assert [e for e in fake.events if e in MESSAGES] == [(message,)] * bool(message)
    assert len(os.listdir("/proc/self/fd")) == fds
    if kept is None:  # no output set, or no CSV file and no usable video
        assert glob.glob("*") == ["in.avi"]
    else:  # what was written before the end is complete on disk
        assert len(csv_rows("out.avi.csv")) == len(read_video("out.avi")) == kept


@pytest.mark.parametrize("keys, interval, result, shown", [
    ([255, 81, 113], 0, 3, [0, 1, 2]), ([27], 0, 1, [0]), ([0x171], 0, 1, [0]),
    ([255, 0], 0, 12, range(12)), ([113], 0.5, 6, [5])])  # only kept frames are polled
def test_keys_in_the_preview(monkeypatch, keys, interval, result, shown):
    fake = use_fake_cv2(monkeypatch, make_frames(12), keys=keys)
    assert run(interactive=True, interval=interval) == result
    # The frame on screen when the key came was written and logged.
    assert len(csv_rows("out.avi.csv")) == len(read_video("out.avi")) == len(shown)
    assert [e for e in fake.events if e[0] == "imshow"] == [
        ("imshow", "out.avi", i * 5) for i in shown]


def test_negative_camera_is_stamped_like_a_file(monkeypatch):
    fake = use_fake_cv2(monkeypatch, capture=FakeCapture(make_frames(3)))
    assert run(input_="-1", fps=4) == 3
    stamps = [datetime.fromisoformat(ts) for _, _, ts in csv_rows("out.avi.csv")]
    assert [(t - stamps[0]).total_seconds() for t in stamps] == [0, 0.25, 0.5]
    # At rate 0 the stamp divides by zero: the error comes after the clean-up.
    fake = use_fake_cv2(monkeypatch, capture=FakeCapture(make_frames(3)))
    pytest.raises(ZeroDivisionError, run, input_="-1", fps=0)
    assert fake.events == [("cap.release",), ("destroyAllWindows",)]


@pytest.mark.parametrize("interactive", [True, False])
def test_windows_follow_the_output_sets(monkeypatch, interactive):
    fake = use_fake_cv2(monkeypatch, make_frames(3))
    assert run(interactive=interactive, max_frames=2) == 3
    expected = []
    for n, name in enumerate(["out_000.avi", "out_001.avi", "out_002.avi"]):
        expected += [("destroyAllWindows",)] + [
            ("namedWindow", name, cv2.WINDOW_NORMAL), ("imshow", name, n * 5)] * interactive
    assert [e for e in fake.events if e[0] in ("destroyAllWindows", "namedWindow", "imshow")
            ] == expected + [("destroyAllWindows",)]


@pytest.mark.parametrize("gray", [True, False])
def test_motion_ignores_the_interval(monkeypatch, capsys, gray):
    frames = [np.full((48, 64) if gray else (48, 64, 3), 200 * (i % 2), np.uint8)
              for i in range(1, 5)]
    fake = use_fake_cv2(monkeypatch, frames)
    assert run(motion_based=True, interval=100.0, show_diff=True) == 4
    assert len(csv_rows("out.avi.csv")) == 4
    assert capsys.readouterr().out.count("Frame dimension 2\n") == 4 * gray
    assert {e[1] for e in fake.events if e[0] == "imshow"} == {
        "DEBUG - absdiff between frames", "DEBUG - thresholded absdiff"}


@pytest.mark.parametrize("max_frames, rows", [(0, [1]), (2, [1, 1, 1, 1])])
def test_still_scene_against_a_fresh_background(monkeypatch, max_frames, rows):
    use_fake_cv2(monkeypatch, [np.full((48, 64, 3), 200, np.uint8)] * 4)
    # Only the first frame of a set differs from its all-zero background.
    assert run(motion_based=True, max_frames=max_frames) == 4
    assert [len(csv_rows(f)) for f in sorted(glob.glob("out*.csv"))] == rows
