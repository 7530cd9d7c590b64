"""Motion by copy: the source's packets of each event written unchanged,
from a keyframe, with the events the encoded path finds; detection on the
keyframes alone, and on a second, smaller stream of the same scene, matched
by the clock, with every frame kept while that stream is away."""

import csv
import subprocess
import sys
import time
from datetime import datetime

import av
import pytest

import velmar
from streams import Server, needs_ffmpeg

pytestmark = needs_ffmpeg

T0 = datetime(2026, 1, 1)
GOP = 8  # the spells clip's keyframes: one a second at 8 fps
BOX = (200, 100, 120, 120)  # the scene's box, in the 640x360 stream
OVER_BOX = [(560, 260), (1000, 260), (1000, 700), (560, 700)]  # it, in the 1080p stream's pixels


def h264(source, path, *flags):
    subprocess.run(["ffmpeg", "-v", "error", "-i", str(source), "-c:v", "libx264", "-preset",
                    "veryfast", "-g", str(GOP), "-keyint_min", str(GOP), "-sc_threshold", "0",
                    "-pix_fmt", "yuv420p", *flags, str(path)], check=True, timeout=120)
    return path


@pytest.fixture(scope="module")
def spells(spells_clip, tmp_path_factory):
    """The spells clip as a camera sends it, without B-frames and with them."""
    folder = tmp_path_factory.mktemp("spells")
    return {frames: h264(spells_clip, folder / f"spells_bf{frames}.mp4", "-bf", str(frames))
            for frames in (0, 2)}


@pytest.fixture(scope="module")
def scene(tmp_path_factory):
    """A box in sight from 1 to 2 s and from 4 to 5 s of 6, as a 640x360
    sub-stream and, scaled from it, a 1080p main stream, 10 fps."""
    folder = tmp_path_factory.mktemp("scene")
    x, y, w, h = BOX
    sub, main = folder / "sub.mp4", folder / "main.mp4"
    drawn = (f"color=c=gray:size=640x360:rate=10,drawbox=x={x}:y={y}:w={w}:h={h}:color=white:"
             f"t=fill:enable='between(t,1,2)+between(t,4,5)'")
    common = ["-c:v", "libx264", "-preset", "ultrafast", "-g", "5", "-pix_fmt", "yuv420p"]
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", drawn, "-t", "6", *common,
                    str(sub)], check=True, timeout=120)
    subprocess.run(["ffmpeg", "-v", "error", "-i", str(sub), "-vf", "scale=1920:1080", *common,
                    str(main)], check=True, timeout=120)
    return main, sub


def copied(source, output, **options):
    return velmar.record(source, output, codec="copy", keep="motion", timestamps="pts",
                         start=T0, **options)


def seconds(events):
    return [((e.start - T0).total_seconds(), (e.end - T0).total_seconds()) for e in events]


def agree(folder):
    checked = velmar.check([folder])
    assert checked and all(f.ok and f.frames == f.rows > 0 for f in checked), checked


def first_packet_is_keyframe(event):
    """The packet of the event's first frame, as its video's log places it."""
    with open(f"{event.video}.csv", newline="") as log:
        outframe = next(int(row[1]) for row in list(csv.reader(log))[1:]
                        if int(row[0]) == event.first_frame)
    with av.open(str(event.video)) as container:
        packets = [p for p in container.demux(container.streams.video[0]) if p.size]
    return packets[outframe].is_keyframe


@pytest.mark.parametrize("b_frames, options", [
    (0, {}),
    (2, {}),  # packets come in decoding order, frames are judged in the order shown
    (0, {"file_per_event": True, "before": 0.5, "after": 0.5}),
    (2, {"file_per_event": True}),
    (0, {"detect_scale": 0.5, "detect_every": 2}),
])
def test_copied_events_are_the_encoded_ones_from_a_keyframe(spells, tmp_path, b_frames,
                                                           options):
    clip, told = spells[b_frames], []
    options = dict(min_area=100, min_event=0, **options)
    encoded = velmar.record(clip, tmp_path / "encoded.avi", codec="ffv1", keep="motion",
                            timestamps="pts", start=T0, **options)
    (tmp_path / "out").mkdir()
    result = copied(clip, tmp_path / "out" / "cam.mp4", on_event=told.append, **options)
    assert len(result.events) == len(encoded.events) == 5
    for (start, end), (found, ended) in zip(seconds(result.events), seconds(encoded.events)):
        assert 0 <= found - start < 1 and abs(end - ended) <= 0.25  # a keyframe a second
    assert all(first_packet_is_keyframe(event) for event in result.events)
    if options.get("file_per_event"):
        assert [e.video.name for e in result.events] == [f"cam_{n:03d}.mp4" for n in range(1, 6)]
    agree(tmp_path / "out")
    with open(result.events_log, newline="") as log:
        rows = list(csv.DictReader(log))
    assert [(int(r["first_frame"]), int(r["last_frame"]), int(r["frames"]), r["video"])
            for r in rows] == [(e.first_frame, e.last_frame, e.frames, e.video.name)
                               for e in result.events]
    assert told == result.events and all(e.thumbnail.exists() for e in told)


def test_keyframes_alone_find_the_spells_that_span_one(spells, tmp_path):
    result = copied(spells[0], tmp_path / "cam.mp4", min_area=100, min_event=0,
                    detect_every="keyframe")
    # The first keyframe is the reference; of the spells (conftest.SPELLS),
    # three hold a keyframe.
    assert [e.first_frame for e in result.events] == [24, 40, 80]


@pytest.mark.parametrize("options, found", [({}, True), ({"exclude": [OVER_BOX]}, False),
                                            ({"include": [OVER_BOX]}, True)])
