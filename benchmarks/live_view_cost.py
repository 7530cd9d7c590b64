"""What the live view costs a recording, and what a slow client costs it.

a. Microseconds the recording's thread spends on each kept frame for the
   live view: when no picture is due (most frames), and when one is (a small
   copy, at most 640 wide), at 720p and 1080p.
b. Keep-all at 1280x720 with H.264 output, a 720p H.264 clip: record()'s
   median milliseconds per frame plain; with the live view's feed and
   server and no client; with one client reading the MJPEG stream; with one
   client that asks for the stream and never reads. The frames kept are
   listed beside: they must be all of them in every row.

    python benchmarks/live_view_cost.py [--repeat N] [--tiny]

Runs are interleaved, their order turning each repetition. The clip is made
once with PyAV into benchmarks/.cache/ (or $VELMAR_BENCH_CACHE). --tiny runs
a 160x120 clip of 25 frames once: a smoke run.
"""

import socket
import sys
import tempfile
import threading
import time
from pathlib import Path

import cv2
import numpy as np

import velmar
from velmar.live.board import Board
from velmar.live.feed import Feed, jpeg, small_copy
from velmar.live.server import LiveServer

sys.path.insert(0, str(Path(__file__).resolve().parent))
from detection_speed import interleaved, make_quiet_clip, run_settings  # noqa: E402
from record_speed import load  # noqa: E402


def frame_costs(sizes, repeat):
    print(f"\na. the recording's thread, microseconds per kept frame, median of {repeat} "
          f"({load()})")
    print(f"{'size':>9}  {'not due':>8}  {'due':>8}  {'JPEG bytes':>10}")
    for width, height in sizes:
        image = np.random.default_rng(1).integers(0, 256, (height, width, 3), dtype=np.uint8)
        image = cv2.GaussianBlur(image, (9, 9), 0)
        feed = Feed(lambda report: None, pictures_per_second=1e-9)  # never due after the first
        feed.frame(image)

        def not_due(count=2000):
            start = time.perf_counter()
            for _ in range(count):
                feed.frame(image)
            return (time.perf_counter() - start) / count * 1e6

        def due(count=50):
            start = time.perf_counter()
            for _ in range(count):
                small_copy(image)
            return (time.perf_counter() - start) / count * 1e6
        times = interleaved({"not due": not_due, "due": due}, repeat)
        feed.close()
        size = len(jpeg(small_copy(image)))
        print(f"{width:>4}x{height:<4}  {times['not due']:8.2f}  {times['due']:8.1f}  {size:10d}")


class Watched:
    """A live view of one camera on loopback, with the clients asked for."""

    def __init__(self, clients):
        self.board = Board(["bench"])
        self.server = LiveServer(self.board, ("127.0.0.1", 0))
        url = self.server.start()
        self.host, self.port = url.split("//")[1].rstrip("/").split(":")
        self.feed = Feed(lambda report: self.board.receive("bench", report))
        self.sockets, self.reading = [], True
        for kind in clients:
            self._client(kind)

    def _client(self, kind):
        connection = socket.create_connection((self.host, int(self.port)))
        if kind == "stalled":
            connection.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        connection.sendall(b"GET /camera/bench/stream.mjpg HTTP/1.1\r\nHost: x\r\n\r\n")
        self.sockets.append(connection)
        if kind == "reading":
            threading.Thread(target=self._read, args=(connection,), daemon=True).start()

    def _read(self, connection):
        connection.settimeout(0.5)
        while self.reading:
            try:
                connection.recv(1 << 16)
            except OSError:
                pass

    def close(self):
        self.feed.close()
        self.reading = False
        for connection in self.sockets:
            connection.close()
        self.server.stop()


def record_ms(clip, clients):
    watched = None if clients is None else Watched(clients)
    with tempfile.TemporaryDirectory() as folder:
        start = time.perf_counter()
        try:
            result = velmar.record(clip, f"{folder}/out.mp4",
                                   observer=None if watched is None else watched.feed,
                                   progress=None if watched is None else watched.feed.progress)
        finally:
            if watched is not None:
                watched.close()
        return (time.perf_counter() - start) / result.frames_read * 1e3, result.frames_kept


def recording_costs(size, frames, repeat):
    width, height = size
    clip = make_quiet_clip(width, height, frames)
    print(f"\nb. keep-all {width}x{height}, H.264 out; ms per frame read, median of {repeat} "
          f"({load()})")
    runs = {"plain": lambda: record_ms(clip, None),
            "live view, no client": lambda: record_ms(clip, ()),
            "one reading client": lambda: record_ms(clip, ("reading",)),
            "one stalled client": lambda: record_ms(clip, ("stalled",))}
    times = interleaved(runs, repeat, pairs=True)
    base = times["plain"][0]
    print(f"{'run':<22} {'ms/frame':>9} {'ratio':>6} {'kept':>5}")
    for name, (ms, kept) in times.items():
        print(f"{name:<22} {ms:9.2f} {ms / base:6.3f} {kept:5d}")


def main():
    sizes, frames, repeat = run_settings(__doc__)
    frame_costs(sizes, repeat)
    recording_costs(sizes[0], frames, repeat)


if __name__ == "__main__":
    main()
