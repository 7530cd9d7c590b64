"""Long runs stay flat: record() over thousands of one-second clock segments
of a small clip, reporting, for each stretch of segments, the milliseconds
per frame, the resident memory and the open descriptors as the recording
goes.

    python benchmarks/segments_flat.py [--segments N] [--tiny]

The clip (64x48, 25 fps, frames of fresh noise) is written once into
benchmarks/.cache/ (or $VELMAR_BENCH_CACHE); its frames are stamped from a
fixed start at their own rate, so a segment is 25 frames. --tiny records 40
segments: a smoke run.
"""

import argparse
import os
import resource
import sys
import tempfile
import time
from datetime import datetime
from pathlib import Path

import cv2
import numpy as np

import velmar

sys.path.insert(0, str(Path(__file__).resolve().parent))
from session_overhead import CACHE  # noqa: E402

RATE = 25


def make_clip(frames: int) -> Path:
    path = CACHE / f"noise_64x48_{frames}.avi"
    if path.exists():
        return path
    CACHE.mkdir(parents=True, exist_ok=True)
    partial = path.with_suffix(".partial.avi")
    writer = cv2.VideoWriter(str(partial), cv2.VideoWriter_fourcc(*"MJPG"), RATE, (64, 48))
    rng = np.random.default_rng(3)
    for _ in range(frames):
        writer.write(rng.integers(0, 256, (48, 64, 3), dtype=np.uint8))
    writer.release()
    partial.rename(path)
    return path


def resident_mib() -> float:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize() / 2**20


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--segments", type=int, default=2000)
    parser.add_argument("--tiny", action="store_true")
    options = parser.parse_args()
    segments = 40 if options.tiny else options.segments
    clip = make_clip(segments * RATE)
    stretch = max(1, segments // 10) * RATE  # frames between two marks
    marks = []

    def progress(report):  # called about ten times a second
        if report.frames_read >= (len(marks) + 1) * stretch:
            marks.append((report.frames_read, time.perf_counter(), resident_mib(),
                          len(os.listdir("/proc/self/fd"))))

    print(f"velmar {velmar.__version__}: {segments} segments of {RATE} frames, 64x48 H.264")
    with tempfile.TemporaryDirectory() as folder:
        start = time.perf_counter()
        result = velmar.record(clip, os.path.join(folder, "%H-%M-%S.mp4"), segment=1,
                               timestamps="rate", start=datetime(2026, 12, 8, 6),
                               progress=progress)
        marks.insert(0, (0, start, None, None))
        print(f"{len(result.files)} files, {result.frames_kept} frames, "
              f"{time.perf_counter() - start:.1f} s")
    print(f"{'segments':>9s} {'ms/frame':>9s} {'RSS MiB':>8s} {'fds':>4s}")
    for (before, t0, _, _), (read, t1, rss, fds) in zip(marks, marks[1:]):
        print(f"{read // RATE:9d} {(t1 - t0) / (read - before) * 1e3:9.3f} {rss:8.1f} {fds:4d}")


if __name__ == "__main__":
    main()
