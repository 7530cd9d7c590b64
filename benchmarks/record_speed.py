"""How fast `velmar.record()` records H.264 clips: against decoding alone, per
codec and encoder preset, and what the padding of motion events costs.

a. For each keep mode ("all", "motion" with a small region, "interval" of
   1 s) on a 720p and a 1080p H.264 clip: record()'s median wall-clock time
   over that of decoding the same file alone (a `cv2.VideoCapture` read
   loop with OpenCV's defaults), with and without read-ahead; keep-all also
   with codec="mjpg", to compare speed and file size; decoding with only the
   motion check of the region, in plain Python (the part of keep="motion" no
   writer adds); and decoding alone with the frame threads record() asks
   for.
b. Keep-all on the 720p clip per codec and preset: milliseconds per frame
   (wall-clock and processor, decoding included), bytes per frame written
   and the mean PSNR of the frames written against the clip's.
c. keep="motion" with the small region on the 720p clip, with H.264 and with
   MJPG: microseconds per frame read that before=2, after=2, min_event=0.5
   add to no padding (median of the differences within a repetition), and
   that divided among the frames the padding keeps in addition.

    python benchmarks/record_speed.py [--repeat N] [--tiny]

The runs of a table are interleaved, their order turning by one each
repetition, so that all see the same machine load; each writes into a fresh
temporary folder. Clips (25 fps, 500 frames: a textured patch moving over a
textured background with fresh noise in every frame) are encoded once with
PyAV into benchmarks/.cache/ (or $VELMAR_BENCH_CACHE). --tiny runs a 160x120
clip of 25 frames once: a smoke run.
"""

import argparse
import functools
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path
from typing import NamedTuple

import av
import cv2
import numpy as np

import velmar
from velmar.recording.opening import frame_threads, open_file

# The clip cache and motion settings are session_overhead.py's, the motion
# check in plain Python motion_check_call.py's.
sys.path.insert(0, str(Path(__file__).resolve().parent))
from motion_check_call import python_check  # noqa: E402
from session_overhead import CACHE, MIN_AREA, THRESHOLD  # noqa: E402

RATE = 25
REAL_TIME_MS = 1000 / RATE
OPENCV_CODECS = ("mjpg", "mp4v", "ffv1")
PADDING = dict(before=2, after=2, min_event=0.5)
# Keep-all per codec; speed None is the codec's default preset.
CODECS = [("h264", None), ("h264", "ultrafast"), ("h264", "superfast"), ("h264", "faster"),
          ("h265", None), ("h265", "superfast"), ("av1", None), ("av1", 12),
          ("mjpg", None), ("mp4v", None), ("ffv1", None)]
DEFAULT_SPEED = {"h264": "veryfast", "h265": "ultrafast", "av1": "10"}


class Run(NamedTuple):
    wall: float  # seconds
    cpu: float   # seconds of processor time, all threads
    read: int
    kept: int
    bytes: int   # of the videos written


