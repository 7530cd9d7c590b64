"""Sessions in a process of their own: Ctrl-C from outside, and a real
preview window on a virtual display answering a real key press."""

import csv
import glob
import os
import random
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import cv2
import numpy as np
import pytest

from conftest import count_frames

SCRIPT = Path(__file__).with_name("session_script.py")


@pytest.fixture(scope="module")
def long_clip(tmp_path_factory):
    """A clip long enough that a session is still running seconds later."""
    path = tmp_path_factory.mktemp("clip") / "long.avi"
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"MJPG"), 30, (320, 240))
    gradient = np.tile(np.linspace(0, 200, 320, dtype=np.uint8), (240, 1))
    for i in range(3000):
        frame = cv2.cvtColor(gradient, cv2.COLOR_GRAY2BGR)
        frame[50:110, (i * 3) % 260:(i * 3) % 260 + 60] = 255
        writer.write(frame)
    writer.release()
    return path


def start_session(clip, output, mode, env=None, max_frames=0):
    # Unbuffered: the lines waited for must arrive while the session runs.
    return subprocess.Popen(
        [sys.executable, "-u", str(SCRIPT), str(clip), str(output), mode, str(max_frames)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
    )


def wait_for_line(proc, text, timeout=30):
    """Lines read from the session's output up to and including `text`."""
    lines = []
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        line = proc.stdout.readline()
        if not line:
            break
        lines.append(line.rstrip("\n"))
        if text in line:
            return lines
    proc.kill()
    pytest.fail(f"session never printed {text!r}: {lines}")


def wait_for_rows(proc, video, timeout=30):
    """Returns once the session has logged a frame, so it is under way: any
    fixed delay may outlast the whole clip on a fast machine."""
    log = Path(str(video) + ".csv")
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and proc.poll() is None:
        if log.exists() and log.read_bytes().count(b"\r\n") >= 2:  # header and a row
            return
        time.sleep(0.005)
    proc.kill()
    pytest.fail("session logged no frame while running")


def finish(proc, lines):
    out, err = proc.communicate(timeout=60)
    lines = lines + out.splitlines()
    assert proc.returncode == 0, err
    assert lines[-1].startswith("result ")
    return lines, int(lines[-1].split()[1])


def read_rows(path):
    raw = path.read_bytes()
    assert raw.endswith(b"\r\n"), "last row incomplete"
    with open(path, newline="") as f:
        return list(csv.reader(f))


def check_log_matches_video(video, result):
    rows = read_rows(Path(str(video) + ".csv"))
    assert rows[0] == ["inframe", "outframe", "timestamp"]
    numbers = [(int(r[0]), int(r[1])) for r in rows[1:]]
    assert numbers == [(i, i) for i in range(len(numbers))]
    assert count_frames(video) == len(numbers)
    return len(numbers)


@pytest.mark.skipif(os.name != "posix", reason="sends SIGINT")
def test_ctrl_c_ends_session_with_message_count_and_complete_log(long_clip, tmp_path):
    # On a loaded machine the session may finish the clip before the signal
    # lands: it is tried again then, as the signal must come while it runs.
    for attempt in range(3):
        video = tmp_path / f"cut{attempt}.avi"
        proc = start_session(long_clip, video, "batch")
        lines = wait_for_line(proc, "Timestamps in")
        wait_for_rows(proc, video)
        proc.send_signal(signal.SIGINT)
        lines, result = finish(proc, lines)
        if result < 3000:
            break

    assert "Caught keyboard interrupt" in lines
    assert 0 < result < 3000
    # Every frame is kept, so each frame read is in the video and the log.
    assert check_log_matches_video(video, result) == result


# Each delay after the first file's opening lands the interrupt somewhere else
# in the rotation: mid-frame, mid-row, or between a file's video and its log.
INTERRUPTS = [(m, round(random.Random(f"{m}-{i}").uniform(0, 0.3), 3))
              for m in (7, 50) for i in range(15)]


@pytest.mark.slow
@pytest.mark.skipif(os.name != "posix", reason="sends SIGINT")
@pytest.mark.parametrize("max_frames, delay", INTERRUPTS)
def test_ctrl_c_during_rotation_leaves_every_log_whole(long_clip, tmp_path, max_frames, delay):
    proc = start_session(long_clip, tmp_path / "out.avi", "batch", max_frames=max_frames)
    lines = wait_for_line(proc, "Video saved in")
    time.sleep(delay)  # after the line above: the delay only spreads the moment
    proc.send_signal(signal.SIGINT)
    lines, result = finish(proc, lines)

    # A Ctrl-C inside a console print may cut off that line's end.
    assert lines[-2].endswith("Caught keyboard interrupt")
    logs = sorted(tmp_path.glob("*.csv"))
    assert logs
    for log in logs:
        rows = read_rows(log)
        assert rows[0] == ["inframe", "outframe", "timestamp"], log.name
        assert count_frames(log.with_suffix("")) == len(rows) - 1, log.name
        assert len(rows) - 1 < max_frames


def start_virtual_display():
    if not (shutil.which("Xvfb") and shutil.which("xdotool")):
        return None, None
    for number in range(90, 110):
        if Path(f"/tmp/.X11-unix/X{number}").exists():
            continue
        display = f":{number}"
        server = subprocess.Popen(["Xvfb", display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(50):
            if Path(f"/tmp/.X11-unix/X{number}").exists():
                return server, display
            if server.poll() is not None:
                break
            time.sleep(0.1)
        server.kill()
    return None, None


@pytest.fixture
def display():
    server, name = start_virtual_display()
    if server is None:
        pytest.skip("no virtual display: Xvfb and xdotool are needed (Debian's xvfb, xdotool)")
    yield name
    server.terminate()
    server.wait(timeout=10)


def press_key_in_window(display, title, key, timeout=30):
    env = dict(os.environ, DISPLAY=display)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        found = subprocess.run(["xdotool", "search", "--name", title],
                               env=env, capture_output=True, text=True)
        windows = found.stdout.split()
        if windows:
            window = windows[-1]
            subprocess.run(["xdotool", "windowfocus", "--sync", window], env=env, timeout=10)
            subprocess.run(["xdotool", "key", "--clearmodifiers", key], env=env, timeout=10)
            return
        time.sleep(0.1)
    pytest.fail(f"no window titled {title!r} appeared")


def test_q_in_preview_window_stops_session_counting_frame_on_screen(long_clip, tmp_path, display):
    video = tmp_path / "preview.avi"
    env = dict(os.environ, DISPLAY=display, QT_QPA_PLATFORM="xcb")
    env.pop("WAYLAND_DISPLAY", None)
    proc = start_session(long_clip, video, "interactive", env=env)
    lines = wait_for_line(proc, "Timestamps in")
    wait_for_rows(proc, video)
    press_key_in_window(display, video.name, "q")
    lines, result = finish(proc, lines)

    assert "Caught keyboard interrupt" not in lines
    assert 0 < result < 3000
    assert check_log_matches_video(video, result) == result


@pytest.mark.skipif(bool(glob.glob("/dev/video*")), reason="a camera is present")
@pytest.mark.parametrize("index", ["-1", "-2"])
def test_negative_camera_ends_without_a_signal(tmp_path, index):
    """Any camera (-1) with none present: no crash, an early end, result 0."""
    proc = start_session(index, tmp_path / "o.avi", "batch")
    lines, result = finish(proc, [])
    assert proc.returncode == 0 and result == 0 and "ROI limits exceed frame size" in lines
