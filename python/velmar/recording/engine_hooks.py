"""What the engine calls back during one recording, and the stop list it
reads between frames: `_engine.run(options, hooks)` reads each from the hooks'
attributes once, at the start, so its options hold plain values only."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass, fields
from typing import Any


@dataclass(frozen=True)
class EngineHooks:
    """None leaves the engine to its own way (cv2, open(), no reconnecting)."""

    stop: list | None = None  # signal numbers, "disk_full" or "source_lost", appended
    progress: Callable[[int, int, int, float], None] | None = None
    writer: Callable[..., Any] | None = None  # (name, codec, rate, size, colour) -> writer
    log_opener: Callable[[str], Any] | None = None
    on_event: Callable[[Any], None] | None = None  # given an _engine.EndedEvent
    opener: Callable[[Any], Any] | None = None  # source -> capture
    reconnect: Callable[[], bool] | None = None
    namer: Callable[[int, Any], str] | None = None  # (file number, first frame's time) -> name
    segmenter: Callable[[Any], bool] | None = None  # frame time -> whether a file starts
    detector: Callable[[Any, bool], tuple[bool, float]] | None = None


HOOKS = frozenset(field.name for field in fields(EngineHooks))


def split(engine: dict[str, Any], **more: Any) -> tuple[dict[str, Any], EngineHooks]:
    """The engine's plain options, and its hooks: those `engine` holds and `more`."""
    plain = {name: value for name, value in engine.items() if name not in HOOKS}
    return plain, EngineHooks(**{name: engine[name] for name in HOOKS & engine.keys()}, **more)
