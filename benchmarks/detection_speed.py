"""What looking for motion costs, per detector and detection scale.

a. Milliseconds per frame of the detector alone (record()'s motion hook,
   called on frames decoded beforehand) at 720p and 1080p, per detector
   ("diff", "mog2", "knn") and `detect_scale` (1, 0.5, 0.25); beside them the
   engine's exact check (`check_motion_rgb`) at full scale.
b. Whole-frame keep="motion" with H.264 output on a 720p H.264 clip with
   little motion (a small patch crosses in 1 s of the clip's 20): record()'s
   median wall-clock time over that of decoding the file alone (a
   `cv2.VideoCapture` read loop with OpenCV's defaults), per detector and
   scale; and with a `min_area` nothing reaches, which keeps no frame: the
   cost of looking alone, without encoding what is kept.
c. The same clip, whole processes: `velmar CLIP --motion` (whole frame at
   `--detect-scale` 0.5 and 1, and a small region) against a process that
   only decodes it, with OpenCV (BGR frames, its default threads) and with
   PyAV (the decoder's own YUV pictures, record()'s frame threads).

    python benchmarks/detection_speed.py [--repeat N] [--tiny]

Runs of a table are interleaved, their order turning each repetition, so
that all see the same machine load. Clips are encoded once with PyAV into
benchmarks/.cache/ (or $VELMAR_BENCH_CACHE). --tiny runs a 160x120 clip of 25
frames once: a smoke run.
"""

import argparse
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import av
import cv2
import numpy as np

import velmar
from velmar import options
from velmar.ccapture import check_motion_rgb
from velmar.detection.detector import Detector

sys.path.insert(0, str(Path(__file__).resolve().parent))
from record_speed import background, decode_alone, load  # noqa: E402
from session_overhead import CACHE  # noqa: E402

RATE = 25
DETECTORS = ("diff", "mog2", "knn")
SCALES = (1.0, 0.5, 0.25)
RECORDED = (("diff", 1.0), ("diff", 0.5), ("diff", 0.25), ("mog2", 0.5), ("knn", 0.5))


