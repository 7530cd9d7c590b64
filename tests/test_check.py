"""`velmar check` and `velmar.check()` on real recordings damaged as a crash
leaves them: logs with rows too many or too few, cut mid-row or empty,
videos cut off mid-file, an events log naming lost frames."""

import os
import shutil
from datetime import datetime
from importlib import resources

import cv2
import numpy as np
import pytest

import velmar
from velmar import cli
from conftest import count_frames, csv_rows

SUFFIXES = (".avi", ".mkv", ".mp4")
CODECS = {".avi": "mjpg", ".mkv": "h264", ".mp4": "h264"}


@pytest.fixture(scope="module")
def recordings(tmp_path_factory):
    """The sample clip recorded once into each kind of file, with its log."""
    folder = tmp_path_factory.mktemp("recordings")
    sample = str(resources.files("velmar") / "data" / "sample.avi")
    for suffix in SUFFIXES:
        velmar.record(sample, folder / f"clip{suffix}", codec=CODECS[suffix])
    return folder


@pytest.fixture(params=SUFFIXES)
def clip(request, recordings, tmp_path):
    """A copy of a recorded video, its log beside it."""
    name = f"clip{request.param}"
    for path in (name, name + ".csv"):
        shutil.copy(recordings / path, tmp_path / path)
    return tmp_path / name


def log_of(video):
    return video.with_name(video.name + ".csv")


def lines(video):
    return log_of(video).read_bytes().split(b"\r\n")[:-1]


def write_lines(video, rows):
    log_of(video).write_bytes(b"".join(row + b"\r\n" for row in rows))


def check_repaired(video):
    """Repairs, then checks again: the pair agrees, a row per decoded frame."""
    [result] = velmar.check([video], repair=True)
    assert result.repaired and result.ok
    [again] = velmar.check([video.parent])
    assert again.ok and again.problem is None and again.repaired is None
    assert len(csv_rows(log_of(video))) == again.rows == again.frames == count_frames(video)
    return result


def test_a_pair_that_agrees_is_not_touched(clip):
    before = [(p.read_bytes(), os.stat(p).st_mtime_ns) for p in (clip, log_of(clip))]
    [result] = velmar.check([clip.parent], repair=True)
    assert (result.ok, result.problem, result.repaired) == (True, None, None)
    assert (result.frames, result.rows, result.header, result.in_order) == (120, 120, True, True)
    assert [(p.read_bytes(), os.stat(p).st_mtime_ns) for p in (clip, log_of(clip))] == before


def test_rows_of_frames_not_in_the_video_are_dropped(clip):
    rows = lines(clip)
    extra = [b"%d,%d,2031-01-01T00:00:%02d.000000" % (200 + i, 120 + i, i) for i in range(5)]
    write_lines(clip, rows + extra)
    [found] = velmar.check([clip])
    assert not found.ok and found.problem == (
        "5 rows of frames not in the video (125 rows, 120 frames)")
    assert check_repaired(clip).repaired == "dropped 5 rows of frames not in the video"
    assert lines(clip) == rows


def test_frames_past_the_last_row(clip):
    rows = lines(clip)
    write_lines(clip, rows[:-7])
    assert velmar.check([clip])[0].problem == "7 frames past the last row (113 rows, 120 frames)"
    done = check_repaired(clip).repaired
    if done.startswith("cut"):
        assert done == "cut the video back to its 113 logged frames"
        assert lines(clip) == rows[:-7]
    else:  # frames reordered across the cut: rows written from their times instead
        assert clip.suffix != ".avi" and done.startswith("wrote 7 rows from the video's")
        written = csv_rows(log_of(clip))
        assert [row[:2] for row in written[113:]] == [(113 + i, 113 + i) for i in range(7)]
        last, added = (datetime.fromisoformat(written[i][2]) for i in (112, 119))
        assert abs((added - last).total_seconds() - 7 / 15) < 0.002


@pytest.mark.parametrize("keep, problem, done, ok", [
    (-15, "the last row is cut off; 1 frame past the last row (119 rows, 120 frames)",
     "dropped the cut-off last row; ", True),
    (0, "the log is empty; 120 frames past the last row (0 rows, 120 frames)",
     "restored the header", False),
    (12, "the log is cut off in its header; 120 frames past the last row (0 rows, "
     "120 frames)", "restored the header", False),
])
def test_a_log_cut_off(keep, problem, done, ok, clip):
    data = log_of(clip).read_bytes()
    log_of(clip).write_bytes(data[:keep] + b"\0" * 40)  # a power cut's unwritten tail
    [found] = velmar.check([clip], repair=True)
    assert (found.problem, found.ok) == (problem, ok) and found.repaired.startswith(done)
    assert log_of(clip).read_bytes().startswith(b"inframe,outframe,timestamp\r\n")
    [again] = velmar.check([clip])
    # Without a row there is no time to write the frames' rows from.
    rows = again.frames if ok else 0
    assert (again.ok, again.rows, again.frames) == (ok, rows, count_frames(clip))


def test_rows_out_of_order_are_reported_not_repaired(clip, capsys):
    rows = lines(clip)
    rows[5], rows[6] = rows[6], rows[5]
    write_lines(clip, rows)
    assert cli.main(["check", str(clip), "--repair"]) == 3
    assert capsys.readouterr().out == (f"{clip}: rows out of order from line 6\n"
                                       "velmar check: 1 file, 0 agree, 0 repaired, "
                                       "1 do not agree\n")
    assert lines(clip) == rows


