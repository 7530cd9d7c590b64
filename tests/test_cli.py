"""The velmar command: defaults, refusals of bad input, the demo."""

import csv
import subprocess
import sys

import cv2
import numpy as np
import pytest

import velmar
from velmar import ccapture, cli
from conftest import count_frames


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
def recorded(monkeypatch):
    """Replaces the session with one that records its 26 values."""
    calls = []

    def fake_vcapture(*args):
        calls.append(args)
        return 6

    monkeypatch.setattr(ccapture, "vcapture", fake_vcapture)
    return calls


@pytest.fixture
def no_display(monkeypatch):
    monkeypatch.delenv("DISPLAY", raising=False)
    monkeypatch.delenv("WAYLAND_DISPLAY", raising=False)


def test_defaults_reach_the_session_with_the_probed_region(clip, tmp_path, recorded, no_display):
    out = tmp_path / "capture.avi"
    assert cli.main([str(clip), "-o", str(out)]) == 0
    (args,) = recorded
    assert len(args) == 26
    plain = [a for i, a in enumerate(args) if i not in (21, 22)]
    assert plain == [
        str(clip), str(out), "MJPG", -1, False, 0, 0, 0, 0, 96, 64, 0.0, 0.0, 0,
        False, False, 25, 500, 21, False, False, 10, 20, 0.5,
    ]
    assert args[21].dtype == np.int32 and args[21].tolist() == [0, 0, 0]
    assert args[22].dtype == np.int32 and args[22].tolist() == [255, 255, 255]


def test_options_reach_the_session(clip, tmp_path, recorded, no_display):
    cli.main([
        str(clip), "-o", str(tmp_path / "x.avi"), "--fourcc", "XVID", "--roi", "8", "4", "40", "30",
        "--interval", "2", "--duration", "9.5", "--max-frames", "50", "--motion", "--threshold", "30",
        "--min-area", "100", "--kernel-width", "11", "--timestamp", "--box-color", "1,2,3",
        "--text-color", "4,5,6", "--text-pos", "3", "40", "--font-scale", "1.5", "--camera-settings",
    ])
    (args,) = recorded
    assert args[2:4] == ("XVID", -1)
    assert args[7:21] == (8, 4, 40, 30, 2.0, 9.5, 50, True, True, 30, 100, 11, True, False)
    assert args[21].tolist() == [1, 2, 3] and args[22].tolist() == [4, 5, 6]
    assert args[23:] == (3, 40, 1.5)


@pytest.mark.parametrize("argv, message", [
    (["missing.avi"], "input file not found"),
    (["{clip}", "--bogus"], "unrecognized arguments"),
    (["{clip}", "--box-color", "1,2"], "three integers"),
    (["{clip}", "--text-color", "a,b,c"], "three integers"),
    (["{clip}", "--roi", "0", "0", "97", "64"], "does not fit the 96x64 frames"),
    (["{clip}", "--roi", "50", "10", "50", "10"], "does not fit"),
    (["{clip}", "--kernel-width", "20"], "odd and positive"),
    (["{clip}", "--interval", "-1"], "must not be negative"),
    (["{clip}", "--duration", "-0.5"], "must not be negative"),
    (["{clip}", "-o", "{tmp}/nowhere/out.avi"], "output folder does not exist"),
    (["{clip}", "--preview"], "need a display"),
    (["{clip}", "--show-diff"], "need a display"),
])
def test_bad_input_is_refused_on_one_line(argv, message, clip, tmp_path, recorded, no_display, capsys):
    argv = [a.format(clip=clip, tmp=tmp_path) for a in argv]
    if "-o" not in argv:
        argv += ["-o", str(tmp_path / "o.avi")]
    assert cli.main(argv) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith("velmar: error:") and message in err
    assert recorded == []


def test_preview_defaults_to_the_display(clip, tmp_path, recorded, monkeypatch):
    monkeypatch.setenv("DISPLAY", ":0")
    cli.main([str(clip), "-o", str(tmp_path / "a.avi")])
    monkeypatch.delenv("DISPLAY")
    monkeypatch.delenv("WAYLAND_DISPLAY", raising=False)
    cli.main([str(clip), "-o", str(tmp_path / "b.avi")])
    assert [args[4] for args in recorded] == [True, False]


def test_early_stop_exits_with_one(clip, tmp_path, monkeypatch, no_display, capsys):
    monkeypatch.setattr(ccapture, "vcapture", lambda *args: 0)
    assert cli.main([str(clip), "-o", str(tmp_path / "o.avi")]) == 1
    assert "0 frames read" in capsys.readouterr().out


def rows_and_frames(video):
    with open(str(video) + ".csv", newline="") as f:
        return list(csv.reader(f))[1:], count_frames(video)


def test_real_session_summary_counts_kept_frames(clip, tmp_path, no_display, capsys):
    out = tmp_path / "every.avi"
    assert cli.main([str(clip), "-o", str(out)]) == 0
    last = capsys.readouterr().out.splitlines()[-1]
    assert last == f"velmar: 6 frames read, 6 kept; files: {out}, {out}.csv"
    rows, frames = rows_and_frames(out)
    assert len(rows) == frames == 6


def test_demo_records_the_sample_clip(tmp_path, monkeypatch, no_display, capsys):
    monkeypatch.chdir(tmp_path)
    assert cli.main(["--demo"]) == 0
    video = tmp_path / cli.DEMO_FOLDER / cli.DEMO_OUTPUT
    rows, frames = rows_and_frames(video)
    assert 0 < len(rows) == frames < 120
    assert "frames read" in capsys.readouterr().out.splitlines()[-1]


def test_module_entry_point_reports_version_and_refusals(tmp_path):
    run = [sys.executable, "-m", "velmar"]
    version = subprocess.run(run + ["--version"], capture_output=True, text=True)
    assert version.returncode == 0 and version.stdout.strip() == f"velmar {velmar.__version__}"
    refused = subprocess.run(run + [str(tmp_path / "none.avi")], capture_output=True, text=True)
    assert refused.returncode == 2
    assert refused.stderr.strip() == f"velmar: error: input file not found: {tmp_path / 'none.avi'}"
