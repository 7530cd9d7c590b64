"""What a batch will do: its inputs found, its options checked once for all
of them, its output folder made, and the inputs the index shows as done
set aside."""

from __future__ import annotations

import os
import tempfile
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any

from velmar import options as table
from velmar.batch.index import IndexRow, latest, read_index
from velmar.shared.companions import INDEX_NAME
from velmar.batch.inputs import assign_folders, find_inputs
from velmar.batch.jobs import Job

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
    from velmar import recording
    for name in options:
        if name not in table.IN_BATCH:
            raise TypeError(f"a batch takes record()'s options for files, without windows, "
                            f"camera requests or callbacks; not {name!r}")
    table.BATCH_BY_NAME["extension"].checked(extension)
    if sample is None:
        return
    with tempfile.TemporaryDirectory() as folder:
        recording.check_options(sample, os.path.join(folder, "check" + extension), **options)


def _make_folder(output_dir: str) -> None:
    try:
        os.makedirs(output_dir, exist_ok=True)
    except OSError as error:
        raise ValueError(f"cannot make the output folder {output_dir!r}: "
                         f"{error.strerror or error}") from None
