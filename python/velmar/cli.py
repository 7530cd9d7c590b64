"""The velmar command: records a camera, a stream or a video file with
`velmar.record()`, shows progress, and ends with one summary line and an exit
status a script can rely on."""

from __future__ import annotations

import argparse
import inspect
import os
import signal
import sys
from datetime import datetime
from importlib import resources

import velmar

# The recording machinery (NumPy, OpenCV, the engine) is imported inside
# main(), so that Ctrl-C during its import ends the command like any other.
DEMO_FOLDER = "velmar-demo"
DEMO_OUTPUT = "demo.mp4"

EXIT_OK, EXIT_NOTHING, EXIT_USAGE, EXIT_FAILED = 0, 1, 2, 3
EXIT_BY_STOP = {"interrupt": 130, "terminate": 143}
STOP_TEXT = {"end": "end of input", "duration": "duration reached", "key": "key pressed",
             "interrupt": "interrupted", "terminate": "terminated", "region": "region larger "
             "than the frames"}


class UsageError(Exception):
    """Bad input: reported on one line, exit status 2."""


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise UsageError(message)


def colour(text):
    try:
        values = tuple(int(part) for part in text.split(","))
    except ValueError:
        values = ()
    if len(values) != 3:
        raise argparse.ArgumentTypeError(f"expected three integers B,G,R, got {text!r}")
    return values


def positive(text):
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be more than 0, got {text}")
    return value


def seconds(text):
    value = float(text)
    if not value >= 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, got {text}")
    return value


def start_time(text):
    try:
        return datetime.fromisoformat(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a date and time such as "
                                         f"2026-12-08T06:00:00, got {text!r}") from None


def source(text):
    """A camera index when the text is an integer, else a path or a URL."""
    try:
        return int(text)
    except ValueError:
        return text


def record_defaults():
    from velmar.recording import record
    return {name: p.default for name, p in inspect.signature(record).parameters.items()}


def build_parser():
    defaults = record_defaults()
    parser = Parser(
        prog="velmar",
        description="Record a camera, a stream or a video file: crop to a region, keep every "
        "frame, frames with motion or one frame per interval, and log each written frame "
        "with its time in a CSV file beside the video.",
        epilog="Exit status: 0 finished, 1 nothing recorded, 2 bad usage, 3 failure while "
        "recording, 130 after SIGINT, 143 after SIGTERM or SIGHUP.",
    )
    parser.add_argument("--version", action="version", version=f"velmar {velmar.__version__}")
    parser.add_argument("--demo", action="store_true",
                        help=f"record the shipped sample clip, motion-based with padding, "
                        f"events and timestamps, into ./{DEMO_FOLDER}/")

    io = parser.add_argument_group("input and output")
    io.add_argument("input", nargs="?", default="0", type=source,
                    help="camera index, video file, device (/dev/video0), stream URL or "
                    "image sequence (img_%%04d.png) (default: camera 0)")
    io.add_argument("-o", "--output", default=defaults["output"],
                    help="output video; its CSV log is the same name plus .csv; taken names "
                    "get the next number (default: %(default)s)")
    add_record_options(parser, io, defaults)

    report = parser.add_argument_group("preview and reporting")
    report.add_argument("--preview", dest="preview", action="store_true", default=None,
                        help="show kept frames; q or Esc stops (default: on where a display is)")
    report.add_argument("--no-preview", dest="preview", action="store_false",
                        help="record without a window")
    add_reporting_options(report)
    return parser


def add_reporting_options(group):
    """The progress bar and quiet, shared with `velmar batch`."""
    group.add_argument("--progress", dest="progress", action="store_true", default=None,
                       help="show a progress bar (default: on when standard error is a "
                       "terminal)")
    group.add_argument("--no-progress", dest="progress", action="store_false",
                       help="no progress bar")
    group.add_argument("-q", "--quiet", action="store_true", help="print nothing but errors")


