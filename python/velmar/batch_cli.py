"""`velmar batch`: records many files with the same options, on local worker
processes or a Dask cluster, with one overall progress bar, a line per
failed input, a summary line and an exit status a script can rely on."""

from __future__ import annotations

import argparse
import signal
import sys
import time
from contextlib import contextmanager

from velmar import cli
from velmar.cli import EXIT_BY_STOP, EXIT_FAILED, EXIT_NOTHING, EXIT_OK, EXIT_USAGE

EXIT_INTERRUPTED, EXIT_TERMINATED = EXIT_BY_STOP["interrupt"], EXIT_BY_STOP["terminate"]


class ClusterUnreachable(Exception):
    """No scheduler answered at the address: nothing was recorded."""


def jobs_count(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, got {text}")
    return value


def build_parser() -> cli.Parser:
    parser = cli.Parser(
        prog="velmar batch",
        description="Record many video files with the same options, each into its own "
        "folder of DIR, in parallel; DIR/index.csv gets a row per finished input, and a "
        "new run skips the inputs it shows as done.",
        epilog="Exit status: 0 every input recorded, 1 no video file found or the cluster "
        "not reached, 2 bad usage, 3 some inputs failed or were not recorded (see "
        "DIR/index.csv), 130 after SIGINT, 143 after SIGTERM or SIGHUP.",
    )
    io = parser.add_argument_group("inputs and outputs")
    io.add_argument("inputs", nargs="+", metavar="INPUT",
                    help="video file, folder (searched for video files) or glob pattern "
                    "('card/**/*.mp4')")
    io.add_argument("--output-dir", required=True, metavar="DIR",
                    help="each input is recorded into DIR/<its name>/; same names get "
                    "-2, -3, ...")
    io.add_argument("-r", "--recursive", action="store_true",
                    help="search folders with their subfolders")
    io.add_argument("--extension", default=".mp4",
                    help="of the output videos (default: %(default)s; .avi for --codec mjpg)")
    cli.add_record_options(parser, io, cli.record_defaults(), camera=False, windows=False)
    parser.set_defaults(preview=False, show_diff=False, size=None, fps=None,
                        camera_settings=False)

    where = parser.add_argument_group("where to run")
    where.add_argument("-j", "--jobs", type=jobs_count, metavar="N",
                       help="inputs at a time (default: the number of cores; with --cluster, "
                       "the cluster's threads)")
    where.add_argument("--cluster", metavar="ADDRESS",
                       help="run on the Dask scheduler at ADDRESS (tcp://host:8786) instead "
                       "of local processes; needs velmar[cluster] here, velmar on the "
                       "workers and the files on storage they share")

    cli.add_reporting_options(parser.add_argument_group("reporting"))
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
            self.write(f"velmar: failed: {row.input}: {row.error}")
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
    return (f"velmar batch: {done} recorded, {failed} failed, {len(batch.skipped)} skipped "
            f"as done before, {left} left for the next run; {read} frames read, {kept} kept; "
            f"index: {batch.index_path}; {seconds:.1f} s")


def exit_status(batch, outcome) -> int:
    if outcome.signal is not None:
        return EXIT_INTERRUPTED if outcome.signal == signal.SIGINT else EXIT_TERMINATED
    done = sum(row.done for row in outcome.rows)
    return EXIT_OK if done == len(batch.jobs) else EXIT_FAILED


@contextmanager
def cluster(address: str | None):
    """The executor and its thread count: None for local processes."""
    if address is None:
        yield None, None
        return
    try:
        from distributed import Client
    except ImportError:
        raise cli.UsageError("--cluster needs Dask: pip install 'velmar[cluster]'") from None
    try:
        client = Client(address)
    except OSError as error:
        raise ClusterUnreachable(f"cannot reach the cluster at {address}: {error}") from None
    with client:
        yield client.get_executor(), sum(client.nthreads().values()) or None


def run(options) -> int:
    from velmar import batch
    clock = time.monotonic()
    with cluster(options.cluster) as (executor, threads):
        plan = batch.prepare(options.inputs, options.output_dir, recursive=options.recursive,
                             extension=options.extension, **{
                                 name: value for name, value in
                                 cli.record_options(options).items()
                                 if name not in batch.NOT_IN_BATCH})
        if not plan.inputs:
            return cli.fail(EXIT_NOTHING, "no video file found in " + " ".join(options.inputs))
        report = Report(len(plan.jobs), options.progress and not options.quiet)
        try:
            outcome = batch.run(plan, jobs=options.jobs or threads, executor=executor,
                                progress=report)
        finally:
            report.close()
    if not options.quiet:
        print(summary(plan, outcome, time.monotonic() - clock))
    return exit_status(plan, outcome)


def main(argv: list[str]) -> int:
    try:
        options = build_parser().parse_args(argv)
        if options.progress is None:
            options.progress = sys.stderr.isatty()
        return run(options)
    except cli.UsageError as error:
        return cli.fail(EXIT_USAGE, error)
    except ClusterUnreachable as error:
        return cli.fail(EXIT_NOTHING, error)
    except (ValueError, TypeError, FileNotFoundError) as error:
        return cli.fail(EXIT_USAGE, error)
    except Exception as error:  # a failure of the batch itself, as writing its index
        return cli.fail(EXIT_FAILED, f"{type(error).__name__}: {error}")

