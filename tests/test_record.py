"""record() on real files and a scripted camera: what is kept, how it is
split and named, the logs beside the videos, progress reports and refusals."""

import functools
import os
import sys
import time
from datetime import datetime
from pathlib import Path

import cv2
import numpy as np
import pytest

import velmar
import velmar._engine
from conftest import FakeCapture, FakeCv2, count_frames, csv_rows, make_frames, read_video
from velmar.recording.engine_hooks import HOOKS, EngineHooks
from velmar.shared.stops import REASONS

HEADER = b"inframe,outframe,timestamp\r\n"
record = functools.partial(velmar.record, codec="mjpg")  # fast, and any size goes


@pytest.fixture(scope="module")
def clip(tmp_path_factory):
    """60 frames 160x120 at 10 fps over a gradient; a square moves in frames 20-39."""
    path = tmp_path_factory.mktemp("clip") / "clip.avi"
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"MJPG"), 10, (160, 120))
    gradient = cv2.cvtColor(np.tile(np.linspace(0, 200, 160, dtype=np.uint8), (120, 1)),
                            cv2.COLOR_GRAY2BGR)
    for i in range(60):
        frame = gradient.copy()
        if 20 <= i < 40:
            frame[30:70, (i - 20) * 5:(i - 20) * 5 + 40] = 255
        writer.write(frame)
    writer.release()
    return str(path)


@pytest.fixture
def camera(monkeypatch):
    """Camera 0 gives 100 frames of 64x48, each read taking a few milliseconds."""
    capture = FakeCapture(make_frames(50) * 2)
    read = capture.read
    capture.read = lambda: (time.sleep(0.004), read())[1]
    monkeypatch.setattr(velmar._engine, "cv2", FakeCv2(capture))
    return 0


def check_files(result, per_file=None):
    """Each video, its log and its OutputFile agree; returns the kept input frame numbers."""
    inframes = []
    for file in result.files:
        raw = file.log.read_bytes()
        assert raw.startswith(HEADER) and raw.endswith(b"\r\n") and raw.isascii()
        assert raw.count(b"\n") == raw.count(b"\r\n")
        rows = csv_rows(file.log)
        assert count_frames(file.video) == len(rows) == file.frames
        assert [row[1] for row in rows] == list(range(len(rows)))
        assert file.log == Path(f"{file.video}.csv")
        inframes += [row[0] for row in rows]
    if per_file:
        sizes = [file.frames for file in result.files]
        assert set(sizes[:-1]) <= {per_file} and 0 < sizes[-1] <= per_file, sizes
    assert len(inframes) == result.frames_kept
    return inframes


KEEP = {  # options, the input frames kept (None: checked as motion), stop
    "all": (dict(keep="all"), list(range(60)), "end"),
    "interval": (dict(keep="interval", interval=1.0), [0, 10, 20, 30, 40, 50], "end"),
    "duration": (dict(duration=0.95), list(range(10)), "duration"),
    "motion": (dict(keep="motion", min_area=100), None, "end"),
    # The engine's own check, whose motion runs a frame past the square's.
    "plain motion": (dict(keep="motion", min_area=100, light_guard=False, min_event=0), None,
                     "end"),
}
@pytest.mark.parametrize("per_file", [None, 7, 1])
@pytest.mark.parametrize("case", KEEP)
def test_kept_frames_do_not_depend_on_how_files_are_split(clip, in_tmp, case, per_file):
    options, expected, stop = KEEP[case]
    result = record(clip, "out.avi", frames_per_file=per_file, **options)
    inframes = check_files(result, per_file)
    assert result.stop == stop and result.frames_read == (11 if case == "duration" else 60)
    if expected is None and case == "plain motion":
        assert set(range(20, 41)) <= set(inframes) and not set(inframes) & {*range(20),
                                                                            *range(42, 60)}
    elif expected is None:
        assert set(range(20, 40)) <= set(inframes) and not set(inframes) & {*range(20),
                                                                            *range(42, 60)}
    else:
        assert inframes == expected
    names = (["out.avi"] if per_file is None else
             [f"out_{n:03d}.avi" for n in range(1, len(result.files) + 1)])
    assert [file.video.name for file in result.files] == names


