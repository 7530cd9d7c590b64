"""`velmar export`: a clip of a time range of a recording, cut by stream
copy, or with --every a time-lapse of its keyframes; each with its own frame
log, one line for what was written, and an exit status a script can rely on."""

from __future__ import annotations

import signal
import sys
from pathlib import Path

from velmar import options as table
from velmar.cli.common import Parser, REPORTING, add_options, show_progress, values
from velmar.cli.record_command import answer_ctrl_c
from velmar.reporting.errors import report
from velmar.shared.stops import EXIT_OK, EXIT_TERMINATED

PROG = "velmar export"

OPTIONS = (
    table.Option(name="output", annotation="str", default=table.REQUIRED, flags=(
        table.Flag(("output",), "the recording's output as it was recorded, strftime fields "
                   "and all (garden/%Y-%m-%d/%H.mp4); only the videos it names that have a "
                   "frame log beside them are read", {"metavar": "OUTPUT"}),)),
    table.Option(name="start", annotation="datetime", default=table.REQUIRED, flags=(
        table.Flag(("--start",), "the range's start, a local time such as 2026-12-08T06:00:00 "
                   "(or with its UTC offset); a clip begins at the keyframe at or before it",
                   {"type": table.date_time, "required": True, "metavar": "ISO"}),)),
    table.Option(name="end", annotation="datetime", default=table.REQUIRED, flags=(
        table.Flag(("--end",), "the range's end: a clip runs through the last frame at or "
                   "before it", {"type": table.date_time, "required": True, "metavar": "ISO"}),)),
    table.Option(name="clip", annotation="str", default=table.REQUIRED, flags=(
        table.Flag(("-o", "--output"), "the clip to write (.mp4, .mkv or .mov), a new file; "
                   "its frame log goes beside it as CLIP.csv", {"required": True,
                                                                "metavar": "CLIP"}),)),
    table.Option(name="every", annotation="float | None", default=None, shown="off", flags=(
        table.Flag(("--every",), "a time-lapse instead: the first keyframe at or after each "
                   "interval of this many seconds, decoded alone and encoded as H.264 at 25 "
                   "frames a second", {"type": float, "metavar": "SECONDS"}),)),
)


class Terminated(Exception):
    """SIGTERM or SIGHUP: the export stops, and leaves nothing behind."""

    exit_status = EXIT_TERMINATED

    def __init__(self):
        super().__init__("terminated")


def build_parser() -> Parser:
    parser = Parser(
        prog=PROG,
        description="Write a clip of a time range of a recording, across its files, cut by "
        "stream copy without decoding; with --every, a time-lapse of its keyframes. The clip "
        "gets a frame log of the recorded times of its frames.",
        epilog="Exit status: 0 written, 1 nothing recorded in the range, 2 bad usage, 3 "
        "failure, 130 after SIGINT, 143 after SIGTERM or SIGHUP.",
    )
    add_options(parser, (*OPTIONS, *REPORTING))
    return parser


def run(parsed) -> int:
    # FFmpeg loaded first, which Ctrl-C may still cut short; then Ctrl-C is answered.
    import av  # noqa: F401

    from velmar.export.clip import export_clip
    from velmar.export.timelapse import export_timelapse
    answer_ctrl_c()
    given = values(parsed, OPTIONS)
    output, start, end, clip = given["output"], given["start"], given["end"], Path(given["clip"])
    if given["every"] is None:
        made = export_clip(output, start, end, clip)
    else:
        with Bar(show_progress(parsed)) as bar:
            made = export_timelapse(output, start, end, given["every"], clip, progress=bar)
    if made.stopped:
        print(f"{PROG}: {made.stopped}", file=sys.stderr)
    if not parsed.quiet:
        frames = f"{made.frames} frame{'' if made.frames == 1 else 's'}"
        print(f"{PROG}: {made.path}: {frames} from {made.first.isoformat()} to "
              f"{made.last.isoformat()}, log {made.log}")
    return EXIT_OK


class Bar:
    """A time-lapse's progress on standard error: its interval points passed."""

    def __init__(self, shown: bool):
        self.bar, self.shown = None, shown

    def __enter__(self) -> Bar:
        return self

    def __exit__(self, *_exc) -> None:
        if self.bar is not None:
            self.bar.close()

    def __call__(self, passed: int, points: int) -> None:
        if not self.shown:
            return
        if self.bar is None:
            from tqdm import tqdm
            self.bar = tqdm(total=points, unit="point", file=sys.stderr, dynamic_ncols=True)
        self.bar.update(passed - self.bar.n)


def _terminate(_signum, _frame) -> None:
    raise Terminated


def main(argv: list[str]) -> int:
    previous = {signum: signal.signal(signum, _terminate)
                for signum in (signal.SIGTERM, signal.SIGHUP)}
    try:
        return run(build_parser().parse_args(argv))
    except (Exception, KeyboardInterrupt) as error:
        return report(error, PROG)
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
