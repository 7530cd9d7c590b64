"""What a vcapture session costs beyond OpenCV's own work.

For each keep mode (every frame, motion-based, time-lapse) and input size, runs
vcapture and a bare loop, interleaved: a plain Python function that makes only
the OpenCV calls of that mode (read, crop copy, grey conversion, blur,
difference, threshold, dilate, contours, areas, write), with no CSV, no
names and no timestamps. Prints frames per second of each (median, min and
max over the repetitions), the ratio of vcapture's time to the bare loop's
(wall-clock and processor time, medians), the time vcapture adds per frame,
and resident memory before and after.

    python benchmarks/session_overhead.py [--repeat N] [--threads N] [--tiny] [--long FRAMES]

Inputs are drawn once into benchmarks/.cache/ (or $VELMAR_BENCH_CACHE). --tiny runs a small clip once
(a smoke run); --long FRAMES runs one session of that many frames through a
scripted capture that replays a short clip and prints resident memory along
the way.
"""

import argparse
import os
import statistics
import tempfile
import time
import types
from pathlib import Path

import cv2
import numpy as np

import velmar.ccapture as ccapture

CACHE = Path(os.environ.get("VELMAR_BENCH_CACHE", Path(__file__).resolve().parent / ".cache"))
THRESHOLD, MIN_AREA, KERNEL = 25, 500, 21
INTERVAL = 0.5


