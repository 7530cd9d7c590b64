"""Stored recordings found and exported: the catalogue of an output's videos
and events, a clip across two files of a copied and of an encoded recording
cut by stream copy, velmar export's exit statuses, and a day's time-lapse
from a simulated day of segment files."""

import signal
import subprocess
import sys
from datetime import datetime, timedelta, timezone

import pytest

import velmar
from velmar import cli
from velmar.export.clip import CutStopped, export_clip
from velmar.export.catalogue import stored_events, stored_videos
from velmar.export.timelapse import export_timelapse
from velmar.shared.videos import read_frames
from conftest import csv_rows
from streams import needs_ffmpeg

T0 = datetime(2026, 12, 1, 10, 0, 0)
FRAME = timedelta(seconds=1 / 25)
KEYFRAMES = {"copy": timedelta(seconds=1), "h264": timedelta(seconds=2)}  # one a file
RECORDINGS = [("copy", ".mp4"), ("h264", ".mp4"), ("h264", ".mkv")]
FFMPEG = ["ffmpeg", "-v", "error", "-nostdin", "-y"]


def times(log):
    return [datetime.fromisoformat(stamp) for _, _, stamp in csv_rows(log)]


@pytest.fixture(scope="module")
def recordings(tmp_path_factory):
    """4 s at 25 fps in files of 50 frames, copied (a camera's stream: a
    keyframe a second, no B-frames) and encoded by velmar (B-frames)."""
    folder = tmp_path_factory.mktemp("recordings")
    source = folder / "camera.mp4"
    subprocess.run([*FFMPEG, "-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25", "-t", "4",
                    "-c:v", "libx264", "-g", "25", "-bf", "0", "-pix_fmt", "yuv420p",
                    str(source)], check=True, timeout=60)
    for codec, suffix in RECORDINGS:
        velmar.record(source, folder / f"{codec}{suffix}", codec=codec, frames_per_file=50,
                      start=T0)
    return folder


@needs_ffmpeg
@pytest.mark.parametrize("codec, suffix", RECORDINGS)
def test_a_clip_across_two_files_is_cut_from_the_keyframe_before_start(recordings, tmp_path,
                                                                       codec, suffix):
    start, end = T0 + timedelta(seconds=1.5), T0 + timedelta(seconds=2.5)
    clip = tmp_path / "clip.mp4"
    assert cli.main(["export", str(recordings / f"{codec}{suffix}"), "--start", start.isoformat(),
                     "--end", end.isoformat(), "-o", str(clip), "-q"]) == 0
    clip_times = times(f"{clip}.csv")
    assert start - KEYFRAMES[codec] <= clip_times[0] <= start
    # B-frames shown after `end` that frames before it were predicted from
    # come along: a few at most.
    slack = 0 if codec == "copy" else 3
    assert end - FRAME < clip_times[-1] <= end + slack * FRAME
    recorded = [time for number in (1, 2)
                for time in times(recordings / f"{codec}_{number:03d}{suffix}.csv")]
    first = recorded.index(clip_times[0])
    assert clip_times == recorded[first:first + len(clip_times)]  # every frame between, once
    assert read_frames(clip).frames == len(clip_times)
    assert cli.main(["check", "-q", str(clip)]) == 0


@needs_ffmpeg
def test_a_clip_ends_before_a_file_of_other_codec_parameters(tmp_path, capsys):
    output = tmp_path / "%H-%M-%S.mp4"
    for size, seconds in (("160x120", 0), ("320x240", 2)):
        source = tmp_path / f"{size}.mp4"
        subprocess.run([*FFMPEG, "-f", "lavfi", "-i", f"testsrc2=size={size}:rate=25", "-t", "2",
                        "-c:v", "libx264", "-pix_fmt", "yuv420p", str(source)],
                       check=True, timeout=60)
        velmar.record(source, output, codec="copy", start=T0 + timedelta(seconds=seconds))
    clip = tmp_path / "clip.mkv"
    assert cli.main(["export", str(output), "--start", T0.isoformat(), "--end",
                     (T0 + timedelta(seconds=4)).isoformat(), "-o", str(clip), "-q"]) == 0
    assert "10-00-02.mp4 was recorded with other codec parameters" in capsys.readouterr().err
    assert len(times(f"{clip}.csv")) == read_frames(clip).frames == 50


@needs_ffmpeg
@pytest.mark.parametrize("start, end, clip, status, message", [
    ("2026-12-01T11:00:00", "2026-12-01T12:00:00", "clip.mp4", 1, "nothing recorded from"),
    ("2026-12-01T10:00:03", "2026-12-01T10:00:01", "clip.mp4", 2, "is after end"),
    ("2026-12-01T25:00:00", "2026-12-01T10:00:01", "clip.mp4", 2, "expected a date and time"),
    ("2026-12-01T10:00:00", "2026-12-01T10:00:01", "copy_003.mp4", 2,
     "a name of the recording's own"),
])
def test_export_says_what_is_wrong_on_one_line(recordings, tmp_path, capsys, start, end, clip,
                                               status, message):
    folder = recordings if clip.startswith("copy") else tmp_path
    before = set(folder.iterdir())
    assert cli.main(["export", str(recordings / "copy.mp4"), "--start", start, "--end", end,
                     "-o", str(folder / clip)]) == status
    lines = capsys.readouterr().err.splitlines()
    assert len(lines) == 1 and message in lines[0]
    assert set(folder.iterdir()) == before


