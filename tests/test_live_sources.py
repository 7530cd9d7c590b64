"""Live sources that drop out and come back: a real HTTP stream server on
loopback killed, restarted and stopped; an RTSP server dropped; a scripted
camera unplugged and plugged back in; and signals at every wait."""

import csv
import signal
import time
from concurrent.futures import ThreadPoolExecutor
from datetime import datetime, timedelta

import cv2
import numpy as np
import pytest

import velmar
from conftest import FakeCapture, FakeCv2, csv_rows
from streams import (Command, Server, free_port, has_rtsp_server, make_live_clip, needs_ffmpeg,
                     wait_for_rows)

pytestmark = needs_ffmpeg


@pytest.fixture(scope="module")
def live_clip(tmp_path_factory):
    return make_live_clip(tmp_path_factory.mktemp("live") / "live.mp4")


@pytest.fixture
def server(live_clip):
    running = Server(live_clip)
    yield running
    running.close()


def outage_rows(folder):
    with open(folder / "out.outages.csv", newline="") as f:
        rows = list(csv.reader(f))
    assert rows[0] == ["start", "end", "seconds", "reason", "attempts"]
    return rows[1:]


def times(rows, column):
    return [datetime.fromisoformat(row[column]) for row in rows]


def logs_agree(folder, count):
    """`count` videos, each with a log that agrees with it."""
    checked = velmar.check([folder])
    assert len(checked) == count and all(f.ok and f.frames == f.rows for f in checked), checked
    return [csv_rows(f"{f.video}.csv") for f in checked]


def outages_agree_with_logs(outages, logs):
    """Each outage runs from the last frame before it to when frames came
    again, which the first frame after it is logged at most an opening after."""
    assert len(outages) == len(logs) - 1
    for outage, before, after in zip(outages, logs, logs[1:]):
        start, end = times([outage], 0)[0], times([outage], 1)[0]
        gap = (times(after, 2)[0] - times(before, 2)[-1]).total_seconds()
        assert abs((start - times(before, 2)[-1]).total_seconds()) < 0.1
        assert -0.1 < gap - float(outage[2]) < 1.5, (outage, gap)
        assert abs((end - start).total_seconds() - float(outage[2])) < 1e-3
        assert end >= start and int(outage[4]) >= 1
        assert after[0][0] == before[-1][0] + 1  # frames read go on counting


@pytest.mark.slow
def test_a_stream_killed_and_restarted_is_found_again_at_once(live_clip, tmp_path):
    """Three outages of 3 s, and one of 90 s, recorded side by side."""
    with ThreadPoolExecutor(2) as pool:
        done = pool.map(kill_and_restart, [live_clip] * 2, [tmp_path / "a", tmp_path / "b"],
                        [3, 1], [3.0, 90.0])
    for folder, returns, down, downtimes in done:
        logs = logs_agree(folder, len(returns) + 1)
        outages = outage_rows(folder)
        outages_agree_with_logs(outages, logs)
        assert all(row[3] == "ended" for row in outages)
        # Frames come again at most one wait and one opening after the server.
        assert all(down - 0.1 <= float(row[2]) <= down + 3 for row, down in zip(outages, downtimes))
        for outage, back, after in zip(outages, returns, logs[1:]):
            assert outage[3] == "ended" and abs(float(outage[2]) - down) < 1, outage
            # Found within a quarter second of the server listening, its first
            # frame logged once FFmpeg has read 20 frames (0.8 s) to open it.
            assert times([outage], 1)[0] - back < timedelta(seconds=0.5), (outage, back)
            assert times(after, 2)[0] - back < timedelta(seconds=1.5), (after[0], back)


def kill_and_restart(live_clip, folder, restarts, down):
    """A recording into `folder` of a stream killed `restarts` times and
    served again `down` seconds later; when the server was back each time,
    and how long it was away."""
    folder.mkdir()
    server, returns, downtimes = Server(live_clip), [], []
    try:
        command = Command(server.url, folder / "out.mkv")
        wait_for_rows(folder / "out.mkv.csv", 1)
        for n in range(1, restarts + 1):
            time.sleep(1.5)
            server.kill()
            killed = time.monotonic()
            time.sleep(down)
            returns.append(datetime.now())
            server.start()
            downtimes.append(time.monotonic() - killed)
            wait_for_rows(folder / f"out_{n:03d}.mkv.csv", 1, seconds=10)
            assert len(outage_rows(folder)) == n  # on disk as the outage ends
        time.sleep(1)
        assert command.end(signal.SIGTERM)[0] == 143
    finally:
        server.close()
    return folder, returns, down, downtimes