def make_quiet_clip(width, height, frames):
    """A still textured scene with fresh noise in every frame; a patch of a
    tenth of the height crosses in the twentieth of the frames at 40 %."""
    path = CACHE / f"quiet_{width}x{height}_{frames}_v2.mp4"
    if path.exists():
        return path
    CACHE.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(7)
    still = background(width, height, rng)
    side = max(4, height // 10)
    first, span = int(frames * 0.4), max(2, frames // 20)
    partial = path.with_suffix(".partial.mp4")
    with av.open(str(partial), "w") as container:
        stream = container.add_stream("libx264", rate=RATE)
        stream.width, stream.height, stream.pix_fmt = width, height, "yuv420p"
        stream.options = {"crf": "16", "preset": "veryfast"}
        for i in range(frames):
            frame = still + rng.integers(0, 9, still.shape, dtype=np.uint8)
            if first <= i < first + span:
                x = (i - first) * (width - side) // span
                frame[height // 2:height // 2 + side, x:x + side] = 250
            container.mux(stream.encode(av.VideoFrame.from_ndarray(frame, format="bgr24")))
        container.mux(stream.encode(None))
    partial.rename(path)
    return path


def decoded_frames(clip, count):
    capture, frames = cv2.VideoCapture(str(clip)), []
    while len(frames) < count and (frame := capture.read()[1]) is not None:
        frames.append(frame)
    capture.release()
    return frames


def detector_ms(frames, kind, scale):
    checked = options.check_all({**options.defaults(), "source": 0, "keep": "motion",
                                 "detector": kind, "detect_scale": scale})
    detect = Detector(checked.motion)
    detect(frames[0], True)
    start = time.perf_counter()
    for frame in frames[1:]:
        detect(frame, False)
    return (time.perf_counter() - start) / (len(frames) - 1) * 1e3


def exact_check_ms(frames):
    height, width = frames[0].shape[:2]
    previous, current = np.zeros((height, width), np.uint8), np.zeros((height, width), np.uint8)
    start = time.perf_counter()
    for frame in frames[1:]:
        check_motion_rgb(frame, previous, current, 25, 500, 21, False)
    return (time.perf_counter() - start) / (len(frames) - 1) * 1e3


def detection_costs(sizes, frames, repeat):
    print(f"\na. the detector alone, ms per frame, median of {repeat} ({load()})")
    header = "".join(f"{kind + ' ' + format(scale, 'g'):>11}" for kind in DETECTORS
                     for scale in SCALES)
    print(f"{'size':>9}  {'exact check':>11}{header}")
    for width, height in sizes:
        clip = make_quiet_clip(width, height, frames)
        decoded = decoded_frames(clip, min(frames, 150))
        runs = {("exact", 1.0): lambda: exact_check_ms(decoded)}
        runs.update({(kind, scale): (lambda k=kind, s=scale: detector_ms(decoded, k, s))
                     for kind in DETECTORS for scale in SCALES})
        times = interleaved(runs, repeat)
        cells = "".join(f"{times[key]:11.2f}" for key in runs)
        print(f"{width:>4}x{height:<4}  {cells}")


def record_ms(clip, settings):
    with tempfile.TemporaryDirectory() as folder:
        start = time.perf_counter()
        result = velmar.record(clip, f"{folder}/out.mp4", keep="motion", **settings)
        return (time.perf_counter() - start) / result.frames_read * 1e3, result.frames_kept


def against_decoding(size, frames, repeat):
    width, height = size
    clip = make_quiet_clip(width, height, frames)
    print(f"\nb. whole-frame keep='motion' on {width}x{height} with little motion, against "
          f"decoding alone ({load()}); ms per frame read, median of {repeat}")
    runs = {"decode alone": lambda: (decode_alone(clip).wall / frames * 1e3, 0)}
    runs.update({f"{kind}, scale {scale:g}": (lambda k=kind, s=scale: record_ms(
        clip, dict(detector=k, detect_scale=s))) for kind, scale in RECORDED})
    runs["diff, 0.5, none kept"] = lambda: record_ms(clip, dict(detect_scale=0.5,
                                                                  min_area=10**9))
    times = interleaved(runs, repeat, pairs=True)
    base = times["decode alone"][0]
    print(f"{'run':<22} {'ms/frame':>9} {'ratio':>6} {'kept':>5}")
    for name, (ms, kept) in times.items():
        print(f"{name:<22} {ms:9.2f} {ms / base:6.3f} {kept:5d}")


DECODE_OPENCV = """import sys, cv2
capture = cv2.VideoCapture(sys.argv[1])
while capture.read()[0]:
    pass"""
DECODE_PYAV = """import sys, av
from velmar.recording.opening import frame_threads
with av.open(sys.argv[1]) as container:
    stream = container.streams.video[0]
    stream.codec_context.thread_type = "AUTO"
    stream.codec_context.thread_count = frame_threads()
    for frame in container.decode(stream):
        pass"""


def process_seconds(argv):
    start = time.perf_counter()
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def whole_processes(size, frames, repeat):
    width, height = size
    clip = str(make_quiet_clip(width, height, frames))
    # A sixth of each side, and no narrower than the blur.
    side = options.defaults()["kernel_width"]
    region = [str(v) for v in (width // 2, height // 2, max(side, width // 6),
                               max(side, height // 6))]
    print(f"\nc. whole processes on the {width}x{height} clip of {frames} frames ({load()}); "
          f"seconds, median of {repeat}")
    with tempfile.TemporaryDirectory() as folder:
        record = [sys.executable, "-m", "velmar", clip, "-o", f"{folder}/out.mp4", "-q",
                  "--motion"]
        runs = {"decode alone, OpenCV": [sys.executable, "-c", DECODE_OPENCV, clip],
                "decode alone, PyAV": [sys.executable, "-c", DECODE_PYAV, clip],
                "--motion --detect-scale 0.5": record + ["--detect-scale", "0.5"],
                "--motion": record,
                "--motion --roi (small)": record + ["--roi", *region]}
        times = interleaved({name: (lambda a=argv: process_seconds(a))
                             for name, argv in runs.items()}, repeat)
    opencv, pyav = times["decode alone, OpenCV"], times["decode alone, PyAV"]
    print(f"{'process':<28} {'seconds':>8} {'/ OpenCV':>9} {'/ PyAV':>7}")
    for name, seconds in times.items():
        print(f"{name:<28} {seconds:8.2f} {seconds / opencv:9.3f} {seconds / pyav:7.3f}")


def interleaved(runs, repeat, pairs=False):
    """The median of each run's results over `repeat` turns, its order
    turning by one each time."""
    results = {key: [] for key in runs}
    keys = list(runs)
    for turn in range(repeat):
        for key in keys[turn % len(keys):] + keys[:turn % len(keys)]:
            results[key].append(runs[key]())
    if pairs:
        return {key: (statistics.median(v[0] for v in values), values[0][1])
                for key, values in results.items()}
    return {key: statistics.median(values) for key, values in results.items()}


def run_settings(doc):
    """The sizes, frames and repetitions the command line asks for (--repeat,
    --tiny), after a line of the versions measured."""
    parser = argparse.ArgumentParser(description=doc.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--tiny", action="store_true", help="a smoke run on a small clip")
    args = parser.parse_args()
    print(f"velmar {velmar.__version__}, OpenCV {cv2.__version__}, NumPy {np.__version__}")
    if args.tiny:
        return [(160, 120)], 25, 1
    return [(1280, 720), (1920, 1080)], 500, args.repeat


def main():
    sizes, frames, repeat = run_settings(__doc__)
    detection_costs(sizes, frames, repeat)
    against_decoding(sizes[0], frames, repeat)
    whole_processes(sizes[0], frames, repeat)


if __name__ == "__main__":
    main()
