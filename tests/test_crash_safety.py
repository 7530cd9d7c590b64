"""Recordings that survive what the real world does to them: `kill -9` of a
live recording, a file cut off at any byte, a full disk, and the codec the
output's extension asks for."""

import contextlib
import random
import signal
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from datetime import datetime

import av
import pytest

import velmar
from conftest import csv_rows, write_video
from test_faults import small_tmpfs
from streams import free_port, make_live_clip, needs_ffmpeg, serve, wait_for_rows
from velmar.cli import main



def decoded_frames(path) -> int:
    """The frames that decode, wherever the file was cut off: a player stops
    reading where the file ends, and shows the frames its decoder holds."""
    count = 0
    try:
        with av.open(str(path)) as container:
            stream = container.streams.video[0]
            packets = container.demux(stream)
            while True:
                try:
                    packet = next(packets)
                except (StopIteration, av.error.FFmpegError):
                    break
                with contextlib.suppress(av.error.FFmpegError):
                    count += len(stream.decode(packet))
            with contextlib.suppress(av.error.FFmpegError):
                count += len(stream.decode(None))
    except av.error.FFmpegError:
        pass
    return count


@pytest.fixture(scope="module")
def live_clip(tmp_path_factory):
    return make_live_clip(tmp_path_factory.mktemp("live") / "live.mp4")


@needs_ffmpeg
@pytest.mark.slow
@pytest.mark.parametrize("suffix", [".mp4", ".mkv", ".avi"])
def test_kill_9_of_a_live_recording(suffix, live_clip, tmp_path):
    """Killed at random moments: every video opens; a compact one and its
    log differ by at most a fragment, the last logged frame within 2 s of
    the kill; after a repair every log agrees with its video."""
    moments = random.Random(19 + len(suffix) + ord(suffix[1])).sample(range(20, 300), 7)
    outputs = [tmp_path / f"k{n}{suffix}" for n in range(len(moments))]
    # The recordings run side by side, each with its own server, each killed
    # at its own moment: as many cameras would.
    with ThreadPoolExecutor(len(moments)) as pool:
        kills = list(pool.map(record_then_kill, [live_clip] * len(moments), outputs, moments))
    for out, moment, killed in zip(outputs, moments, kills):
        rows = csv_rows(f"{out}.csv")
        frames = decoded_frames(out)
        assert frames > 0, f"{out} does not open"
        if suffix != ".avi":  # a fragment cut short by the kill may show a few frames more
            assert 0 <= frames - len(rows) <= 25
            last = datetime.fromisoformat(rows[-1][2])
            assert (killed - last).total_seconds() < 2.0, (moment, killed, last)
    repaired = velmar.check([tmp_path], repair=True)
    assert len(repaired) == len(moments) and all(f.ok and f.frames == f.rows for f in repaired)


def record_then_kill(live_clip, out, moment) -> datetime:
    """Records a stream of its own into `out`, killed `moment` hundredths of
    a second after its first row; when it was killed."""
    port = free_port()
    server = serve(live_clip, port)
    try:
        time.sleep(0.3)
        proc = subprocess.Popen([sys.executable, "-m", "velmar", f"http://127.0.0.1:{port}/x.ts",
                                 "-o", str(out), "--no-preview", "-q"])
        wait_for_rows(out.with_name(out.name + ".csv"), 1)
        time.sleep(moment / 100)
        killed = datetime.now()
        proc.send_signal(signal.SIGKILL)
        proc.wait(timeout=30)
    finally:
        server.kill()
        server.wait(timeout=30)
    return killed


FRAGMENT_START = {".mp4": b"moof", ".mov": b"moof", ".mkv": b"\x1f\x43\xb6\x75"}


