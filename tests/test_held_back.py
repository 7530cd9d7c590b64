"""What a live recording has announced is in its files within a second:
an event's frames and its row as it ends, a time-lapse's frames as they
come, whatever kills the recorder."""

import csv
import signal
import subprocess
import time
from concurrent.futures import ThreadPoolExecutor
from datetime import datetime

import cv2
import numpy as np
import pytest

import velmar
import velmar._engine
from conftest import FakeCapture, FakeCv2, csv_rows
from streams import Command, Server, needs_ffmpeg, wait_for_rows
from test_crash_safety import decoded_frames


class PacedCamera(FakeCapture):
    """A camera of 25 frames a second."""

    def read(self):
        time.sleep(0.04)
        return super().read()


@pytest.mark.parametrize("suffix, sealed", [(".mp4", True), (".mov", True), (".mkv", False)])
def test_a_live_event_is_in_its_video_as_it_ends(suffix, sealed, monkeypatch, tmp_path):
    """A camera that sees a box cross, then stillness: as the event is told,
    its frames and its row are on disk (an .mkv's last cluster waits)."""
    still = np.full((48, 64, 3), 90, np.uint8)
    moving = [cv2.rectangle(still.copy(), (4 * i, 10), (4 * i + 12, 30), (255, 255, 255), -1)
              for i in range(10)]
    camera = PacedCamera([still] * 5 + moving + [still] * 20)
    monkeypatch.setattr(velmar._engine, "cv2", FakeCv2(camera))
    out, seen = tmp_path / f"cam{suffix}", []
    told = lambda event: seen.append((event.frames, decoded_frames(out),  # noqa: E731
                                      len(csv_rows(f"{out}.csv")),
                                      (tmp_path / "cam.events.csv").read_text().count("\n")))
    velmar.record(0, out, keep="motion", after=0.5, on_event=told, light_guard=False, min_area=50,
                  reconnect=False)
    [(frames, decoded, rows, lines)] = seen
    assert lines == 2 and (decoded == rows == frames) == sealed and rows <= decoded


@pytest.fixture(scope="module")
def event_clip(tmp_path_factory):
    """12 s at 25 fps, still but for a box crossing from 3 s to 5 s."""
    path = tmp_path_factory.mktemp("events") / "event.mp4"
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=gray:size=320x240:rate=25",
                    "-f", "lavfi", "-i", "color=white:size=60x60:rate=25", "-filter_complex",
                    "[0][1]overlay=x='(t-3)*120':y=80:enable='between(t,3,5)'", "-t", "12",
                    "-c:v", "libx264", "-preset", "ultrafast", "-g", "25", str(path)],
                   check=True, timeout=60)
    return path


@needs_ffmpeg
@pytest.mark.slow
def test_kill_9_after_an_event_keeps_it_whole(event_clip, tmp_path):
    """Killed 3 s after an event ends, while the scene is still: its row is
    in the events log, and every frame it names is in the video and logged.
    An .mp4 and a .mov recording side by side."""
    with ThreadPoolExecutor(2) as pool:
        outputs = list(pool.map(record_event_then_kill, [event_clip] * 2,
                                [tmp_path / "mp4" / "mot.mp4", tmp_path / "mov" / "mot.mov"]))
    for out in outputs:
        with open(out.with_name("mot.events.csv"), newline="") as file:
            events = list(csv.DictReader(file))
        assert len(events) >= 1
        frames = int(events[0]["frames"])
        assert len(csv_rows(f"{out}.csv")) >= frames and decoded_frames(out) >= frames


def record_event_then_kill(event_clip, out):
    out.parent.mkdir()
    server = Server(event_clip)
    command = Command(server.url, out, "--motion", "--before", "1", "--after", "2")
    try:
        command.line_time(": event 1:", 40)
        time.sleep(3)
        command.proc.send_signal(signal.SIGKILL)
        command.end(seconds=10)
    finally:
        server.close()
    return out


@needs_ffmpeg
@pytest.mark.slow
def test_a_live_time_lapse_is_on_disk_one_interval_behind(event_clip, tmp_path):
    server = Server(event_clip)
    out = tmp_path / "t.mp4"
    log = tmp_path / "t.mp4.csv"
    command = Command(server.url, out, "--interval", "2")
    try:
        wait_for_rows(log, 1)
        worst = 0.0
        for _ in range(6):
            time.sleep(1.7)
            now, rows = datetime.now(), csv_rows(log)
            assert decoded_frames(out) >= len(rows)
            worst = max(worst, (now - datetime.fromisoformat(rows[-1][2])).total_seconds())
        assert worst <= 2 + 1, worst
    finally:
        command.end(signal.SIGTERM)
        server.close()
