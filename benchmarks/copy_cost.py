"""What storing a camera's own stream costs: `velmar --codec copy` against
FFmpeg's own `-c copy` into .mp4, and copy with motion against FFmpeg's own
single-threaded decode, side by side in one run.

Processor time (user and system, all threads) of the whole process, from
wait4, at each size on a short and a long clip of the same stream: the
difference of the two, divided by the frames between, is the cost per frame
beyond start-up; the long clip's time per frame is the whole process's. The
long clip is 4 minutes: velmar's start-up varies by some 50 ms from run to
run, as much as a copy's whole cost over 1,500 frames.

The rows of copy with motion (the main stream with --detect-scale 0.5;
--detect-every keyframe; a 360p --detect-source of the same scene) run only
if velmar takes their flags, which a short run of each finds out first; a row
it refuses is printed as such, with the refusal, so that the script measures
them once they are offered. The goals are printed under the table.

    python benchmarks/copy_cost.py [--repeat N] [--short F] [--long F] [--tiny]

The clips are drawn once by FFmpeg (libx264, a moving test picture under
fresh grain, 25 fps, a keyframe every 2 s, about a camera's bit rate) into
benchmarks/.cache/ (or $VELMAR_BENCH_CACHE); each short clip is the first
frames of its long one, copied. --tiny: a small clip, once: a smoke run.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import NamedTuple

sys.path.insert(0, str(Path(__file__).resolve().parent))
from against_ffmpeg import FFMPEG, VELMAR, run  # noqa: E402
from record_speed import load  # noqa: E402
from session_overhead import CACHE  # noqa: E402

RATE, GOP = 25, 50
LONGEST = 1800.0  # seconds any one process may take
BITRATE = {1080: "4M", 720: "2M", 360: "600k"}  # what cameras send at these sizes
SUB_STREAM = (640, 360)  # the detection stream a camera offers beside its main one
COPY_GOAL_MS = 0.5  # per 1080p frame beyond start-up
SCALED_GOAL, SUB_STREAM_GOAL = 1.3, 0.2  # times FFmpeg's single-threaded 1080p decode


class Job(NamedTuple):
    name: str
    argv: object  # (clip, sub-stream clip, output) -> the command's words
    motion: bool = False  # velmar refuses it unless motion by copy is offered


def velmar_copy(*extra):
    return lambda clip, sub, out: [*VELMAR, str(clip), "-o", out, "--codec", "copy", *extra]


JOBS = (
    Job("ffmpeg -c copy", lambda clip, sub, out: [*FFMPEG, "-i", str(clip), "-c", "copy", out]),
    Job("velmar --codec copy", velmar_copy()),
    Job("ffmpeg decode, 1 thread", lambda clip, sub, out: [*FFMPEG, "-threads", "1", "-i",
                                                           str(clip), "-f", "null", "-"]),
    Job("velmar copy --motion --detect-scale 0.5",
        velmar_copy("--motion", "--detect-scale", "0.5"), True),
    Job("velmar copy --motion --detect-every keyframe",
        velmar_copy("--motion", "--detect-every", "keyframe"), True),
    Job("velmar copy --motion --detect-source (360p)",
        lambda clip, sub, out: velmar_copy("--motion", "--detect-source", sub.as_uri())(
            clip, sub, out), True),
    # What the sub-stream's own decoding costs, and what detecting on half of it saves.
    Job("ffmpeg decode of the 360p sub-stream, 1 thread",
        lambda clip, sub, out: [*FFMPEG, "-threads", "1", "-i", str(sub), "-f", "null", "-"]),
    Job("velmar copy --motion --detect-source (360p) --detect-scale 0.5",
        lambda clip, sub, out: velmar_copy("--motion", "--detect-source", sub.as_uri(),
                                           "--detect-scale", "0.5")(clip, sub, out), True),
)


def camera_clip(width: int, height: int, frames: int) -> Path:
    """A camera's H.264 stream as FFmpeg's libx264 makes it, drawn once; a
    shorter clip of the same size is the first frames of the longest drawn."""
    path = CACHE / f"camera_{width}x{height}_{frames}.mp4"
    if path.exists():
        return path
    path.parent.mkdir(parents=True, exist_ok=True)
    longer = sorted(CACHE.glob(f"camera_{width}x{height}_*.mp4"),
                    key=lambda p: int(p.stem.rsplit("_", 1)[1]))
    longer = [p for p in longer if int(p.stem.rsplit("_", 1)[1]) > frames]
    partial = path.with_suffix(".part.mp4")
    if longer:
        source = ["-i", str(longer[0]), "-c", "copy"]
    else:
        # Drawn at the main stream's size and scaled, so that a sub-stream
        # shows the same scene as the main stream of its frame count.
        picture = (f"testsrc2=size=1920x1080:rate={RATE},noise=alls=8:allf=t,"
                   f"scale={width}:{height}")
        source = ["-f", "lavfi", "-i", picture, "-c:v", "libx264", "-preset", "veryfast",
                  "-b:v", BITRATE.get(height, "1M"), "-maxrate", BITRATE.get(height, "1M"),
                  "-bufsize", BITRATE.get(height, "1M"), "-g", str(GOP), "-keyint_min",
                  str(GOP), "-sc_threshold", "0", "-pix_fmt", "yuv420p"]
    subprocess.run([*FFMPEG, *source, "-frames:v", str(frames), "-an", str(partial)],
                   check=True, timeout=LONGEST)
    partial.rename(path)
    return path


def refusal(job: Job, clip: Path, sub: Path) -> str | None:
    """The line velmar refuses the job's flags with, None if it takes them."""
    with tempfile.TemporaryDirectory() as folder:
        done = subprocess.run(job.argv(clip, sub, os.path.join(folder, "probe.mp4")),
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                              timeout=LONGEST)
    if done.returncode == 2:
        return done.stderr.strip().splitlines()[-1] if done.stderr.strip() else "exit status 2"
    if done.returncode != 0:
        raise RuntimeError(f"{job.name} ended with {done.returncode}: {done.stderr.strip()}")
    return None


