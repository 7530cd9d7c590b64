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
from velmar.shared.lingering import exit_status


def work(camera: Camera, connection, quiet: bool, supervisor: int, pictures: bool) -> None:
    """The worker's whole life; it ends the process with its exit status."""
    # Until the recording notes signals itself, a stop signal ends the
    # worker at once: it has nothing open yet.
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    # A worker whose supervisor died must not record on unsupervised beside the next one.
    stop_with(supervisor)
    sys.stdout.reconfigure(line_buffering=True)
    sys.exit(exit_status(_record(camera, connection, quiet, pictures)))


def _record(camera: Camera, connection, quiet: bool, pictures: bool) -> int:
    from velmar.live.feed import Feed
    from velmar.recording.outputs import output_folder
    from velmar.reporting.outcome import record_and_report
    from velmar.reporting.reporters import EventLines, OutageLines

    prefix = f"velmar: {camera.name}"
    options = dict(camera.options)
    source, output = options.pop("source"), options.pop("output")
    feed = Feed(connection.send, pictures=pictures)
    # The output's pattern names the recordings the page may list and play.
    feed.put({"state": "starting", "pid": os.getpid(),
              "folder": output_folder(os.fspath(output)),
              "output": os.path.abspath(os.fspath(output))})
    return record_and_report(source, output, options,
                             reporter=None if quiet else OutageLines(prefix),
                             lines=None if quiet else EventLines(prefix), view=feed,
                             quiet=quiet, prefix=prefix)
