"""Many inputs recorded with the same options, each into its own folder of
an output folder, with `index.csv` there telling what became of each. The
inputs the index shows as done are skipped; the others run on local worker
processes or on any `concurrent.futures.Executor`, such as a Dask cluster's."""

from __future__ import annotations

import inspect
import os
import re
import tempfile
from collections.abc import Callable, Iterable
from concurrent.futures import FIRST_COMPLETED, Executor, Future, wait
from dataclasses import dataclass, replace
from typing import Any

from velmar import checks
from velmar.batch_index import (INDEX_NAME, UNFINISHED, IndexRow, IndexWriter, latest,
                                 read_index)
from velmar.batch_inputs import assign_folders, find_inputs
from velmar.batch_workers import Job, WorkerPool, record_one
from velmar.signals import noted_signals, stop_reason

# record()'s options that a batch does not take: its inputs are files,
# recorded in other processes, without windows.
NOT_IN_BATCH = frozenset(("source", "output", "progress", "verbose", "preview", "show_diff",
                          "camera_size", "camera_fps", "camera_settings"))
POLL_SECONDS = 0.1  # how soon a signal is passed on to the workers

Inputs = str | os.PathLike | Iterable[str | os.PathLike]


@dataclass(frozen=True)
class Batch:
    """What a run of a batch will do: `jobs` to record, and the rows of the
    inputs `skipped` as done before with the same size and modification time."""

    output_dir: str
    inputs: list[str]
    jobs: list[Job]
    skipped: list[IndexRow]

    @property
    def index_path(self) -> str:
        return os.path.join(self.output_dir, INDEX_NAME)


@dataclass(frozen=True)
class Outcome:
    """The rows a run wrote, in the order the inputs finished, and the
    signal that stopped it early, if one did."""

    rows: list[IndexRow]
    signal: int | None


def prepare(inputs: Inputs, output_dir: str | os.PathLike, *, recursive: bool = False,
            extension: str = ".mp4", **options: Any) -> Batch:
    """Finds the inputs and checks the options before anything is written;
    makes the output folder when there are inputs."""
    if isinstance(inputs, (str, os.PathLike)):
        inputs = [inputs]
    output_dir = os.path.abspath(output_dir)
    found = find_inputs(inputs, recursive=recursive, exclude=output_dir)
    _check_options(options, extension, found[0] if found else None)
    if not found:
        return Batch(output_dir, [], [], [])
    _make_folder(output_dir)
    index = latest(read_index(os.path.join(output_dir, INDEX_NAME)))
    folders = assign_folders(found, index)
    jobs, skipped = [], []
    for path in found:
        stat, row = os.stat(path), index.get(path)
        if row is not None and row.done and (row.size, row.mtime) == (stat.st_size, stat.st_mtime):
            skipped.append(row)
        else:
            jobs.append(Job(path, stat.st_size, stat.st_mtime, output_dir, folders[path],
                            extension, options))
    return Batch(output_dir, found, jobs, skipped)


def _check_options(options: dict[str, Any], extension: str, sample: str | None) -> None:
    """record()'s own checks, made once for all inputs on a name in a folder of our own."""
    from velmar.recording import _engine_options, record
    parameters = inspect.signature(record).parameters
    for name in options:
        if name not in parameters or name in NOT_IN_BATCH:
            raise TypeError(f"a batch takes record()'s options for files, without windows, "
                            f"camera requests or callbacks; not {name!r}")
    if not isinstance(extension, str) or not re.fullmatch(r"\.[A-Za-z0-9]+", extension):
        raise ValueError(f"extension must be a dot and letters or digits, as '.avi', "
                         f"not {extension!r}")
    if sample is None:
        return
    with tempfile.TemporaryDirectory() as folder:
        defaults = {name: p.default for name, p in parameters.items()}
        _engine_options(**{**defaults, **options, "source": sample,
                           "output": os.path.join(folder, "check" + extension)})


def _make_folder(output_dir: str) -> None:
    try:
        os.makedirs(output_dir, exist_ok=True)
    except OSError as error:
        raise ValueError(f"cannot make the output folder {output_dir!r}: "
                         f"{error.strerror or error}") from None


