"""Recording the source's own stream: packets written unchanged from real
files and real loopback streams, files that begin at keyframes, logs that
agree with their videos after a kill, and the options a copy refuses."""

import hashlib
import os
import signal
import socket
import subprocess
import sys
import time

import av
import pytest

import velmar
from streams import Command, Server, free_port, needs_ffmpeg, wait_for_rows

pytestmark = needs_ffmpeg


def make_clip(path, encoder, seconds=6, gop=25):
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                    "testsrc2=size=320x240:rate=25", "-t", str(seconds), "-c:v", encoder,
                    "-preset", "ultrafast", "-g", str(gop), "-pix_fmt", "yuv420p",
                    *(["-x265-params", "log-level=error:open-gop=0"] if encoder == "libx265" else []),
                    str(path)], check=True, timeout=60)
    return path


@pytest.fixture
def out(tmp_path):
    folder = tmp_path / "out"
    folder.mkdir()
    return folder


def packets(path):
    """Whether each of the video's packets is a keyframe."""
    with av.open(str(path)) as container:
        return [p.is_keyframe for p in container.demux(container.streams.video[0]) if p.size]


def pictures(path):
    """A checksum of each picture, in the order shown: a copy's are the
    source's, which no encoder would give back."""
    with av.open(str(path)) as container:
        return [hashlib.md5(frame.to_ndarray().tobytes()).hexdigest()
                for frame in container.decode(video=0)]


def agree(folder):
    checked = velmar.check([folder])
    assert checked and all(f.ok and f.frames == f.rows > 0 for f in checked), checked
    return checked


@pytest.mark.parametrize("encoder", ["libx264", "libx265"])
def test_a_stream_is_copied_packet_for_packet(encoder, tmp_path, out):
    clip = make_clip(tmp_path / "clip.mp4", encoder)
    server = Server(clip)
    try:
        result = velmar.record(server.url, out / "cam.mp4", codec="copy",
                               duration=3)
    finally:
        server.close()
    served, written = pictures(clip), pictures(result.files[0].video)
    assert result.stop == "duration" and len(written) >= 50
    assert packets(result.files[0].video)[0]  # the file begins at a keyframe
    start = served.index(written[0])
    # A stream cut short after a B-frame's packet lacks the B-frames that its
    # last picture is shown after: the end is the served pictures, with gaps.
    end = len(written) - 3
    assert written[:end] == (served * 2)[start:start + end] and set(written) <= set(served)
    agree(out)


def test_files_split_at_keyframes_and_play(tmp_path, out):
    clip = make_clip(tmp_path / "clip.mp4", "libx264", seconds=4)
    result = velmar.record(clip, out / "cut.mkv", codec="copy", frames_per_file=30)
    # 30 frames reached at frame 30; the next file waits for the keyframe at 50.
    assert [f.frames for f in result.files] == [50, 50]
    assert all(packets(f.video)[0] for f in result.files)
    assert sum(len(packets(f.video)) for f in result.files) == len(packets(clip))
    agree(out)


def test_kill_9_leaves_a_video_that_agrees_with_its_log_after_repair(tmp_path, out):
    clip = make_clip(tmp_path / "clip.mp4", "libx264")
    server = Server(clip)
    command = Command(server.url, out / "cam.mp4", "--codec", "copy")
    try:
        wait_for_rows(out / "cam.mp4.csv", 60)
        command.proc.send_signal(signal.SIGKILL)
        command.end()
    finally:
        server.close()
    assert subprocess.run([sys.executable, "-m", "velmar", "check", "--repair",
                           str(out)]).returncode == 0
    (found,) = agree(out)
    with av.open(str(found.video)) as container:
        assert sum(1 for _ in container.decode(video=0)) == found.rows


def test_a_dropped_stream_is_an_outage_and_a_new_file(tmp_path, out):
    clip = make_clip(tmp_path / "clip.mp4", "libx264")
    server = Server(clip)
    command = Command(server.url, out / "cam.mp4", "--codec", "copy")
    try:
        wait_for_rows(out / "cam.mp4.csv", 25)
        server.kill()
        time.sleep(1)
        server.start()
        wait_for_rows(out / "cam_001.mp4.csv", 25)
        status, _ = command.end(signal.SIGTERM)
    finally:
        server.close()
    assert status == 143
    assert len(agree(out)) == 2
    assert (out / "cam.outages.csv").read_text().count("\n") == 2


@pytest.mark.parametrize("flags, named", [(["--roi", "0", "0", "10", "10"], "--roi"),
                                          (["--timestamp"], "--timestamp"),
                                          (["--interval", "5"], "--interval")])