@pytest.mark.parametrize("options", [dict(region=(30, 20, 64, 48)), dict(stamp=True)])
def test_region_and_stamp_in_lossless_output(clip, in_tmp, options):
    result = record(clip, "out.avi", codec="ffv1", **options)
    written, source = read_video("out.avi"), read_video(clip)
    assert check_files(result) == list(range(60))
    if "region" in options:
        assert all(np.array_equal(out, src[20:68, 30:94]) for out, src in zip(written, source))
    else:  # the stamp sits at the top left; the rest is the input as it was
        assert all(not np.array_equal(out[:25, :100], src[:25, :100]) and
                   np.array_equal(out[40:], src[40:]) for out, src in zip(written, source))


@pytest.mark.parametrize("source", ["clip", "camera"])
def test_progress_is_rate_limited_monotonic_and_ends_with_the_result(request, in_tmp, source):
    calls = []
    # The scripted camera is unplugged after its frames: that ends the recording.
    result = record(request.getfixturevalue(source), "out.avi", progress=calls.append,
                    reconnect=False)
    assert result.frames_kept == (60 if source == "clip" else 100)
    assert 1 <= len(calls) <= result.elapsed * 10 + 3
    for field in ("frames_read", "frames_kept", "elapsed", "position"):
        values = [getattr(call, field) for call in calls]
        assert values == sorted(values), field
    assert {call.frame_count for call in calls} == {60 if source == "clip" else None}
    last = calls[-1]
    assert (last.frames_read, last.frames_kept, last.elapsed) == (
        result.frames_read, result.frames_kept, result.elapsed)


def test_camera_frames_carry_wall_clock_times(camera, in_tmp):
    before = datetime.now()
    result = record(camera, "cam.avi", stamp=True, reconnect=False)
    after = datetime.now()
    assert (result.stop, result.frames_read) == ("end", 100)
    check_files(result)
    stamps = [datetime.fromisoformat(row[2]) for row in csv_rows("cam.avi.csv")]
    assert before <= stamps[0] and stamps == sorted(stamps) and stamps[-1] <= after
    assert (stamps[-1] - stamps[0]).total_seconds() >= 0.3  # each read took its time
    # With OpenCV's own decoding threads: more would hold frames back and make them late.
    assert velmar._engine.cv2.captures == [(0,)]


@pytest.mark.parametrize("options, error, text", [
    (dict(keep="fast"), ValueError, "keep"),
    (dict(kernel_width=4), ValueError, "kernel_width"),
    (dict(kernel_width=0), ValueError, "kernel_width"),
    (dict(stamp_scale=1000), ValueError, "stamp_scale"),
    (dict(stamp_scale=0), ValueError, "stamp_scale"),
    (dict(threshold=300), ValueError, "threshold"),
    (dict(region=(0, 0, 0, 10)), ValueError, "region"),
    (dict(keep="motion", region=(0, 0, 10, 10)), ValueError, "kernel_width"),
    (dict(keep="motion", kernel_width=201), ValueError, "kernel_width"),  # found in the frames
    (dict(frames_per_file=0), ValueError, "frames_per_file"),
    (dict(duration=-1), ValueError, "duration"),
    (dict(box_color=(0, 0)), TypeError, "box_color"),
    (dict(codec="ZZZZ"), ValueError, "fourcc"),
    (dict(codec="H264"), ValueError, "writes .mp4"),
    (dict(codec="h264", output="out.mp4", speed="warp"), ValueError, "speed"),
    (dict(codec="mjpg", quality=20), ValueError, "quality"),
    (dict(output="noext"), ValueError, "extension"),
    (dict(output="folder"), ValueError, "folder"),
    (dict(output="missing/out.avi"), ValueError, "missing"),
    (dict(source=-1), ValueError, "source"),
    (dict(source=True), TypeError, "source"),
    (dict(source="folder"), IsADirectoryError, "folder"),
    (dict(source="missing.avi"), FileNotFoundError, "missing.avi"),
    (dict(source="missing.avi", threshold=-1), ValueError, "threshold"),
    (dict(source="text.avi"), velmar.SourceError, "text.avi"),
])
def test_refusals_name_the_option_and_leave_no_file(clip, tmp_path, monkeypatch, options, error,
                                                    text):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "folder").mkdir()
    (tmp_path / "text.avi").write_text("not a video\n")
    before = sorted(os.listdir())
    with pytest.raises(error, match=text):
        record(**{"source": clip, "output": "out.avi", **options})
    assert sorted(os.listdir()) == before


