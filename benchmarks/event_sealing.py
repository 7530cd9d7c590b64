"""What putting each event of a live source into its file as it ends costs.

A live motion recording drains its encoder and closes the fragment under way
as each event ends, so that the event is on disk whatever comes next; the
next event starts from a keyframe. The same clip, with an event every few
seconds, is recorded twice with the same options: served live on loopback
by FFmpeg (`-re`), and read as a file, whose events are not drained. For
each: events, frames kept, bytes per kept frame, and the processor time of
the recording process per frame read.

    python benchmarks/event_sealing.py [--seconds S] [--tiny]

The clip (640x360, 25 fps: a textured still scene with fresh grain, a box
crossing it for 1.6 s every 4 s) is encoded once with PyAV into
benchmarks/.cache/ (or $VELMAR_BENCH_CACHE). --tiny records 4 s: a smoke run.
"""

import argparse
import os
import resource
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import av
import numpy as np

import velmar

sys.path.insert(0, str(Path(__file__).resolve().parent))
from record_speed import background, load  # noqa: E402
from session_overhead import CACHE  # noqa: E402

RATE, SIZE = 25, (640, 360)
EVENT_EVERY, EVENT_FRAMES = 100, 40
OPTIONS = ["--motion", "--before", "0.5", "--after", "0.5", "--no-preview", "-q"]


def make_clip(seconds: int) -> Path:
    path = Path(CACHE) / f"events_{seconds}s.mp4"
    if path.exists():
        return path
    path.parent.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(7)
    scene = background(*SIZE, rng)
    with av.open(str(path), "w") as out:
        stream = out.add_stream("libx264", rate=RATE)
        stream.width, stream.height, stream.pix_fmt = *SIZE, "yuv420p"
        stream.options = {"preset": "veryfast", "g": str(RATE)}
        for n in range(seconds * RATE):
            frame = np.clip(scene + rng.integers(-3, 4, scene.shape), 0, 255).astype(np.uint8)
            step = n % EVENT_EVERY
            if step < EVENT_FRAMES:
                x = step * (SIZE[0] - 80) // EVENT_FRAMES
                frame[120:220, x:x + 80] = (40, 200, 250)
            for packet in stream.encode(av.VideoFrame.from_ndarray(frame, format="bgr24")):
                out.mux(packet)
        for packet in stream.encode(None):
            out.mux(packet)
    return path


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def record(source: str, folder: str, *extra: str) -> dict:
    """One recording in a child process: its outputs and processor time."""
    output = os.path.join(folder, "m.mp4")
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run([sys.executable, "-m", "velmar", source, "-o", output, *OPTIONS, *extra],
                   check=True, timeout=600)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    [checked] = velmar.check([output])
    events = (Path(folder) / "m.events.csv").read_text().count("\n") - 1
    return dict(events=events, kept=checked.frames, bytes=os.path.getsize(output),
                cpu=(after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime),
                agree=checked.ok)


def live(clip: Path, folder: str) -> dict:
    port = free_port()
    server = subprocess.Popen(["ffmpeg", "-v", "quiet", "-re", "-i", str(clip), "-c", "copy",
                               "-f", "mpegts", "-listen", "1", f"http://127.0.0.1:{port}/x.ts"])
    try:
        time.sleep(0.3)
        return record(f"http://127.0.0.1:{port}/x.ts", folder, "--no-reconnect")
    finally:
        server.kill()
        server.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=int, default=60)
    parser.add_argument("--tiny", action="store_true", help="4 s of clip: a smoke run")
    options = parser.parse_args()
    seconds = 4 if options.tiny else options.seconds
    clip = make_clip(seconds)
    print(f"{SIZE[0]}x{SIZE[1]}, {seconds} s at {RATE} fps, an event of "
          f"{EVENT_FRAMES / RATE:.1f} s every {EVENT_EVERY / RATE:.0f} s; {load()}")
    print("| source | events | frames kept | bytes per kept frame | cpu ms per frame read "
          "| video and log agree |")
    print("|---|---|---|---|---|---|")
    for name, run in (("live, events drained", live), ("file", record)):
        with tempfile.TemporaryDirectory() as folder:
            found = run(clip if run is live else str(clip), folder)
        print(f"| {name} | {found['events']} | {found['kept']} | "
              f"{found['bytes'] / max(1, found['kept']):.0f} | "
              f"{found['cpu'] * 1000 / (seconds * RATE):.2f} | {found['agree']} |")


if __name__ == "__main__":
    main()
