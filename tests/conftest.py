"""Stand-ins for `cv2`, captures, writers and files; session arguments; readers."""

import builtins
import csv
import functools
import os
from pathlib import Path

import cv2
import numpy as np
import pytest

import velmar.ccapture as ccapture

# Under AddressSanitizer freed memory is held back on purpose: resident memory
# says nothing about leaks there.
SANITIZED = "libasan" in Path("/proc/self/maps").read_text()

# Window calls never reach OpenCV from a test: without a display its Qt build
# aborts the whole process instead of raising. The real ones are taken away.
WINDOW_CALLS = ("namedWindow", "imshow", "waitKey", "destroyWindow", "destroyAllWindows")


class FakeCv2:
    """`cv2` for the module namespace: calls go to the real binding (or to `overrides`)
    and are recorded as [name, args, kwargs, result]; window calls are faked and logged
    in `events` with the releases; `waitKey` gives the scripted `keys`, then 255."""

    def __init__(self, capture=None, keys=()):
        self.calls, self.events, self.overrides, self.captures, self.writers = [], [], {}, [], []
        self.capture, self.keys = capture, list(keys)
        if capture is not None:
            capture.events = self.events

    def __getattr__(self, name):
        real = functools.partial(self.window, name) if name in WINDOW_CALLS else getattr(cv2, name)
        if not callable(real) or isinstance(real, type):
            return real

        def call(*args, **kwargs):
            self.calls.append(record := [name, args, kwargs, None])
            record[3] = self.overrides.get(name, real)(*args, **kwargs)
            return record[3]
        return call

    def window(self, name, *args):
        if name == "waitKey":
            assert args == (1,)
            return self.keys.pop(0) if self.keys else 255
        if name == "imshow":  # the first sample tells which frame is shown
            args = (args[0], int(args[1].reshape(-1)[0]))
        self.events.append((name, *args))

    def VideoCapture(self, *args):
        self.captures.append(args)
        return self.capture or cv2.VideoCapture(*args)

    def VideoWriter(self, *args):
        self.writers.append(RecordingWriter(self.events, args))
        return self.writers[-1]


class FakeCapture:
    """Scripted VideoCapture: its frames, then (False, None); an exception among
    the frames is raised by the read that reaches it."""

    def __init__(self, frames, width=64, height=48, fps=10.0):
        self.frames, self.sets, self.events = list(frames), [], None
        props = {cv2.CAP_PROP_FRAME_WIDTH: width, cv2.CAP_PROP_FRAME_HEIGHT: height,
                 cv2.CAP_PROP_FPS: fps, cv2.CAP_PROP_FRAME_COUNT: len(self.frames),
                 cv2.CAP_PROP_POS_MSEC: 0.0}
        self.get = lambda prop: float(props[prop])
        self.set = lambda *request: self.sets.append(request)
        self.isOpened = lambda: True

    def read(self):
        item = self.frames.pop(0) if self.frames else None
        if isinstance(item, BaseException):
            raise item
        return item is not None, item

    def release(self):
        self.events.append(("cap.release",))


class RecordingWriter:
    """A real VideoWriter that keeps its arguments and logs its release."""

    def __init__(self, events, args):
        self.events, self.args, self.real = events, args, cv2.VideoWriter(*args)
        self.isOpened, self.write = self.real.isOpened, self.real.write

    def release(self):
        self.events.append(("writer.release",))
        self.real.release()


def tracked_open(events, *args, **kwargs):
    """`open` for the session: each file's close is logged in `events`."""
    f = builtins.open(*args, **kwargs)
    close = f.close
    f.close = lambda: (events.append(("csv.close", os.path.basename(f.name))), close())[1]
    return f


def use_fake_cv2(monkeypatch, frames=None, **kwargs):
    """Installs a FakeCv2 and tracked_open; `frames` make a scripted in.avi."""
    if frames is not None:
        kwargs["capture"] = FakeCapture(frames, fps=kwargs.pop("fps", 10.0))
        open("in.avi", "a").close()
    fake = FakeCv2(**kwargs)
    monkeypatch.setattr(ccapture, "cv2", fake)
    monkeypatch.setattr(ccapture, "open", functools.partial(tracked_open, fake.events),
                        raising=False)
    return fake


@pytest.fixture
def fake_cv2(monkeypatch):
    return use_fake_cv2(monkeypatch)


@pytest.fixture(autouse=True)
def no_real_windows(monkeypatch):
    for name in WINDOW_CALLS[:4]:
        monkeypatch.delattr(cv2, name)


@pytest.fixture
def in_tmp(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)


def colour(*values):
    return np.array(values, dtype=np.int32)


def run(**overrides):
    """A plain file session over a 64x48 region, with the given changes."""
    args = dict(input_="in.avi", output="out.avi", fmt="FFV1", fps=10, interactive=False,
                width=0, height=0, roi_x=0, roi_y=0, roi_w=64, roi_h=48, interval=0.0,
                duration=0.0, max_frames=0, motion_based=False, config=False, threshold=25,
                min_area=100, kernel_width=21, timestamp=False, show_diff=False,
                tb=colour(0, 0, 255), tc=colour(255, 255, 255), tx=10, ty=20, fs=0.5)
    return ccapture.vcapture(**{**args, **overrides})


def make_frames(n, width=64, height=48):
    """Frame i is uniformly 5 * i, so written frames can be traced back."""
    return [np.full((height, width, 3), i * 5, np.uint8) for i in range(n)]


def write_video(path, n, fps=10.0, size=(64, 48)):
    writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"FFV1"), fps, size)
    for frame in make_frames(n, *size):
        writer.write(frame)
    writer.release()


def read_video(path):
    cap, frames = cv2.VideoCapture(path), []
    while (frame := cap.read()[1]) is not None:
        frames.append(frame)
    cap.release()
    return frames


def count_frames(path):
    """Frames in a video, read without keeping them."""
    cap, count = cv2.VideoCapture(str(path)), 0
    while cap.read()[0]:
        count += 1
    cap.release()
    return count


def csv_rows(path):
    with open(path, newline="") as f:
        return [(int(a), int(b), ts) for a, b, ts in list(csv.reader(f))[1:]]


def zero_pair(shape):
    return np.zeros(shape, np.uint8), np.zeros(shape, np.uint8)


# A square is on screen in these frames; the frame after it leaves differs
# from the one before, so motion runs one frame longer. 8 fps: 0.125 s a frame.
SPELLS = [(2, 4), (20, 29), (36, 40), (60, 60), (80, 99)]


@pytest.fixture(scope="session")
def spells_clip(tmp_path_factory):
    path = tmp_path_factory.mktemp("spells") / "spells.avi"
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"FFV1"), 8, (160, 120))
    rng = np.random.default_rng(3)
    for i in range(100):
        frame = rng.integers(100, 106, (120, 160, 3), dtype=np.uint8)  # still, lightly noisy
        if any(a <= i <= b for a, b in SPELLS):
            x = 10 + (i % 10) * 12
            frame[40:80, x:x + 30] = 250
        writer.write(frame)
    writer.release()
    return path