@pytest.mark.parametrize("source, region", [("clip", (100, 0, 61, 10)), ("camera", (0, 0, 64, 49))])
def test_region_larger_than_the_frames_stops_without_files(request, in_tmp, source, region):
    result = record(request.getfixturevalue(source), "out.avi", region=region)
    assert (result.stop, result.frames_kept, result.files) == ("region", 0, [])
    assert not [name for name in os.listdir() if name.startswith("out")]


@pytest.mark.parametrize("per_file, taken, names", [
    (None, [], [["out.avi"], ["out_001.avi"]]),
    (None, ["out.avi.csv"], [["out_001.avi"], ["out_002.avi"]]),
    (40, [], [["out_001.avi", "out_002.avi"], ["out_003.avi", "out_004.avi"]]),
])
def test_existing_names_are_never_overwritten(clip, in_tmp, per_file, taken, names):
    for name in taken:
        Path(name).write_text("mine")
    runs = [record(clip, "out.avi", frames_per_file=per_file) for _ in names]
    assert [[file.video.name for file in run.files] for run in runs] == names
    assert all(check_files(run, per_file) == list(range(60)) for run in runs)
    assert all(Path(name).read_text() == "mine" for name in taken)


@pytest.mark.parametrize("verbose", [False, True])
def test_prints_only_when_verbose(clip, in_tmp, capfd, verbose):
    record(clip, "out.avi", verbose=verbose)
    out, err = capfd.readouterr()
    assert (bool(out), err) == (verbose, "")



class Name(str):
    """A file name of a str subclass, as a caller's own path type may be."""


@pytest.mark.parametrize("run", [
    lambda name: velmar.record(name, "out.avi"),
    lambda name: velmar._engine.run({"input_": name, "output": "raw.avi", "fmt": "FFV1",
                                     "roi_w": 16, "roi_h": 16, "tb": np.zeros(3, np.int32),
                                     "tc": np.zeros(3, np.int32), "verbose": False},
                                    EngineHooks()),
])
def test_a_name_of_a_str_subclass_is_not_held(clip, in_tmp, run):
    name = Name(clip)
    before = sys.getrefcount(name)
    run(name)
    assert sys.getrefcount(name) == before


def test_the_engine_stops_as_the_reasons_name_them():
    # shared.stops holds every stop the command reports; the engine's own
    # is the source that did not open, which record() raises for.
    assert sorted(velmar._engine.STOPS) == sorted([*REASONS, "not_opened"])


class Watched(str):
    """A codec's name that notes when it is freed."""

    freed: list[str] = []

    def __del__(self):
        Watched.freed.append(str(self))


def test_a_hook_that_empties_the_options_and_rebinds_the_hooks_changes_nothing(clip, in_tmp):
    options = {"input_": str(clip), "output": "out.avi", "fmt": Watched("FFV1"),
               "roi_w": 16, "roi_h": 16, "frames_per_file": 30, "verbose": False}
    freed_while_named = []

    def namer(count, _time):
        options.clear()  # the codec's name was the dict's alone; the writer reads it next
        for name in HOOKS:
            object.__setattr__(hooks, name, None)
        freed_while_named.append(bool(Watched.freed))
        return f"{count}.avi"

    hooks = EngineHooks(namer=namer)
    ran = velmar._engine.run(options, hooks)
    assert [(f.video, f.frames) for f in ran.files] == [("0.avi", 30), ("1.avi", 30)]
    assert (freed_while_named, Watched.freed) == ([False, False], ["FFV1"])