@pytest.mark.parametrize("suffix", [".mp4", ".mkv", ".mov"])
def test_a_file_cut_off_anywhere_plays_to_its_last_whole_fragment(suffix, tmp_path):
    clip = tmp_path / "in.avi"
    write_video(str(clip), 25, fps=10.0)
    data = velmar.record(clip, tmp_path / f"out{suffix}").files[0].video.read_bytes()

    def frames_up_to(cut):
        (tmp_path / f"cut{suffix}").write_bytes(data[:cut])
        return decoded_frames(tmp_path / f"cut{suffix}")

    marker = FRAGMENT_START[suffix]
    starts = [i for i in range(len(data)) if data.startswith(marker, i)]
    whole = [frames_up_to(start) for start in starts[1:]] + [frames_up_to(len(data))]
    assert len(starts) >= 2 and whole == sorted(whole) and whole[-1] == 25
    # Cut inside a fragment: what came before it still plays.
    for start, end, before in zip(starts[1:], starts[2:], whole):
        assert frames_up_to((start + end) // 2) >= before


@pytest.mark.parametrize("output, codec, works", [
    ("out.avi", None, True), ("out.mkv", None, True), ("out.mp4", "mjpg", False),
    ("out.webm", None, False), ("out.avi", "h264", False), ("out.mkv", "ffv1", True)])
def test_the_codec_follows_the_extension(output, codec, works, tmp_path):
    clip = tmp_path / "in.avi"
    write_video(str(clip), 3)
    if works:
        assert velmar.record(clip, tmp_path / output, codec=codec).frames_kept == 3
    else:
        with pytest.raises(ValueError, match="codec"):
            velmar.record(clip, tmp_path / output, codec=codec)
        assert sorted(p.name for p in tmp_path.iterdir()) == ["in.avi"]


@pytest.mark.parametrize("output, codec", [
    ("out.mp4", None), ("out.mkv", "h265"), ("out.mkv", "av1"), ("out.avi", None),
    ("out.avi", "mp4v"), ("out.mkv", "ffv1")])
def test_a_full_disk_ends_in_order(output, codec, live_clip, tmp_path, capsys):
    with small_tmpfs(tmp_path / "disk", "size=100k") as disk:
        argv = [str(live_clip), "-o", str(disk / output), "--min-free", "0", "-q"]
        assert main(argv + (["--codec", codec] if codec else [])) == 3
        err = capsys.readouterr().err
        assert err.count("\n") == 1 and str(disk) in err and "the recording ended there" in err
        checked = velmar.check([disk])
        assert len(checked) == 1 and checked[0].ok and checked[0].frames > 0


@needs_ffmpeg
@pytest.mark.parametrize("codec, per_event", [("h264", True), ("copy", False)])
def test_events_a_full_disk_cut_short_name_only_frames_on_disk(codec, per_event, tmp_path):
    moving = tmp_path / "moving.mp4"  # motion in every frame: one event to the end
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=size=640x480:rate=25",
                    "-t", "12", "-c:v", "libx264", "-preset", "ultrafast", "-g", "25", str(moving)],
                   check=True, timeout=60)
    with small_tmpfs(tmp_path / "disk", "size=640k") as disk:
        result = velmar.record(moving, disk / "out.mp4", keep="motion", codec=codec,
                               file_per_event=per_event, min_free=0)
        assert result.stop == "disk_full" and [c.ok for c in velmar.check([disk])] == [True]
        last_logged = int(csv_rows(result.files[-1].log)[-1][0])
        assert result.events[-1].last_frame == last_logged


def test_too_little_free_space_records_nothing(live_clip, tmp_path, capsys):
    with small_tmpfs(tmp_path / "disk", "size=300k") as disk:
        assert main([str(live_clip), "-o", str(disk / "out.mp4"), "-q"]) == 3
        assert f"the disk of {disk} has" in capsys.readouterr().err
        assert list(disk.iterdir()) == []


@needs_ffmpeg
@pytest.mark.slow
def test_a_disk_filled_by_another_program_leaves_each_pair_in_agreement(live_clip, tmp_path):
    """Five live recordings side by side, each on an 8 MB disk of its own
    that another program fills at its own moment."""
    moments = [1.0, 1.7, 2.4, 3.1, 3.8]
    with ThreadPoolExecutor(len(moments)) as pool:
        checked = list(pool.map(record_then_fill, [live_clip] * len(moments),
                                [tmp_path / f"d{n}" for n in range(len(moments))], moments))
    for status, err, found in checked:
        assert status == 3 and "no space left on the disk for" in err and "x.mp4" in err
        assert len(found) == 1 and found[0].ok and found[0].frames == found[0].rows > 0


def record_then_fill(live_clip, folder, moment):
    """The exit status, standard error and check of a recording whose disk
    `dd` filled `moment` seconds after its first row."""
    with small_tmpfs(folder, "size=8m") as disk:
        port = free_port()
        server = serve(live_clip, port)
        try:
            time.sleep(0.3)
            proc = subprocess.Popen([sys.executable, "-m", "velmar",
                                     f"http://127.0.0.1:{port}/x.ts", "-o", str(disk / "x.mp4"),
                                     "--min-free", "0", "--no-preview", "-q"],
                                    stderr=subprocess.PIPE, text=True)
            wait_for_rows(disk / "x.mp4.csv", 1)
            time.sleep(moment)
            subprocess.run(["dd", "if=/dev/zero", f"of={disk}/filler", "bs=64k"],
                           capture_output=True, timeout=30)
            err = proc.communicate(timeout=30)[1]
        finally:
            proc.kill()
            server.kill()
            server.wait(timeout=30)
        return proc.returncode, err, velmar.check([disk / "x.mp4"])
