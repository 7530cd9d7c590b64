"""What `velmar.record()` costs beyond the exact `vcapture` entry.

Both run the same native capture engine; record() adds, once per recording,
keyword checks, a codec probe (a temporary writer), a folder check, signal
handlers and a result. For each keep mode ("all", "motion", "interval" at
0.5 s) and input size, runs vcapture and record() with the same settings
(MJPG, no preview, no stamp, whole frame), interleaved, each run into a fresh
temporary folder. Prints frames per second of each (median, min and max over
the repetitions), the ratio of record()'s median time to vcapture's
(wall-clock and processor time), the one-off difference (measured on a
1-frame clip) and the per-frame difference: the difference on the full clip
less the one-off one, divided by the frames.

    python benchmarks/record_overhead.py [--repeat N] [--threads N] [--tiny]
    python benchmarks/record_overhead.py --once ENTRY MODE FRAMES

Clips are drawn once into benchmarks/.cache/ (or $VELMAR_BENCH_CACHE) by
session_overhead.py's code. --tiny runs a small clip once (a smoke run).
--once runs a single session of one entry on a 640x480 clip, to be counted
from outside (instructions under valgrind), where timings are too noisy.
"""

import argparse
import statistics
import sys
import tempfile
import time
from pathlib import Path

import cv2
import numpy as np

import velmar
import velmar.ccapture as ccapture

# The clips, their cache and the motion settings are session_overhead.py's.
sys.path.insert(0, str(Path(__file__).resolve().parent))
from session_overhead import INTERVAL, KERNEL, MIN_AREA, THRESHOLD, make_clip, rss_mib  # noqa: E402

MODES = ("all", "motion", "interval")
ENTRIES = ("vcapture", "record")


def vcapture_args(clip, output, width, height, mode):
    black = np.zeros(3, dtype=np.int32)
    white = np.full(3, 255, dtype=np.int32)
    return (str(clip), str(output), "MJPG", -1, False, 0, 0, 0, 0, width, height,
            INTERVAL if mode == "interval" else 0.0, 0.0, 0, mode == "motion", False,
            THRESHOLD, MIN_AREA, KERNEL, False, False, black, white, 10, 20, 0.5)


def run_once(entry, clip, width, height, mode):
    """Wall-clock and processor seconds of one session, and frames kept.
    The fresh folder is made and removed outside the timing."""
    with tempfile.TemporaryDirectory() as folder:
        output = Path(folder) / "out.avi"
        start, start_cpu = time.perf_counter(), time.process_time()
        if entry == "vcapture":
            ccapture.vcapture(*vcapture_args(clip, output, width, height, mode))
        else:
            # MJPG through OpenCV and no read-ahead: the same work as vcapture.
            velmar.record(clip, output, keep=mode, interval=INTERVAL, region=None,
                          threshold=THRESHOLD, min_area=MIN_AREA, kernel_width=KERNEL,
                          codec="mjpg", read_ahead=False)
        wall, cpu = time.perf_counter() - start, time.process_time() - start_cpu
        log = Path(str(output) + ".csv")
        # record() makes no file when it keeps no frame.
        kept = len(log.read_text().splitlines()) - 1 if log.exists() else 0
    return wall, cpu, kept


def measure(clip, width, height, mode, repeat):
    """times[entry] = list of (wall, cpu, kept), one per repetition; the two
    entries alternate which goes first."""
    times = {entry: [] for entry in ENTRIES}
    for r in range(repeat):
        for entry in ENTRIES if r % 2 == 0 else ENTRIES[::-1]:
            times[entry].append(run_once(entry, clip, width, height, mode))
    return times


def paired_difference(times, column):
    """Median over repetitions of record()'s time minus vcapture's in the same
    repetition: slow drifts of the machine, shared by neighbours, cancel."""
    return statistics.median(rec[column] - vc[column]
                             for rec, vc in zip(times["record"], times["vcapture"]))


def summary(fps):
    return f"{statistics.median(fps):6.1f} ({min(fps):5.1f}-{max(fps):5.1f})"


def overhead_table(sizes, frames, repeat):
    one_off_repeat = 4 * repeat
    print(f"OpenCV {cv2.__version__}, {cv2.getNumThreads()} threads; {frames} frames per clip, "
          f"{repeat} interleaved repetitions (one-off cost: 1-frame clip, {one_off_repeat}); "
          f"frames per second: median (min-max)")
    print(f"{'mode':<9}{'size':>10}  {'vcapture fps':>21}  {'record() fps':>21}  "
          f"{'ratio wall/cpu':>14}  {'one-off wall/cpu':>16}  {'per frame wall/cpu':>18}  "
          f"{'kept v/r':>9}  {'RSS MiB':>11}")
    ccapture.print = lambda *args: None  # vcapture's console lines are not measured
    try:
        for width, height in sizes:
            clip, single = make_clip(width, height, frames), make_clip(width, height, 1)
            # The first session of each entry pays for imports and codec start-up.
            for entry in ENTRIES:
                run_once(entry, clip, width, height, "all")
            for mode in MODES:
                before = rss_mib()
                one_off = measure(single, width, height, mode, one_off_repeat)
                times = measure(clip, width, height, mode, repeat)
                after = rss_mib()
                med = {e: [statistics.median(run[c] for run in times[e]) for c in (0, 1)]
                       for e in ENTRIES}
                ratio = [med["record"][c] / med["vcapture"][c] for c in (0, 1)]
                fps = {e: [frames / run[0] for run in times[e]] for e in ENTRIES}
                fixed = [paired_difference(one_off, c) for c in (0, 1)]
                per_frame = [(paired_difference(times, c) - fixed[c]) / frames for c in (0, 1)]
                kept = [times[e][0][2] for e in ENTRIES]
                print(f"{mode:<9}{width:>5}x{height:<4}  {summary(fps['vcapture']):>21}  "
                      f"{summary(fps['record']):>21}  {ratio[0]:6.3f}/{ratio[1]:.3f}  "
                      f"{fixed[0] * 1e3:+6.2f}/{fixed[1] * 1e3:+5.2f} ms  "
                      f"{per_frame[0] * 1e6:+7.1f}/{per_frame[1] * 1e6:+6.1f} us  "
                      f"{kept[0]:>4}/{kept[1]:<4}  {before:5.1f}/{after:.1f}", flush=True)
    finally:
        del ccapture.print


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--threads", type=int, help="OpenCV worker threads")
    parser.add_argument("--tiny", action="store_true", help="a small clip, once: a smoke run")
    parser.add_argument("--once", nargs=3, metavar=("ENTRY", "MODE", "FRAMES"),
                        help="one session of vcapture or record, 640x480, nothing printed")
    options = parser.parse_args()
    if options.threads:
        cv2.setNumThreads(options.threads)
    if options.once:
        entry, mode, frames = options.once
        if entry not in ENTRIES or mode not in MODES:
            parser.error(f"--once takes one of {ENTRIES}, one of {MODES} and a frame count")
        ccapture.print = lambda *args: None
        run_once(entry, make_clip(640, 480, int(frames)), 640, 480, mode)
    elif options.tiny:
        overhead_table([(64, 48)], 130, 1)
    else:
        overhead_table([(640, 480), (1280, 720)], 600, options.repeat)


if __name__ == "__main__":
    main()