def run(batch: Batch, *, jobs: int | None = None, executor: Executor | None = None,
        progress: Callable[[IndexRow], None] | None = None) -> Outcome:
    """Records the batch's jobs, `jobs` at a time (default: the number of
    cores), on local worker processes or on `executor`, appending each row to
    the index as its input finishes. SIGINT, SIGTERM and SIGHUP stop it in
    order: local workers end their recordings, no new input starts; a second
    signal stops waiting for inputs still running elsewhere."""
    limit = checks.integer("jobs", jobs, 1) if jobs is not None else os.cpu_count() or 1
    if not batch.jobs:
        return Outcome([], None)
    with noted_signals() as received, IndexWriter(batch.index_path) as index:
        if executor is not None:
            return _run(batch.jobs, executor, limit, None, index, received, progress)
        with WorkerPool(min(limit, len(batch.jobs))) as pool:
            return _run(batch.jobs, pool, limit, pool.stop_workers, index, received, progress)


def _run(jobs, executor, limit, stop_workers, index, received, progress) -> Outcome:
    rows, waiting, todo = [], {}, iter(jobs)
    while True:
        while not received and len(waiting) < limit and (job := next(todo, None)) is not None:
            waiting[_submit(executor, job)] = job
        if not waiting:
            break
        done, _ = wait(waiting, timeout=POLL_SECONDS, return_when=FIRST_COMPLETED)
        if received and stop_workers is not None:
            stop_workers()
        for future in done:
            row = _row(future, waiting.pop(future), received)
            if row is not None:
                index.append(row)
                rows.append(row)
                if progress is not None:
                    progress(row)
        if len(received) > 1:
            for future in waiting:
                future.cancel()
            break
    return Outcome(rows, received[0] if received else None)


def _submit(executor: Executor, job: Job) -> Future:
    try:
        return executor.submit(record_one, job)
    except Exception as error:  # a closed or broken executor: this input fails, the batch goes on
        future = Future()
        future.set_exception(error)
        return future


def _row(future: Future, job: Job, received: list[int]) -> IndexRow | None:
    """The input's row; None for one that did not run, or was cut off by the
    stop. An input the stop ended says why the batch stopped."""
    if future.cancelled():
        return None
    try:
        row = future.result()
    except Exception as error:
        if received:
            return None
        return job.row(stop="error", error=f"{type(error).__name__}: {error}")
    if received and row is not None and row.stop in UNFINISHED:
        return replace(row, stop=stop_reason(received[0]))
    return row


def record_many(inputs: Inputs, output_dir: str | os.PathLike, *, jobs: int | None = None,
                executor: Executor | None = None, recursive: bool = False,
                extension: str = ".mp4", progress: Callable[[IndexRow], None] | None = None,
                **options: Any) -> list[IndexRow]:
    """Records each input with `record(**options)` into
    `output_dir/<input stem>/<input stem><extension>`, and returns the index
    row of each input, in sorted input order.

    `inputs` are video files, folders (searched for video files, with their
    subfolders when `recursive`) or glob patterns. Inputs with the same stem
    get `stem-2`, `stem-3`, ... `output_dir/index.csv` gets a row per
    finished input as it finishes; inputs it shows as done, with the same
    size and modification time, are skipped (their earlier row is returned),
    failed and interrupted ones are recorded again. A failing input gets its
    error in its row and the others go on. Outputs are never overwritten.

    `jobs` inputs run at a time (default: the number of cores), in worker
    processes with one OpenCV thread each, or on `executor` (any
    `concurrent.futures.Executor`, such as a Dask client's `get_executor()`),
    which then needs velmar where it runs and the files on shared storage.
    `progress` is called with each new row. SIGINT, SIGTERM and SIGHUP end
    the recordings under way in order (stop "interrupt" or "terminate") and
    start no new input; inputs not started have no row.
    """
    batch = prepare(inputs, output_dir, recursive=recursive, extension=extension, **options)
    outcome = run(batch, jobs=jobs, executor=executor, progress=progress)
    rows = {row.input: row for row in [*batch.skipped, *outcome.rows]}
    return [rows[path] for path in batch.inputs if path in rows]
