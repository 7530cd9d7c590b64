"""A blocking call (opening a stream) made on a thread of its own, so that
the recording answers a signal at once while FFmpeg waits on the network.
A caller that stops waiting leaves what the call gives to `discard`, and
the thread to end alone, within `ends_within` seconds where the call has
a bound of its own."""

from __future__ import annotations

import threading
import time
from collections.abc import Callable
from typing import Any

from velmar.recording.signals import block_stop_signals
from velmar.shared import lingering

POLL = 0.1  # seconds between looks at the stop list


class Background:
    def __init__(self, call: Callable[[], Any], discard: Callable[[Any], None],
                 ends_within: float | None = None):
        self.call, self.discard, self.ends_within = call, discard, ends_within
        self.lock = threading.Lock()
        self.done = threading.Event()
        self.result: Any = None
        self.error: BaseException | None = None
        self.abandoned = False
        self.thread = threading.Thread(target=self._run, name="velmar-open", daemon=True)
        self.thread.start()

    def _run(self) -> None:
        block_stop_signals()
        result = error = None
        try:
            result = self.call()
        except BaseException as raised:  # handed to the waiting thread
            error = raised
        with self.lock:
            self.result, self.error, abandoned = result, error, self.abandoned
            self.done.set()
        if abandoned and result is not None:
            self.discard(result)

    def wait(self, stop: list, until: float | None = None) -> Any:
        """The call's result; None once `stop` holds anything or the
        monotonic time `until` has passed, the call then left to finish alone."""
        while not self.done.wait(POLL):
            if stop or (until is not None and time.monotonic() >= until):
                return self._abandon()
        if self.error is not None:
            raise self.error
        return self.result

    def _abandon(self) -> None:
        with self.lock:
            self.abandoned = not self.done.is_set()
            finished = None if self.abandoned else self.result
        if self.abandoned:
            lingering.leave(self.thread, self.ends_within)
        if finished is not None:
            self.discard(finished)
        return None
