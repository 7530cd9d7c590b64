"""When a stream's frames are due, so that two streams of one camera are
matched: a live stream's on the monotonic clock, a file's from its start.

A live packet never comes before its time, but often after: an opening
reads seconds of a stream ahead to learn it, and a network holds packets
back and lets them go at once. So the least lead of a packet's arrival over
its presentation time, over the last WINDOW seconds, is the stream's own;
it is settled once no packet has lowered it for SETTLE seconds (a burst of
packets read ahead lowers it with each)."""

from __future__ import annotations

from collections import deque

WINDOW = 30.0  # seconds: a camera's clock and this one's drift apart slowly
SETTLE = 0.25
TOLERANCE = 0.01  # seconds of a lead that are a network's jitter


class ArrivalClock:
    """Noted on one thread, read on another: `lead` and `lowered` are each
    replaced whole."""

    def __init__(self):
        self.leads: deque[tuple[float, float]] = deque()  # (arrival, lead), the least first
        self.lead: float | None = None
        self.lowered = 0.0  # monotonic time the lead last fell

    def note(self, arrival: float, seconds: float) -> None:
        """A packet came at `arrival`, to be shown `seconds` into the stream."""
        lead = arrival - seconds
        if self.lead is None or lead < self.lead - TOLERANCE:
            self.lowered = arrival
        leads = self.leads
        while leads and leads[-1][1] >= lead:
            leads.pop()
        leads.append((arrival, lead))
        while leads[0][0] < arrival - WINDOW:
            leads.popleft()
        self.lead = leads[0][1]

    def settled(self, now: float) -> bool:
        return self.lead is not None and now - self.lowered >= SETTLE

    def due(self, seconds: float) -> float:
        return seconds + self.lead


class StartClock:
    """A file's frames are due as they are shown from its first packet."""

    def __init__(self):
        self.first: float | None = None

    def note(self, _arrival: float, seconds: float) -> None:
        if self.first is None:
            self.first = seconds

    def settled(self, _now: float) -> bool:
        return self.first is not None

    def due(self, seconds: float) -> float:
        return seconds - self.first
