"""A camera's worker process: records it with `velmar.record()`, reporting
to the supervisor through a pipe (pictures, state, events) and to the
journal on standard error, a line per event and outage; its exit status is
the `velmar` command's."""

from __future__ import annotations

import os
import signal
import sys

from velmar.parent_death import stop_with
from velmar.service.config import Camera


def work(camera: Camera, connection, quiet: bool, supervisor: int) -> None:
    """The worker's whole life; it ends the process with its exit status."""
    # Until the recording notes signals itself, a stop signal ends the
    # worker at once: it has nothing open yet.
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    # A worker whose supervisor died must not record on unsupervised beside the next one.
    stop_with(supervisor)
    sys.stdout.reconfigure(line_buffering=True)
    sys.exit(_record(camera, connection, quiet))


def _record(camera: Camera, connection, quiet: bool) -> int:
    from velmar.cli.common import report
    from velmar.cli.record_command import final_state, outcome, summary
    from velmar.cli.reporters import EventLines, OutageLines, joined, progress_to
    from velmar.live.feed import Feed
    from velmar.recording import record
    from velmar.recording.outputs import output_folder

    prefix = f"velmar: {camera.name}"
    options = dict(camera.options)
    source, output = options.pop("source"), options.pop("output")
    feed = Feed(connection.send)
    feed.put({"state": "starting", "pid": os.getpid(),
              "folder": output_folder(os.fspath(output))})
    lines = None if quiet else OutageLines(prefix)
    try:
        result = record(source, output, progress=progress_to(lines, feed.progress),
                        observer=joined(None if quiet else EventLines(prefix), feed), **options)
    except Exception as error:
        feed.close({"state": "failed", "problem": str(error)})
        return report(error, prefix)
    feed.close(final_state(result))
    if not quiet:
        print(summary(result).replace("velmar:", f"{prefix}:", 1))
    return outcome(result, source, prefix)
