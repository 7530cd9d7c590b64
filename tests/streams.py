"""Real stream servers on loopback for the tests: Debian's ffmpeg serving a
clip over HTTP to one client at a time, and an RTSP server of GStreamer's,
each one that a test can kill, stop, resume and start again; and the
velmar command run against them, its error lines timed as they come."""

import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

needs_ffmpeg = pytest.mark.skipif(not shutil.which("ffmpeg"), reason="needs Debian's ffmpeg")
RTSP_SCRIPT = Path(__file__).parent / "servers" / "rtsp_serve.py"
SYSTEM_PYTHON = "/usr/bin/python3"  # Debian's, with GStreamer's bindings


def has_rtsp_server() -> bool:
    if not os.path.exists(SYSTEM_PYTHON):
        return False
    check = [SYSTEM_PYTHON, "-c", "import gi; gi.require_version('GstRtspServer', '1.0'); "
             "from gi.repository import GstRtspServer"]
    return subprocess.run(check, capture_output=True, timeout=30).returncode == 0


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_live_clip(path: Path) -> Path:
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                    "testsrc2=size=320x240:rate=25", "-t", "8", "-c:v", "libx264",
                    "-preset", "ultrafast", "-g", "25", str(path)], check=True, timeout=60)
    return path


def serve(clip, port):
    """A live-paced stream for one client, on loopback."""
    return subprocess.Popen(["ffmpeg", "-v", "quiet", "-re", "-stream_loop", "-1", "-i",
                             str(clip), "-c", "copy", "-f", "mpegts", "-listen", "1",
                             f"http://127.0.0.1:{port}/x.ts"])


class Server:
    """A stream server on one port, started again at will."""

    def __init__(self, clip=None):
        self.clip, self.port, self.proc = clip, free_port(), None
        self.url = (f"http://127.0.0.1:{self.port}/x.ts" if clip is not None
                    else f"rtsp://127.0.0.1:{self.port}/x")
        self.start()

    def start(self):
        if self.clip is not None:
            self.proc = serve(self.clip, self.port)
            time.sleep(0.3)
            return
        self.proc = subprocess.Popen([SYSTEM_PYTHON, str(RTSP_SCRIPT), str(self.port),
                                      "--codec", "mjpeg", "--lifetime", "300"],
                                     stdout=subprocess.PIPE, text=True)
        assert self.proc.stdout.readline().startswith("ready")

    def send(self, signum):
        self.proc.send_signal(signum)

    def kill(self):
        self.proc.kill()
        self.proc.wait(timeout=30)

    def restart_once_gone(self, seconds=15):
        """ffmpeg serves one client: once that one has gone it exits, and a
        camera's server would take the next; so is it started again."""
        self.proc.wait(timeout=seconds)
        self.start()

    def close(self):
        self.send(signal.SIGCONT)
        self.kill()


class Command:
    """`python -m velmar SOURCE -o OUTPUT --no-preview ARGS`, its standard
    error read on a thread, each line with the monotonic time it came."""

    def __init__(self, source, output, *args):
        self.proc = subprocess.Popen([sys.executable, "-m", "velmar", source, "-o", str(output),
                                      "--no-preview", *args],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        self.lines: list[tuple[float, str]] = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.proc.stderr:
            self.lines.append((time.monotonic(), line.rstrip("\n")))

    def line_time(self, text, seconds) -> float:
        """When a line holding `text` came, waiting up to `seconds` for it."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            found = [moment for moment, line in self.lines if text in line]
            if found:
                return found[0]
            time.sleep(0.05)
        raise AssertionError(f"no line with {text!r} in {seconds} s: {self.lines}")

    def end(self, signum=None, seconds=30) -> tuple[int, float]:
        """Its exit status, and the seconds it took after `signum`."""
        sent = time.monotonic()
        if signum is not None:
            self.proc.send_signal(signum)
        try:
            status = self.proc.wait(timeout=seconds)
        finally:
            self.proc.kill()
        self.reader.join(5)
        return status, time.monotonic() - sent


def wait_for_rows(log, rows, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if log.exists() and len(log.read_text().splitlines()) > rows:
            return
        time.sleep(0.05)
    raise AssertionError(f"{log} did not get {rows} rows in time")
