"""The videos and logs to check, from the paths given: a log is `NAME.csv`
beside its video `NAME`; a folder is searched with its subfolders."""

from __future__ import annotations

import errno
import os
from collections.abc import Iterable
from dataclasses import dataclass
from pathlib import Path

from velmar.shared.companions import EVENTS_SUFFIX, INDEX_NAME, OUTAGES_SUFFIX


@dataclass(frozen=True, order=True)
class Pair:
    video: Path
    log: Path


def find_pairs(paths: Iterable[str | os.PathLike]) -> list[Pair]:
    """Each video with its log once, sorted, so that a folder's come together."""
    found: set[Pair] = set()
    for given in map(Path, paths):
        if given.is_dir():
            found.update(_pair(log) for log in given.rglob("*.csv") if _is_frame_log(log))
        elif given.exists() or given.with_name(given.name + ".csv").exists():
            found.add(_pair(given) if given.suffix == ".csv" else Pair(given, _log_of(given)))
        else:
            raise FileNotFoundError(errno.ENOENT, "no such file or folder", str(given))
    return sorted(found)


def _is_frame_log(path: Path) -> bool:
    """`clip.mp4.csv`: a name with a video's suffix before `.csv`; not an
    events or outages log or a batch's index, and not any other table."""
    name = path.name
    return (path.is_file() and not name.endswith((EVENTS_SUFFIX, OUTAGES_SUFFIX))
            and name != INDEX_NAME and Path(path.stem).suffix != "")


def _pair(log: Path) -> Pair:
    return Pair(log.with_name(log.stem), log)


def _log_of(video: Path) -> Path:
    return video.with_name(video.name + ".csv")
