"""Running a batch: its jobs on local worker processes or on any
`concurrent.futures.Executor`, each input's row appended to the index as it
finishes, and an orderly stop on SIGINT, SIGTERM and SIGHUP."""

from __future__ import annotations

import os
from collections.abc import Callable
from concurrent.futures import FIRST_COMPLETED, Executor, Future, wait
from dataclasses import dataclass, replace

from velmar import options as table
from velmar.batch.executors import WorkerPool
from velmar.batch.index import IndexRow, IndexWriter
from velmar.batch.plan import Batch
from velmar.batch.jobs import Job, record_one
from velmar.shared import stops
from velmar.recording.signals import noted_signals

POLL_SECONDS = 0.1  # how soon a signal is passed on to the workers


@dataclass(frozen=True)
class Outcome:
    """The rows a run wrote, in the order the inputs finished, and the
    signal that stopped it early, if one did."""

    rows: list[IndexRow]
    signal: int | None


def run(batch: Batch, *, jobs: int | None = None, executor: Executor | None = None,
        progress: Callable[[IndexRow], None] | None = None) -> Outcome:
    """Records the batch's jobs, `jobs` at a time (default: the number of
    cores), on local worker processes or on `executor`, appending each row to
    the index as its input finishes. SIGINT, SIGTERM and SIGHUP stop it in
    order: local workers end their recordings, no new input starts; a second
    signal stops waiting for inputs still running elsewhere."""
    limit = table.BATCH_BY_NAME["jobs"].checked(jobs) or os.cpu_count() or 1
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
    if received and row is not None and row.stop in stops.UNFINISHED:
        return replace(row, stop=stops.by_signal(received[0]))
    return row
