"""SIGINT, SIGTERM and SIGHUP end velmar.record() in order: a result instead of
an exception, every file complete, and the caller's handlers back afterwards."""

import importlib.resources
import json
import os
import random
import signal
import subprocess
import sys
import time
from pathlib import Path
from types import SimpleNamespace

import cv2
import numpy as np
import pytest

import velmar
from test_record import check_files

pytestmark = pytest.mark.skipif(os.name != "posix", reason="sends POSIX signals")

SCRIPT = """
import json, sys, velmar
result = velmar.record(sys.argv[1], sys.argv[2], frames_per_file=int(sys.argv[3]),
                       codec="mjpg")
print(json.dumps({"stop": result.stop, "frames_kept": result.frames_kept,
                  "files": [[str(f.video), str(f.log), f.frames] for f in result.files]}))
"""
STOPS = {signal.SIGINT: "interrupt", signal.SIGTERM: "terminate", signal.SIGHUP: "terminate"}
_rng = random.Random(20240611)
# (signal, frames per file, extra delay once the first row is logged)
RUNS = [(signum, per_file, round(_rng.uniform(0, 0.4), 2))
        for signum in STOPS for per_file in (7, 50)] + [(signal.SIGINT, 7, 0.0)]


@pytest.fixture(scope="module")
def long_clip(tmp_path_factory):
    """3000 frames: a session is still running well after it has started."""
    path = tmp_path_factory.mktemp("clip") / "long.avi"
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"MJPG"), 30, (320, 240))
    gradient = cv2.cvtColor(np.tile(np.linspace(0, 200, 320, dtype=np.uint8), (240, 1)),
                            cv2.COLOR_GRAY2BGR)
    for i in range(3000):
        frame = gradient.copy()
        frame[50:110, (i * 3) % 260:(i * 3) % 260 + 60] = 255
        writer.write(frame)
    writer.release()
    return path


def wait_for_a_logged_row(proc, folder, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and proc.poll() is None:
        if any(log.read_bytes().count(b"\n") > 1 for log in folder.glob("*.csv")):
            return
        time.sleep(0.005)
    proc.kill()
    pytest.fail(f"no row was logged: {proc.communicate()}")


@pytest.mark.parametrize("signum, per_file, delay", RUNS)
def test_signal_ends_a_recording_with_every_file_complete(long_clip, tmp_path, signum,
                                                          per_file, delay):
    proc = subprocess.Popen([sys.executable, "-c", SCRIPT, str(long_clip),
                             str(tmp_path / "out.avi"), str(per_file)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    wait_for_a_logged_row(proc, tmp_path)
    time.sleep(delay)
    proc.send_signal(signum)
    out, err = proc.communicate(timeout=30)
    assert proc.returncode == 0, err
    printed = json.loads(out.splitlines()[-1])
    assert printed["stop"] == STOPS[signum] and 0 < printed["frames_kept"] < 3000
    files = [velmar.OutputFile(Path(video), Path(log), n) for video, log, n in printed["files"]]
    result = SimpleNamespace(files=files, frames_kept=printed["frames_kept"])
    assert check_files(result, per_file) == list(range(printed["frames_kept"]))
    assert sorted(tmp_path.iterdir()) == sorted(p for f in files for p in (f.video, f.log))


@pytest.mark.parametrize("signum", STOPS)
def test_signal_in_process_is_noted_and_previous_handlers_return(tmp_path, monkeypatch, signum):
    monkeypatch.chdir(tmp_path)  # the signal comes from the first progress report
    clip = importlib.resources.files("velmar") / "data" / "sample.avi"
    caught, sent = [], []
    mine = {s: (lambda n, _frame: caught.append(n)) for s in STOPS}
    saved = {s: signal.signal(s, handler) for s, handler in mine.items()}
    try:
        result = velmar.record(clip, "out.avi", frames_per_file=3, codec="mjpg",
                               progress=lambda _: sent or sent.append(os.kill(os.getpid(), signum)))
        restored = {s: signal.getsignal(s) for s in STOPS}
    finally:
        for s, handler in saved.items():
            signal.signal(s, handler)
    assert restored == mine and caught == []
    assert result.stop == STOPS[signum] and 0 < result.frames_read < 120
    assert check_files(result, 3) == list(range(result.frames_kept))
