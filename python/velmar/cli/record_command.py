"""The velmar command: records a camera, a stream or a video file with
`velmar.record()`, shows progress, and ends with one summary line and an exit
status a script can rely on."""

from __future__ import annotations

import os
import signal
import sys
from functools import partial
from importlib import resources

import velmar
from velmar import options as table
from velmar.cli.common import (Parser, UsageError, REPORTING, add_options, show_progress,
                               values)
from velmar.reporting.errors import report
from velmar.reporting.outcome import record_and_report
from velmar.reporting.reporters import EventLines, joined_views, reporter_for

# The recording machinery (NumPy, OpenCV, the engine) is imported inside
# main(), so that Ctrl-C during its import ends the command like any other.
DEMO_FOLDER = "velmar-demo"
DEMO_OUTPUT = "demo.mp4"

# The command's own flags, beside the recording and reporting ones.
OWN = (
    table.Option(name="demo", annotation="bool", default=False, shown="", flags=(
        table.Flag(("--demo",), f"record the shipped sample clip, motion-based with padding, "
                   f"events and timestamps, into `{DEMO_FOLDER}/`", {"action": "store_true"}),)),
    table.Option(name="version", annotation="str", shown="", flags=(
        table.Flag(("--version",), "print the version",
                   {"action": "version", "version": f"velmar {velmar.__version__}"}),)),
)
FLAGS = (*table.COMMAND, *table.LIVE_VIEW_OPTIONS, *table.MQTT_OPTIONS, *REPORTING, *OWN)



def build_parser() -> Parser:
    parser = Parser(
        prog="velmar",
        description="Record a camera, a stream or a video file: crop to a region, keep every "
        "frame, frames with motion or one frame per interval, and log each written frame "
        "with its time in a CSV file beside the video.",
        epilog="Exit status: 0 finished, 1 nothing recorded, 2 bad usage, 3 failure while "
        "recording, 4 live source lost, 130 after SIGINT, 143 after SIGTERM or SIGHUP. "
        "Other commands: 'velmar batch' records many files at once, 'velmar check' checks "
        "and repairs recordings, 'velmar export' cuts a clip or a time-lapse of a recording, "
        "'velmar run' records the cameras of a config file; each takes --help.",
    )
    add_options(parser, FLAGS)
    return parser


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
    # Loads the engine, which Ctrl-C may still cut short; then Ctrl-C is answered.
    from velmar.recording import record  # noqa: F401
    answer_ctrl_c()
    given = values(parsed, table.COMMAND)
    source, output = given.pop("source"), given.pop("output")
    bar = show_progress(parsed)
    mqtt_given = values(parsed, table.MQTT_OPTIONS)
    url, prefix = (option.checked(mqtt_given[option.name]) for option in table.MQTT_OPTIONS)
    shown = live_view(parsed, given, output)
    try:
        view = joined_views(shown, mqtt_view(url, prefix, given, output))
    except BaseException:  # the live view stops serving with the command
        if shown is not None:
            shown.close({"state": "failed"})
        raise
    return record_and_report(
        source, output, given, reporter=reporter_for(bar, parsed.quiet),
        lines=None if bar or parsed.quiet else EventLines(),  # a journal's: a line an event
        view=view, quiet=parsed.quiet, events=given["keep"] == "motion")


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


def mqtt_view(url, prefix, given, output):
    """This recording told to the MQTT broker at `url`; None without one."""
    if url is None:
        return None
    from velmar.live.feed import Feed
    from velmar.mqtt.messenger import Messenger
    from velmar.recording.outputs import default_name
    name = given["name"] or default_name(os.fspath(output))
    messenger = Messenger(url, prefix, {name: given["keep"] == "motion"})
    messenger.start()
    return MqttView(Feed(partial(messenger.receive, name), pictures=False), messenger)


class MqttView:
    """The recording's reports, from a feed of their own off its thread, to
    the broker's messenger, which stops once the last has been told."""

    pictures = False  # a broker is sent the events' pictures alone

    def __init__(self, feed, messenger):
        self.feed, self.messenger = feed, messenger
        self.frame, self.event, self.progress = feed.frame, feed.event, feed.progress

    def close(self, last: dict) -> None:
        self.feed.close(last)
        self.messenger.close()


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
