"""Why a recording stopped, and what a script is told of it: each reason's
name, as `Recording.stop` and the batch index give it, its words in the
command's summary, the signal that gives it, if one does, the exit status it
gives by itself, and the state the live view shows once it has ended; and
the exit statuses of the commands."""

from __future__ import annotations

import signal
from dataclasses import dataclass

EXIT_OK, EXIT_NOTHING, EXIT_USAGE, EXIT_FAILED, EXIT_SOURCE_LOST = 0, 1, 2, 3, 4
EXIT_INTERRUPTED, EXIT_TERMINATED = 130, 143


@dataclass(frozen=True)
class StopReason:
    name: str
    text: str
    signal: int | None = None  # a recording stopped by it is unfinished
    exit_status: int | None = None  # else the recording's outcome decides
    state: str = "finished"


REASONS = {reason.name: reason for reason in (
    StopReason("end", "end of input"),
    StopReason("duration", "duration reached"),
    StopReason("key", "key pressed"),
    StopReason("interrupt", "interrupted", signal.SIGINT, EXIT_INTERRUPTED, "stopped"),
    StopReason("terminate", "terminated", signal.SIGTERM, EXIT_TERMINATED, "stopped"),
    StopReason("region", "region larger than the frames"),
    StopReason("disk_full", "disk full", state="disk full"),
    StopReason("source_lost", "source lost", state="outage"),
)}
UNFINISHED = tuple(name for name, reason in REASONS.items() if reason.signal is not None)
EXIT_BY_STOP = {name: reason.exit_status for name, reason in REASONS.items()
                if reason.exit_status is not None}


def by_signal(signum: int) -> str:
    """SIGINT interrupts; SIGTERM and SIGHUP terminate."""
    return "interrupt" if signum == signal.SIGINT else "terminate"