@pytest.mark.parametrize("suffix", [".avi", ".mkv"])
@pytest.mark.parametrize("fraction", [0.3, 0.77])
def test_a_video_cut_off_in_its_middle(suffix, fraction, recordings, tmp_path):
    video = tmp_path / f"clip{suffix}"
    data = (recordings / video.name).read_bytes()
    video.write_bytes(data[:int(len(data) * fraction)])
    shutil.copy(recordings / log_of(video).name, log_of(video))
    [found] = velmar.check([tmp_path])
    assert not found.ok and found.problem.endswith(f"(120 rows, {found.frames} frames)")
    assert 0 < found.frames < 120
    check_repaired(video)
    assert sorted(os.listdir(tmp_path)) == sorted([video.name, log_of(video).name])


@pytest.mark.parametrize("suffix", [".avi", ".mkv"])
def test_an_events_log_is_cut_back_to_the_events_still_there(suffix, recordings, tmp_path):
    video, events = tmp_path / f"clip{suffix}", tmp_path / "clip.events.csv"
    shutil.copy(recordings / log_of(video).name, log_of(video))
    data = (recordings / video.name).read_bytes()
    video.write_bytes(data[:len(data) * 7 // 10])  # frames 100 on lost
    rows = csv_rows(log_of(video))
    header = b"event,first_frame,last_frame,start,end,seconds,frames,video\r\n"
    event_lines = [b"%d,%d,%d,%s,%s,0.600000,10,%s\r\n" % (
        n + 1, rows[first][0], rows[first + 9][0], rows[first][2].encode(),
        rows[first + 9][2].encode(), video.name.encode()) for n, first in enumerate((0, 20, 100))]
    events.write_bytes(header + b"".join(event_lines))
    [found] = velmar.check([tmp_path])
    assert found.problem.endswith("; clip.events.csv names frames not in the videos from "
                                  "its event 3")
    assert check_repaired(video).repaired.endswith("; cut clip.events.csv back to its 2 "
                                                   "events whose frames are there")
    assert events.read_bytes() == header + b"".join(event_lines[:2])


def test_the_command_reports_each_file_and_repairs(recordings, tmp_path, capsys):
    for name in ("clip.avi", "clip.avi.csv", "clip.mkv", "clip.mkv.csv"):
        shutil.copy(recordings / name, tmp_path / name)
    mkv = tmp_path / "clip.mkv"
    write_lines(mkv, lines(mkv) + [b"500,120,2031-01-01T00:00:00.000000"])
    assert cli.main(["check", "-q", str(tmp_path)]) == 3
    problem = f"{tmp_path}/clip.mkv: 1 row of a frame not in the video (121 rows, 120 frames)"
    assert capsys.readouterr().out == problem + "\n"
    assert cli.main(["check", str(tmp_path), "--repair"]) == 0
    assert capsys.readouterr().out.splitlines() == [
        f"{tmp_path}/clip.avi: ok",
        problem + "; repaired: dropped 1 row of a frame not in the video",
        "velmar check: 2 files, 1 agree, 1 repaired, 0 do not agree"]


@pytest.mark.parametrize("argv, status, message", [
    (["check", "{tmp}"], 1, "no frame log found in {tmp}"),
    (["check", "{tmp}/missing.mp4"], 1, "cannot open input: [Errno 2] no such file or folder"),
    (["check"], 2, "the following arguments are required: PATH"),
    (["check", "{tmp}", "--mend"], 2, "unrecognized arguments: --mend"),
])
def test_errors(argv, status, message, tmp_path, capsys):
    (tmp_path / "notes.csv").write_text("not a frame log\n")
    (tmp_path / "index.csv").write_text("input,size\n")
    assert cli.main([arg.format(tmp=tmp_path) for arg in argv]) == status
    out, err = capsys.readouterr()
    assert out == "" and err.startswith(f"velmar: error: {message.format(tmp=tmp_path)}")
    assert err.count("\n") == 1


@pytest.fixture(scope="module")
def motion_recording(tmp_path_factory):
    """Three events apart, recorded into numbered files of 40 frames."""
    folder = tmp_path_factory.mktemp("motion")
    clip = str(folder / "boxes.avi")
    writer = cv2.VideoWriter(clip, cv2.VideoWriter_fourcc(*"MJPG"), 25, (160, 120))
    for n in range(240):
        frame = np.full((120, 160, 3), 90, np.uint8)
        if n % 80 >= 30 and n % 80 < 45:
            x = (n % 80 - 30) * 8
            cv2.rectangle(frame, (x, 30), (x + 30, 70), (255, 255, 255), -1)
        writer.write(frame)
    writer.release()
    os.makedirs(folder / "out")
    velmar.record(clip, folder / "out" / "m.mp4", keep="motion", before=0.2, after=0.4,
                  frames_per_file=40)
    return folder / "out"


@pytest.mark.parametrize("kept_lines, problem, mended", [
    (0, "m_001.events.csv has no header", "wrote m_001.events.csv anew with the 3 events"),
    (1, "m_001.events.csv lacks 3 events that its videos hold", "added 3 events from its"),
    (2, "m_001.events.csv lacks 2 events that its videos hold", "added 2 events from its"),
])
def test_an_events_log_gets_back_the_events_its_videos_hold(kept_lines, problem, mended,
                                                           motion_recording, tmp_path):
    shutil.copytree(motion_recording, tmp_path, dirs_exist_ok=True)
    events = tmp_path / "m_001.events.csv"
    whole = events.read_bytes()
    assert whole.count(b"\n") == 4
    events.write_bytes(b"".join(whole.splitlines(keepends=True)[:kept_lines]))
    assert any(problem in (found.problem or "") for found in velmar.check([tmp_path]))
    assert any(mended in (done.repaired or "") for done in velmar.check([tmp_path], repair=True))
    assert events.read_bytes() == whole
    assert all(found.ok and found.problem is None for found in velmar.check([tmp_path]))
