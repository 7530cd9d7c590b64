"""What `velmar.check()` gives back: one `FileCheck` per video with its log."""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path


@dataclass(frozen=True)
class FileCheck:
    """A video and its log as they are once checked (and repaired, if asked).

    `problem` is what was found wrong, on one line, None when everything
    agreed; `repaired` what a repair did, None when it did nothing. `ok`
    says that everything agrees now: the video opens, the log has its
    header and whole rows in order, one per decoded frame, and the events
    log beside it names only frames that are there."""

    video: Path
    log: Path
    opens: bool
    frames: int
    rows: int
    header: bool
    in_order: bool
    ok: bool
    problem: str | None = None
    repaired: str | None = None

    @property
    def agreed(self) -> bool:
        """Everything agreed as found: nothing was wrong and nothing done."""
        return self.ok and self.problem is None
