"""`velmar batch`: records many files with the same options, on local worker
processes or a Dask cluster, with one overall progress bar, a line per
failed input, a summary line and an exit status a script can rely on."""

from __future__ import annotations

import sys
import time

from velmar import options as table
from velmar.cli.common import Parser, REPORTING, add_options, show_progress, values
from velmar.reporting.errors import fail, report
from velmar.shared.stops import EXIT_BY_STOP, EXIT_FAILED, EXIT_NOTHING, EXIT_OK
from velmar.shared.stops import by_signal

PROG = "velmar batch"
# The recording options a batch takes: those of files, without windows.
BATCH_RECORD_OPTIONS = tuple(o for o in table.COMMAND if o.batch)


def build_parser() -> Parser:
    parser = Parser(
        prog=PROG,
        description="Record many video files with the same options, each into its own "
        "folder of DIR, in parallel; DIR/index.csv gets a row per finished input, and a "
        "new run skips the inputs it shows as done.",
        epilog="Exit status: 0 every input recorded, 1 no video file found or the cluster "
        "not reached, 2 bad usage, 3 some inputs failed or were not recorded (see "
        "DIR/index.csv), 130 after SIGINT, 143 after SIGTERM or SIGHUP.",
    )
    groups = {}
    inputs = [o for o in table.BATCH_OPTIONS if o.group == table.IO]
    add_options(parser, inputs, groups)
    add_options(parser, BATCH_RECORD_OPTIONS, groups)
    add_options(parser, [o for o in table.BATCH_OPTIONS if o not in inputs], groups)
    add_options(parser, REPORTING, groups)
    return parser


class Report:
    """Called with each finished input: the bar (files done, failed, frames
    per second, time left) and a line on standard error per failure."""

    def __init__(self, total: int, bar: bool):
        self.failed, self.frames, self.clock = 0, 0, time.monotonic()
        self.bar = None
        if bar and total:
            from tqdm import tqdm
            self.bar = tqdm(total=total, unit="file", file=sys.stderr, dynamic_ncols=True)

    def __call__(self, row) -> None:
        self.frames += row.frames_read or 0
        if row.failed:
            self.failed += 1
            self.write(f"{PROG}: failed: {row.input}: {table.in_flags(row.error)}")
        if self.bar is not None:
            fps = self.frames / max(time.monotonic() - self.clock, 1e-9)
            self.bar.set_postfix(failed=self.failed, fps=f"{fps:.0f}", refresh=False)
            self.bar.update()

    def write(self, line: str) -> None:
        if self.bar is not None:
            self.bar.write(line, file=sys.stderr)
        else:
            print(line, file=sys.stderr)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def summary(batch, outcome, seconds: float) -> str:
    rows = outcome.rows
    done = sum(row.done for row in rows)
    failed = sum(row.failed for row in rows)
    left = len(batch.jobs) - done - failed
    read = sum(row.frames_read or 0 for row in rows)
    kept = sum(row.frames_kept or 0 for row in rows)
    return (f"{PROG}: {done} recorded, {failed} failed, {len(batch.skipped)} skipped "
            f"as done before, {left} left for the next run; {read} frames read, {kept} kept; "
            f"index: {batch.index_path}; {seconds:.1f} s")


def exit_status(batch, outcome) -> int:
    if outcome.signal is not None:
        return EXIT_BY_STOP[by_signal(outcome.signal)]
    done = sum(row.done for row in outcome.rows)
    return EXIT_OK if done == len(batch.jobs) else EXIT_FAILED


def run(parsed) -> int:
    from velmar import batch
    from velmar.batch.executors import cluster
    clock = time.monotonic()
    own = values(parsed, table.BATCH_OPTIONS)
    table.BATCH_BY_NAME["jobs"].checked(own["jobs"])  # before the output folder is made
    with cluster(own["cluster"]) as (executor, threads):
        plan = batch.prepare(own["inputs"], own["output_dir"], recursive=own["recursive"],
                             extension=own["extension"],
                             **values(parsed, BATCH_RECORD_OPTIONS))
        if not plan.inputs:
            return fail(EXIT_NOTHING, "no video file found in " + " ".join(own["inputs"]),
                        PROG)
        progress = Report(len(plan.jobs), show_progress(parsed))
        try:
            outcome = batch.run(plan, jobs=own["jobs"] or threads, executor=executor,
                                progress=progress)
        finally:
            progress.close()
    if not parsed.quiet:
        print(summary(plan, outcome, time.monotonic() - clock))
    return exit_status(plan, outcome)


def main(argv: list[str]) -> int:
    try:
        return run(build_parser().parse_args(argv))
    except Exception as error:
        return report(error, PROG)
