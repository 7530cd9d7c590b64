"""One camera's reports, as its recording gives them to the live view, as
its messages: its state; its motion, ON from an event's first written frame
(or, for one shorter than the reports' spacing, as it ends) and OFF as it
ends; each event's facts and its picture.

A motion recording writes only its events' frames, so an event has begun
once more frames are written than the events that have ended hold."""

from __future__ import annotations

import json
from collections.abc import Callable
from pathlib import Path
from typing import Any

from velmar.mqtt.topics import (OFF, ON, RECONNECTING, RECORDING, STOPPED, CameraTopics,
                                Message, discovery)

# The live view's states as the state topic gives them; a camera still
# starting says nothing yet.
STATES = {"recording": RECORDING, "reconnecting": RECONNECTING, "restarting": RECONNECTING,
          "outage": RECONNECTING, "disk full": STOPPED, "stopped": STOPPED,
          "finished": STOPPED, "failed": STOPPED}
# States in which no recording runs: an event open in the last one is over.
IDLE = ("starting", "restarting", "outage", "disk full", "stopped", "finished", "failed")


class CameraMessages:
    """Sends each message to `send`; `motion` says whether the camera keeps
    the frames of its events only."""

    def __init__(self, topics: CameraTopics, send: Callable[[Message], None], motion: bool):
        self.topics, self.send, self.motion = topics, send, motion
        self.state: str | None = None
        self.moving: bool | None = None
        self.in_events = 0  # frames of the recording's ended events

    def announce(self) -> None:
        for message in discovery(self.topics):
            self.send(message)
        self._motion(False)

    def receive(self, report: dict[str, Any]) -> None:
        if "event" in report:
            self._event(report["event"])
            return
        state = report.get("state")
        if state == "starting":  # a new recording, counted from 0
            self.in_events = 0
        if state in IDLE:
            self._motion(False)
        elif self.motion and report.get("frames_kept", 0) > self.in_events:
            self._motion(True)
        if state in STATES:
            self._state(STATES[state])

    def stop(self) -> None:
        """As velmar stops."""
        self._motion(False)
        self._state(STOPPED)

    def _event(self, event: dict[str, Any]) -> None:
        self.in_events += event["frames"]
        self._motion(True)  # an event shorter than the reports' spacing is still told
        picture = _read(event["thumbnail"])
        if picture is not None:
            self.send(Message(self.topics.snapshot, picture, retain=True))
        facts = {"camera": self.topics.camera, **{key: event[key] for key in (
            "event", "start", "seconds", "video", "thumbnail")}}
        self.send(Message(self.topics.event, json.dumps(facts), retain=False))
        self._motion(False)

    def _motion(self, moving: bool) -> None:
        if moving != self.moving:
            self.moving = moving
            self.send(Message(self.topics.motion, ON if moving else OFF, retain=True))

    def _state(self, state: str) -> None:
        if state != self.state:
            self.state = state
            self.send(Message(self.topics.state, state, retain=True))


def _read(path: str | None) -> bytes | None:
    """The event's picture; None when it has none, or it is gone."""
    if path is None:
        return None
    try:
        return Path(path).read_bytes()
    except OSError:
        return None
