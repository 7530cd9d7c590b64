"""The board: the latest facts of every camera, as its feed reports them,
for the live view to serve. Reports come from the recordings' threads or
processes; the server reads them from its own thread."""

from __future__ import annotations

import os
import shutil
import threading
import time
from collections import deque
from dataclasses import dataclass, field
from typing import Any

import velmar

LATEST_EVENTS = 6
# Every state a camera is shown in, in the order a metric lists them.
STATES = ("starting", "recording", "reconnecting", "restarting", "outage", "disk full",
          "stopped", "finished", "failed")
AWAY_STATES = ("reconnecting", "outage")  # its source gives no frames


@dataclass
class Picture:
    jpeg: bytes
    number: int  # counts the pictures of a camera, so a stream sends each once
    at: str      # when it was written, local time


@dataclass
class CameraView:
    name: str
    state: str = "starting"
    problem: str | None = None
    folder: str = "."
    output: str | None = None  # the recording's output, strftime fields and all
    pid: int | None = None
    restarts: int = 0
    frames_read: int = 0
    frames_kept: int = 0
    outages: int = 0
    seconds_away: float = 0.0  # in the away states, as the board saw them
    away_since: float | None = None  # monotonic time it went away, while it is
    event_count: int = 0
    events: deque = field(default_factory=lambda: deque(maxlen=LATEST_EVENTS))
    thumbnails: dict[int, str] = field(default_factory=dict)  # event -> file it showed
    picture: Picture | None = None


class Board:
    """The cameras by name, with a lock for their facts."""

    def __init__(self, names):
        self.cameras = {name: CameraView(name) for name in names}
        self.lock = threading.Lock()

    def receive(self, name: str, report: dict[str, Any]) -> None:
        """A feed's report: `picture` (JPEG bytes and time), `event` (its
        fields), or any of the view's plain facts."""
        view = self.cameras[name]
        with self.lock:
            if "picture" in report:
                number = view.picture.number + 1 if view.picture else 1
                view.picture = Picture(report["picture"], number, report["at"])
            elif "event" in report:
                self._add_event(view, report["event"])
            else:
                if "state" in report:
                    self._note_away(view, report["state"])
                for key, value in report.items():
                    setattr(view, key, value)

    @staticmethod
    def _add_event(view: CameraView, event: dict[str, Any]) -> None:
        view.event_count = max(view.event_count, event["event"])
        if len(view.events) == view.events.maxlen:
            view.thumbnails.pop(view.events[0]["event"], None)
        view.events.append({key: value for key, value in event.items() if key != "thumbnail"})
        if event.get("thumbnail"):
            view.thumbnails[event["event"]] = event["thumbnail"]

    @staticmethod
    def _note_away(view: CameraView, state: str) -> None:
        now = time.monotonic()
        if view.away_since is not None:
            view.seconds_away += now - view.away_since
        view.away_since = now if state in AWAY_STATES else None

    def output(self, name: str) -> str | None:
        with self.lock:
            return self.cameras[name].output

    def picture(self, name: str) -> Picture | None:
        with self.lock:
            return self.cameras[name].picture

    def thumbnail(self, name: str, event: int) -> str | None:
        """The file of a latest event's picture, as its recording named it."""
        with self.lock:
            return self.cameras[name].thumbnails.get(event)

    def status(self) -> dict[str, Any]:
        with self.lock:
            cameras = [self._camera_status(view) for view in self.cameras.values()]
        for camera in cameras:  # the disk is asked outside the lock
            camera["disk"] = disk(camera["disk"])
        return {"velmar": velmar.__version__,
                "time": time.strftime("%Y-%m-%dT%H:%M:%S%z"), "cameras": cameras}

    @staticmethod
    def _camera_status(view: CameraView) -> dict[str, Any]:
        base = f"/camera/{view.name}"
        events = [{**event, "thumbnail": (f"{base}/event/{event['event']}.jpg"
                                          if event["event"] in view.thumbnails else None)}
                  for event in reversed(view.events)]
        return {"name": view.name, "state": view.state, "problem": view.problem,
                "pid": view.pid, "restarts": view.restarts, "frames_read": view.frames_read,
                "frames_kept": view.frames_kept, "outages": view.outages,
                "seconds_away": round(view.seconds_away + (
                    0.0 if view.away_since is None else time.monotonic() - view.away_since), 3),
                "events": view.event_count, "latest_events": events,
                "picture_at": view.picture.at if view.picture else None,
                "stream": f"{base}/stream.mjpg", "snapshot": f"{base}/snapshot.jpg",
                "disk": view.folder}


def disk(folder: str) -> dict[str, Any]:
    """The space of the disk a camera records to, in bytes."""
    folder = os.path.abspath(folder)
    try:
        usage = shutil.disk_usage(folder)
    except OSError as error:
        return {"folder": folder, "problem": error.strerror or str(error)}
    return {"folder": folder, "total": usage.total, "used": usage.used, "free": usage.free}
