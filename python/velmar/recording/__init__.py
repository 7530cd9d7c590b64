"""One recording: `record()`, what it reads and writes, and what it gives back.

Its names load on first use, so that what only needs the results or the
stop reasons (the command, before it records) does not load the engine."""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from velmar.recording.events import Event
    from velmar.recording.outages import Outage
    from velmar.recording.recorder import check_options, record
    from velmar.recording.results import OutputFile, Progress, Recording, SourceError

__all__ = ["record", "check_options", "Recording", "OutputFile", "Progress", "SourceError",
           "Event", "Outage"]
_HOMES = {"record": "recorder", "check_options": "recorder", "Event": "events",
          "Outage": "outages"}


def __getattr__(name):
    if name not in __all__:
        raise AttributeError(f"module 'velmar.recording' has no attribute {name!r}")
    from importlib import import_module
    return getattr(import_module(f"velmar.recording.{_HOMES.get(name, 'results')}"), name)