def test_what_needs_pictures_is_refused_with_copy(flags, named, tmp_path, out):
    clip = make_clip(tmp_path / "clip.mp4", "libx264", seconds=1)
    done = subprocess.run([sys.executable, "-m", "velmar", str(clip), "-o",
                           str(out / "x.mp4"), "--codec", "copy", *flags],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 2 and done.stderr.startswith(f"velmar: error: {named} ")
    assert done.stderr.count("\n") == 1 and list(out.iterdir()) == []


@pytest.mark.parametrize("flags, codec", [([], "copy"), (["--timestamp"], "h264")])
def test_a_stream_is_copied_by_default_unless_pictures_are_needed(flags, codec, tmp_path, out):
    clip = make_clip(tmp_path / "clip.mp4", "libx264", seconds=3)
    server = Server(clip)
    try:
        done = subprocess.run([sys.executable, "-m", "velmar", server.url, "-o",
                               str(out / "cam.mp4"), "--duration", "1", *flags],
                              capture_output=True, text=True, timeout=60)
    finally:
        server.close()
    assert done.returncode == 0 and done.stdout.endswith(f"; codec: {codec}\n")
    agree(out)


@pytest.mark.slow
def test_four_copying_cameras_one_killed_only_it_restarts(tmp_path, out):
    from test_service import status, wait_for
    clip = make_clip(tmp_path / "clip.mp4", "libx264")
    servers = {name: Server(clip) for name in ("a", "b", "c", "d")}
    port = free_port()
    (tmp_path / "cams.toml").write_text(f'http = "127.0.0.1:{port}"\n' + "".join(
        f'[[camera]]\nname = "{name}"\nsource = "{server.url}"\noutput = "out/{name}.mp4"\n'
        for name, server in servers.items()))
    url = f"http://127.0.0.1:{port}/"
    supervisor = subprocess.Popen([sys.executable, "-m", "velmar", "run", "cams.toml"],
                                  cwd=tmp_path, stderr=subprocess.DEVNULL)
    try:
        cameras = wait_for(lambda: (lambda c: c if len(c) == 4 and all(
            v["frames_kept"] > 25 for v in c.values()) else None)(status(url)))
        os.kill(cameras["b"]["pid"], signal.SIGKILL)
        servers["b"].restart_once_gone()
        again = wait_for(lambda: (lambda c: c if c["b"]["pid"] not in (None, cameras["b"]["pid"])
                                  and c["b"]["state"] == "recording"
                                  and c["b"]["frames_kept"] > 25 else None)(status(url)))
        assert again["b"]["restarts"] == 1
        assert [again[name]["restarts"] for name in "acd"] == [0, 0, 0]
        assert {again[name]["pid"] for name in "acd"} == {cameras[name]["pid"] for name in "acd"}
        supervisor.send_signal(signal.SIGTERM)
        assert supervisor.wait(timeout=60) == 143
    finally:
        if supervisor.poll() is None:
            supervisor.kill()
        for server in servers.values():
            server.close()
    subprocess.run([sys.executable, "-m", "velmar", "check", "--repair", str(out)],
                   capture_output=True, timeout=120)
    assert len(agree(out)) == 5  # b's file cut by the kill, and the one after its restart


def test_a_copy_loads_neither_opencv_nor_numpy(tmp_path, out):
    # A box that copies many cameras holds one small process per camera.
    clip = make_clip(tmp_path / "clip.mp4", "libx264", seconds=1)
    script = ("import sys, velmar\n"
              "from velmar.live.feed import Feed\n"
              "feed = Feed(lambda report: None)\n"
              f"velmar.record({str(clip)!r}, {str(out / 'x.mp4')!r}, codec='copy', "
              "observer=feed)\n"
              "feed.close()\n"
              "print(sorted({'cv2', 'numpy', 'velmar._engine'} & sys.modules.keys()))")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=60)
    assert done.stdout == "[]\n", done.stderr


def test_a_command_ends_at_once_with_its_status_while_an_opening_waits_in_ffmpeg():
    with socket.socket() as silent:  # takes the connection and never answers
        silent.bind(("127.0.0.1", 0))
        silent.listen()
        url = f"http://127.0.0.1:{silent.getsockname()[1]}/x.ts"
        code = ("import sys\n"
                "from velmar.recording.background import Background\n"
                "from velmar.recording.copying.packet_reader import open_container\n"
                "from velmar.shared.lingering import exit_status\n"
                f"Background(lambda: open_container({url!r}, 30, 'tcp'), print, 30)"
                ".wait([], 0)\n"
                "sys.exit(exit_status(143))\n")
        began = time.monotonic()
        ended = subprocess.run([sys.executable, "-c", code], timeout=60)
    assert (ended.returncode, time.monotonic() - began < 10) == (143, True)
