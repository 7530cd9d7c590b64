"""`velmar run`: the file checked whole before anything starts, and cameras
recorded by supervised workers from real streams on loopback, through a
worker's kill -9 and the supervisor's SIGTERM, with the live view in a real
browser."""

import json
import os
import signal
import subprocess
import sys
import time
import urllib.request

import cv2
import pytest

from velmar import cli
from browser import needs_chromium, screenshot
from conftest import write_video
from streams import Server, free_port, make_live_clip, needs_ffmpeg

GOOD = """
[defaults]
keep = "motion"
min_area = 100

[[camera]]
name = "yard"
source = "in.avi"
output = "yard.mp4"

[[camera]]
name = "door"
source = "in.avi"
output = "door.mkv"
stamp = true
"""


@pytest.fixture
def config(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.delenv("VELMAR_HTTP_PASSWORD", raising=False)
    write_video("in.avi", 5)

    def write(text):
        (tmp_path / "cams.toml").write_text(text)
        return "cams.toml"
    return write


def test_a_good_file_passes(config, capsys):
    assert cli.main(["run", "--check", config(GOOD)]) == 0
    assert "2 cameras, no errors" in capsys.readouterr().out


@pytest.mark.parametrize("change, line", [
    (("", "[[camera"), "cams.toml: not TOML: "),
    (("", "cameras = 1\n"), "cams.toml: cameras: unknown key"),
    (('stamp = true', 'timestamp = true'),
     "camera 'door': timestamp: unknown key; --timestamp is 'stamp' here"),
    (('min_area = 100', 'min_area = "big"'), "defaults: min_area: must be an int"),
    (('stamp = true', 'threshold = 300'), "camera 'door': threshold: must be from 0 to 255"),
    (('source = "in.avi"\noutput = "door.mkv"', 'output = "door.mkv"'),
     "camera 'door': source: missing"),
    (('name = "door"', ''), "camera 2: name: missing"),
    (('name = "door"', 'name = "a b"'), "camera 'a b': name: must be up to 64 letters"),
    (('name = "door"', 'name = "yard"'), "camera 'yard': name: taken by another camera"),
    (('door.mkv', 'yard.mkv'), "camera 'door': output: 'yard.mkv' is the output of camera 'yard' too"),
    (('door.mkv', 'nowhere/door.mkv'), "camera 'door': output: folder 'nowhere' does not exist"),
    (('source = "in.avi"\noutput = "door.mkv"', 'source = "none.avi"\noutput = "door.mkv"'),
     "camera 'door': "),
    (('stamp = true', 'keep = "all"\nbefore = 2'), "camera 'door': before: applies to keep='motion'"),
    (("", 'http = "0.0.0.0:8080"\n'), "http_password: is needed to serve the live view on 0.0.0.0"),
    (("", 'http = "cam.local"\n'), "http: must be HOST:PORT"),
    (("[[camera]]\nname = \"yard\"", "[camera]\nname = \"yard\""), "cams.toml: "),
])
def test_check_finds_each_error(config, capsys, change, line):
    old, new = change
    text = new + GOOD if not old else GOOD.replace(old, new, 1)
    assert cli.main(["run", "--check", config(text)]) == 2
    assert line in capsys.readouterr().err


def test_every_error_is_a_line_and_nothing_starts(config, capsys):
    text = GOOD.replace("min_area = 100", "min_area = -1\nnoise = 1").replace(
        'stamp = true', 'fps = "fast"')
    assert cli.main(["run", config(text)]) == 2
    lines = capsys.readouterr().err.splitlines()
    assert lines == [
        "velmar run: error: cams.toml: defaults: min_area: must be at least 0, got -1",
        "velmar run: error: cams.toml: defaults: noise: unknown key; the keys are the names of "
        "velmar.record()'s options",
        "velmar run: error: cams.toml: camera 'door': fps: unknown key; --fps is 'camera_fps' here"]
    assert sorted(os.listdir()) == ["cams.toml", "in.avi"]


def test_files_are_recorded_once_and_then_it_ends(config):
    """A file's camera ends for good, whatever its end: the run ends with them."""
    write_video("short.avi", 20)
    config(GOOD.replace('source = "in.avi"', 'source = "short.avi"', 1).replace(
        'keep = "motion"', 'keep = "all"'))
    run = subprocess.run([sys.executable, "-m", "velmar", "run", "-q", "cams.toml"],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0
    assert run.stderr.count("finished; not started again") == 2
    assert sorted(p for p in os.listdir() if p.endswith(".csv")) == [
        "door.mkv.csv", "yard.mp4.csv"]


def status(url):
    """The cameras by name; none while the server is not up."""
    try:
        with urllib.request.urlopen(url + "status.json", timeout=10) as response:
            return {camera["name"]: camera for camera in json.load(response)["cameras"]}
    except OSError:
        return {}


def both_recording(url):
    cameras = status(url)
    if cameras and all(c["frames_kept"] > 25 and c["picture_at"] for c in cameras.values()):
        return cameras
    return None


def yard_back(url):
    cameras = status(url)
    yard = cameras.get("yard", {})
    if yard.get("restarts") == 1 and yard["state"] == "recording" and yard["frames_kept"] > 10:
        return cameras
    return None


def wait_for(what, seconds=40):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        found = what()
        if found:
            return found
        time.sleep(0.2)
    raise AssertionError(f"not within {seconds} s")


def not_blank(path, box):
    """The part of a screenshot in `box` (x, y, w, h) holds a picture, not one colour."""
    x, y, w, h = box
    part = cv2.imread(str(path))[y:y + h, x:x + w]
    return float(part.std()) > 20


@pytest.mark.slow
@needs_ffmpeg
@needs_chromium
def test_two_cameras_under_supervision(tmp_path):
    clip = make_live_clip(tmp_path / "live.mp4")
    yard, door = Server(clip), Server(clip)
    port = free_port()
    (tmp_path / "rec").mkdir()
    (tmp_path / "cams.toml").write_text(f"""
http = "127.0.0.1:{port}"
[defaults]
segment = "1h"
[[camera]]
name = "yard"
source = "{yard.url}"
output = "rec/yard.mp4"
[[camera]]
name = "door"
source = "{door.url}"
output = "rec/door.mkv"
stamp = true
""")
    url = f"http://127.0.0.1:{port}/"
    supervisor = subprocess.Popen([sys.executable, "-m", "velmar", "run", "cams.toml"],
                                  cwd=tmp_path, stderr=subprocess.PIPE, text=True)
    try:
        cameras = wait_for(lambda: both_recording(url))
        assert {c["state"] for c in cameras.values()} == {"recording"}
        with urllib.request.urlopen(url + "camera/yard/recordings.json", timeout=10) as listed:
            newest = json.load(listed)["recordings"][0]
        assert newest["video"] == "/camera/yard/video/yard_001.mp4" and newest["frames"] > 0

        # Both pictures in a real browser, streaming.
        screenshot(url, tmp_path / "page.png", free_port(), size=(1100, 900))
        assert not_blank(tmp_path / "page.png", (40, 110, 440, 250))
        assert not_blank(tmp_path / "page.png", (560, 110, 440, 250))

        # A worker killed outright is started again; its stream serves the new one.
        os.kill(cameras["yard"]["pid"], signal.SIGKILL)
        yard.restart_once_gone()
        again = wait_for(lambda: yard_back(url))
        assert again["door"]["restarts"] == 0
        supervisor.send_signal(signal.SIGTERM)
        assert supervisor.wait(timeout=60) == 143
    finally:
        if supervisor.poll() is None:
            supervisor.kill()
        yard.close()
        door.close()
    journal = supervisor.stderr.read()
    assert "velmar: yard: worker was killed by signal 9" in journal
    assert "velmar: yard: restarted" in journal
    assert "velmar: door: stopped" in journal and "velmar: yard: stopped" in journal
    # The killed worker's last file is cut short; repair makes all agree.
    check = [sys.executable, "-m", "velmar", "check", str(tmp_path / "rec")]
    subprocess.run([*check, "--repair"], capture_output=True, timeout=120)
    assert subprocess.run(check, capture_output=True, timeout=120).returncode == 0
    videos = sorted(name for name in os.listdir(tmp_path / "rec") if not name.endswith(".csv"))
    assert [name.split("_")[0] for name in videos] == ["door", "yard", "yard"]


@pytest.mark.slow
@needs_ffmpeg
def test_a_worker_stops_in_order_when_its_supervisor_is_killed(tmp_path):
    clip = make_live_clip(tmp_path / "live.mp4")
    server, port = Server(clip), free_port()
    (tmp_path / "cams.toml").write_text(f'http = "127.0.0.1:{port}"\n[[camera]]\n'
                                        f'name = "yard"\nsource = "{server.url}"\n')
    supervisor = subprocess.Popen([sys.executable, "-m", "velmar", "run", "cams.toml"],
                                  cwd=tmp_path, stderr=subprocess.DEVNULL)
    try:
        pid = wait_for(lambda: (status(f"http://127.0.0.1:{port}/").get("yard") or {}).get("pid"))
        wait_for(lambda: (tmp_path / "yard.mp4.csv").exists())
        supervisor.kill()
        supervisor.wait(timeout=30)
        wait_for(lambda: not os.path.exists(f"/proc/{pid}") or
                 open(f"/proc/{pid}/stat").read().split()[2] == "Z", seconds=20)
    finally:
        server.close()
    check = [sys.executable, "-m", "velmar", "check", str(tmp_path / "yard.mp4")]
    assert subprocess.run(check, capture_output=True, timeout=120).returncode == 0
