"""A log made to agree with its video after a crash.

Rows of frames that never reached the video are dropped. Frames past the
last row are cut from the video by copying its packets: the log is the
recording's own account of each frame's time, and a frame it never logged
has none. Where a cut would not be exact (frames reordered across it, as
H.264's B-frames are), the frames are kept and their rows written from
their presentation times after the last row's. A log with no rows gives no
time to start from, so its video is left as it is. Pairs whose rows are
unreadable or out of order are not guessed at."""

from __future__ import annotations

from datetime import timedelta

from velmar.checking.cut import cut_video
from velmar.checking.logs import Row, log_text
from velmar.checking.pairs import Found, counted, lost_rows
from velmar.checking.atomic import replace_bytes


def repair(found: Found) -> list[str]:
    """What was done, a phrase each; nothing for a pair that agrees or
    cannot be repaired."""
    log, video = found.log, found.video
    if found.agrees or log is None or video is None or not video.opens:
        return []
    if log.unreadable is not None or log.out_of_order is not None:
        return []
    rows, done = list(log.rows), _log_repairs(found)
    if len(rows) > video.frames:
        done.append(f"dropped {lost_rows(len(rows) - video.frames)} not in the video")
        rows = rows[:video.frames]
    elif rows and len(rows) < video.frames:
        rows, note = _frames_past_rows(found, rows)
        done += [note] if note else []
    if rows != list(log.rows) or not log.whole:
        replace_bytes(log.path, log_text(rows))
    return done


def _log_repairs(found: Found) -> list[str]:
    log = found.log
    done = [] if log.header == "ok" else ["restored the header"]
    if log.cut_row:
        done.append("dropped the cut-off last row")
    return done


def _frames_past_rows(found: Found, rows: list[Row]) -> tuple[list[Row], str | None]:
    times = found.video.times
    if cut_video(found.pair.video, times[:len(rows)]):
        return rows, f"cut the video back to its {counted(len(rows), 'logged frame')}"
    if None in times:  # frames without times: nothing to write their rows from
        return rows, None
    added = _rows_from_times(rows, times)
    return rows + added, (f"wrote {counted(len(added), 'row')} from the video's frame times "
                          f"(cutting it back would not be exact)")


def _rows_from_times(rows: list[Row], times) -> list[Row]:
    last, base = rows[-1], times[len(rows) - 1]
    return [Row(last.inframe + step, len(rows) + step - 1,
                last.time + timedelta(seconds=float(times[len(rows) + step - 1] - base)))
            for step in range(1, len(times) - len(rows) + 1)]
