"""Worker processes that must not outlive their parent (a `velmar run`
camera's, a `velmar batch` input's): when the parent dies, kill -9 and
crashes included, Linux sends them SIGTERM, which ends a recording under way
in order, its files and logs closed, and then the worker."""

from __future__ import annotations

import os
import signal
import sys

PR_SET_PDEATHSIG = 1  # Linux's prctl option: a signal for when the parent dies


def stop_with(parent: int) -> None:
    """Called in the worker, `parent` the process id of the one that started
    it. Linux watches the parent's thread that started the worker: the
    parent keeps that thread as long as its workers."""
    if sys.platform.startswith("linux"):
        import ctypes
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM)
    if os.getppid() != parent:  # it died before it could be watched
        os.kill(os.getpid(), signal.SIGTERM)