def background(width, height, rng):
    """Blotches and fine grain, between 40 and 200: texture the encoders must code."""
    blotches = rng.integers(0, 256, (height // 40 + 2, width // 40 + 2, 3), dtype=np.uint8)
    grain = rng.integers(0, 256, (height // 4, width // 4, 3), dtype=np.uint8)
    mixed = (0.6 * cv2.resize(blotches, (width, height), interpolation=cv2.INTER_CUBIC)
             + 0.4 * cv2.resize(grain, (width, height), interpolation=cv2.INTER_LINEAR))
    return (40 + mixed * (160 / 255)).astype(np.uint8)


def draw_frame(i, scene, rng):
    """A patch bouncing left and right across the middle, swaying up and
    down, over the background; noise of 0-8 levels, new in every frame."""
    still, patch = scene
    height, width = still.shape[:2]
    side = patch.shape[0]
    span = width - side
    x = abs((i * 2 * span // (8 * RATE)) % (2 * span) - span)  # 8 s there and back
    y = int((height - side) / 2 + height / 6 * np.sin(2 * np.pi * i / (4 * RATE)))
    frame = still + rng.integers(0, 9, still.shape, dtype=np.uint8)
    frame[y:y + side, x:x + side] = patch
    return frame


def make_clip(width, height, frames):
    path = CACHE / f"h264_{width}x{height}_{frames}.mp4"
    if path.exists():
        return path
    CACHE.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(width * height)
    scene = (background(width, height, rng), 255 - background(height // 5, height // 5, rng))
    partial = path.with_suffix(".partial.mp4")  # an interrupted run leaves no clip behind
    with av.open(str(partial), "w") as container:
        stream = container.add_stream("libx264", rate=RATE)
        stream.width, stream.height, stream.pix_fmt = width, height, "yuv420p"
        # CRF 16 (about 4 Mbit/s at 720p, as from a camera) keeps part of the
        # noise, so the decoded frames give the encoders under test real work.
        stream.options = {"crf": "16", "preset": "veryfast"}
        for i in range(frames):
            image = av.VideoFrame.from_ndarray(draw_frame(i, scene, rng), format="bgr24")
            container.mux(stream.encode(image))
        container.mux(stream.encode(None))
    partial.rename(path)
    return path


def small_region(width, height):
    """A quarter of the width and a third of the height, where the patch passes
    part of the time: 320x240 at 720p."""
    return (width * 3 // 8, height // 3, width // 4, height // 3)


def decode_alone(clip, threaded=False):
    """A read loop with OpenCV's defaults, or with the frame threads record()
    decodes a file with."""
    start, start_cpu = time.perf_counter(), time.process_time()
    capture = open_file(cv2, str(clip)) if threaded else cv2.VideoCapture(str(clip))
    read = 0
    while capture.read()[0]:
        read += 1
    capture.release()
    return Run(time.perf_counter() - start, time.process_time() - start_cpu, read, read, 0)


def output_name(folder, options):
    return Path(folder) / ("out.avi" if options.get("codec") in OPENCV_CODECS else "out.mp4")


def decode_and_check(clip, region):
    """Decoding with the motion check of `region` in plain Python and nothing
    written: the least that keep="motion" has to do."""
    x, y, width, height = region
    reference, current = np.zeros((height, width), np.uint8), np.zeros((height, width), np.uint8)
    start, start_cpu = time.perf_counter(), time.process_time()
    capture = cv2.VideoCapture(str(clip))
    read = kept = 0
    while (frame := capture.read()[1]) is not None:
        gray = cv2.cvtColor(frame[y:y + height, x:x + width].copy(), cv2.COLOR_BGR2GRAY)
        kept += python_check(gray, reference, current, THRESHOLD, MIN_AREA)
        read += 1
    capture.release()
    return Run(time.perf_counter() - start, time.process_time() - start_cpu, read, kept, 0)


def record_once(clip, options):
    """One record() into a fresh folder, made and removed outside the timing."""
    with tempfile.TemporaryDirectory() as folder:
        start, start_cpu = time.perf_counter(), time.process_time()
        result = velmar.record(clip, output_name(folder, options), **options)
        wall, cpu = time.perf_counter() - start, time.process_time() - start_cpu
        size = sum(file.video.stat().st_size for file in result.files)
    return Run(wall, cpu, result.frames_read, result.frames_kept, size)


def mean_psnr(clip, options):
    """Mean PSNR in dB of a keep-all recording's frames against the clip's, so
    that sizes are read with the quality each setting gives."""
    with tempfile.TemporaryDirectory() as folder:
        result = velmar.record(clip, output_name(folder, options), **options)
        source, written = cv2.VideoCapture(str(clip)), cv2.VideoCapture(str(result.files[0].video))
        values = []
        while (frame := source.read()[1]) is not None and (copy := written.read()[1]) is not None:
            values.append(cv2.PSNR(frame, copy))
        source.release()
        written.release()
    return statistics.fmean(values)


def measure(entries, repeat):
    """entries: name -> a function giving a Run. Returns name -> one Run per
    repetition."""
    names = list(entries)
    runs = {name: [] for name in names}
    for r in range(repeat):
        turn = r % len(names)
        for name in names[turn:] + names[:turn]:
            runs[name].append(entries[name]())
    return runs


def recordings(clip, options):
    """name -> record() options, or None to decode alone: name -> a function."""
    return {name: functools.partial(decode_alone, clip) if value is None
            else functools.partial(record_once, clip, value) for name, value in options.items()}


def per_frame_ms(runs, column="wall"):
    """Median, min and max of milliseconds per frame read."""
    values = [getattr(run, column) / run.read * 1e3 for run in runs]
    return statistics.median(values), min(values), max(values)


def spread(runs):
    med, low, high = per_frame_ms(runs)
    return f"{med:6.2f} ({low:5.2f}-{high:5.2f})"


def ratios(runs, reference):
    """Median over median, wall-clock and processor time."""
    return "/".join(f"{per_frame_ms(runs, column)[0] / per_frame_ms(reference, column)[0]:.3f}"
                    for column in ("wall", "cpu"))


def bytes_per_frame(runs):
    return runs[0].bytes / max(runs[0].kept, 1)


def load():
    """Other work on the machine shows in the wall-clock times: say how much."""
    return "load average " + " ".join(f"{value:.2f}" for value in os.getloadavg())


def mode_options(mode, codec, read_ahead, width, height):
    options = dict(keep=mode, codec=codec, read_ahead=read_ahead)
    if mode == "motion":
        options["region"] = small_region(width, height)
    return options


def against_decoding(sizes, frames, repeat):
    print(f"\na. record() against decoding alone ({load()}); wall ms per frame read: "
          "median (min-max); ratio = record()'s median over decoding's, wall-clock/processor")
    print(f"{'size':>9}  {'keep':<8} {'codec':<5}  {'decode alone':>20}  "
          f"{'record(), read-ahead':>20} {'ratio':>11}  {'record(), none':>20} {'ratio':>11}  "
          f"{'kept':>4}  {'bytes/frame':>11}")
    rows = [("all", "h264"), ("motion", "h264"), ("interval", "h264"), ("all", "mjpg")]
    for width, height in sizes:
        clip = make_clip(width, height, frames)
        options = {"decode": None}
        for mode, codec in rows:
            for ahead in (True, False):
                options[mode, codec, ahead] = mode_options(mode, codec, ahead, width, height)
        entries = recordings(clip, options)
        entries["check"] = functools.partial(decode_and_check, clip, small_region(width, height))
        entries["threads"] = functools.partial(decode_alone, clip, threaded=True)
        runs = measure(entries, repeat)
        decode = runs["decode"]
        for mode, codec in rows:
            ahead, none = runs[mode, codec, True], runs[mode, codec, False]
            print(f"{width:>4}x{height:<4}  {mode:<8} {codec:<5}  {spread(decode):>20}  "
                  f"{spread(ahead):>20} {ratios(ahead, decode):>11}  {spread(none):>20} "
                  f"{ratios(none, decode):>11}  {ahead[0].kept:>4}  "
                  f"{bytes_per_frame(ahead):11.0f}", flush=True)
        check = runs["check"]
        print(f"{width:>4}x{height:<4}  decoding and the motion check alone, in plain Python: "
              f"{spread(check)}, ratio {ratios(check, decode)}", flush=True)
        threads, motion = runs["threads"], runs["motion", "h264", True]
        print(f"{width:>4}x{height:<4}  decoding alone with record()'s {frame_threads()} frame "
              f"threads: {spread(threads)}, ratio {ratios(threads, decode)}; keep=motion "
              f"over it: {ratios(motion, threads)}", flush=True)


def per_codec(size, frames, repeat):
    width, height = size
    print(f"\nb. keep-all per codec, {width}x{height} ({load()}); ms per frame read: "
          f"median (min-max); processor ms per frame (all threads); "
          f"x real time = {REAL_TIME_MS:.0f} ms / wall")
    print(f"{'codec, speed':<16} {'wall ms/frame':>20} {'cpu ms':>7} {'x real time':>11} "
          f"{'bytes/frame':>11} {'PSNR dB':>7}")
    options = {("decode", "alone"): None}
    for codec, speed in CODECS:
        options[codec, str(speed or DEFAULT_SPEED.get(codec, ""))] = dict(
            codec=codec, **({} if speed is None else {"speed": speed}))
    clip = make_clip(width, height, frames)
    runs = measure(recordings(clip, options), repeat)
    for (codec, speed), codec_runs in runs.items():
        wall = per_frame_ms(codec_runs)[0]
        chosen = options[codec, speed]
        psnr = "" if chosen is None else f"{mean_psnr(clip, chosen):7.2f}"
        print(f"{codec + ' ' + speed:<16} {spread(codec_runs):>20} "
              f"{per_frame_ms(codec_runs, 'cpu')[0]:7.2f} {REAL_TIME_MS / wall:11.2f} "
              f"{bytes_per_frame(codec_runs):11.0f} {psnr:>7}", flush=True)


def paired_difference_us(runs, base):
    """Median over repetitions of the difference per frame read within a
    repetition: drifts of the machine's load, shared by neighbours, cancel."""
    return statistics.median((run.wall - other.wall) / run.read * 1e6
                             for run, other in zip(runs, base))


def padding_cost(size, frames, repeat):
    width, height = size
    print(f"\nc. cost of padding, keep=motion, region {small_region(width, height)} of "
          f"{width}x{height} ({load()}); ms per frame read: median (min-max)")
    print(f"{'codec':<6} {'no padding':>20} {'kept':>5} {'before=after=2':>20} {'kept':>5} "
          f"{'added/frame read':>16} {'/frame kept more':>16}")
    options = {}
    for codec in ("h264", "mjpg"):
        plain = mode_options("motion", codec, True, width, height)
        options[codec, False], options[codec, True] = plain, dict(plain, **PADDING)
    runs = measure(recordings(make_clip(width, height, frames), options), repeat)
    for codec in ("h264", "mjpg"):
        plain, padded = runs[codec, False], runs[codec, True]
        added = paired_difference_us(padded, plain)
        # Padding keeps more frames; what each costs shows how much is writing them.
        more = padded[0].kept - plain[0].kept
        per_kept = f"{added * padded[0].read / more:+13.1f} us" if more else "-"
        print(f"{codec:<6} {spread(plain):>20} {plain[0].kept:>5} {spread(padded):>20} "
              f"{padded[0].kept:>5} {added:+13.1f} us {per_kept:>16}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--tiny", action="store_true", help="a small clip, once: a smoke run")
    options = parser.parse_args()
    print(f"velmar {velmar.__version__}, OpenCV {cv2.__version__}, PyAV {av.__version__}, "
          f"{cv2.getNumThreads()} OpenCV threads")
    tiny = (160, 120)
    # The first run of each entry pays for imports and encoder libraries.
    measure(recordings(make_clip(*tiny, 25), {"decode": None, **{
        codec: dict(codec=codec) for codec, _ in CODECS}}), 1)
    if options.tiny:
        sizes, frames, repeat = [tiny], 25, 1
    else:
        sizes, frames, repeat = [(1280, 720), (1920, 1080)], 20 * RATE, options.repeat
    against_decoding(sizes, frames, repeat)
    per_codec(sizes[0], frames, repeat)
    padding_cost(sizes[0], frames, repeat)
    print(f"\nend: {load()}")


if __name__ == "__main__":
    main()
