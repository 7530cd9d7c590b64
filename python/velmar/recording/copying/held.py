"""What a copy holds of each packet read until it is written or let go, the
detection's decision on it, and a packet's copy of its own."""

from __future__ import annotations

from dataclasses import dataclass
from datetime import datetime
from typing import Any


@dataclass(frozen=True)
class Decision:
    """Whether the packet's frame shows motion, the largest changed area (in
    the recorded stream's pixels) and, for a thumbnail, its picture. A
    `blind` decision is one that could not come: the packet is kept."""

    motion: bool
    area: float = 0.0
    picture: Any = None
    blind: bool = False


BLIND = Decision(True, blind=True)


@dataclass(eq=False)
class Held:
    packet: Any
    inframe: int  # the source's frames read before it
    moment: datetime
    text: str  # its time as the logs write it
    t: float  # seconds from the first packet, on the frames' own times
    clock: float  # the monotonic time it was read
    shown_at: float  # its presentation time, in seconds
    keyframe: bool
    decision: Decision | None = None
    area: float = 0.0
    picture: Any = None


def packet_copy(packet):
    """A packet of its own: muxing a packet takes its data away."""
    import av
    copy = av.Packet(bytes(packet))
    copy.pts, copy.dts, copy.time_base = packet.pts, packet.dts, packet.time_base
    copy.is_keyframe = packet.is_keyframe
    return copy
