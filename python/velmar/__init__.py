"""velmar: record video from a camera, a stream or a file into timestamped video files."""

from __future__ import annotations

# Not imported from typing: the command's start-up stays as short as it can.
TYPE_CHECKING = False

__version__ = "0.2.0"
__all__ = ["record", "Recording", "OutputFile", "Progress", "SourceError", "Event",
           "record_many", "IndexRow"]

if TYPE_CHECKING:
    from velmar.batch import record_many
    from velmar.batch_index import IndexRow
    from velmar.recording import record
    from velmar.events import Event
    from velmar.results import OutputFile, Progress, Recording, SourceError


# Loaded on first use: importing velmar.ccapture alone must not load the
# recording engine, so that its own import errors reach the caller unchanged.
def __getattr__(name):
    if name == "record":
        from velmar.recording import record
        return record
    if name == "Event":
        from velmar.events import Event
        return Event
    if name == "record_many":
        from velmar.batch import record_many
        return record_many
    if name == "IndexRow":
        from velmar.batch_index import IndexRow
        return IndexRow
    if name in __all__:
        from velmar import results
        return getattr(results, name)
    raise AttributeError(f"module 'velmar' has no attribute {name!r}")
