"""velmar: record video from a camera, a stream or a file into timestamped video files."""

from __future__ import annotations

# Not imported from typing: the command's start-up stays as short as it can.
TYPE_CHECKING = False

__version__ = "0.2.0"
__all__ = ["record", "Recording", "OutputFile", "Progress", "SourceError", "Event", "Outage",
           "record_many", "IndexRow",
           "check", "FileCheck"]

if TYPE_CHECKING:
    from velmar.batch import IndexRow, record_many
    from velmar.checking import FileCheck, check
    from velmar.recording import (Event, Outage, OutputFile, Progress, Recording, SourceError,
                                  record)

_BATCH_NAMES = ("record_many", "IndexRow")
_CHECK_NAMES = ("check", "FileCheck")


# Loaded on first use: importing velmar.ccapture alone must not load the
# recording engine, so that its own import errors reach the caller unchanged.
def __getattr__(name):
    if name in _BATCH_NAMES:
        from velmar import batch
        return getattr(batch, name)
    if name in _CHECK_NAMES:
        from velmar import checking
        return getattr(checking, name)
    if name in __all__:
        from velmar import recording
        return getattr(recording, name)
    raise AttributeError(f"module 'velmar' has no attribute {name!r}")