@needs_ffmpeg
@pytest.mark.parametrize("after", [T0 + timedelta(seconds=2.5),
                                   (T0 + timedelta(seconds=2.5)).astimezone(timezone.utc)])
def test_the_catalogue_lists_the_videos_in_range_newest_first(recordings, after):
    videos = stored_videos(str(recordings / "copy.mp4"))
    assert [(v.path.name, v.first, v.frames) for v in videos] == [
        ("copy_002.mp4", T0 + timedelta(seconds=2), 50), ("copy_001.mp4", T0, 50)]
    assert [v.path.name for v in stored_videos(str(recordings / "copy.mp4"), after=after)] == [
        "copy_002.mp4"]


def test_the_catalogue_lists_events_with_their_video_and_thumbnail(tmp_path, spells_clip):
    output = str(tmp_path / "%H-%M-%S.mp4")
    result = velmar.record(spells_clip, output, keep="motion", codec="h264", min_area=50,
                           on_event=lambda event: None, start=T0)
    events = stored_events(output)
    assert [e.number for e in events] == [e.event for e in result.events][::-1]
    assert all(e.video.is_file() and e.thumbnail.is_file() for e in events)
    latest = result.events[-1].start
    assert [e.start for e in stored_events(output, after=latest)] == [latest]


def simulated_day(tmp_path):
    """24 hourly files of one tiny segment (12 frames, a keyframe every 3)
    whose logs put its frames 5 minutes apart: a keyframe every 15 minutes."""
    folder = tmp_path / "day"
    folder.mkdir()
    segment = tmp_path / "segment.mp4"
    subprocess.run([*FFMPEG, "-f", "lavfi", "-i", "testsrc2=size=160x120:rate=1",
                    "-frames:v", "12", "-c:v", "libx264", "-g", "3", "-sc_threshold", "0",
                    "-pix_fmt", "yuv420p", "-movflags",
                    "frag_keyframe+empty_moov+default_base_moof", str(segment)],
                   check=True, timeout=60)
    for hour in range(24):
        video = folder / f"{hour:02d}.mp4"
        video.hardlink_to(segment)
        moments = (T0.replace(hour=hour) + n * timedelta(minutes=5) for n in range(12))
        rows = [f"{hour * 12 + n},{n},{moment.isoformat(timespec='microseconds')}"
                for n, moment in enumerate(moments)]
        (folder / f"{video.name}.csv").write_bytes(
            "\r\n".join(["inframe,outframe,timestamp", *rows, ""]).encode())
    return str(folder / "%H.mp4")


@needs_ffmpeg
def test_a_day_becomes_a_time_lapse_of_a_keyframe_per_interval(tmp_path):
    output = simulated_day(tmp_path)
    day = T0.replace(hour=0)
    clip = tmp_path / "lapse.mp4"
    assert cli.main(["export", output, "--start", day.isoformat(), "--end",
                     (day + timedelta(days=1)).isoformat(), "-o", str(clip), "--every", "1800",
                     "-q"]) == 0
    assert times(f"{clip}.csv") == [day + n * timedelta(minutes=30) for n in range(48)]
    assert read_frames(clip).frames == 48
    assert cli.main(["check", "-q", str(clip)]) == 0


@needs_ffmpeg
def test_a_stopped_export_leaves_nothing_behind(tmp_path):
    output = simulated_day(tmp_path)
    before = set(tmp_path.iterdir())

    def stop(passed, points):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        export_timelapse(output, T0.replace(hour=0), T0.replace(hour=23), 600,
                         tmp_path / "lapse.mp4", progress=stop)
    assert set(tmp_path.iterdir()) == before


@needs_ffmpeg
def test_a_cut_told_to_stop_leaves_nothing_behind(recordings, tmp_path):
    """As a closing live view tells the cuts it has under way."""
    with pytest.raises(CutStopped):
        export_clip(str(recordings / "copy.mp4"), T0, T0 + timedelta(seconds=4),
                    tmp_path / "clip.mp4", stop=lambda: True)
    assert list(tmp_path.iterdir()) == []


@needs_ffmpeg
def test_the_next_export_removes_what_a_killed_one_left(tmp_path):
    output = simulated_day(tmp_path)
    out = tmp_path / "out"
    out.mkdir()
    # An export killed with its clip's temporary files open.
    killed = subprocess.Popen([sys.executable, "-c", (
        "import pathlib, sys, time; from velmar.export.writing import ClipFiles; "
        "ClipFiles(pathlib.Path(sys.argv[1])); print(flush=True); time.sleep(60)"),
        str(out / "lapse.mp4")], stdout=subprocess.PIPE)
    killed.stdout.readline()
    killed.send_signal(signal.SIGKILL)
    killed.wait(10)
    killed.stdout.close()
    assert len(list(out.iterdir())) == 2  # its video and log, hidden
    export_timelapse(output, T0.replace(hour=0), T0.replace(hour=2), 3600, out / "next.mp4")
    assert sorted(p.name for p in out.iterdir()) == ["next.mp4", "next.mp4.csv"]
