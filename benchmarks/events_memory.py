"""Resident memory along one long motion-event recording: it must stay flat.

One `velmar.record(0, keep="motion", before=2, after=2, min_event=0.5,
codec="mjpg", timestamps="rate", reconnect=False)` through a scripted camera: `cv2` as the
engine sees it forwards everything to OpenCV but `VideoCapture`, which gives
160x120 frames at 25 fps, still but for a block moving for 2 s (an event)
and one moving for 0.2 s (too short to be one) in every 16 s. Prints
resident memory every 10,000 frames read (a tenth of the frames when that is
fewer; from the progress reports) and at the end.

    python benchmarks/events_memory.py [--frames N] [--tiny]

--tiny runs 3,000 frames: a smoke run.
"""

import argparse
import sys
import tempfile
import time
from pathlib import Path

import cv2
import numpy as np

import velmar
import velmar._engine

sys.path.insert(0, str(Path(__file__).resolve().parent))
from session_overhead import rss_mib  # noqa: E402

WIDTH, HEIGHT, RATE = 160, 120, 25
CYCLE = 16 * RATE            # frames from one event's start to the next
EVENT, FLICKER = 2 * RATE, 5  # frames of motion: an event, and a spell too short for one
EVERY = 10_000               # frames read between two memory prints, at most


def cycle_frames():
    """One cycle of frames: one still array shared by the still frames, so the
    script itself holds little memory."""
    still = cv2.cvtColor(np.tile(np.linspace(40, 160, WIDTH, dtype=np.uint8), (HEIGHT, 1)),
                         cv2.COLOR_GRAY2BGR)

    def moved(step):
        frame = still.copy()
        x = 10 + 2 * step
        frame[40:80, x:x + 40] = 240
        return frame

    frames = [still] * CYCLE
    frames[:EVENT] = [moved(step) for step in range(EVENT)]
    half = CYCLE // 2
    frames[half:half + FLICKER] = [moved(step) for step in range(FLICKER)]
    return frames


class ScriptedCapture:
    """A camera giving `total` frames of `frames`, over and over."""

    def __init__(self, frames, total):
        self.frames, self.total, self.read_count = frames, total, 0

    def isOpened(self):
        return True

    def get(self, prop):
        return {cv2.CAP_PROP_FPS: float(RATE), cv2.CAP_PROP_FRAME_COUNT: float(self.total),
                cv2.CAP_PROP_FRAME_WIDTH: float(WIDTH), cv2.CAP_PROP_FRAME_HEIGHT: float(HEIGHT),
                cv2.CAP_PROP_POS_MSEC: max(self.read_count - 1, 0) * 1000.0 / RATE}.get(prop, 0.0)

    def set(self, prop, value):
        return False

    def read(self):
        if self.read_count == self.total:
            return False, None
        frame = self.frames[self.read_count % len(self.frames)]
        self.read_count += 1
        return True, frame

    def release(self):
        pass


class ScriptedCv2:
    """OpenCV, but for a VideoCapture that is the scripted camera."""

    def __init__(self, capture):
        self.capture = capture

    def __getattr__(self, name):
        return getattr(cv2, name)

    def VideoCapture(self, *args):
        return self.capture


class MemoryPrinter:
    """The progress callback: resident memory once past each `every` frames
    (progress comes at most ten times a second, not on exact counts)."""

    def __init__(self, every):
        self.every = self.next = every

    def __call__(self, progress):
        if progress.frames_read >= self.next:
            print(f"  {progress.frames_read:>9} {rss_mib():9.1f}", flush=True)
            self.next = (progress.frames_read // self.every + 1) * self.every


def long_recording(total):
    original = velmar._engine.cv2
    velmar._engine.cv2 = ScriptedCv2(ScriptedCapture(cycle_frames(), total))
    try:
        with tempfile.TemporaryDirectory() as folder:
            print(f"{total} frames of {WIDTH}x{HEIGHT} at {RATE} fps; resident memory (MiB) "
                  f"by frames read:\n  {'frames':>9} {'MiB':>9}\n  {0:>9} {rss_mib():9.1f}",
                  flush=True)
            start = time.perf_counter()
            result = velmar.record(0, Path(folder) / "events.avi", keep="motion", before=2,
                                   after=2, min_event=0.5, codec="mjpg", timestamps="rate",
                                   reconnect=False,  # the scripted camera's end is the end
                                   progress=MemoryPrinter(min(EVERY, max(total // 10, 1))))
            elapsed = time.perf_counter() - start
            print(f"  {'end':>9} {rss_mib():9.1f}")
    finally:
        velmar._engine.cv2 = original
    print(f"{result.frames_read} frames read in {elapsed:.1f} s, {result.frames_kept} kept, "
          f"{len(result.events)} events, stop: {result.stop}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--frames", type=int, default=100_000)
    parser.add_argument("--tiny", action="store_true", help="3,000 frames: a smoke run")
    options = parser.parse_args()
    long_recording(3_000 if options.tiny else options.frames)


if __name__ == "__main__":
    main()
