"""Checking recordings: each video against its frame log, and the events
log against both, as a crash (kill -9, power cut, full disk) may have left
them; with `repair`, each log made to agree with its video.

`velmar.check()` is this package's `check()`. The package is not called
`velmar.check`: importing it would then replace that function with itself."""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable
from dataclasses import replace
from itertools import groupby
from pathlib import Path

from velmar.checking.events import (EventsLog, events_kept, events_logs, read_events,
                                    rewrite_events, runs)
from velmar.checking.finding import Pair, find_pairs
from velmar.checking.pairs import Found, counted, find
from velmar.checking.repair import repair as repair_pair
from velmar.checking.results import FileCheck

__all__ = ["check", "FileCheck"]


def check(paths: Iterable[str | os.PathLike], *, repair: bool = False,
          progress: Callable[[FileCheck], None] | None = None) -> list[FileCheck]:
    """Checks every video with its log in `paths` (videos, logs, or folders
    searched with their subfolders for logs `NAME.csv` of videos `NAME`),
    a folder at a time, and gives one `FileCheck` per video in sorted order.

    With `repair`, a log that disagrees is made to agree with its video:
    rows of lost frames dropped, frames past the last row cut from the
    video (or, where a cut would not be exact, their rows written from the
    frames' times), a header restored, a cut-off last row dropped, and the
    events log cut back to its events whose frames are there, and given
    back the events its videos hold that it lacks (or its header). A pair that
    agrees is not touched; no video or log is ever deleted. Each file is
    replaced whole or not at all. `progress` is called with each result.
    Raises FileNotFoundError for a path that does not exist."""
    results: list[FileCheck] = []
    for folder, pairs in groupby(find_pairs(paths), key=lambda pair: pair.video.parent):
        for result in _check_folder(folder, list(pairs), repair):
            results.append(result)
            if progress is not None:
                progress(result)
    return results


def _check_folder(folder: Path, pairs: list[Pair], repair: bool) -> list[FileCheck]:
    found = [find(pair) for pair in pairs]
    done = [repair_pair(each) if repair else [] for each in found]
    now = [find(each.pair) if did else each for each, did in zip(found, done)]
    results = {after.pair.video.name: _result(before, after, did)
               for before, after, did in zip(found, now, done)}
    _check_events(folder, now, results, repair)
    return list(results.values())


def _result(before: Found, after: Found, done: list[str]) -> FileCheck:
    log = after.log
    return FileCheck(
        after.pair.video, after.pair.log,
        opens=after.video is not None and after.video.opens, frames=after.frames,
        rows=after.rows, header=log is not None and log.header == "ok",
        in_order=log is not None and log.out_of_order is None and log.unreadable is None,
        ok=after.agrees, problem="; ".join(before.problems()) or None,
        repaired="; ".join(done) or None)


def _check_events(folder: Path, found: list[Found], results: dict[str, FileCheck],
                  repair: bool) -> None:
    """Each events log of the folder, held against the logs as they are now;
    what it names wrongly, or lacks, goes with the video of its first wrong
    or missing event."""
    logged = {each.pair.video.name: each.logged() for each in found}
    anywhere = set().union(*(frames for frames in logged.values() if frames))
    for path in events_logs(folder):
        log = read_events(path)
        kept = events_kept(log, logged.get, anywhere)
        added = runs((each.pair.video.name, each.log.rows[:each.video.frames])
                     for each in found
                     if log.names(each.pair.video.name) and logged[each.pair.video.name]
                     is not None)[kept:]
        problems, mends = _events_findings(log, kept, len(added))
        owner = _owner([run.video for run in added[:1]] + list(log.videos[kept:kept + 1])
                       + list(log.videos[:1]), results)
        if not problems or owner is None:
            continue
        if repair:
            rewrite_events(log, kept, added)
        results[owner] = _with_events(results[owner], problems, mends, repair)


def _events_findings(log: EventsLog, kept: int, added: int) -> tuple[list[str], list[str]]:
    """What is wrong with an events log, and what a repair does of it."""
    name = log.path.name
    if not log.has_header:
        return [f"{name} has no header"], [
            f"wrote {name} anew with the {counted(added, 'event')} of its videos"]
    problems, mends = [], []
    if kept < len(log.frames):
        problems.append(f"{name} names frames not in the videos from its event {kept + 1}")
        mends.append(f"cut {name} back to its {counted(kept, 'event')} whose frames are there")
    if added:
        problems.append(f"{name} lacks {counted(added, 'event')} that its videos hold")
        mends.append(f"added {counted(added, 'event')} from its videos to {name}")
    return problems, mends


def _owner(videos, results: dict[str, FileCheck]) -> str | None:
    return next((video for video in videos if video in results), None)


def _with_events(result: FileCheck, problems: list[str], mends: list[str],
                 repaired: bool) -> FileCheck:
    return replace(result, ok=result.ok and repaired,
                   problem="; ".join(filter(None, [result.problem, *problems])),
                   repaired="; ".join(filter(None, [result.repaired,
                                                    *(mends if repaired else [])])) or None)
