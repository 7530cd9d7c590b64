"""What crash-safe files cost: keep-all H.264 at 720p with record(), against
the unfragmented files written before, per way of writing: milliseconds per
frame read (wall-clock, decoding included), bytes per frame, and the time
spent in fsync; and the frames the encoder holds before its first packet
(which a kill loses on top of a fragment).

    python benchmarks/crash_safety.py [--repeat N] [--tiny]

The clip is record_speed.py's (25 fps, 500 frames). The ways run
interleaved, their order turning each repetition. --tiny runs a 160x120
clip of 25 frames once: a smoke run.
"""

import argparse
import contextlib
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

import av
import cv2

import velmar
from velmar.recording import compact, durable
from velmar.recording.disk import DiskGuard

sys.path.insert(0, str(Path(__file__).resolve().parent))
from record_speed import RATE, load, make_clip, measure  # noqa: E402

# name -> (extension, fragmented, a keyframe every second, zero-latency tuning)
WAYS = {
    "unfragmented (before)": (".mp4", False, False, False),
    "fragmented .mp4, 1 s fragments (default)": (".mp4", True, False, False),
    "fragmented .mkv, 1 s clusters (default)": (".mkv", True, False, False),
    "fragmented .mp4, and a keyframe every second": (".mp4", True, True, False),
    "fragmented .mp4, zero-latency tuning": (".mp4", True, False, True),
}


@contextlib.contextmanager
def way_of_writing(suffix, fragmented, keyframes, zero_latency):
    """record() writing as a way says; the fsync calls timed."""
    saved = compact.fragmented, compact.encoder_options, os.fsync
    synced = []

    def timed_fsync(fd):
        start = time.perf_counter()
        saved[2](fd)
        synced.append(time.perf_counter() - start)

    def options(codec, encoder, sparse=False):
        chosen = saved[1](codec, encoder, sparse or zero_latency)
        return {**chosen, "g": str(RATE)} if keyframes else chosen

    if not fragmented:
        compact.fragmented = lambda suffix, frames, rate: {}
    compact.encoder_options = options
    os.fsync = durable.os.fsync = timed_fsync
    try:
        yield synced
    finally:
        compact.fragmented, compact.encoder_options = saved[:2]
        os.fsync = durable.os.fsync = saved[2]


def record_way(clip, way):
    suffix = WAYS[way][0]
    with tempfile.TemporaryDirectory() as folder, way_of_writing(*WAYS[way]) as synced:
        start = time.perf_counter()
        result = velmar.record(clip, os.path.join(folder, "out" + suffix))
        wall = time.perf_counter() - start
        size = sum(file.video.stat().st_size for file in result.files)
    return dict(ms=wall / result.frames_read * 1e3, bytes=size / result.frames_kept,
                fsyncs=len(synced), fsync_ms=sum(synced) * 1e3)


def encoder_delay(clip, zero_latency):
    """Frames fed to the encoder before it gives its first packet."""
    codec = compact.Codec("h264")
    with av.open(str(clip)) as source:
        frames = [f.to_ndarray(format="bgr24") for _, f in zip(range(60), source.decode(video=0))]
    with tempfile.TemporaryDirectory() as folder:
        writer = compact.CompactWriter(os.path.join(folder, "d.mp4"), codec, RATE,
                                       frames[0].shape[1::-1], RATE, zero_latency,
                                       DiskGuard(folder, 0, []))
        try:
            for fed, image in enumerate(frames, 1):
                writer.write(image)
                if writer.muxed or writer.durable:
                    return fed - 1
        finally:
            writer.release()
    return len(frames)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--tiny", action="store_true", help="a small clip, once: a smoke run")
    options = parser.parse_args()
    size, frames, repeat = ((160, 120), 25, 1) if options.tiny else ((1280, 720), 20 * RATE,
                                                                      options.repeat)
    clip = make_clip(*size, frames)
    print(f"velmar {velmar.__version__}, OpenCV {cv2.__version__}, PyAV {av.__version__}; "
          f"{size[0]}x{size[1]}, {frames} frames at {RATE} fps; {load()}")
    measure({way: lambda way=way: record_way(clip, way) for way in WAYS}, 1)  # warm-up
    runs = measure({way: lambda way=way: record_way(clip, way) for way in WAYS}, repeat)
    before = statistics.median(run["bytes"] for run in runs[next(iter(WAYS))])
    print(f"\n{'way of writing':45s} {'ms/frame':>15s} {'bytes/frame':>12s} {'size':>6s} "
          f"{'fsyncs':>6s} {'fsync ms':>8s}")
    for way, rows in runs.items():
        ms = [row["ms"] for row in rows]
        size_per_frame = statistics.median(row["bytes"] for row in rows)
        print(f"{way:45s} {statistics.median(ms):6.2f} ({min(ms):.2f}-{max(ms):.2f}) "
              f"{size_per_frame:12.0f} {size_per_frame / before:6.3f} "
              f"{rows[0]['fsyncs']:6d} {statistics.median(r['fsync_ms'] for r in rows):8.1f}")
    print(f"\nencoder delay: {encoder_delay(clip, False)} frames by default, "
          f"{encoder_delay(clip, True)} with zero-latency tuning")
    print(f"end: {load()}")


if __name__ == "__main__":
    main()