class Cost(NamedTuple):
    short: float  # processor seconds of the short clip's process
    long: float
    per_frame: float  # seconds per frame beyond start-up
    whole: float  # seconds per frame of the long clip's whole process
    peak: float  # megabytes, the long clip's process


def measure(jobs: list[Job], clips: dict[int, tuple[Path, Path]], repeat: int
            ) -> dict[str, Cost]:
    """Each job on the short and the long clip, interleaved, median of `repeat`."""
    runs: dict[tuple[str, int], list[tuple[float, float]]] = {
        (job.name, frames): [] for job in jobs for frames in clips}
    order = [(job, frames) for job in jobs for frames in clips]
    with tempfile.TemporaryDirectory() as folder:
        for turn in range(repeat):
            turned = order[turn % len(order):] + order[:turn % len(order)]
            for job, frames in turned:
                clip, sub = clips[frames]
                out = os.path.join(folder, f"{turn}_{jobs.index(job)}_{frames}.mp4")
                runs[job.name, frames].append(run(job.argv(clip, sub, out), LONGEST))
                for leftover in Path(folder).iterdir():
                    leftover.unlink()
    short, long = sorted(clips)
    costs = {}
    for job in jobs:
        cpu = {n: statistics.median(r[0] for r in runs[job.name, n]) for n in clips}
        peak = statistics.median(r[1] for r in runs[job.name, long])
        costs[job.name] = Cost(cpu[short], cpu[long], (cpu[long] - cpu[short]) / (long - short),
                               cpu[long] / long, peak)
    return costs


def print_rows(size: str, short: int, costs: dict[str, Cost], refused: dict[str, str]) -> None:
    for job in JOBS:
        if job.name in refused:
            print(f"| {size} | {job.name} | refused: {refused[job.name]} | | | | |")
            continue
        cost = costs[job.name]
        startup = cost.short - cost.per_frame * short
        print(f"| {size} | {job.name} | {cost.per_frame * 1000:.3f} | {cost.whole * 1000:.3f} "
              f"| {startup * 1000:.0f} | {cost.short:.2f} / {cost.long:.2f} | {cost.peak:.0f} |")


def verdict(value: float, goal: float) -> str:
    return "met" if value <= goal else "NOT met"


def print_goals(costs: dict[str, Cost], refused: dict[str, str]) -> None:
    """The goals at the main stream's largest size."""
    copy = costs["velmar --codec copy"]
    decode = costs["ffmpeg decode, 1 thread"]
    ffmpeg_copy = costs["ffmpeg -c copy"]
    print(f"- copy: {copy.per_frame * 1000:.3f} ms per frame beyond start-up (goal at 1080p <= "
          f"{COPY_GOAL_MS} ms): {verdict(copy.per_frame * 1000, COPY_GOAL_MS)}; "
          f"FFmpeg's -c copy {ffmpeg_copy.per_frame * 1000:.3f} ms")
    for name, goal in (("velmar copy --motion --detect-scale 0.5", SCALED_GOAL),
                       ("velmar copy --motion --detect-source (360p)", SUB_STREAM_GOAL),
                       ("velmar copy --motion --detect-source (360p) --detect-scale 0.5",
                        SUB_STREAM_GOAL),
                       ("ffmpeg decode of the 360p sub-stream, 1 thread", None),
                       ("velmar copy --motion --detect-every keyframe", None)):
        wanted = "no goal" if goal is None else f"goal <= {goal:g} x"
        if name in refused:
            print(f"- {name}: refused ({wanted})")
            continue
        beyond, whole = (costs[name].per_frame / decode.per_frame,
                         costs[name].whole / decode.whole)
        print(f"- {name}: {beyond:.2f} x FFmpeg's single-threaded decode beyond start-up, "
              f"{whole:.2f} x whole process ({wanted}"
              f"{'' if goal is None else ': ' + verdict(beyond, goal)})")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--short", type=int, default=150, help="frames of the short clips")
    parser.add_argument("--long", type=int, default=6000, help="frames of the long clips")
    parser.add_argument("--tiny", action="store_true", help="a small clip, once: a smoke run")
    options = parser.parse_args()
    repeat = 1 if options.tiny else options.repeat
    short, long = (25, 75) if options.tiny else (options.short, options.long)
    sizes = [(320, 240)] if options.tiny else [(1280, 720), (1920, 1080)]
    sub_size = (160, 96) if options.tiny else SUB_STREAM
    print(f"median of {repeat}; clips of {short} and {long} frames at {RATE} "
          f"fps, a keyframe every {GOP}; {load()}")
    print("| size | job | cpu ms per frame beyond start-up | cpu ms per frame, whole process "
          "| start-up cpu ms | cpu s short / long | peak memory MB |")
    print("|---|---|---|---|---|---|---|")
    for width, height in sizes:
        # The long clip first: the short one is cut from it.
        clips = {n: (camera_clip(width, height, n), camera_clip(*sub_size, n))
                 for n in (long, short)}
        refused = {job.name: line for job in JOBS if job.motion
                   if (line := refusal(job, *clips[short])) is not None}
        costs = measure([job for job in JOBS if job.name not in refused], clips, repeat)
        print_rows(f"{width}x{height}", short, costs, refused)
    print()
    print(f"At {width}x{height}, against the goals:")
    print_goals(costs, refused)


if __name__ == "__main__":
    main()
