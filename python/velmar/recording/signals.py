"""Signals during a recording: SIGINT, SIGTERM and SIGHUP only note that the
recording should stop, so the session finishes the frame it is writing and
closes every file before it returns."""

from __future__ import annotations

import signal
import threading
from contextlib import contextmanager

STOP_SIGNALS = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP")
                     if hasattr(signal, name))


def block_stop_signals() -> None:
    """On a helper thread: the stop signals go to the main thread, whose
    handlers note them, and never cut this thread's blocking calls short."""
    if hasattr(signal, "pthread_sigmask"):
        signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)


@contextmanager
def noted_signals():
    """Yields the list the handlers append signal numbers to. Handlers are
    installed only on the main thread, and the previous ones come back after."""
    received: list[int] = []
    if threading.current_thread() is not threading.main_thread():
        yield received
        return
    previous = {}
    try:
        for signum in STOP_SIGNALS:
            previous[signum] = signal.signal(signum, lambda n, _frame: received.append(n))
        yield received
    finally:
        for signum, handler in previous.items():
            # A handler set outside Python reads back as None.
            signal.signal(signum, signal.SIG_DFL if handler is None else handler)
