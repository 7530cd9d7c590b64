"""What a day's time-lapse costs: `velmar export --every` over a simulated
day of 1080p segment files, wall-clock and processor time of the whole
command.

The day: one 1080p H.264 segment drawn once by FFmpeg (a moving test
picture under fresh grain, fragmented .mp4 as velmar writes, a keyframe
every 5 frames) and linked under 144 ten-minute names of a dated output
pattern, each with a frame log whose times put its frames 2 s apart, so
that the logs span 24 hours with a keyframe every 10 s. A time-lapse reads
and decodes only the keyframes it takes, one per interval, and encodes each:
its cost is that of its pictures, which a real day of 25 fps footage has as
many of; what the simulation leaves out is the longer logs and container
indexes of real files (2 million rows a day at 25 fps), read once per file.

    python benchmarks/timelapse_day.py [--every S ...] [--segments N] [--folder DIR]

Prints a markdown table; the goal is a day in at most 5 minutes.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time
from datetime import datetime, timedelta
from pathlib import Path

FFMPEG = ["ffmpeg", "-v", "error", "-nostdin", "-y"]
VELMAR = [sys.executable, "-m", "velmar"]
DAY_START = datetime(2026, 12, 1)
SEGMENT = timedelta(minutes=10)
FRAMES, FRAME_GAP, GOP = 300, timedelta(seconds=2), 5  # a segment's frames, as logged
OUTPUT = "day/%Y-%m-%d/%H-%M-%S.mp4"
GOAL_SECONDS = 300.0
# About 150 kB a frame, a keyframe's size in a camera's 4 Mbit/s 1080p stream.
KEYFRAME_BITS = "1200k"


def draw_segment(path: Path) -> None:
    picture = "testsrc2=size=1920x1080:rate=1,noise=alls=8:allf=t"
    subprocess.run([*FFMPEG, "-f", "lavfi", "-i", picture, "-frames:v", str(FRAMES),
                    "-c:v", "libx264", "-preset", "veryfast", "-b:v", KEYFRAME_BITS, "-maxrate",
                    KEYFRAME_BITS, "-bufsize", KEYFRAME_BITS, "-pix_fmt", "yuv420p",
                    "-g", str(GOP), "-keyint_min", str(GOP), "-sc_threshold", "0",
                    "-movflags", "frag_keyframe+empty_moov+default_base_moof", str(path)],
                   check=True)


def lay_out_day(folder: Path, segment: Path, segments: int) -> None:
    """The segment under each name of the day, with its own log."""
    for number in range(segments):
        first = DAY_START + number * SEGMENT
        video = folder / first.strftime(OUTPUT)
        video.parent.mkdir(parents=True, exist_ok=True)
        os.link(segment, video)
        rows = "".join(f"{number * FRAMES + frame},{frame},"
                       f"{(first + frame * FRAME_GAP).isoformat(timespec='microseconds')}\r\n"
                       for frame in range(FRAMES))
        Path(f"{video}.csv").write_text("inframe,outframe,timestamp\r\n" + rows, "ascii",
                                        newline="")


def time_export(folder: Path, every: float, segments: int) -> dict:
    clip = folder / f"timelapse-{every:g}.mp4"
    end = DAY_START + segments * SEGMENT
    command = [*VELMAR, "export", OUTPUT, "--start", DAY_START.isoformat(), "--end",
               end.isoformat(), "-o", str(clip), "--every", f"{every:g}", "-q"]
    clock = time.monotonic()
    process = subprocess.Popen(command, cwd=folder)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.monotonic() - clock
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"velmar export failed: {' '.join(command)}")
    pictures = len((folder / f"{clip}.csv").read_text().splitlines()) - 1
    return {"every": every, "pictures": pictures, "wall": wall,
            "cpu": usage.ru_utime + usage.ru_stime, "rss": usage.ru_maxrss / 1024,
            "bytes": clip.stat().st_size}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--every", type=float, nargs="+", default=[60.0, 10.0])
    parser.add_argument("--segments", type=int, default=144, help="10-minute files (144: a day)")
    parser.add_argument("--folder", help="where the day is laid out (a temporary folder)")
    options = parser.parse_args()
    with tempfile.TemporaryDirectory(dir=options.folder) as name:
        folder = Path(name)
        segment = folder / "segment.mp4"
        clock = time.monotonic()
        draw_segment(segment)
        lay_out_day(folder, segment, options.segments)
        print(f"day laid out in {time.monotonic() - clock:.1f} s: {options.segments} files of "
              f"{segment.stat().st_size / 1e6:.1f} MB, {FRAMES // GOP} keyframes each\n")
        print("| --every | pictures | wall s | cpu s | wall ms per picture | peak RSS MB "
              "| clip MB | goal: a day in 300 s |")
        print("|---|---|---|---|---|---|---|---|")
        for every in options.every:
            row = time_export(folder, every, options.segments)
            day = row["wall"] * 144 / options.segments
            met = "met" if day <= GOAL_SECONDS else "not met"
            print(f"| {every:g} | {row['pictures']} | {row['wall']:.1f} | {row['cpu']:.1f} | "
                  f"{1000 * row['wall'] / max(row['pictures'], 1):.1f} | {row['rss']:.0f} | "
                  f"{row['bytes'] / 1e6:.1f} | {met} |", flush=True)


if __name__ == "__main__":
    main()
