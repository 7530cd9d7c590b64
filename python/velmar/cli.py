"""The velmar command: records a camera or a video file with velmar.ccapture.

The command holds the session's defaults (the capture module has none),
checks what it is given before anything is opened, and ends with a one-line
summary of what was recorded.
"""

import argparse
import csv
import os
import sys
from contextlib import contextmanager
from importlib import resources
from pathlib import Path

import numpy as np

import velmar
from velmar import ccapture

DEMO_FOLDER = "velmar-demo"
DEMO_OUTPUT = "demo.avi"


class UsageError(Exception):
    """Bad input: reported on one line, exit status 2."""


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise UsageError(message)


def colour(text):
    parts = text.split(",")
    try:
        values = [int(part) for part in parts]
    except ValueError:
        values = []
    if len(values) != 3:
        raise argparse.ArgumentTypeError(f"expected three integers B,G,R, got {text!r}")
    return np.array(values, dtype=np.int32)


def seconds(text):
    value = float(text)
    if not value >= 0:
        raise argparse.ArgumentTypeError(f"must not be negative, got {text}")
    return value


def kernel_width(text):
    value = int(text)
    if value <= 0 or value % 2 == 0:
        raise argparse.ArgumentTypeError(f"must be odd and positive, got {text}")
    return value


def build_parser():
    parser = Parser(
        prog="velmar",
        description="Record a camera or a video file: crop to a region, keep every frame, "
        "frames with motion or one frame per interval, and log each written frame "
        "with its time in a CSV file beside the video.",
    )
    parser.add_argument("--version", action="version", version=f"velmar {velmar.__version__}")
    parser.add_argument("--demo", action="store_true",
                        help=f"record the shipped sample clip, motion-based with timestamps, "
                        f"into ./{DEMO_FOLDER}/")

    io = parser.add_argument_group("input and output")
    io.add_argument("input", nargs="?", default="0",
                    help="camera index or video file (default: camera 0)")
    io.add_argument("-o", "--output", default="capture.avi",
                    help="output video; its CSV log is the same name plus .csv (default: capture.avi)")
    io.add_argument("--fourcc", default="MJPG", help="four-character codec (default: MJPG)")
    io.add_argument("--fps", type=int, default=-1,
                    help="camera frame rate; negative means 30; a file keeps its own (default: -1)")
    io.add_argument("--size", type=int, nargs=2, metavar=("W", "H"),
                    help="camera frame size to request")
    io.add_argument("--roi", type=int, nargs=4, metavar=("X", "Y", "W", "H"),
                    help="region of interest (default: the whole frame)")
    io.add_argument("--duration", type=seconds, default=0.0, metavar="SECONDS",
                    help="stop after this many seconds (default: no limit)")
    io.add_argument("--max-frames", type=int, default=0, metavar="N",
                    help="start a new numbered video every N-1 kept frames (default: one video)")
    io.add_argument("--camera-settings", action="store_true",
                    help="ask the camera driver for its settings dialog")

    keep = parser.add_argument_group("what to keep")
    keep.add_argument("--motion", action="store_true", help="keep only frames with motion")
    keep.add_argument("--interval", type=seconds, default=0.0, metavar="SECONDS",
                      help="time-lapse: keep one frame per interval (ignored with --motion)")

    motion = parser.add_argument_group("motion check")
    motion.add_argument("--threshold", type=int, default=25,
                        help="grey-level change a pixel must exceed (default: 25)")
    motion.add_argument("--min-area", type=int, default=500,
                        help="area a changed region must exceed, in pixels (default: 500)")
    motion.add_argument("--kernel-width", type=kernel_width, default=21,
                        help="blur kernel width, odd (default: 21)")
    motion.add_argument("--show-diff", action="store_true",
                        help="show the motion check's diagnostic windows")

    stamp = parser.add_argument_group("timestamp overlay")
    stamp.add_argument("--timestamp", action="store_true", help="draw date and time on kept frames")
    stamp.add_argument("--box-color", type=colour, default=colour("0,0,0"), metavar="B,G,R",
                       help="box colour (default: 0,0,0)")
    stamp.add_argument("--text-color", type=colour, default=colour("255,255,255"),
                       metavar="B,G,R", help="text colour (default: 255,255,255)")
    stamp.add_argument("--text-pos", type=int, nargs=2, default=[10, 20], metavar=("X", "Y"),
                       help="text origin on its baseline (default: 10 20)")
    stamp.add_argument("--font-scale", type=float, default=0.5, help="text scale (default: 0.5)")

    preview = parser.add_argument_group("preview")
    preview.add_argument("--preview", dest="preview", action="store_true", default=None,
                         help="show kept frames; q or Esc stops (default: on where a display is)")
    preview.add_argument("--no-preview", dest="preview", action="store_false",
                         help="record without a window")
    return parser


