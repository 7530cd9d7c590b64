"""Compact and OpenCV codecs read back by PyAV and OpenCV; odd region sizes;
read-ahead giving the same output as none, and leaving no thread behind."""

import os
import signal
import threading
from fractions import Fraction

import av
import cv2
import numpy as np
import pytest

import velmar
from conftest import count_frames, csv_rows


OPENCV_READS_AV1 = int(cv2.__version__.split(".")[0]) >= 5  # OpenCV 4's wheels cannot


@pytest.fixture(scope="module")
def clip(tmp_path_factory):
    """45 frames 176x144 at 15 fps, lossless, an orange block moving over noise."""
    path = tmp_path_factory.mktemp("clip") / "clip.avi"
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"FFV1"), 15, (176, 144))
    rng = np.random.default_rng(7)
    for i in range(45):
        frame = rng.integers(60, 90, (144, 176, 3), dtype=np.uint8)
        frame[40:80, 3 * i:3 * i + 30] = (40, 140, 240)
        writer.write(frame)
    writer.release()
    return path


def pyav_frames(path):
    with av.open(str(path)) as container:
        stream = container.streams.video[0]
        frames = [f.to_ndarray(format="bgr24") for f in container.decode(stream)]
        return frames, stream.average_rate


@pytest.mark.parametrize("codec, output", [
    ("h264", "out.mp4"), ("h265", "out.mkv"), ("av1", "out.mkv"), ("mjpg", "out.avi"),
    ("mp4v", "out.mp4"), ("ffv1", "out.avi")])
@pytest.mark.parametrize("region", [None, (1, 2, 101, 51)])
def test_round_trip(clip, in_tmp, codec, output, region):
    result = velmar.record(clip, output, codec=codec, region=region, frames_per_file=20)
    width, height = (176, 144) if region is None else (100, 50)
    x, y = (0, 0) if region is None else region[:2]
    source = [f[y:y + height, x:x + width].astype(int) for f in pyav_frames(clip)[0]]
    assert [f.size for f in result.files] == [(width, height)] * 3
    assert bool(result.notes) == (region is not None)
    for first, file in zip((0, 20, 40), result.files):
        frames, rate = pyav_frames(file.video)
        assert len(frames) == len(csv_rows(file.log)) == file.frames
        if codec != "av1" or OPENCV_READS_AV1:
            assert count_frames(file.video) == file.frames
        assert frames[0].shape == (height, width, 3)
        # Colours kept: each channel's mean within what lossy coding moves it.
        shift = (frames[-1] - source[first + file.frames - 1]).mean(axis=(0, 1))
        assert np.abs(shift).max() < 4
        if codec in ("h264", "h265", "av1"):
            assert rate == Fraction(15)


def test_read_ahead_changes_nothing(clip, in_tmp):
    kwargs = dict(codec="ffv1", keep="motion", min_area=50, stamp=True, frames_per_file=4)
    ahead = velmar.record(clip, "a.avi", **kwargs)
    alone = velmar.record(clip, "b.avi", read_ahead=False, **kwargs)
    assert [f.frames for f in ahead.files] == [f.frames for f in alone.files]
    for a, b in zip(ahead.files, alone.files):
        assert a.log.read_bytes() == b.log.read_bytes()
        assert all(np.array_equal(x, y) for x, y in zip(pyav_frames(a.video)[0],
                                                         pyav_frames(b.video)[0]))


def interrupt(progress, sent=[]):
    if progress.frames_read < 45 and not sent:  # once, and not from the final report
        sent.append(os.kill(os.getpid(), signal.SIGINT))


def fail(progress):
    raise RuntimeError("progress failed")


@pytest.mark.parametrize("options, outcome", [
    (dict(), "end"), (dict(duration=1.0), "duration"), (dict(progress=interrupt), "interrupt"),
    (dict(progress=fail), RuntimeError)])
def test_no_thread_left_behind(clip, in_tmp, monkeypatch, options, outcome):
    released = []
    real = velmar._engine.cv2.VideoCapture

    def counted(*how):
        capture = real(*how)
        release = capture.release
        return type("Counted", (), {
            "__getattr__": lambda _, name: getattr(capture, name),
            "release": lambda _: released.append(release())})()

    before = set(threading.enumerate())
    with monkeypatch.context() as patch:
        patch.setattr(velmar._engine.cv2, "VideoCapture", counted)
        if isinstance(outcome, str):
            result = velmar.record(clip, "out.mp4", **options)
        else:
            with pytest.raises(outcome):
                velmar.record(clip, "out.mp4", **options)
    assert set(threading.enumerate()) == before and len(released) == 1
    if isinstance(outcome, str):
        assert result.stop == outcome
        assert sum(f.frames for f in result.files) == len(csv_rows("out.mp4.csv")) == \
            count_frames("out.mp4")
