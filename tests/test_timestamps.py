"""Frame times of record() against the times the files themselves carry, read
by ffprobe; exact output rates; a chosen start time and the UTC offset."""

import shutil
import subprocess
from datetime import datetime, timedelta, timezone
from fractions import Fraction

import av
import cv2
import pytest

import velmar
import velmar._engine
from conftest import FakeCapture, FakeCv2, csv_rows, make_frames

pytestmark = pytest.mark.skipif(not shutil.which("ffmpeg"), reason="needs ffmpeg and ffprobe")
START = datetime(2026, 12, 8, 6, 0, 0)
# Three stretches at 10, 30 and 5 frames per second.
VFR = "if(lt(N,20),N/10,if(lt(N,40),2+(N-20)/30,2+20/30+(N-40)/5))/TB"
CLIPS = {
    "ntsc.mkv": ["-r", "30000/1001", "-frames:v", "90"],
    "vfr.mkv": ["-r", "30", "-frames:v", "60", "-vf", f"setpts='{VFR}'", "-fps_mode", "vfr"],
    "late.ts": ["-r", "25", "-frames:v", "50", "-c:v", "mpeg2video", "-q:v", "2"],
}


def ffprobe_times(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                          "frame=best_effort_timestamp_time", "-of", "csv=p=0", str(path)],
                         capture_output=True, text=True, check=True).stdout
    times = [float(line.strip(",")) for line in out.split() if line.strip(",")]
    return [t - times[0] for t in times]


@pytest.fixture(scope="module")
def clips(tmp_path_factory):
    folder = tmp_path_factory.mktemp("clips")
    for name, args in CLIPS.items():
        codec = [] if "-c:v" in args else ["-c:v", "ffv1"]
        subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc=size=160x120:rate=30",
                        *args, *codec, str(folder / name)], check=True)
    return folder


def offsets(log):
    return [(datetime.fromisoformat(ts) - START).total_seconds() for _, _, ts in csv_rows(log)]


@pytest.mark.parametrize("name", CLIPS)
def test_presentation_times_match_the_file(clips, in_tmp, name):
    result = velmar.record(clips / name, "out.mp4", start=START)
    expected = ffprobe_times(clips / name)
    got = offsets(result.files[0].log)
    assert len(got) == len(expected) == result.frames_kept
    assert max(abs(g - e) for g, e in zip(got, expected)) < 0.001


def test_rate_times_and_exact_output_rate(clips, in_tmp):
    result = velmar.record(clips / "ntsc.mkv", "out.mp4", start=START, timestamps="rate")
    assert max(abs(g - i * 1001 / 30000) for i, g in enumerate(offsets("out.mp4.csv"))) < 1e-6
    assert result.rate == pytest.approx(30000 / 1001, abs=1e-9)
    with av.open("out.mp4") as container:
        assert container.streams.video[0].average_rate == Fraction(30000, 1001)
    velmar.record(clips / "ntsc.mkv", "out.avi", codec="mjpg")
    cap = cv2.VideoCapture("out.avi")
    # OpenCV's writers keep a rate to 1/100 frame per second: 29.97, not 29.
    assert cap.get(cv2.CAP_PROP_FPS) == pytest.approx(30000 / 1001, abs=0.005)
    cap.release()


def test_variable_rate_is_written_at_its_average(clips, in_tmp):
    result = velmar.record(clips / "vfr.mkv", "out.mkv")
    # 60 frames over 6.47 s of times plus one mean step
    assert result.rate == pytest.approx(60 / (6.4667 + 6.4667 / 59), rel=1e-3)


def test_fixed_width_times_and_utc_offset(clips, in_tmp):
    velmar.record(clips / "late.ts", "a.mkv", start=START)
    velmar.record(clips / "late.ts", "b.mkv", start=START, utc_offset=True)
    plain, aware = (csv_rows(f"{n}.mkv.csv") for n in "ab")
    assert plain[0][2] == "2026-12-08T06:00:00.000000"
    assert {len(ts) for _, _, ts in plain} == {26}
    offset = START.astimezone().strftime("%z")
    assert aware[0][2] == f"2026-12-08T06:00:00.000000{offset[:3]}:{offset[3:]}"
    aware_start = datetime.fromisoformat(aware[0][2])
    assert aware_start.astimezone(timezone.utc) == START.astimezone(timezone.utc)


@pytest.mark.parametrize("timestamps", ["rate", "clock"])
def test_scripted_source(monkeypatch, in_tmp, timestamps):
    monkeypatch.setattr(velmar._engine, "cv2", FakeCv2(FakeCapture(make_frames(5), fps=4.0)))
    before = datetime.now()
    velmar.record(0, "out.avi", codec="mjpg", timestamps=timestamps, reconnect=False)
    stamps = [datetime.fromisoformat(ts) for _, _, ts in csv_rows("out.avi.csv")]
    if timestamps == "rate":
        assert [s - stamps[0] for s in stamps] == [timedelta(seconds=i / 4) for i in range(5)]
    else:
        assert before <= stamps[0] <= stamps[-1] <= datetime.now()


@pytest.mark.parametrize("name, interval, within", [
    ("ntsc.mkv", 0.25, 0.5 * 1001 / 30000),  # half a frame
    ("vfr.mkv", 1.0, 0.1 + 1e-6),  # half a frame of its slowest stretch (5 fps)
])
def test_a_time_lapse_keeps_to_its_grid(clips, in_tmp, name, interval, within):
    velmar.record(clips / name, "out.mkv", start=START, keep="interval", interval=interval)
    kept = offsets("out.mkv.csv")
    points = [round(t / interval) for t in kept]
    assert points == list(range(len(points)))  # one frame per point, none skipped or drifted
    assert max(abs(t - p * interval) for t, p in zip(kept, points)) <= within
