"""A recording that decodes and encodes: run by the native engine, which
loads OpenCV and NumPy. A copy needs neither, so this module is imported
only when a recording encodes."""

from __future__ import annotations

import numpy as np

from velmar import _engine
from velmar.options import Settings
from velmar.recording import engine_hooks, outputs
from velmar.recording.live_source import LiveSource, Policy
from velmar.recording.opening import live_opener, opener
from velmar.recording.outages import OutageLog
from velmar.recording.reports import Reports


def run_engine(checked: Settings, engine: dict, stop: list, writers, events,
               outages: OutageLog, reports: Reports | None) -> tuple[object, bool]:
    """The engine's result, and whether a live source never opened."""
    live = _live_source(checked, engine, stop, outages, reports)
    try:
        plain, hooks = engine_hooks.split(
            {**engine, **_colours(engine)},
            stop=stop, progress=None if reports is None else reports.engine,
            writer=writers, log_opener=writers.open_log,
            on_event=events if engine["motion_based"] else None,
            **_reading(live, checked, stop))
        with outputs.opencv_quiet(checked.running.verbose):
            ran = _engine.run(plain, hooks)
    finally:
        if live is not None:
            live.release()
    return ran, live is not None and not live.opened


def _colours(engine: dict) -> dict:
    """The stamp's colours as the engine takes them: arrays of three int32."""
    return {name: np.array(engine[name], dtype=np.int32) for name in ("tb", "tc")
            if engine.get(name) is not None}


def _live_source(checked: Settings, engine: dict, stop: list, outages: OutageLog,
                 reports: Reports | None) -> LiveSource | None:
    if not engine["live"]:
        return None
    live = checked.live
    policy = Policy(live.reconnect, live.give_up, live.stall_timeout,
                    checked.running.read_ahead)
    # The engine's cv2, so that whatever stands in for it opens the source too.
    open_capture = live_opener(_engine.cv2, engine["input_"], live.stall_timeout,
                               live.rtsp_transport)
    return LiveSource(open_capture, policy, stop, outages,
                      on_attempt=(lambda number: None) if reports is None else reports.attempt)


def _reading(live: LiveSource | None, checked: Settings, stop: list) -> dict:
    """The engine's hooks that open and reopen the source."""
    if live is None:
        return {"opener": opener(_engine.cv2, checked.running.read_ahead, stop,
                                 pictures=checked.keeping.by_motion), "reconnect": None}
    return {"opener": lambda _value: live.open(),
            "reconnect": live.reconnect if checked.live.reconnect else None}
