"""The velmar command: records a camera, a stream or a video file with
`velmar.record()`, shows progress, and ends with one summary line and an exit
status a script can rely on."""

from __future__ import annotations

import os
import signal
import sys
from importlib import resources

import velmar
from velmar import options as table
from velmar.cli.common import (EXIT_BY_STOP, EXIT_FAILED, EXIT_NOTHING, EXIT_OK,
                               EXIT_SOURCE_LOST, Parser, UsageError,
                               REPORTING, add_options, fail, report, show_progress,
                               values)
from velmar.cli.reporters import EventLines, joined, progress_to, reporter_for
from velmar.recording.stops import REASONS

# The recording machinery (NumPy, OpenCV, the engine) is imported inside
# main(), so that Ctrl-C during its import ends the command like any other.
DEMO_FOLDER = "velmar-demo"
DEMO_OUTPUT = "demo.mp4"

# The command's own flags, beside the recording and reporting ones.
OWN = (
    table.Option("demo", "bool", False, None, None, (
        table.Flag(("--demo",), f"record the shipped sample clip, motion-based with padding, "
                   f"events and timestamps, into `{DEMO_FOLDER}/`", {"action": "store_true"}),)),
    table.Option("version", "str", None, None, None, (
        table.Flag(("--version",), "print the version",
                   {"action": "version", "version": f"velmar {velmar.__version__}"}),)),
)
FLAGS = (*table.COMMAND, *table.LIVE_VIEW_OPTIONS, *REPORTING, *OWN)



def build_parser() -> Parser:
    parser = Parser(
        prog="velmar",
        description="Record a camera, a stream or a video file: crop to a region, keep every "
        "frame, frames with motion or one frame per interval, and log each written frame "
        "with its time in a CSV file beside the video.",
        epilog="Exit status: 0 finished, 1 nothing recorded, 2 bad usage, 3 failure while "
        "recording, 4 live source lost, 130 after SIGINT, 143 after SIGTERM or SIGHUP. "
        "Other commands: 'velmar batch' records many files at once, 'velmar check' checks "
        "and repairs recordings, 'velmar run' records the cameras of a config file; each "
        "takes --help.",
    )
    add_options(parser, FLAGS)
    return parser


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
    outages = ""
    if result.outages:
        count, seconds = len(result.outages), sum(o.seconds for o in result.outages)
        outages = (f"{count} outage{'' if count == 1 else 's'}, {seconds:.1f} s in all, "
                   f"in {result.outages_log}; ")
    return (f"velmar: {result.frames_read} frames read, {result.frames_kept} kept; "
            f"files: {files}; {outages}stopped: {REASONS[result.stop].text}; "
            f"{result.elapsed:.1f} s")


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
    parsed = parser.parse_args(argv)
    if parsed.demo:
        extra = [arg for arg in (argv if argv is not None else sys.argv[1:])
                 if arg in ("-q", "--quiet", "--progress", "--no-progress")]
        parsed = parser.parse_args(demo_arguments() + extra)
    return parsed


def run(parsed) -> int:
    from velmar import recording
    record = recording.record  # loads the engine, which Ctrl-C may still cut short
    answer_ctrl_c()
    given = values(parsed, table.COMMAND)
    source, output = given.pop("source"), given.pop("output")
    view = live_view(parsed, given, output)
    bar = show_progress(parsed)
    reporter = reporter_for(bar, parsed.quiet)
    lines = None if bar or parsed.quiet else EventLines()  # a journal's: a line an event
    try:
        result = record(source, output,
                        progress=progress_to(reporter, None if view is None else view.progress),
                        observer=joined(lines, view), **given)
    except BaseException:
        if view is not None:
            view.close({"state": "failed"})
        raise
    finally:
        if reporter is not None:
            reporter.close()
    if view is not None:
        view.close(final_state(result))
    if not parsed.quiet:
        for note in result.notes:
            print(f"velmar: note: {table.in_flags(note)}")
        for video in result.deleted:
            print(f"velmar: deleted {video} and its log (retention)")
        if given["keep"] == "motion":
            print(events_table(result))
        print(summary(result))
    return outcome(result, source)


def outcome(result, source, prefix: str = "velmar") -> int:
    """The exit status of a recording, with the line that says why when it is not 0."""
    if result.stop in EXIT_BY_STOP:
        return EXIT_BY_STOP[result.stop]
    if result.stop == "source_lost":
        return fail(EXIT_SOURCE_LOST, f"the source {source!r} was lost", prefix)
    if result.stop == "disk_full":
        return fail(EXIT_FAILED, table.in_flags(result.problem), prefix)
    if result.stop == "region":
        return fail(EXIT_NOTHING, "the region is larger than the frames; nothing recorded",
                    prefix)
    if result.frames_read == 0:
        return fail(EXIT_NOTHING, f"no frame could be read from {source!r}", prefix)
    return EXIT_OK


# What the live view shows of a recording that has ended, by its stop.
FINAL_STATES = {"disk_full": "disk full", "source_lost": "outage", "interrupt": "stopped",
                "terminate": "stopped"}


def final_state(result) -> dict:
    return {"state": FINAL_STATES.get(result.stop, "finished"), "problem": result.problem,
            "frames_read": result.frames_read, "frames_kept": result.frames_kept,
            "outages": len(result.outages)}


def live_view(parsed, given, output):
    """The live view of this one recording, serving while it records; None without --http."""
    address, password = table.check_live_view(values(parsed, table.LIVE_VIEW_OPTIONS))
    if address is None:
        return None
    from velmar.live.view import OneCameraView
    try:
        return OneCameraView(given["name"], output, address, password, parsed.quiet)
    except OSError as error:
        raise UsageError(str(error)) from None


def answer_ctrl_c():
    """From here on Ctrl-C is a KeyboardInterrupt that the command answers.
    Until then it ends the process at once: OpenCV's loader swallows an
    interrupt that comes while it loads."""
    if signal.getsignal(signal.SIGINT) == signal.SIG_DFL:
        signal.signal(signal.SIGINT, signal.default_int_handler)


def main(argv: list[str]) -> int:
    try:
        return run(parse(build_parser(), argv))
    except Exception as error:
        return report(error)
