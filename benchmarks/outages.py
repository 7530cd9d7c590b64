"""What outages of a live stream cost: a real HTTP stream (Debian's ffmpeg on
loopback, 320x240 H.264 at 25 fps, a keyframe a second) killed and started
again N times while `velmar.record()` records it, down for D seconds each
time. Prints each outage's length against the server's downtime (the
difference is the server's own start and the wait, under a quarter second,
before the attempt that found it back), then resident memory and
the process's threads after the first and the last outage: both must stay
flat, as every capture left to a blocked read is released.

    python benchmarks/outages.py [--cycles N] [--down SECONDS] [--tiny]

--tiny: two outages, a smoke run.
"""

import argparse
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import velmar


def rss_mib() -> float:
    with open("/proc/self/status") as status:
        kib = next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))
    return kib / 1024


def threads() -> int:
    return len(os.listdir("/proc/self/task"))


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_clip(path: Path) -> None:
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25",
                    "-t", "8", "-c:v", "libx264", "-preset", "ultrafast", "-g", "25", str(path)],
                   check=True, timeout=60)


def serve(clip: Path, port: int) -> subprocess.Popen:
    return subprocess.Popen(["ffmpeg", "-v", "quiet", "-re", "-stream_loop", "-1", "-i", str(clip),
                             "-c", "copy", "-f", "mpegts", "-listen", "1",
                             f"http://127.0.0.1:{port}/x.ts"])


def drop_and_restart(clip, port, server, cycles, down, samples, reading):
    """Kills and restarts the server `cycles` times, then ends the recording."""
    reading.wait(30)
    for _ in range(cycles):
        time.sleep(3)
        server[0].kill()
        server[0].wait()
        time.sleep(down)
        server[0] = serve(clip, port)
        samples.append((time.monotonic(), rss_mib(), threads()))
    time.sleep(3)
    samples.append((time.monotonic(), rss_mib(), threads()))
    os.kill(os.getpid(), signal.SIGTERM)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--cycles", type=int, default=20)
    parser.add_argument("--down", type=float, default=0.5)
    parser.add_argument("--tiny", action="store_true")
    args = parser.parse_args()
    cycles = 2 if args.tiny else args.cycles
    with tempfile.TemporaryDirectory() as folder:
        clip, port = Path(folder) / "live.mp4", free_port()
        make_clip(clip)
        server = [serve(clip, port)]
        time.sleep(0.3)
        samples, reading = [], threading.Event()
        worker = threading.Thread(target=drop_and_restart, daemon=True,
                                  args=(clip, port, server, cycles, args.down, samples, reading))
        worker.start()
        try:
            result = velmar.record(f"http://127.0.0.1:{port}/x.ts", Path(folder) / "live.mkv",
                                   progress=lambda p: p.frames_read and reading.set())
        finally:
            server[0].kill()
            server[0].wait()
    lengths = [outage.seconds for outage in result.outages]
    print(f"{len(lengths)} outages of a server down {args.down:.1f} s each; stop: {result.stop}; "
          f"{len(result.files)} files, {result.frames_kept} frames")
    print(f"  outage length (s): min {min(lengths):.2f}, mean {sum(lengths) / len(lengths):.2f}, "
          f"max {max(lengths):.2f}; attempts: {sorted({o.attempts for o in result.outages})}")
    (_, first_rss, first_threads), (_, last_rss, last_threads) = samples[0], samples[-1]
    print(f"  resident memory (MiB): {first_rss:.1f} after the first, {last_rss:.1f} at the end")
    print(f"  threads: {first_threads} after the first, {last_threads} at the end")


if __name__ == "__main__":
    sys.exit(main())
