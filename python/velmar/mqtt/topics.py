"""The topics of the cameras and their messages, and Home Assistant's
discovery of them: per camera a binary sensor of its motion, a camera of
its events' pictures and a sensor of its state, under one device, each
available while velmar is."""

from __future__ import annotations

import json
import re
from dataclasses import dataclass
from typing import Any

import velmar

DISCOVERY = "homeassistant"
ONLINE, OFFLINE = "online", "offline"
ON, OFF = "ON", "OFF"
RECORDING, RECONNECTING, STOPPED = "recording", "reconnecting", "stopped"
NOT_IN_LEVEL = re.compile(r"[+#/\x00]")  # wildcards, a level's end, NUL


@dataclass(frozen=True)
class Message:
    topic: str
    payload: bytes | str
    retain: bool  # a state: its topic's latest is what counts


def available(prefix: str) -> str:
    return f"{prefix}/available"


@dataclass(frozen=True)
class CameraTopics:
    prefix: str
    camera: str

    @property
    def motion(self) -> str:
        return self._topic("motion")

    @property
    def state(self) -> str:
        return self._topic("state")

    @property
    def event(self) -> str:
        return self._topic("event")

    @property
    def snapshot(self) -> str:
        return self._topic("snapshot")

    def _topic(self, what: str) -> str:
        # A name taken from an output file's may hold what a topic cannot.
        return f"{self.prefix}/{NOT_IN_LEVEL.sub('_', self.camera)}/{what}"

    @property
    def node(self) -> str:
        """The camera in discovery topics and unique ids, which take only
        letters, digits, '_' and '-'; with the prefix, so that two velmars
        with cameras of one name stay apart."""
        return re.sub(r"[^A-Za-z0-9_-]", "_", f"{self.prefix}_{self.camera}")


def discovery(topics: CameraTopics) -> list[Message]:
    """The camera's discovery messages, retained: Home Assistant finds its
    entities whenever it starts."""
    entities: dict[tuple[str, str], dict[str, Any]] = {
        ("binary_sensor", "motion"): {"name": "Motion", "device_class": "motion",
                                      "state_topic": topics.motion, "payload_on": ON,
                                      "payload_off": OFF},
        ("camera", "snapshot"): {"name": "Event", "topic": topics.snapshot},
        ("sensor", "state"): {"name": "State", "state_topic": topics.state,
                              "device_class": "enum",
                              "options": [RECORDING, RECONNECTING, STOPPED]},
    }
    shared = {
        "availability": [{"topic": available(topics.prefix), "payload_available": ONLINE,
                          "payload_not_available": OFFLINE}],
        "device": {"identifiers": [topics.node], "name": topics.camera,
                   "manufacturer": "velmar", "model": "camera",
                   "sw_version": velmar.__version__},
    }
    return [Message(f"{DISCOVERY}/{component}/{topics.node}/{part}/config",
                    json.dumps({**entity, "unique_id": f"{topics.node}_{part}", **shared}),
                    retain=True)
            for (component, part), entity in entities.items()]
