"""Many inputs recorded with the same options, each into its own folder of
an output folder, with `index.csv` there telling what became of each. The
inputs the index shows as done are skipped; the others run on local worker
processes or on any `concurrent.futures.Executor`, such as a Dask cluster's."""

from __future__ import annotations

import os
from collections.abc import Callable
from concurrent.futures import Executor
from typing import Any

from velmar import options as table
from velmar.batch.index import IndexRow
from velmar.batch.plan import Batch, Inputs, prepare
from velmar.batch.runner import Outcome, run

__all__ = ["record_many", "prepare", "run", "Batch", "Outcome", "IndexRow"]


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
    jobs = table.BATCH_BY_NAME["jobs"].checked(jobs)  # before the output folder is made
    batch = prepare(inputs, output_dir, recursive=recursive, extension=extension, **options)
    outcome = run(batch, jobs=jobs, executor=executor, progress=progress)
    rows = {row.input: row for row in [*batch.skipped, *outcome.rows]}
    return [rows[path] for path in batch.inputs if path in rows]
