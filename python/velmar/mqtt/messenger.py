"""The cameras' reports told to an MQTT broker: one connection for them
all, each camera's messages made from its reports."""

from __future__ import annotations

import sys
from collections.abc import Callable, Mapping
from typing import Any

from velmar.mqtt.broker import broker
from velmar.mqtt.camera_messages import CameraMessages
from velmar.mqtt.publisher import Publisher
from velmar.mqtt.topics import CameraTopics


def say(line: str) -> None:
    print(line, file=sys.stderr, flush=True)


class Messenger:
    """`cameras` maps each camera's name to whether it keeps the frames of
    its events only. From `start()` until `close()`."""

    def __init__(self, url: str, prefix: str, cameras: Mapping[str, bool],
                 lines: Callable[[str], None] = say):
        self.publisher = Publisher(broker(url), prefix, lines)
        self.cameras = {name: CameraMessages(CameraTopics(prefix, name), self.publisher.put,
                                             motion)
                        for name, motion in cameras.items()}

    def start(self) -> None:
        for camera in self.cameras.values():
            camera.announce()
        self.publisher.start()

    def receive(self, name: str, report: dict[str, Any]) -> None:
        """A report of the camera called `name`, as its live view is given it."""
        self.cameras[name].receive(report)

    def close(self) -> None:
        """Each camera stopped, then velmar offline."""
        for camera in self.cameras.values():
            camera.stop()
        self.publisher.close()
