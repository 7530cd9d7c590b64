"""Clock segments: files cut at boundaries of the local clock, across
midnight and a change of daylight saving time, dated names, no frame lost
or written twice, and an event that goes on across a cut."""

import time
from datetime import datetime, timedelta

import cv2
import numpy as np
import pytest

import velmar
from conftest import FakeCapture, FakeCv2, count_frames, csv_rows


def clip(path, frames, fps, moving=()):
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"FFV1"), fps, (64, 48))
    for i in range(frames):
        frame = np.full((48, 64, 3), 60, np.uint8)
        if i in moving:
            frame[10:30, (i % 5) * 8:(i % 5) * 8 + 20] = 250
        writer.write(frame)
    writer.release()
    return path


def rows_of(result):
    return [[int(row[0]) for row in csv_rows(f.log)] for f in result.files]


def test_cuts_at_midnight_into_dated_folders(tmp_path):
    source = clip(tmp_path / "in.avi", 30, 1.0)
    result = velmar.record(source, tmp_path / "out/%Y-%m-%d/%H-%M-%S.mkv", segment="15min",
                           timestamps="rate", start=datetime(2026, 12, 8, 23, 59, 50))
    names = [f.video.relative_to(tmp_path).as_posix() for f in result.files]
    assert names == ["out/2026-12-08/23-59-50.mkv", "out/2026-12-09/00-00-00.mkv"]
    assert rows_of(result) == [list(range(10)), list(range(10, 30))]
    assert [count_frames(f.video) for f in result.files] == [10, 20]


def test_an_event_goes_on_across_a_cut(tmp_path):
    source = clip(tmp_path / "in.avi", 40, 10.0, moving=range(15, 26))
    result = velmar.record(source, tmp_path / "out.mkv", segment="1d", keep="motion",
                           min_area=50, after=0.3, timestamps="rate",
                           start=datetime(2026, 12, 8, 23, 59, 58))
    (event,) = result.events
    first, second = rows_of(result)
    assert first[-1] == 19 and second[0] == 20 and first + second == list(
        range(first[0], second[-1] + 1))
    assert event.video == result.files[0].video and event.frames == len(first + second)


class ScriptedClock(datetime):
    """`datetime` for the engine: now() gives the scripted wall times."""

    times: list = []

    @classmethod
    def now(cls, tz=None):
        return cls.times.pop(0) if cls.times else datetime.now(tz)


@pytest.fixture
def new_york(monkeypatch):
    monkeypatch.setenv("TZ", "America/New_York")
    time.tzset()
    yield
    monkeypatch.undo()
    time.tzset()


def test_a_day_light_saving_change_cuts_by_real_time(new_york, tmp_path, monkeypatch):
    # 2026-11-01: the clock goes back from 02:00 EDT to 01:00 EST. A frame
    # every 10 minutes of real time from 00:40 EDT to 02:10 EST, by a camera.
    real = [datetime(2026, 11, 1, 4, 40) + timedelta(minutes=10 * i) for i in range(16)]
    walls = [datetime.fromtimestamp((t - datetime(1970, 1, 1)).total_seconds()) for t in real]
    assert [walls[2].strftime("%H:%M"), walls[8].strftime("%H:%M"), walls[8].fold] == [
        "01:00", "01:00", 1]
    ScriptedClock.times = [walls[0], *walls]  # the first is the start time
    frames = [np.full((48, 64, 3), 60, np.uint8) for _ in walls]
    monkeypatch.setattr(velmar._engine, "cv2", FakeCv2(FakeCapture(frames)))
    monkeypatch.setattr(velmar._engine, "datetime", ScriptedClock)
    result = velmar.record(0, tmp_path / "cam.mkv", segment="1h", read_ahead=False,
                           reconnect=False)
    # 01:00 EDT and 01:00 EST each start an hour of their own.
    assert rows_of(result) == [[0, 1], list(range(2, 8)), list(range(8, 14)), [14, 15]]


@pytest.mark.parametrize("length", ["0.5s", 1e-146])
def test_a_segment_shorter_than_a_second_is_refused(length, tmp_path):
    source = clip(tmp_path / "in.avi", 5, 10)
    with pytest.raises(ValueError, match="segment must be at least 1 second"):
        velmar.record(source, tmp_path / "out.mkv", segment=length)
    assert not (tmp_path / "out.mkv").exists()