def add_record_options(parser, io, defaults, *, camera=True, windows=True):
    """Adds the options of one recording, shared with `velmar batch`: codec,
    duration, files and region to `io`, then the camera, keep, event, time
    and stamp groups. `camera=False` leaves out the camera requests,
    `windows=False` the diagnostic windows."""

    def default(name):
        return ",".join(map(str, defaults[name]))

    io.add_argument("--codec", "--fourcc", dest="codec", default=defaults["codec"],
                    help="h264, h265 or av1 (compact, into .mp4, .mkv or .mov), or mjpg, mp4v, "
                    "ffv1 or another four-character code for OpenCV's writer "
                    "(default: %(default)s)")
    io.add_argument("--quality", type=int,
                    help="constant quality of h264/h265/av1, lower is better (default: 23, 28 "
                    "and 35)")
    io.add_argument("--speed", help="encoder preset of h264/h265/av1 (default: veryfast, "
                    "ultrafast and 10)")
    io.add_argument("--duration", type=positive, metavar="SECONDS",
                    help="stop after this many seconds of input (default: no limit)")
    io.add_argument("--frames-per-file", type=int, metavar="N",
                    help="put N kept frames in each numbered video (default: one video)")
    io.add_argument("--roi", type=int, nargs=4, metavar=("X", "Y", "W", "H"),
                    help="region of interest (default: the whole frame)")

    if camera:
        requests = parser.add_argument_group("camera")
        requests.add_argument("--fps", type=positive, help="frame rate to request (default: "
                              "the camera's own)")
        requests.add_argument("--size", type=int, nargs=2, metavar=("W", "H"),
                              help="frame size to request")
        requests.add_argument("--camera-settings", action="store_true",
                              help="ask the camera driver for its settings dialog")

    keep = parser.add_argument_group("what to keep (default: every frame)")
    keep.add_argument("--motion", action="store_true", help="keep only frames with motion")
    keep.add_argument("--interval", type=positive, metavar="SECONDS",
                      help="time-lapse: keep one frame per interval")
    keep.add_argument("--threshold", type=int, default=defaults["threshold"],
                      help="grey-level change a pixel must exceed (default: %(default)s)")
    keep.add_argument("--min-area", type=int, default=defaults["min_area"],
                      help="area a changed region must exceed, in pixels (default: %(default)s)")
    keep.add_argument("--kernel-width", type=int, default=defaults["kernel_width"],
                      help="blur kernel width, odd (default: %(default)s)")
    if windows:
        keep.add_argument("--show-diff", action="store_true",
                          help="show the motion check's diagnostic windows")

    events = parser.add_argument_group("motion events (with --motion)")
    events.add_argument("--before", type=seconds, default=0.0, metavar="SECONDS",
                        help="also keep this much ahead of each event's first motion (default: 0)")
    events.add_argument("--after", type=seconds, default=0.0, metavar="SECONDS",
                        help="also keep this much past each event's last motion; motion within "
                        "it continues the event (default: 0)")
    events.add_argument("--min-event", type=seconds, default=0.0, metavar="SECONDS",
                        help="an event starts only once its motion spans this long (default: 0)")
    events.add_argument("--file-per-event", action="store_true",
                        help="write each event to its own numbered video and log")
    events.add_argument("--contact-sheet", dest="contact_sheet", action="store_true",
                        default=None, help="write NAME.events.jpg, a thumbnail per event "
                        "(default: on with --motion)")
    events.add_argument("--no-contact-sheet", dest="contact_sheet", action="store_false",
                        help="no contact sheet")

    times = parser.add_argument_group("frame times")
    times.add_argument("--timestamps", choices=("auto", "pts", "rate", "clock"),
                       default=defaults["timestamps"],
                       help="pts: start + the frame's presentation time; rate: start + frame "
                       "number / exact rate; clock: wall-clock time of the read; auto: pts for "
                       "files, clock for live sources (default: %(default)s)")
    times.add_argument("--start", type=start_time, metavar="YYYY-MM-DDTHH:MM:SS",
                       help="start time of a file's frames (default: the file's "
                       "modification time)")
    times.add_argument("--utc-offset", action="store_true",
                       help="write times with the local UTC offset")

    stamp = parser.add_argument_group("timestamp overlay")
    stamp.add_argument("--timestamp", action="store_true", help="draw date and time on kept frames")
    stamp.add_argument("--box-color", type=colour, default=defaults["box_color"], metavar="B,G,R",
                       help=f"box colour (default: {default('box_color')})")
    stamp.add_argument("--text-color", type=colour, default=defaults["text_color"],
                       metavar="B,G,R", help=f"text colour (default: {default('text_color')})")
    stamp.add_argument("--text-pos", type=int, nargs=2, default=defaults["stamp_position"],
                       metavar=("X", "Y"), help="text origin on its baseline (default: 10 20)")
    stamp.add_argument("--font-scale", type=float, default=defaults["stamp_scale"],
                       help="text scale, at most 10 (default: %(default)s)")


def record_options(options):
    """`record()`'s keyword options from the command's."""
    keep = "motion" if options.motion else "interval" if options.interval else "all"
    return dict(
        keep=keep, interval=options.interval or record_defaults()["interval"],
        threshold=options.threshold, min_area=options.min_area,
        kernel_width=options.kernel_width, region=options.roi, duration=options.duration,
        frames_per_file=options.frames_per_file, codec=options.codec,
        quality=options.quality, speed=options.speed,
        stamp=options.timestamp, stamp_position=tuple(options.text_pos),
        stamp_scale=options.font_scale, box_color=options.box_color,
        text_color=options.text_color, preview=options.preview, show_diff=options.show_diff,
        camera_size=options.size, camera_fps=options.fps,
        camera_settings=options.camera_settings, timestamps=options.timestamps,
        start=options.start, utc_offset=options.utc_offset,
        before=options.before, after=options.after, min_event=options.min_event,
        file_per_event=options.file_per_event,
        contact_sheet=options.motion if options.contact_sheet is None else options.contact_sheet,
    )


