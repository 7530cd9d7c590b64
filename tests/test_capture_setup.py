import contextlib
import os
import sys
from datetime import datetime, timedelta

import cv2
import pytest

from conftest import (FakeCapture, colour, csv_rows, make_frames, run, use_fake_cv2,
                      write_video)

pytestmark = pytest.mark.usefixtures("in_tmp")


def camera(monkeypatch, frames=make_frames(1), **props):
    return use_fake_cv2(monkeypatch, capture=FakeCapture(frames, **props))


@pytest.mark.parametrize("changes", [
    dict(timestamp=True, tb=None), dict(timestamp=True, tc=None),
    dict(timestamp=True, tb=colour(1, 2)), dict(timestamp=True, tc=colour()),
    dict(roi_x=-1), dict(roi_y=-1)])
def test_refused_before_anything_is_opened_or_printed(monkeypatch, capsys, changes):
    fake = camera(monkeypatch)
    with pytest.raises(ValueError):
        run(input_="0", **changes)
    assert fake.captures == fake.events == [] and capsys.readouterr().out == ""


def test_short_colours_are_fine_without_timestamp(monkeypatch):
    camera(monkeypatch, make_frames(2))
    assert run(input_="0", timestamp=False, tb=None, tc=colour(1)) == 2


@pytest.mark.parametrize("fps, width, config, sets, rate", [
    (-5, 0, False, [(cv2.CAP_PROP_FPS, 30)], 30),
    (30.9, -1, False, [(cv2.CAP_PROP_FPS, 30)], 30),
    (0, 0, False, [], 0),
    (25, 320, True, [(cv2.CAP_PROP_FRAME_WIDTH, 320), (cv2.CAP_PROP_FRAME_HEIGHT, 240),
                     (cv2.CAP_PROP_FPS, 25), (cv2.CAP_PROP_SETTINGS, 1)], 25)])
def test_camera_requests(monkeypatch, capsys, fps, width, config, sets, rate):
    fake = camera(monkeypatch, width=640, height=480)
    # OpenCV opens no writer at rate 0, and the session refuses to record blind.
    with pytest.raises(RuntimeError) if rate == 0 else contextlib.nullcontext():
        run(input_="0", fps=fps, width=width, height=width * 3 // 4, config=config)
    assert fake.capture.sets == sets and fake.writers[0].args[2] == rate
    assert capsys.readouterr().out.splitlines()[:2] == [f"Camera FPS set to {rate}",
                                                        "Frame size: 640x480"]


@pytest.mark.parametrize("x, y, w, h, fits", [
    (0, 0, 641, 10, 0), (0, 0, 640, 480, 1), (1, 0, 640, 480, 0), (0, 480, 10, 1, 0),
    (2**31 - 1, 0, 10, 10, 0), (0, 2**31 - 1, 10, 10, 0)])
def test_camera_region_against_reported_size(monkeypatch, capsys, x, y, w, h, fits):
    camera(monkeypatch, make_frames(1, 640, 480), width=640.9, height=480)
    assert run(input_="0", roi_x=x, roi_y=y, roi_w=w, roi_h=h) == fits
    out = capsys.readouterr().out
    assert "Frame size: 640x480\n" in out and ("ROI limits exceed frame size" in out) != fits
    assert sorted(os.listdir()) == (["out.avi", "out.avi.csv"] if fits else [])


@pytest.mark.parametrize("text, opened", [
    (" 1 ", (1,)), ("+1", (1,)), ("1_0", (10,)),
    # Any camera (-1) through V4L2: the default back-end can crash on it.
    ("-1", (-1, cv2.CAP_V4L2) if sys.platform.startswith("linux") else (-1,)),
    ("12345678901", OverflowError), ("nothing.avi", FileNotFoundError)])
def test_input_selection(monkeypatch, capsys, text, opened):
    fake = camera(monkeypatch)
    if isinstance(opened, tuple):
        assert run(input_=text) == 1 and fake.captures == [opened]
    else:
        pytest.raises(opened, run, input_=text)
        assert fake.captures == [] and capsys.readouterr().out == ""


def test_file_that_is_not_a_video(monkeypatch, capsys):
    with open("notes.avi", "w") as f:
        f.write("not a video\n")
    fake, fds = use_fake_cv2(monkeypatch), os.listdir("/proc/self/fd")
    assert run(input_="notes.avi") == 0 and len(os.listdir("/proc/self/fd")) == len(fds)
    assert capsys.readouterr().out == ("Input from file notes.avi Open? False\n"
                                       "Could not open video file notes.avi for reading.\n")
    assert os.listdir() == ["notes.avi"] and fake.writers == []


def test_file_rate_and_start_time(monkeypatch, capsys):
    write_video("in.avi", 3, fps=29.97)
    os.utime("in.avi", (1709647629.75, 1709647629.75))
    fake = use_fake_cv2(monkeypatch)
    # The caller's rate, size and settings requests do not apply to a file.
    assert run(fps=50, width=320, height=240, config=True) == 3
    assert capsys.readouterr().out.splitlines()[:2] == ["Input from file in.avi Open? True",
                                                        "Frames to process 3"]
    assert fake.writers[0].args[2] == 29
    tstart = datetime.fromtimestamp(1709647629)
    assert [ts for _, _, ts in csv_rows("out.avi.csv")] == [
        (tstart + timedelta(seconds=i / 29)).isoformat() for i in range(3)]