@pytest.mark.slow
def test_a_stalled_stream_is_an_outage_and_the_recording_goes_on(server, tmp_path):
    command = Command(server.url, tmp_path / "out.mkv", "--stall-timeout", "2")
    wait_for_rows(tmp_path / "out.mkv.csv", 1)
    server.send(signal.SIGSTOP)
    stopped = time.monotonic()
    assert command.line_time("reconnecting", 10) - stopped <= 2 + 1
    time.sleep(20 - (time.monotonic() - stopped))
    server.send(signal.SIGCONT)
    server.restart_once_gone()
    wait_for_rows(tmp_path / "out_001.mkv.csv", 1, seconds=40)
    assert command.end(signal.SIGTERM)[0] == 143
    outages = outage_rows(tmp_path)
    outages_agree_with_logs(outages, logs_agree(tmp_path, 2))
    assert outages[0][3] == "stalled" and float(outages[0][2]) >= 20


@pytest.mark.slow
@pytest.mark.parametrize("moment", ["backoff", "stall", "opening"])
def test_a_signal_at_any_wait_ends_the_recording_at_once(moment, server, tmp_path):
    if moment == "opening":  # the server takes the connection and never answers
        server.send(signal.SIGSTOP)
    command = Command(server.url, tmp_path / "out.mkv", "-q")
    if moment != "opening":
        wait_for_rows(tmp_path / "out.mkv.csv", 1)
        server.send(signal.SIGSTOP) if moment == "stall" else server.kill()
    time.sleep(2.5)
    status, seconds = command.end(signal.SIGTERM)
    assert (status, seconds < 1, command.lines) == (143, True, [])
    logs_agree(tmp_path, 0 if moment == "opening" else 1)


@pytest.mark.slow
def test_give_up_ends_with_source_lost(server, tmp_path):
    command = Command(server.url, tmp_path / "out.mkv", "--give-up", "1.5")
    wait_for_rows(tmp_path / "out.mkv.csv", 1)
    server.kill()
    status, seconds = command.end(seconds=10)
    assert status == 4 and "lost" in command.lines[-1][1]
    (outage,) = outage_rows(tmp_path)
    assert outage[3] == "ended" and 1.5 <= float(outage[2]) < 3
    logs_agree(tmp_path, 1)


def test_a_source_that_does_not_open_is_retried_only_with_give_up(tmp_path):
    url = f"http://127.0.0.1:{free_port()}/x.ts"  # nothing listens there
    with pytest.raises(velmar.SourceError):
        velmar.record(url, tmp_path / "a.mkv")
    result = velmar.record(url, tmp_path / "b.mkv", give_up=1.2)
    assert (result.stop, result.files, len(result.outages)) == ("source_lost", [], 1)
    outage = result.outages[0]
    assert outage.reason == "not_opened" and outage.attempts >= 4 and outage.seconds >= 1.2
    assert result.outages_log == tmp_path / "b.outages.csv"


@pytest.mark.slow
@pytest.mark.skipif(not has_rtsp_server(), reason="needs GStreamer's RTSP server")
def test_an_rtsp_stream_dropped_and_back(tmp_path):
    server = Server()
    try:
        command = Command(server.url, tmp_path / "out.mkv")
        wait_for_rows(tmp_path / "out.mkv.csv", 1)
        server.kill()
        time.sleep(0.5)
        server.start()
        wait_for_rows(tmp_path / "out_001.mkv.csv", 1)
        assert command.end(signal.SIGTERM)[0] == 143
    finally:
        server.close()
    outages_agree_with_logs(outage_rows(tmp_path), logs_agree(tmp_path, 2))


class Replugged(FakeCv2):
    """A camera unplugged after each capture's frames: the next opening finds
    no camera, the one after that finds it plugged back in."""

    def __init__(self, *captures):
        super().__init__()
        self.plugs = list(captures)

    def VideoCapture(self, *args):
        self.captures.append(args)
        capture = self.plugs.pop(0) if self.plugs else FakeCapture([])
        capture.events = self.events
        if not capture.frames:
            capture.isOpened = lambda: False
        return capture


def frames(count, start=0):
    """Frames that each differ from the one before: motion throughout."""
    return [np.full((48, 64, 3), (start + i) % 2 * 200, np.uint8) for i in range(count)]


def test_a_camera_unplugged_and_plugged_back_in(monkeypatch, tmp_path):
    first, back = FakeCapture(frames(20)), FakeCapture(frames(20, 1))
    monkeypatch.setattr(velmar._engine, "cv2", Replugged(first, FakeCapture([]), back))
    result = velmar.record(0, tmp_path / "cam.mkv", camera_size=(64, 48), give_up=1.5,
                           keep="motion", after=30, light_guard=False,  # frames that brighten
                           min_event=0)
    assert result.stop == "source_lost"
    assert [f.frames for f in result.files] == [19, 19]  # each after its motion reference
    # No event spans the outage.
    assert [e.video for e in result.events] == [f.video for f in result.files]
    # Back at the second attempt, a quarter second after the first.
    assert result.outages[0].attempts == 2 and 0.2 < result.outages[0].seconds < 0.5
    assert result.outages[1].attempts >= 5
    assert csv_rows(result.files[1].log)[0][0] == 21  # frames read go on counting
    assert back.sets == first.sets == [(cv2.CAP_PROP_FRAME_WIDTH, 64),
                                       (cv2.CAP_PROP_FRAME_HEIGHT, 48)]