class ProgressBar:
    """A bar with frames, percent, rate and time left for a file of known
    length; a running count and the elapsed time for a live source."""

    def __init__(self):
        self.bar = None

    def __call__(self, progress):
        if self.bar is None:
            from tqdm import tqdm
            self.bar = tqdm(total=progress.frame_count, unit="frame", file=sys.stderr,
                            dynamic_ncols=True)
        self.bar.update(progress.frames_read - self.bar.n)
        self.bar.set_postfix(kept=progress.frames_kept, refresh=False)

    def close(self):
        if self.bar is not None:
            self.bar.close()


def events_table(result, most=20) -> str:
    """The events, a line each; the events log holds them all."""
    if not result.events:
        return "velmar: no events"
    count = len(result.events)
    lines = [f"velmar: {count} event{'' if count == 1 else 's'} in {result.events_log}",
             "  event  start                       seconds  frames  video"]
    for e in result.events[:most]:
        lines.append(f"  {e.event:5d}  {e.start.isoformat(timespec='microseconds'):26s}  "
                     f"{e.seconds:7.2f}  {e.frames:6d}  {e.video.name}")
    if len(result.events) > most:
        lines.append(f"  ... and {len(result.events) - most} more")
    if result.contact_sheets:
        lines.append("  contact sheet: " + ", ".join(map(str, result.contact_sheets)))
    return "\n".join(lines)


def summary(result) -> str:
    names = [str(path) for f in result.files for path in (f.video, f.log)]
    files = ", ".join(names) if names else "none"
    return (f"velmar: {result.frames_read} frames read, {result.frames_kept} kept; "
            f"files: {files}; stopped: {STOP_TEXT[result.stop]}; {result.elapsed:.1f} s")


def demo_arguments():
    clip = resources.files("velmar") / "data" / "sample.avi"
    if os.path.lexists(DEMO_FOLDER) and not os.path.isdir(DEMO_FOLDER):
        raise UsageError(f"--demo records into ./{DEMO_FOLDER}/, but that is a file")
    try:
        os.makedirs(DEMO_FOLDER, exist_ok=True)
    except OSError as error:
        raise UsageError(f"cannot make ./{DEMO_FOLDER}/: {error.strerror}") from None
    return [str(clip), "-o", os.path.join(DEMO_FOLDER, DEMO_OUTPUT), "--motion",
            "--before", "0.5", "--after", "1", "--timestamp", "--no-preview"]


def parse(parser, argv):
    options = parser.parse_args(argv)
    if options.demo:
        extra = [arg for arg in (argv if argv is not None else sys.argv[1:])
                 if arg in ("-q", "--quiet", "--progress", "--no-progress")]
        options = parser.parse_args(demo_arguments() + extra)
    if options.preview is None:
        from velmar.checks import display_available
        options.preview = display_available()
    if options.progress is None:
        options.progress = sys.stderr.isatty()
    return options


def fail(status, message):
    print(f"velmar: error: {message}", file=sys.stderr)
    return status


def run(options):
    from velmar.recording import record
    answer_ctrl_c()
    bar = ProgressBar() if options.progress and not options.quiet else None
    try:
        result = record(options.input, options.output, progress=bar, **record_options(options))
    finally:
        if bar is not None:
            bar.close()
    if not options.quiet:
        for note in result.notes:
            print(f"velmar: note: {note}")
        if options.motion:
            print(events_table(result))
        print(summary(result))
    if result.stop in EXIT_BY_STOP:
        return EXIT_BY_STOP[result.stop]
    if result.stop == "region":
        return fail(EXIT_NOTHING, "the region is larger than the frames; nothing recorded")
    if result.frames_read == 0:
        return fail(EXIT_NOTHING, f"no frame could be read from {options.input!r}")
    return EXIT_OK


def run_command(argv):
    from velmar.results import SourceError
    try:
        return run(parse(build_parser(), argv))
    except UsageError as error:
        return fail(EXIT_USAGE, error)
    except (SourceError, FileNotFoundError, IsADirectoryError) as error:
        return fail(EXIT_NOTHING, f"cannot open input: {error}")
    except (ValueError, TypeError) as error:
        return fail(EXIT_USAGE, error)
    except Exception as error:  # a failure while recording: one line, no traceback
        return fail(EXIT_FAILED, f"{type(error).__name__}: {error}")


def answer_ctrl_c():
    """From here on Ctrl-C is a KeyboardInterrupt that the command answers.
    Until then it ends the process at once: OpenCV's loader swallows an
    interrupt that comes while it loads."""
    if signal.getsignal(signal.SIGINT) == signal.SIG_DFL:
        signal.signal(signal.SIGINT, signal.default_int_handler)


def main(argv=None):
    args = sys.argv[1:] if argv is None else argv
    try:
        if args[:1] == ["batch"]:
            from velmar import batch_cli
            return batch_cli.main(args[1:])
        return run_command(argv)
    except KeyboardInterrupt:
        return fail(EXIT_BY_STOP["interrupt"], "interrupted")
