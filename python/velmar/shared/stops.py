"""Why a recording stopped: each reason's name, as `Recording.stop` and the
batch index give it, its words in the command's summary, and the signal
that gives it, if one does."""

from __future__ import annotations

import signal
from dataclasses import dataclass


@dataclass(frozen=True)
class StopReason:
    name: str
    text: str
    signal: int | None = None  # a recording stopped by it is unfinished


REASONS = {reason.name: reason for reason in (
    StopReason("end", "end of input"),
    StopReason("duration", "duration reached"),
    StopReason("key", "key pressed"),
    StopReason("interrupt", "interrupted", signal.SIGINT),
    StopReason("terminate", "terminated", signal.SIGTERM),
    StopReason("region", "region larger than the frames"),
    StopReason("disk_full", "disk full"),
    StopReason("source_lost", "source lost"),
)}
UNFINISHED = tuple(name for name, reason in REASONS.items() if reason.signal is not None)


def by_signal(signum: int) -> str:
    """SIGINT interrupts; SIGTERM and SIGHUP terminate."""
    return "interrupt" if signum == signal.SIGINT else "terminate"
