"""The user's command run as each event ends, so that the outside hears of
it. It runs beside the recording, never in its way: without a shell, in a
session of its own, given `timeout` seconds before it and whatever it
started are killed. Its failures are reported on a line each."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import threading
from collections.abc import Callable

from velmar.recording.events import Event
from velmar.recording.signals import block_stop_signals

MOST_RUNNING = 8  # commands at once; an event past them is reported, not run


def environment(camera: str, event: Event) -> dict[str, str]:
    """The event's fields, for the command."""
    return {"VELMAR_CAMERA": camera, "VELMAR_EVENT": str(event.event),
            "VELMAR_START": event.start.isoformat(timespec="microseconds"),
            "VELMAR_SECONDS": f"{event.seconds:.6f}",
            "VELMAR_VIDEO": os.path.abspath(event.video),
            "VELMAR_THUMBNAIL": "" if event.thumbnail is None else os.path.abspath(event.thumbnail)}


def stderr_line(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


class EventCommand:
    """Runs `words` for each event it is told of."""

    def __init__(self, words: list[str], timeout: float, camera: str,
                 report: Callable[[str], None] = stderr_line):
        self.words, self.timeout, self.camera, self.report = words, timeout, camera, report
        self.watchers: list[threading.Thread] = []

    def __call__(self, event: Event) -> None:
        """Starts the command on a thread of its own: even its start is
        kept off the recording's thread."""
        self.watchers = [watcher for watcher in self.watchers if watcher.is_alive()]
        if len(self.watchers) >= MOST_RUNNING:
            self._say(event, f"not run: {MOST_RUNNING} earlier ones still run")
            return
        watcher = threading.Thread(target=self._run, args=(event,), name="velmar-on-event",
                                   daemon=True)
        watcher.start()
        self.watchers.append(watcher)

    def _run(self, event: Event) -> None:
        block_stop_signals()
        try:
            process = subprocess.Popen(self.words, env={**os.environ,
                                                        **environment(self.camera, event)},
                                       stdin=subprocess.DEVNULL, start_new_session=True)
        except OSError as error:
            self._say(event, f"could not start: {error.strerror or error}")
            return
        try:
            status = process.wait(self.timeout)
        except subprocess.TimeoutExpired:
            _kill_session(process)
            self._say(event, f"killed after {self.timeout:g} s")
            return
        if status != 0:
            self._say(event, f"failed: {_how_it_ended(status)}")

    def _say(self, event: Event, what: str) -> None:
        self.report(f"velmar: {self.camera}: on_event for event {event.event} {what}")

    def close(self) -> None:
        """Waits for the commands still running; each ends by its own time limit."""
        for watcher in self.watchers:
            watcher.join()
        self.watchers = []


def _kill_session(process: subprocess.Popen) -> None:
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:  # ended meanwhile
        pass
    process.wait()


def _how_it_ended(status: int) -> str:
    if status < 0:
        return f"killed by signal {-status}"
    return f"exit status {status}"
