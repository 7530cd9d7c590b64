"""The velmar command: options reaching record(), one-line refusals with the
right exit status and nothing left behind, the summary, progress, the demo."""

import functools
import os
import signal
import subprocess
import sys
import time
from datetime import datetime

import cv2
import numpy as np
import pytest

import velmar
from velmar import cli, recording
from conftest import count_frames, csv_rows, write_video


@pytest.fixture
def clip(tmp_path):
    path = tmp_path / "in.avi"
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"MJPG"), 10, (96, 64))
    for i in range(6):
        frame = np.full((64, 96, 3), 40, np.uint8)
        frame[10:30, i * 10:i * 10 + 20] = 250
        writer.write(frame)
    writer.release()
    return path


@pytest.fixture
def no_display(monkeypatch):
    monkeypatch.delenv("DISPLAY", raising=False)
    monkeypatch.delenv("WAYLAND_DISPLAY", raising=False)


@pytest.fixture
def recorded(monkeypatch):
    """Replaces record() with one that notes its arguments."""
    calls = []

    @functools.wraps(recording.record)  # the command reads its defaults off the signature
    def fake_record(source, output, **options):
        calls.append((source, output, options))
        return velmar.Recording(6, 6, [], "end", None, 0.0)

    monkeypatch.setattr(recording, "record", fake_record)
    return calls


def test_options_reach_record(recorded, no_display):
    cli.main(["3", "-o", "x.mp4", "--codec", "h265", "--quality", "30", "--speed", "fast",
              "--roi", "8", "4", "40", "30",
              "--duration", "9.5", "--frames-per-file", "50", "--motion", "--threshold", "30",
              "--min-area", "100", "--kernel-width", "11", "--timestamp", "--box-color", "1,2,3",
              "--text-color", "4,5,6", "--text-pos", "3", "40", "--font-scale", "1.5",
              "--camera-settings", "--fps", "15", "--size", "640", "480",
              "--timestamps", "rate", "--start", "2026-12-08T06:00:00", "--utc-offset",
              "--before", "1", "--after", "2.5", "--min-event", "0.5", "--file-per-event",
              "--no-reconnect", "--give-up", "30", "--stall-timeout", "5",
              "--rtsp-transport", "udp", "--detector", "knn", "--history", "90",
              "--max-change", "0.3", "--include", "0,0", "9,0", "9,9", "--include", "1,1", "2,1",
              "2,2", "--exclude", "5,5", "6,5", "6,6", "--detect-scale", "0.5",
              "--detect-every", "2", "--no-light-guard", "--name", "door", "--on-event", "true",
              "--on-event-timeout", "5"])
    cli.main(["rtsp://cam/1", "--interval", "2"])
    (source, output, o), (stream, default_output, lapse) = recorded
    assert (source, output, stream, default_output) == (3, "x.mp4", "rtsp://cam/1", "capture.mp4")
    assert type(o.pop("progress")).__name__ == "OutageLines"  # off a terminal: a line an outage
    assert type(o.pop("observer")).__name__ == "EventLines"  # and a line an event
    assert o == dict(keep="motion", interval=1.0, threshold=30, min_area=100, kernel_width=11,
                     region=[8, 4, 40, 30], duration=9.5, frames_per_file=50, codec="h265",
                     quality=30, speed="fast",
                     stamp=True, stamp_position=(3, 40), stamp_scale=1.5, box_color=(1, 2, 3),
                     text_color=(4, 5, 6), preview=False, show_diff=False, camera_size=[640, 480],
                     camera_fps=15.0, camera_settings=True, timestamps="rate",
                     start=datetime(2026, 12, 8, 6), utc_offset=True, before=1.0, after=2.5,
                     min_event=0.5, file_per_event=True, contact_sheet=True,
                     min_free=None, segment=None, keep_for=None, max_size=None,
                     reconnect=False, give_up=30.0, stall_timeout=5.0, rtsp_transport="udp",
                     detector="knn", history=90, light_guard=False, max_change=0.3, mask=None,
                     include=[[(0, 0), (9, 0), (9, 9)], [(1, 1), (2, 1), (2, 2)]],
                     exclude=[[(5, 5), (6, 5), (6, 6)]], detect_scale=0.5, detect_every=2,
                     detect_source=None, name="door", on_event="true", on_event_timeout=5.0)
    assert (lapse["keep"], lapse["interval"], lapse["contact_sheet"]) == ("interval", 2.0, False)
    assert lapse["codec"] == "auto"  # a stream is copied where it can be


