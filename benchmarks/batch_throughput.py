"""Throughput of `velmar batch` against recording the same clips one after
another.

Three ways, each into a new folder, interleaved over the repetitions:
`velmar CLIP` once per clip in turn (a shell loop), `velmar batch --jobs 1`
and `velmar batch --jobs 2`, all motion-based. Prints the seconds of each
(median, min and max), frames per second, the ratios of throughput, and the
processor time of the processes each way started (median).

    python benchmarks/batch_throughput.py [--repeat N] [--clips N] [--quick]

Clips are drawn once into benchmarks/.cache/ (or $VELMAR_BENCH_CACHE):
640x480, 300 frames, MJPG in .avi, quiet and moving stretches. --quick runs
two small clips once (a smoke run).
"""

import argparse
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import cv2
import numpy as np

CACHE = Path(os.environ.get("VELMAR_BENCH_CACHE", Path(__file__).resolve().parent / ".cache"))
COMMAND = [sys.executable, "-m", "velmar"]


def make_clips(count, width, height, frames):
    folder = CACHE / f"batch_{count}x{width}x{height}_{frames}"
    if folder.is_dir() and len(list(folder.glob("*.avi"))) == count:
        return folder
    folder.mkdir(parents=True, exist_ok=True)
    ramp = np.tile(np.linspace(40, 160, width, dtype=np.uint8), (height, 1))
    background = cv2.cvtColor(ramp, cv2.COLOR_GRAY2BGR)
    size = height // 6
    for clip in range(count):
        writer = cv2.VideoWriter(str(folder / f"clip{clip}.avi"),
                                 cv2.VideoWriter_fourcc(*"MJPG"), 30, (width, height))
        for i in range(frames):
            frame = background.copy()
            if (i // 60) % 2:  # quiet for 60 frames, then a moving block for 60
                x = (i * 7 + clip * 13) % (width - size)
                cv2.rectangle(frame, (x, height // 3), (x + size, height // 3 + size),
                              (240, 240, 240), -1)
            writer.write(frame)
        writer.release()
    return folder


def one_after_another(clips, out):
    for clip in clips:
        subprocess.run([*COMMAND, str(clip), "-o", str(out / f"{clip.stem}.mp4"), "--motion",
                        "--no-preview", "--quiet"], check=True)


def batch(jobs):
    def run(clips, out):
        subprocess.run([*COMMAND, "batch", *map(str, clips), "--output-dir", str(out),
                        "--motion", "--jobs", str(jobs), "--no-progress", "--quiet"], check=True)
    return run


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--clips", type=int, default=8)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    if args.quick:
        args.repeat, args.clips = 1, 2
    width, height, frames = (160, 120, 30) if args.quick else (640, 480, 300)
    clips = sorted(make_clips(args.clips, width, height, frames).glob("*.avi"))
    ways = {"one after another (velmar per clip)": one_after_another,
            "velmar batch --jobs 1": batch(1), "velmar batch --jobs 2": batch(2)}
    seconds = {name: [] for name in ways}
    cpu = {name: [] for name in ways}
    with tempfile.TemporaryDirectory() as scratch:
        for repetition in range(args.repeat):
            for number, (name, way) in enumerate(ways.items()):
                out = Path(scratch) / f"{repetition}-{number}"
                out.mkdir()
                start, used = time.perf_counter(), children_cpu()
                way(clips, out)
                seconds[name].append(time.perf_counter() - start)
                cpu[name].append(children_cpu() - used)
    total = len(clips) * frames
    print(f"{len(clips)} clips of {frames} frames, {width}x{height}, motion-based; "
          f"{args.repeat} repetitions; {os.cpu_count()} cores")
    base = statistics.median(seconds[next(iter(ways))])
    for name, times in seconds.items():
        median = statistics.median(times)
        print(f"{name}: {median:.2f} s ({min(times):.2f}-{max(times):.2f}), "
              f"{total / median:.0f} frames/s, throughput x{base / median:.2f}, "
              f"processor {statistics.median(cpu[name]):.2f} s")


if __name__ == "__main__":
    main()