def test_a_detection_file_is_matched_from_its_start_in_the_recorded_pixels(scene, tmp_path,
                                                                         options, found):
    main, sub = scene
    reference = copied(main, tmp_path / "main.mp4", before=1.0, after=0.5)
    result = copied(main, tmp_path / "by_sub.mp4", before=1.0, after=0.5,
                    detect_source=sub.as_uri(), **options)
    assert seconds(result.events) == (seconds(reference.events) if found else [])


def test_a_detection_file_that_does_not_open_keeps_every_frame(scene, tmp_path):
    result = copied(scene[0], tmp_path / "cam.mp4", detect_source=(tmp_path / "gone.mp4").as_uri())
    assert result.frames_kept == result.frames_read > 0
    assert [o.reason for o in result.outages] == ["detection_not_opened"]
    assert_outage_spans(result, 0)


def test_a_detection_file_that_ends_first_keeps_every_frame_after(scene, tmp_path):
    sub = tmp_path / "sub.mp4"  # the sub-stream's first 3 s of 6
    subprocess.run(["ffmpeg", "-v", "error", "-i", str(scene[1]), "-frames:v", "30", "-c", "copy",
                    str(sub)], check=True, timeout=60)
    result = copied(scene[0], tmp_path / "cam.mp4", detect_source=sub.as_uri())
    assert [o.reason for o in result.outages] == ["detection_ended"]
    assert_outage_spans(result, 30)
    assert result.events[-1].first_frame <= 30
    assert result.events[-1].last_frame == result.frames_read - 1


def assert_outage_spans(result, inframe):
    """From the frame `inframe` to the last, at the file's own times."""
    with open(result.files[0].log, newline="") as log:
        times = {int(row["inframe"]): datetime.fromisoformat(row["timestamp"])
                 for row in csv.DictReader(log)}
    [outage] = result.outages
    first, last = times[inframe], times[result.frames_read - 1]
    assert (outage.start, outage.end) == (first, last)
    assert outage.seconds == pytest.approx((last - first).total_seconds())


def test_a_detection_stream_finds_the_recorded_streams_events(scene, tmp_path):
    main, sub = scene
    reference = seconds(copied(main, tmp_path / "main.mp4", before=1.0, after=0.5).events)
    streams = Server(main), Server(sub)
    try:
        result = copied(streams[0].url, tmp_path / "live.mp4", before=1.0, after=0.5,
                        detect_source=streams[1].url, duration=5.5)
    finally:
        for server in streams:
            server.close()
    found = seconds(result.events)
    ended = [(start, min(end, 5.4)) for start, end in reference]  # the duration cuts it
    assert len(found) == len(ended) == 2 and all(
        abs(a - c) <= 1 and abs(b - d) <= 1 for (a, b), (c, d) in zip(found, ended)), found


def test_while_the_detection_stream_is_away_every_frame_is_kept(scene, tmp_path):
    main, sub = scene
    streams = Server(main), Server(sub)

    def kill_the_sub_stream(progress):
        if progress.frames_read >= 10 and streams[1].proc.poll() is None:
            streams[1].kill()
    try:
        result = copied(streams[0].url, tmp_path / "live.mp4", duration=5,
                        detect_source=streams[1].url, progress=kill_the_sub_stream)
    finally:
        for server in streams:
            server.close()
    with open(result.files[0].log, newline="") as log:
        kept = [int(row[0]) for row in list(csv.reader(log))[1:]]
    # The box's first sighting at 1 s, then every frame, seen or not.
    assert kept == list(range(kept[0], result.frames_read)) and kept[0] <= 12
    with open(result.outages_log, newline="") as log:
        rows = list(csv.reader(log))
    assert rows[0] == ["start", "end", "seconds", "reason", "attempts"]
    assert [row[3] for row in rows[1:]] == ["detection_ended"]
    assert [o.reason for o in result.outages] == ["detection_ended"]


def test_a_copy_never_writes_over_a_recording_already_there(spells, tmp_path):
    first = velmar.record(spells[0], tmp_path / "cam.mp4", codec="copy")
    before = first.files[0].video.read_bytes()
    again = velmar.record(spells[0], tmp_path / "cam.mp4", codec="copy")
    assert again.files[0].video.name == "cam_001.mp4"
    assert first.files[0].video.read_bytes() == before


def test_a_live_event_is_in_its_file_as_it_ends(tmp_path):
    # One box in sight from 1 to 2 s, then a still scene: with nothing after
    # it, the event's last fragment would wait in the muxer for the next.
    clip = tmp_path / "once.mp4"
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                    "color=c=gray:size=320x240:rate=10,drawbox=x=100:y=80:w=80:h=80:"
                    "color=white:t=fill:enable='between(t,1,2)'", "-t", "30", "-c:v", "libx264",
                    "-preset", "ultrafast", "-g", "10", "-pix_fmt", "yuv420p", str(clip)],
                   check=True, timeout=60)
    server = Server(clip)
    command = subprocess.Popen([sys.executable, "-m", "velmar", server.url, "-o",
                                str(tmp_path / "cam.mp4"), "--codec", "copy", "--motion",
                                "--min-area", "100"], stderr=subprocess.DEVNULL)
    events = tmp_path / "cam.events.csv"
    try:
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and (not events.exists()
                                               or events.read_text().count("\n") < 2):
            time.sleep(0.1)
        time.sleep(1)
        command.kill()
        command.wait(timeout=30)
    finally:
        server.close()
    row = list(csv.DictReader(events.open(newline="")))[0]
    (found,) = velmar.check([tmp_path / "cam.mp4"])
    assert found.ok and found.frames >= int(row["frames"]) > 0