@pytest.mark.parametrize("argv, status, message", [
    (["{clip}", "--fourcc", "ZZZZ"], 2, "fourcc 'ZZZZ' cannot write .mp4"),
    (["{clip}", "--fourcc", "H264", "-o", "{tmp}/o.avi"], 2, "writes .mp4, .mkv, .mov files"),
    (["{clip}", "--codec", "h265", "--quality", "52"], 2, "--quality must be from 0 to 51"),
    (["{clip}", "--codec", "av1", "-o", "{tmp}/x.mov"], 2, "writes .mp4, .mkv files, not .mov"),
    (["{clip}", "--roi", "0", "0", "1", "1"], 2, "too small for h264"),
    (["{clip}", "--codec", "h265", "--roi", "0", "0", "64", "14"], 2, "too small for h265"),
    (["{clip}", "--codec", "av1", "--roi", "0", "0", "4", "2"], 2, "too small for av1"),
    (["{tiny}", "--codec", "h265"], 2, "the frames (8x8) are too small for h265"),
    (["{clip}", "-o", "{tmp}/out"], 2, "needs a file extension"),
    (["{clip}", "-o", "/proc/x.avi"], 2, "not writable"),
    (["{clip}", "-o", "{tmp}"], 2, "is a folder"),
    (["{clip}", "-o", "{tmp}/nowhere/o.avi"], 2, "does not exist"),
    (["-1"], 2, "camera index of 0 or more"),
    (["{clip}", "--motion", "--kernel-width", "100001"], 2, "smaller side"),
    (["{clip}", "--kernel-width", "20"], 2, "must be odd"),
    (["{clip}", "--motion", "--include", "0,0", "5,5"], 2, "--include polygons need at least 3"),
    (["{clip}", "--motion", "--exclude", "0,0", "96,0", "0,9"], 2, "(96, 0) is off the 96x64"),
    (["{clip}", "--motion", "--mask", "{tmp}/mask.png"], 2, "must be the frame's size (96x64)"),
    (["{clip}", "--motion", "--mask", "{tmp}/notes.avi"], 2, "cannot read"),
    (["{clip}", "--detect-scale", "0.5"], 2, "--detect-scale applies to"),
    (["{clip}", "--motion", "--detect-scale", "1.5"], 2, "at most 1"),
    (["{clip}", "--font-scale", "1000"], 2, "at most 10"),
    (["{clip}", "--box-color", "1,2"], 2, "three integers"),
    (["{clip}", "--box-color", "-1,0,0"], 2, "--box-color values must be from 0 to 255"),
    (["{clip}", "--duration", "-0.5"], 2, "more than 0"),
    (["{clip}", "--bogus"], 2, "unrecognized arguments"),
    (["{clip}", "--start", "yesterday"], 2, "expected a date and time"),
    (["{clip}", "--preview"], 2, "need a display"),
    (["{tmp}"], 1, "a folder, not a video file"),
    (["{tmp}/missing.avi"], 1, "no such file"),
    (["{tmp}/notes.avi"], 1, "cannot read"),
    (["{tmp}/notes.txt"], 1, "is text, not a video"),  # FFmpeg would draw its characters
    (["{tmp}/mask.png"], 1, "is a single image, not a video"),
    (["97"], 1, "no camera 97 was found, or it could not be opened"),
    (["{clip}", "-o", "{tmp}/" + "n" * 250 + ".mp4"], 2, "--output makes a name of 273 bytes"),
    (["{clip}", "--speed", "abc"], 2, "--speed of h264 must be ultrafast, superfast"),
    (["{clip}", "--min-free", "1000T"], 3, "less than --min-free"),
    (["{clip}", "--roi", "50", "10", "50", "10"], 1, "region is larger than the frames"),
    (["/dev/video99"], 1, "no such device"),
    (["rtsp://127.0.0.1:9/x"], 1, "cannot open the stream"),  # nothing listens on port 9
    (["{tmp}/img_%03d.png"], 1, "no image matches"),
])
def test_bad_input_gets_one_line_and_leaves_nothing(argv, status, message, clip, tmp_path,
                                                     monkeypatch, no_display, capsys):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "notes.avi").write_text("not a video\n")
    (tmp_path / "notes.txt").write_text("not a video\n" * 200)
    write_video(str(tmp_path / "tiny.avi"), 3, size=(8, 8))
    cv2.imwrite(str(tmp_path / "mask.png"), np.zeros((10, 10), np.uint8))
    before = sorted(os.listdir(tmp_path))
    argv = [a.format(clip=clip, tmp=tmp_path, tiny=tmp_path / "tiny.avi") for a in argv]
    argv += ["--quiet"]
    assert cli.main(argv) == status
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith("velmar: error:") and message in err
    assert sorted(os.listdir(tmp_path)) == before


def test_summary_and_files_of_a_real_run(clip, tmp_path, no_display, capsys):
    out = tmp_path / "every.mp4"
    assert cli.main([str(clip), "-o", str(out), "--frames-per-file", "4"]) == 0
    last = capsys.readouterr().out.splitlines()[-1]
    first, second = (tmp_path / f"every_00{n}.mp4" for n in (1, 2))
    assert last.startswith(f"velmar: 6 frames read, 6 kept; files: {first}, {first}.csv, "
                           f"{second}, {second}.csv; stopped: end of input; ")
    assert [len(csv_rows(f"{v}.csv")) for v in (first, second)] == [4, 2]
    assert [count_frames(v) for v in (first, second)] == [4, 2]


def test_image_sequence(tmp_path, no_display, capsys):
    for i in range(3):
        cv2.imwrite(str(tmp_path / f"img_{i:03d}.png"), np.full((48, 64, 3), 80 * i, np.uint8))
    out = tmp_path / "seq.mp4"
    assert cli.main([str(tmp_path / "img_%03d.png"), "-o", str(out)]) == 0
    assert len(csv_rows(f"{out}.csv")) == count_frames(out) == 3


