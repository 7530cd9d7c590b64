"""The inputs of a batch and the folder each one records into.

Named files are taken as they are, glob patterns as the shell would expand
them, and folders are searched for video files by extension."""

from __future__ import annotations

import glob
import os
import re
from collections.abc import Iterable
from pathlib import Path

from velmar.batch.index import IndexRow
from velmar.shared.companions import INDEX_NAME

VIDEO_SUFFIXES = frozenset((".avi", ".mp4", ".mkv", ".mov", ".m4v", ".mpg", ".mpeg", ".ts",
                            ".webm", ".wmv", ".flv", ".3gp", ".mjpeg"))
PATTERN = re.compile(r"[*?[]")


def is_video(path: str) -> bool:
    return os.path.splitext(path)[1].lower() in VIDEO_SUFFIXES


def find_inputs(inputs: Iterable[str | os.PathLike], *, recursive: bool = False,
                exclude: str | None = None) -> list[str]:
    """Absolute paths of the input files, sorted, each once, none under
    `exclude` (the output folder: a batch never records its own outputs).
    A name that is no file, folder or pattern raises FileNotFoundError."""
    found: set[str] = set()
    for item in inputs:
        text = os.fspath(item)
        if os.path.isdir(text):
            found.update(_search(text, recursive))
        elif os.path.isfile(text):
            found.add(os.path.abspath(text))
        elif PATTERN.search(text):
            for match in glob.glob(text, recursive=True):
                found.update(_search(match, recursive) if os.path.isdir(match)
                             else [os.path.abspath(match)])
        else:
            raise FileNotFoundError(2, "no such file or folder", text)
    if exclude is not None:
        inside = os.path.join(os.path.abspath(exclude), "")
        found = {path for path in found if not path.startswith(inside)}
    return sorted(found)


def _search(folder: str, recursive: bool) -> list[str]:
    if not recursive:
        return [entry.path for entry in os.scandir(os.path.abspath(folder))
                if entry.is_file() and is_video(entry.name)]
    return [os.path.join(parent, name) for parent, _, names in os.walk(os.path.abspath(folder))
            for name in names if is_video(name)]


def assign_folders(inputs: list[str], index: dict[str, IndexRow]) -> dict[str, str]:
    """Input -> folder name in the output folder: the folder its earlier
    outputs went to, else its stem, then `stem-2`, `stem-3`, ... in the
    order of `inputs`, never one that another input's outputs are in."""
    claimed = {path: row.folder for path, row in index.items() if row.folder}
    taken = {folder.casefold() for folder in claimed.values()} | {INDEX_NAME}
    folders = {}
    for path in inputs:
        if path in claimed:
            folders[path] = claimed[path]
            continue
        stem = name = Path(path).stem
        number = 2
        while name.casefold() in taken:  # casefold: the disk may not tell Clip from clip
            name, number = f"{stem}-{number}", number + 1
        taken.add(name.casefold())
        folders[path] = name
    return folders
