"""What a clip costs: `velmar export` of two minutes from the middle of a
recording split in four files, against FFmpeg's own `-ss … -t … -c copy` of
the same two minutes from the one source file, side by side in one run.

The recording is velmar's own copy (`--codec copy --frames-per-file 1500`)
of the 4-minute 1080p clip that copy_cost.py draws (a camera's 4 Mbit/s
stream, a keyframe every 2 s), made once into a temporary folder. Processor
time (user and system) and peak resident memory of each whole process, the
median of the runs.

    python benchmarks/export_cost.py [--repeat N]
"""

import argparse
import statistics
import subprocess
import sys
import tempfile
from datetime import datetime, timedelta
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from against_ffmpeg import FFMPEG, run  # noqa: E402
from copy_cost import camera_clip  # noqa: E402

START = datetime(2026, 12, 1, 6, 0, 0)
FRAMES, RATE = 6000, 25
FROM, LENGTH = 60.0, 120.0  # seconds into the recording, and the clip's length


def record(clip: Path, folder: Path) -> str:
    output = str(folder / "cam.mp4")
    subprocess.run([sys.executable, "-m", "velmar", str(clip), "-o", output, "--codec", "copy",
                    "--frames-per-file", "1500", "--start", START.isoformat(), "--no-preview",
                    "-q"], check=True, timeout=600)
    return output


def jobs(clip: Path, output: str, folder: Path) -> dict[str, list[str]]:
    start = START + timedelta(seconds=FROM)
    end = start + timedelta(seconds=LENGTH)
    return {
        "ffmpeg -ss -t -c copy": [*FFMPEG, "-ss", str(FROM), "-t", str(LENGTH), "-i", str(clip),
                                  "-c", "copy", str(folder / "ffmpeg.mp4")],
        "velmar export": [sys.executable, "-m", "velmar", "export", output, "--start",
                          start.isoformat(), "--end", end.isoformat(), "-o",
                          str(folder / "velmar.mp4"), "-q"],
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    clip = camera_clip(1920, 1080, FRAMES)
    with tempfile.TemporaryDirectory() as folder:
        folder = Path(folder)
        output = record(clip, folder)
        frames = int(LENGTH * RATE)
        print("| job | cpu s | ms per frame | peak RSS MB |")
        print("|---|---|---|---|")
        for name, argv in jobs(clip, output, folder).items():
            runs = []
            for _ in range(args.repeat):
                for made in folder.glob("ffmpeg.mp4*"):
                    made.unlink()
                for made in folder.glob("velmar.mp4*"):
                    made.unlink()
                runs.append(run(argv))
            cpu = statistics.median(r[0] for r in runs)
            peak = statistics.median(r[1] for r in runs)
            print(f"| {name} | {cpu:.2f} | {cpu / frames * 1000:.3f} | {peak:.0f} |")


if __name__ == "__main__":
    main()
