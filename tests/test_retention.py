"""Retention: a simulated week of one-minute segments kept within its limits,
oldest first, never the file being written nor a stray file; and a real
recording that deletes its own oldest files as it goes, never its latest,
and lists only the files left."""

import os
import re
from datetime import datetime, timedelta

from pathlib import Path

import pytest

import velmar
from velmar import cli
from conftest import write_video
from test_faults import small_tmpfs
from velmar.recording.retention import Retention, recordings_of

START = datetime(2026, 12, 1)
PATTERN = "garden/%Y-%m-%d/%H-%M.mp4"


def a_week(root, minutes=7 * 24 * 60, every=60):
    """A segment every `every` minutes: 100 bytes of video and its log."""
    videos = []
    for n in range(0, minutes, every):
        moment = START + timedelta(minutes=n)
        video = root / moment.strftime(PATTERN)
        video.parent.mkdir(parents=True, exist_ok=True)
        video.write_bytes(b"v" * 100)
        (root / f"{video}.csv").write_bytes(b"inframe,outframe,timestamp\r\n0,0,"
                                            + moment.isoformat().encode() + b"\r\n")
        os.utime(video, (moment.timestamp(), moment.timestamp()))
        videos.append(video)
    return videos


def strays(root):
    (root / "garden" / "notes.txt").write_text("mine")
    (root / "garden" / "2026-12-01" / "00-30.mp4").write_bytes(b"no log")
    (root / "garden" / "2026-12-01" / "00-31.mp4").write_bytes(b"other log")
    (root / "garden" / "2026-12-01" / "00-31.mp4.csv").write_text("a,b\n")
    return ["garden/notes.txt", "garden/2026-12-01/00-30.mp4", "garden/2026-12-01/00-31.mp4"]


def test_a_week_kept_within_its_limits(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    videos = a_week(tmp_path)
    kept_strays = strays(tmp_path)
    lines = []
    size = sum(os.path.getsize(v) + os.path.getsize(f"{v}.csv") for v in videos[-48:])
    retention = Retention(PATTERN, keep_for=None, max_size=size, report=lines.append)
    writing = str(videos[0].relative_to(tmp_path))  # the oldest, but being written
    retention.prune(writing=[writing])
    left = sorted(str(p) for p in recordings_of(PATTERN))
    assert left == sorted([writing] + [str(v.relative_to(tmp_path)) for v in videos[-48:]])
    assert len(lines) == len(videos) - 49 and lines[0].startswith("deleted garden/2026-12-01/01-00")
    assert all(os.path.exists(name) for name in kept_strays)

    week_end = (START + timedelta(days=7)).timestamp()
    Retention(PATTERN, keep_for=24 * 3600, max_size=None, report=lines.append).prune(
        now=week_end + 3600)
    assert sorted(os.listdir("garden")) == ["2026-12-01", "2026-12-07", "notes.txt"]


def test_a_recording_deletes_its_own_oldest_files(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    write_video("in.avi", 25)
    result = velmar.record("in.avi", "out.mkv", frames_per_file=5, max_size=6000)
    left = sorted(p.name for p in recordings_of("out.mkv"))
    deleted = [p.name for p in result.deleted]
    assert deleted and deleted == sorted(deleted) and deleted[0] == "out_001.mkv"
    assert sorted(deleted + left) == [f"out_00{n}.mkv" for n in range(1, 6)]
    assert sum(os.path.getsize(n) + os.path.getsize(n + ".csv") for n in left) <= 6000


def test_below_min_free_the_oldest_go_first(tmp_path):
    with small_tmpfs(tmp_path / "disk", "size=2m") as disk:
        old = []
        for n in range(3):  # three old recordings take most of the disk
            old.append(disk / f"out_00{n + 1}.mkv")
            old[-1].write_bytes(b"v" * 500_000)
            (disk / f"out_00{n + 1}.mkv.csv").write_bytes(b"inframe,outframe,timestamp\r\n")
        write_video(str(tmp_path / "in.avi"), 25)
        result = velmar.record(tmp_path / "in.avi", disk / "out.mkv", frames_per_file=5,
                               max_size="1G", min_free=900_000)
        assert result.stop == "end" and result.frames_kept == 25
        assert result.deleted == old[:1] and old[1].exists()  # only as many as needed


def test_the_running_recordings_events_log_outlives_its_first_video(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    write_video("in.avi", 25)
    result = velmar.record("in.avi", "out.mkv", max_size=1500, keep="motion", min_area=1,
                           file_per_event=True, light_guard=False,  # frames that only brighten
                           min_event=0)  # each a one-frame event
    assert Path("out_001.mkv") in result.deleted
    rows = result.events_log.read_text().splitlines()
    assert result.events_log.name == "out_001.events.csv" and len(rows) == 1 + len(result.events)


@pytest.mark.parametrize("options, latest", [
    (["--max-size", "1K"], ["out.mkv"]),  # less than the one file takes: it stays
    (["--max-size", "1K", "--frames-per-file", "10"], ["out_003.mkv"]),
    (["--keep-for", "1h"], ["out.mkv"]),
])
def test_the_latest_file_stays_and_the_summary_lists_what_is_there(options, latest, tmp_path,
                                                                    monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    write_video("in.avi", 25)
    hours_ago = datetime.now().timestamp() - 2 * 3600
    for old in ("out_101.mkv", "out_102.mkv"):
        Path(old).write_bytes(b"v" * 100)
        Path(old + ".csv").write_bytes(b"inframe,outframe,timestamp\r\n")
        os.utime(old, (hours_ago, hours_ago))
    assert cli.main(["in.avi", "-o", "out.mkv", "--no-preview", *options]) == 0
    out = capsys.readouterr().out
    listed = re.search(r"files: (.*?); stopped", out).group(1).split(", ")
    assert listed == [name for video in latest for name in (video, video + ".csv")]
    assert sorted(str(p) for p in recordings_of("out.mkv")) == latest
    assert ("more than --max-size (1.0K)" in out) == ("--max-size" in options)
