"""Sessions under faults and at length: unwritable or full disks, damaged
inputs, and many sessions in one process, each ending a different way,
leaving no descriptor, reference or memory behind."""

import contextlib
import errno
import os
import subprocess
import sys
import types
from pathlib import Path

import cv2
import numpy as np
import pytest

import velmar.ccapture as ccapture
from conftest import SANITIZED, count_frames

def session(source, output, **changes):
    args = dict(input_=str(source), output=str(output), fmt="MJPG", fps=10, interactive=False,
                width=0, height=0, roi_x=0, roi_y=0, roi_w=32, roi_h=24, interval=0.0,
                duration=0.0, max_frames=0, motion_based=False, config=False, threshold=25,
                min_area=100, kernel_width=21, timestamp=True, show_diff=False,
                tb=np.zeros(3, np.int32), tc=np.full(3, 255, np.int32), tx=2, ty=12, fs=0.4)
    args.update(changes)
    return ccapture.vcapture(**args)


def frame(i):
    image = np.full((24, 32, 3), 60, np.uint8)
    image[4:12, i % 24:i % 24 + 8] = 250
    return image


@pytest.fixture(scope="module")
def clip(tmp_path_factory):
    path = tmp_path_factory.mktemp("in") / "clip.avi"
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"MJPG"), 10, (32, 24))
    for i in range(300):
        writer.write(frame(i))
    writer.release()
    return path


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def log_rows(video):
    lines = Path(f"{video}.csv").read_bytes().split(b"\r\n")
    assert lines[0] == b"inframe,outframe,timestamp" and lines[-1] == b""
    return lines[1:-1]


@contextlib.contextmanager
def small_tmpfs(path, options):
    path.mkdir()
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", str(path)],
                          capture_output=True, text=True)
    if done.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {done.stderr.strip()}")
    try:
        yield path
    finally:
        subprocess.run(["umount", str(path)], check=True)


@pytest.mark.parametrize("options, error", [("ro,size=64k", errno.EROFS),
                                             ("size=64k", errno.ENOSPC)])
def test_unwritable_or_full_disk_raises_and_leaves_nothing_open(clip, tmp_path, options, error):
    with small_tmpfs(tmp_path / "disk", options) as disk:
        before = open_fds()
        with pytest.raises(OSError) as caught:
            session(clip, disk / "out.avi")
        assert caught.value.errno == error
        assert open_fds() == before


def test_damaged_inputs_end_in_order(clip, tmp_path, capsys):
    truncated = tmp_path / "cut.avi"
    truncated.write_bytes(clip.read_bytes()[: clip.stat().st_size * 2 // 3])
    read = session(truncated, tmp_path / "cut-out.avi")
    assert 0 < read < 300
    assert len(log_rows(tmp_path / "cut-out.avi")) == count_frames(tmp_path / "cut-out.avi") == read

    junk = tmp_path / "notes.avi"
    junk.write_text("not a video\n")
    assert session(junk, tmp_path / "junk-out.avi") == 0
    assert f"Could not open video file {junk} for reading." in capsys.readouterr().out
    assert not (tmp_path / "junk-out.avi.csv").exists()


class ScriptedCv2(types.SimpleNamespace):
    """OpenCV with a scripted capture and windows that only answer keys."""

    def __init__(self, frames, ending=None, key=255):
        super().__init__(**{name: getattr(cv2, name) for name in dir(cv2) if name.isupper()})
        self.frames, self.ending, self.key = frames, ending, key
        for name in ("VideoWriter", "VideoWriter_fourcc", "getTextSize", "rectangle", "putText"):
            setattr(self, name, getattr(cv2, name))
        self.namedWindow = self.imshow = self.destroyAllWindows = lambda *args: None
        self.waitKey = lambda delay: self.key

    def VideoCapture(self, *source):
        frames, ending = iter(self.frames), self.ending
        reads = types.SimpleNamespace(release=lambda: None, isOpened=lambda: True)
        reads.get = {cv2.CAP_PROP_FRAME_WIDTH: 32.0, cv2.CAP_PROP_FRAME_HEIGHT: 24.0,
                     cv2.CAP_PROP_FPS: 10.0, cv2.CAP_PROP_FRAME_COUNT: 5.0}.get

        def read():
            image = next(frames, None)
            if image is None and ending:
                raise ending
            return image is not None, image
        reads.read = read
        return reads


WAYS = {  # how a session ends: scripted OpenCV and the session's changes
    "end of input": (dict(), dict()),
    "duration": (dict(), dict(duration=0.2)),
    "q": (dict(key=ord("q")), dict(interactive=True)),
    "ctrl-c": (dict(ending=KeyboardInterrupt()), dict()),
    "missing directory": (dict(), dict(output="missing/out.avi")),
    "region mismatch": (dict(), dict(roi_w=33)),
    "capture error": (dict(ending=RuntimeError("camera gone")), dict()),
}


def test_many_sessions_leave_nothing_behind(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    Path("clip.avi").touch()  # the scripted capture reads it; set-up wants its time
    monkeypatch.setattr(ccapture, "print", lambda *args: None, raising=False)
    frames = [frame(i) for i in range(5)]
    monkeypatch.setattr(ccapture, "cv2", cv2)  # restored afterwards

    def sessions(count):
        for n in range(count):
            script, changes = list(WAYS.values())[n % len(WAYS)]
            changes = dict(changes)
            ccapture.cv2 = ScriptedCv2(frames, **script)
            with contextlib.suppress(RuntimeError):
                session("clip.avi", changes.pop("output", f"out{n % 3}.avi"), **changes)

    def state():
        rss = int(Path("/proc/self/statm").read_text().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        total = getattr(sys, "gettotalrefcount", lambda: 0)()
        return open_fds(), rss, total

    sessions(200)  # the allocator and OpenCV's codecs settle first
    fds, rss, refs = state()
    sessions(200)
    fds_after, rss_after, refs_after = state()
    assert fds_after == fds
    assert abs(refs_after - refs) < 100
    if not SANITIZED:  # the sanitizer holds freed memory back on purpose
        assert rss_after - rss < 4 * 2**20
