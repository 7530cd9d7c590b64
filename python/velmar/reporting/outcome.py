"""A recording's end as told: the summary line, the events table, the state
the live view shows, the exit status with the line that says why; and the
one sequence that records and reports, for the command and for each camera
of `velmar run`."""

from __future__ import annotations

from velmar import options as table
from velmar.reporting.errors import fail, report
from velmar.reporting.reporters import joined, progress_to
from velmar.shared.stops import (EXIT_BY_STOP, EXIT_FAILED, EXIT_NOTHING, EXIT_OK,
                                 EXIT_SOURCE_LOST, REASONS)


def record_and_report(source, output, options: dict, *, reporter, lines, view, quiet: bool,
                      prefix: str = "velmar", events: bool = False) -> int:
    """Records with `velmar.record()`, showing progress to `reporter` (a bar
    or outage lines, or None), events to `lines` (or None) and both to
    `view` (the live view's side of this recording, or None), which is told
    the final state; prints the notes, deletions, events table (with
    `events`) and summary unless `quiet`. The exit status."""
    from velmar.recording import record
    try:
        result = record(source, output,
                        progress=progress_to(reporter, None if view is None else view.progress),
                        observer=joined(lines, view), **options)
    except Exception as error:
        _close(reporter, view, {"state": "failed", "problem": str(error)})
        return report(error, prefix)
    except BaseException:
        _close(reporter, view, {"state": "failed"})
        raise
    _close(reporter, view, final_state(result))
    if not quiet:
        for note in result.notes:
            print(f"{prefix}: note: {table.in_flags(note)}")
        for video in result.deleted:
            print(f"{prefix}: deleted {video} and its log (retention)")
        if events:
            print(events_table(result, prefix))
        print(summary(result, prefix))
    return outcome(result, source, prefix)


def _close(reporter, view, state: dict) -> None:
    if reporter is not None:
        reporter.close()
    if view is not None:
        view.close(state)


def events_table(result, prefix: str = "velmar", most: int = 20) -> str:
    """The events, a line each; the events log holds them all."""
    if not result.events:
        return f"{prefix}: no events"
    count = len(result.events)
    lines = [f"{prefix}: {count} event{'' if count == 1 else 's'} in {result.events_log}",
             "  event  start                       seconds  frames  video"]
    for e in result.events[:most]:
        lines.append(f"  {e.event:5d}  {e.start.isoformat(timespec='microseconds'):26s}  "
                     f"{e.seconds:7.2f}  {e.frames:6d}  {e.video.name}")
    if len(result.events) > most:
        lines.append(f"  ... and {len(result.events) - most} more")
    if result.contact_sheets:
        lines.append("  contact sheet: " + ", ".join(map(str, result.contact_sheets)))
    return "\n".join(lines)


def summary(result, prefix: str = "velmar") -> str:
    names = [str(path) for f in result.files for path in (f.video, f.log)]
    files = ", ".join(names) if names else "none"
    outages = ""
    if result.outages:
        count, seconds = len(result.outages), sum(o.seconds for o in result.outages)
        outages = (f"{count} outage{'' if count == 1 else 's'}, {seconds:.1f} s in all, "
                   f"in {result.outages_log}; ")
    return (f"{prefix}: {result.frames_read} frames read, {result.frames_kept} kept; "
            f"files: {files}; {outages}stopped: {REASONS[result.stop].text}; "
            f"{result.elapsed:.1f} s" + (f"; codec: {result.codec}" if result.codec else ""))


def outcome(result, source, prefix: str = "velmar") -> int:
    """The exit status of a recording, with the line that says why when it is not 0."""
    if result.stop in EXIT_BY_STOP:
        return EXIT_BY_STOP[result.stop]
    if result.stop == "source_lost":
        return fail(EXIT_SOURCE_LOST, f"the source {source!r} was lost", prefix)
    if result.stop == "disk_full":
        return fail(EXIT_FAILED, table.in_flags(result.problem), prefix)
    if result.stop == "region":
        return fail(EXIT_NOTHING, "the region is larger than the frames; nothing recorded",
                    prefix)
    if result.frames_read == 0:
        return fail(EXIT_NOTHING, f"no frame could be read from {source!r}", prefix)
    return EXIT_OK


def final_state(result) -> dict:
    """What the live view shows of a recording that has ended."""
    return {"state": REASONS[result.stop].state, "problem": result.problem,
            "frames_read": result.frames_read, "frames_kept": result.frames_kept,
            "outages": len(result.outages)}