def rss_mib():
    pages = int(Path("/proc/self/statm").read_text().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE") / 2**20


def draw_frame(i, width, height, background):
    """Quiet for 60 frames, then a moving block for 60, and so on."""
    frame = background.copy()
    if (i // 60) % 2:
        size = height // 6
        x = (i * 7) % (width - size)
        cv2.rectangle(frame, (x, height // 3), (x + size, height // 3 + size), (240, 240, 240), -1)
    return frame


def make_clip(width, height, frames):
    path = CACHE / f"clip_{width}x{height}_{frames}.avi"
    if path.exists():
        return path
    CACHE.mkdir(exist_ok=True)
    ramp = np.tile(np.linspace(40, 160, width, dtype=np.uint8), (height, 1))
    background = cv2.cvtColor(ramp, cv2.COLOR_GRAY2BGR)
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"MJPG"), 30, (width, height))
    for i in range(frames):
        writer.write(draw_frame(i, width, height, background))
    writer.release()
    return path


def session_args(clip, output, width, height, mode):
    colour = np.zeros(3, dtype=np.int32)
    return (str(clip), str(output), "MJPG", -1, False, 0, 0, 0, 0, width, height,
            INTERVAL if mode == "time-lapse" else 0.0, 0.0, 0, mode == "motion", False,
            THRESHOLD, MIN_AREA, KERNEL, False, False, colour, colour, 10, 20, 0.5)


def bare_loop(clip, output, width, height, mode):
    """The OpenCV calls of one session of `mode`, from plain Python."""
    cap = cv2.VideoCapture(str(clip))
    fps = int(cap.get(cv2.CAP_PROP_FPS))
    writer = cv2.VideoWriter(str(output), cv2.VideoWriter_fourcc(*"MJPG"), fps, (width, height))
    prev = np.zeros((height, width), np.uint8)
    cur = np.zeros((height, width), np.uint8)
    every = round(INTERVAL * fps)
    count = 0
    while True:
        frame = cap.read()[1]
        if frame is None:
            break
        count += 1
        roi = frame[0:height, 0:width].copy()
        if mode == "motion":
            gray = cv2.cvtColor(roi, cv2.COLOR_BGR2GRAY)
            cur[:, :] = cv2.GaussianBlur(gray, (KERNEL, KERNEL), 0)
            delta = cv2.absdiff(cur, prev)
            mask = cv2.threshold(delta, THRESHOLD, 255, cv2.THRESH_BINARY)[1]
            mask = cv2.dilate(mask, None, iterations=2)
            contours = cv2.findContours(mask, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)[0]
            moving = [c for c in contours if cv2.contourArea(c) > MIN_AREA]
            if not moving:
                continue
            prev[:, :] = cur
        elif mode == "time-lapse" and (count - 1) % every:
            continue
        writer.write(roi)
    writer.release()
    cap.release()
    return count


def measure(clip, width, height, mode, repeat, folder):
    frames = int(cv2.VideoCapture(str(clip)).get(cv2.CAP_PROP_FRAME_COUNT))
    runs = {"vcapture": [], "bare": []}
    cpu = {"vcapture": [], "bare": []}
    before = rss_mib()
    for r in range(repeat):
        order = ["vcapture", "bare"] if r % 2 == 0 else ["bare", "vcapture"]
        for kind in order:
            output = folder / f"{kind}_{mode}_{width}_{r}.avi"
            start, start_cpu = time.perf_counter(), time.process_time()
            if kind == "vcapture":
                ccapture.vcapture(*session_args(clip, output, width, height, mode))
            else:
                bare_loop(clip, output, width, height, mode)
            runs[kind].append(time.perf_counter() - start)
            cpu[kind].append(time.process_time() - start_cpu)
    after = rss_mib()
    fps = {kind: [frames / t for t in times] for kind, times in runs.items()}
    med = {kind: statistics.median(times) for kind, times in runs.items()}
    med_cpu = {kind: statistics.median(times) for kind, times in cpu.items()}
    ratios = (med["vcapture"] / med["bare"], med_cpu["vcapture"] / med_cpu["bare"])
    added = (med_cpu["vcapture"] - med_cpu["bare"]) / frames
    return fps, ratios, added, before, after


def summary(fps):
    return f"{statistics.median(fps):7.1f} ({min(fps):6.1f}-{max(fps):6.1f})"


def overhead_table(sizes, frames, repeat):
    print(f"OpenCV {cv2.__version__}, {cv2.getNumThreads()} threads; {frames} frames per clip, "
          f"{repeat} interleaved repetitions; frames per second: median (min-max)")
    print(f"{'mode':<11}{'size':>10}  {'vcapture fps':>24}  {'bare loop fps':>24}  "
          f"{'ratio wall/cpu':>14}  {'added/frame':>11}  {'RSS MiB before/after':>20}")
    ccapture.print = lambda *args: None  # the session's console lines are not measured
    with tempfile.TemporaryDirectory() as folder:
        for width, height in sizes:
            clip = make_clip(width, height, frames)
            for mode in ("every", "motion", "time-lapse"):
                fps, ratios, added, before, after = measure(clip, width, height, mode, repeat,
                                                            Path(folder))
                print(f"{mode:<11}{width:>5}x{height:<4}  {summary(fps['vcapture']):>24}  "
                      f"{summary(fps['bare']):>24}  {ratios[0]:6.3f}/{ratios[1]:.3f}  "
                      f"{added * 1e6:8.1f} us  {before:9.1f}/{after:<9.1f}", flush=True)
                for name in os.listdir(folder):
                    os.remove(os.path.join(folder, name))
    del ccapture.print


class ReplayCv2(types.SimpleNamespace):
    """OpenCV whose capture replays `frames` until `total` have been read,
    noting resident memory every `every` reads."""

    def __init__(self, frames, total, every, samples):
        super().__init__(**{name: getattr(cv2, name) for name in dir(cv2)
                            if not name.startswith("_") and name != "VideoCapture"})
        self.frames, self.total, self.every, self.samples = frames, total, every, samples

    def VideoCapture(self, source):
        count = iter(range(self.total + 1))
        outer = self

        class Replay:
            def isOpened(self):
                return True

            def get(self, prop):
                return {cv2.CAP_PROP_FPS: 30.0, cv2.CAP_PROP_FRAME_COUNT: float(outer.total)}.get(prop, 0.0)

            def read(self):
                i = next(count)
                if i % outer.every == 0:
                    outer.samples.append((i, rss_mib()))
                if i == outer.total:
                    return False, None
                return True, outer.frames[i % len(outer.frames)]

            def release(self):
                pass

        return Replay()


def long_session(total):
    width, height = 160, 120
    clip = make_clip(width, height, 120)
    cap = cv2.VideoCapture(str(clip))
    frames = []
    while (frame := cap.read()[1]) is not None:
        frames.append(frame)
    samples = []
    original = ccapture.cv2
    ccapture.cv2 = ReplayCv2(frames, total, max(total // 10, 1), samples)
    try:
        with tempfile.TemporaryDirectory() as folder:
            args = list(session_args(clip, Path(folder) / "long.avi", width, height, "motion"))
            args[13] = 10_000  # max_frames: a new output set every 9,999 kept frames
            args[14] = False   # every frame kept: the most rows, names and files
            ccapture.print = lambda *args: None
            start = time.perf_counter()
            read = ccapture.vcapture(*args)
            elapsed = time.perf_counter() - start
    finally:
        ccapture.cv2 = original
        del ccapture.print
    print(f"long session: {read} frames in {elapsed:.1f} s; resident memory (MiB) by frames read:")
    for i, rss in samples:
        print(f"  {i:>8} {rss:8.1f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--threads", type=int, help="OpenCV worker threads")
    parser.add_argument("--tiny", action="store_true", help="a small clip, once: a smoke run")
    parser.add_argument("--long", type=int, metavar="FRAMES", help="one long replayed session")
    options = parser.parse_args()
    if options.threads:
        cv2.setNumThreads(options.threads)
    if options.long:
        long_session(options.long)
    elif options.tiny:
        overhead_table([(64, 48)], 130, 1)
    else:
        overhead_table([(640, 480), (1280, 720)], 300, options.repeat)


if __name__ == "__main__":
    main()