def test_progress_bar_goes_to_standard_error(clip, tmp_path, no_display, capsys):
    assert cli.main([str(clip), "-o", str(tmp_path / "p.mp4"), "--progress"]) == 0
    assert "6/6" in capsys.readouterr().err
    assert cli.main([str(clip), "-o", str(tmp_path / "q.mp4"), "--quiet", "--progress"]) == 0
    assert capsys.readouterr() == ("", "")


def test_demo(tmp_path, monkeypatch, no_display, capsys):
    monkeypatch.chdir(tmp_path)
    assert cli.main(["--demo"]) == 0
    video = tmp_path / cli.DEMO_FOLDER / cli.DEMO_OUTPUT
    assert 0 < len(csv_rows(f"{video}.csv")) == count_frames(video) < 120
    out = capsys.readouterr().out.splitlines()
    assert out[0].startswith("velmar: 1 event in") and "stopped: end of input" in out[-1]
    assert (tmp_path / cli.DEMO_FOLDER / "demo.events.jpg").exists()
    (tmp_path / cli.DEMO_FOLDER).rename(tmp_path / "kept")
    (tmp_path / cli.DEMO_FOLDER).write_text("")
    assert cli.main(["--demo"]) == 2
    assert "that is a file" in capsys.readouterr().err


def test_demo_in_a_read_only_folder(tmp_path, monkeypatch, no_display, capsys):
    def refused(*args, **kwargs):  # as a read-only folder answers, even to root
        raise PermissionError(13, "Permission denied")

    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(os, "makedirs", refused)
    assert cli.main(["--demo"]) == 2
    assert "cannot make ./velmar-demo/: Permission denied" in capsys.readouterr().err


def test_entry_point_version(tmp_path):
    run = [sys.executable, "-m", "velmar"]
    version = subprocess.run(run + ["--version"], capture_output=True, text=True)
    assert version.returncode == 0 and version.stdout.strip() == f"velmar {velmar.__version__}"
    shown = subprocess.run(run + ["--help"], capture_output=True, text=True).stdout
    assert "'velmar batch'" in shown and "'velmar check'" in shown


@pytest.fixture(scope="module")
def long_clip(tmp_path_factory):
    clip = tmp_path_factory.mktemp("long") / "long.avi"
    writer = cv2.VideoWriter(str(clip), cv2.VideoWriter_fourcc(*"MJPG"), 30, (160, 120))
    for i in range(3000):
        writer.write(np.full((120, 160, 3), i % 250, np.uint8))
    writer.release()
    return clip


@pytest.mark.parametrize("signum, status, files", [
    (signal.SIGINT, 130, 3), (signal.SIGTERM, 143, 5), (signal.SIGHUP, 143, 8)])
def test_signal_ends_the_command_in_order(signum, status, files, long_clip, tmp_path):
    out = tmp_path / "o.mp4"
    proc = subprocess.Popen([sys.executable, "-m", "velmar", str(long_clip), "-o", str(out),
                             "--frames-per-file", "7", "--no-preview"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 30
    while len(list(tmp_path.glob("o_*.mp4.csv"))) < files and time.monotonic() < deadline:
        time.sleep(0.005)
    proc.send_signal(signum)
    out_text, err = proc.communicate(timeout=30)
    assert proc.returncode == status, err
    assert "frames read" in out_text and "Traceback" not in err
    for log in tmp_path.glob("o_*.mp4.csv"):
        assert len(csv_rows(log)) == count_frames(str(log)[:-4])


@pytest.mark.parametrize("loaded", ["numpy", "cv2", "_engine"])
def test_ctrl_c_at_start_up_is_no_traceback(loaded, long_clip, tmp_path):
    """Ctrl-C while the command is still loading its libraries."""
    proc = subprocess.Popen([sys.executable, "-m", "velmar", str(long_clip), "-o",
                             str(tmp_path / "o.mp4"), "--no-preview"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    maps = f"/proc/{proc.pid}/maps"
    deadline = time.monotonic() + 30
    while loaded not in open(maps).read() and time.monotonic() < deadline:
        time.sleep(0.001)
    proc.send_signal(signal.SIGINT)
    err = proc.communicate(timeout=30)[1]
    assert proc.returncode in (130, -signal.SIGINT) and "Traceback" not in err, err


def test_a_truncated_file_is_said_to_be_so(tmp_path, monkeypatch, no_display, capsys):
    from test_batch import write_mjpg
    monkeypatch.chdir(tmp_path)
    write_mjpg(tmp_path / "cut.avi", 20)
    whole = (tmp_path / "cut.avi").read_bytes()
    (tmp_path / "cut.avi").write_bytes(whole[:len(whole) * 6 // 10])
    assert cli.main(["cut.avi", "-o", "out.avi"]) == 0
    notes = [line for line in capsys.readouterr().out.splitlines() if "note:" in line]
    assert len(notes) == 1 and "of its 20 frames (truncated or damaged)" in notes[0]