def display_available(environ=os.environ, platform=sys.platform):
    if platform.startswith("linux"):
        return bool(environ.get("DISPLAY") or environ.get("WAYLAND_DISPLAY"))
    return True


def is_camera(text):
    try:
        int(text)
    except ValueError:
        return False
    return True


def probe_frame_size(options):
    """The input's frame size, read by opening it once before the session."""
    cv2 = ccapture.cv2
    source = int(options.input) if is_camera(options.input) else options.input
    cap = cv2.VideoCapture(source)
    try:
        if not cap.isOpened():
            raise UsageError(f"cannot open input {options.input!r}")
        if options.size and is_camera(options.input):
            cap.set(cv2.CAP_PROP_FRAME_WIDTH, options.size[0])
            cap.set(cv2.CAP_PROP_FRAME_HEIGHT, options.size[1])
        return int(cap.get(cv2.CAP_PROP_FRAME_WIDTH)), int(cap.get(cv2.CAP_PROP_FRAME_HEIGHT))
    finally:
        cap.release()


def check_options(options):
    if not is_camera(options.input) and not os.path.isfile(options.input):
        raise UsageError(f"input file not found: {options.input}")
    folder = os.path.dirname(options.output) or "."
    if not os.path.isdir(folder):
        raise UsageError(f"output folder does not exist: {folder}")
    if len(options.fourcc) != 4:
        raise UsageError(f"--fourcc needs four characters, got {options.fourcc!r}")
    wants_window = options.preview or options.show_diff
    if wants_window and not display_available():
        raise UsageError("--preview and --show-diff need a display (DISPLAY or WAYLAND_DISPLAY)")
    width, height = probe_frame_size(options)
    if options.roi is None:
        options.roi = [0, 0, width, height]
    x, y, w, h = options.roi
    if x < 0 or y < 0 or w <= 0 or h <= 0 or x + w > width or y + h > height:
        raise UsageError(f"--roi {x} {y} {w} {h} does not fit the {width}x{height} frames")
    if options.preview is None:
        options.preview = display_available()


def session_arguments(options):
    """The 26 values of one vcapture call, in its parameter order."""
    width, height = options.size or (0, 0)
    x, y, w, h = options.roi
    return (
        options.input, options.output, options.fourcc, options.fps, options.preview,
        width, height, x, y, w, h, options.interval, options.duration, options.max_frames,
        options.motion, options.camera_settings, options.threshold, options.min_area,
        options.kernel_width, options.timestamp, options.show_diff,
        options.box_color, options.text_color, options.text_pos[0], options.text_pos[1],
        options.font_scale,
    )


@contextmanager
def announced_files(names):
    """Collects the file names the session announces while it prints them."""
    def print_and_note(*args, **kwargs):
        print(*args, **kwargs)
        text = " ".join(str(arg) for arg in args)
        for line in text.splitlines():
            for prefix in ("Video saved in ", "Timestamps in "):
                if line.startswith(prefix):
                    names.append(line[len(prefix):])

    ccapture.print = print_and_note
    try:
        yield
    finally:
        del ccapture.print


def kept_frames(names):
    total = 0
    for name in names:
        if name.endswith(".csv") and os.path.isfile(name):
            with open(name, newline="") as f:
                total += max(sum(1 for _ in csv.reader(f)) - 1, 0)
    return total


def summary(read, names):
    written = [name for name in names if os.path.exists(name)]
    files = ", ".join(written) if written else "none"
    return f"velmar: {read} frames read, {kept_frames(names)} kept; files: {files}"


def demo_options(parser):
    clip = resources.files("velmar") / "data" / "sample.avi"
    Path(DEMO_FOLDER).mkdir(exist_ok=True)
    return parser.parse_args([
        str(clip), "-o", os.path.join(DEMO_FOLDER, DEMO_OUTPUT), "--motion", "--timestamp",
        "--no-preview",
    ])


def run(options):
    names = []
    with announced_files(names):
        read = ccapture.vcapture(*session_arguments(options))
    print(summary(read, names))
    return 0 if read else 1


def main(argv=None):
    parser = build_parser()
    try:
        options = parser.parse_args(argv)
        if options.demo:
            options = demo_options(parser)
        check_options(options)
    except UsageError as error:
        print(f"velmar: error: {error}", file=sys.stderr)
        return 2
    return run(options)
