"""Motion events of a copy, as the engine makes them of decoded frames:
packets are written from `before` seconds ahead of an event's first motion
to `after` seconds past its last; motion within `after` seconds continues
the event; an event starts only once its motion spans `min_event` seconds.
Seconds are the frames' own times.

A copy can only begin where a decoder can: an event's first packet written
is the last keyframe at or before its first kept frame, or, in the same
file, the packet right after the last one written. So packets waiting for a
possible event are held by runs that each begin where a file can go on,
and a held run lets go of its packets only once the next run begins early
enough. Packets come in the order they decode: in a stream with B-frames a
frame shown earlier may follow one shown later, so an event ends only once
the packets past its end are followed by one shown after them all. Each
event is told as it ends, and on every way out."""

from __future__ import annotations

import math
from collections import deque
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from velmar.recording.copying.copy_output import CopyOutput
from velmar.recording.copying.decoding import blank_picture, in_colour
from velmar.recording.copying.held import Decision, Held

# Seconds from one keyframe to the next that the held packets make room for;
# a stream whose keyframes are further apart may begin an event later.
LONGEST_KEYFRAME_GAP = 60.0
GUESSED_RATE = 30.0  # a stream that tells no rate
MOST_REORDERED = 16  # packets past an event's end, waiting for those shown before them


@dataclass(frozen=True)
class EventRules:
    before: float
    after: float
    min_event: float
    file_per_event: bool


@dataclass(frozen=True)
class CopiedEvent:
    """An ended event as the events log takes it."""

    first_frame: int
    last_frame: int
    start: str
    end: str
    seconds: float
    frames: int
    video: str
    thumbnail: Any  # a BGR image


class EventKeeper:
    """Told each packet in the order read with the detection's decision on
    it; writes through `output`, and tells `on_event` of each event with
    its picture (with `pictures`; else a blank one)."""

    def __init__(self, rules: EventRules, output: CopyOutput, write: Callable[[Held, bool], bool],
                 on_event: Callable[[CopiedEvent], None], size: tuple[int, int], rate: float):
        self.rules, self.output, self.write_packet = rules, output, write
        self.on_event, self.size = on_event, size
        seconds = rules.before + rules.min_event + rules.after + LONGEST_KEYFRAME_GAP
        self.most_held = math.ceil(seconds * (rate or GUESSED_RATE)) + 2
        self.reorders = False  # the stream has B-frames
        self.past_end: list[Held] = []  # an open event's packets past its end, so far
        self.runs: deque[list[Held]] = deque()  # each from where a file can go on
        self.held = 0
        self.best_held: Held | None = None  # the held packet whose picture is kept
        self.follows_written = False  # the next packet is the one after the last written
        self.phase = "idle"  # "pending": motion that may become an event; "open"
        self.first_motion = self.last_motion = 0.0
        self._new_event()

    def _new_event(self) -> None:
        self.frames = 0
        self.first = self.last = None  # written packets: the first and the last read
        self.earliest = self.latest = None  # of them, those shown first and last
        self.best_area = -1.0
        self.best_picture = None
        self.video: str | None = None

    def take(self, held: Held, decision: Decision) -> None:
        held.area, held.picture = decision.area, decision.picture
        if self.phase == "open" and self._goes_on(held, decision.motion):
            return
        self._hold(held)
        if self._starts(held.t, decision):
            self._open()

    def _goes_on(self, held: Held, motion: bool) -> bool:
        """Whether the open event takes the packet: it goes on with motion,
        and for `after` seconds past its last motion; its packets follow one
        another, so it has no gap. Else the event ends."""
        if motion:
            self.last_motion = max(self.last_motion, held.t)
        if motion or held.t - self.last_motion <= self.rules.after:
            for earlier in self._take_past_end():
                self._write(earlier)
            self._write(held)
            return True
        if self.reorders and len(self.past_end) < MOST_REORDERED and (
                not self.past_end or held.t <= max(h.t for h in self.past_end)):
            self.past_end.append(held)  # frames shown before it may follow
            return True
        past_end = self._take_past_end()
        self._end()
        for earlier in past_end:
            self._hold(earlier)
        return False

    def _starts(self, t: float, decision: Decision) -> bool:
        """Whether an event starts with the packet just held."""
        rules = self.rules
        if self.phase == "idle":
            self._let_go(t - rules.before)
            if not decision.motion:
                return False
            self.phase = "pending"
            self.first_motion = self.last_motion = t
        elif decision.motion:
            self.last_motion = max(self.last_motion, t)
        elif t - self.last_motion > rules.after:
            # Motion too short to be an event: its packets stay as lead-in.
            self.phase = "idle"
            self._let_go(t - rules.before)
            return False
        # What could not be judged is kept at once.
        return self.last_motion - self.first_motion >= rules.min_event or decision.blind

    def finish(self) -> None:
        """The source ended, stopped or dropped out: the open event ends, its
        file closed first, and the held packets go."""
        if self.phase == "open":
            self._end(closing=True)
        self.phase = "idle"
        self.past_end = []
        self.runs.clear()
        self.held = 0
        self.best_held = None
        self.follows_written = False

    def _take_past_end(self) -> list[Held]:
        past_end, self.past_end = self.past_end, []
        return past_end

    def _hold(self, held: Held) -> None:
        # A file can go on from a keyframe, or from the packet after the last written.
        goes_on = held.keyframe or (self.follows_written and self.output.file is not None
                                    and not self.rules.file_per_event)
        self.follows_written = False
        if goes_on:
            self.runs.append([held])
        elif self.runs:
            self.runs[-1].append(held)
        else:
            return  # no file could go on from it
        self.held += 1
        self._keep_picture(held)
        while self.held > self.most_held:
            self._drop_run()

    def _keep_picture(self, held: Held) -> None:
        """Of the held packets, only the one of the largest area keeps its
        picture: a decoded frame is large."""
        if held.picture is None:
            return
        if self.best_held is not None and self.best_held.area >= held.area:
            held.picture = None
            return
        if self.best_held is not None:
            self.best_held.picture = None
        self.best_held = held

    def _let_go(self, limit: float) -> None:
        """The held packets that no event from `limit` on needs."""
        while len(self.runs) > 1 and self.runs[1][0].t <= limit:
            self._drop_run()

    def _drop_run(self) -> None:
        run = self.runs.popleft()
        self.held -= len(run)
        if self.best_held is not None and self.best_held.inframe <= run[-1].inframe:
            self.best_held = None

    def _open(self) -> None:
        """The event's held packets from the last place a file can go on at or
        before `before` seconds ahead of its first motion."""
        self.phase = "open"
        self._new_event()
        if self.rules.file_per_event:
            self.output.close()
        self._let_go(self.first_motion - self.rules.before)
        runs, self.runs, self.held, self.best_held = self.runs, deque(), 0, None
        for run in runs:
            for held in run:
                self._write(held)

    def _write(self, held: Held) -> None:
        # A file of its own per event: a packet may begin the next one's too.
        if not self.write_packet(held, self.rules.file_per_event):
            return
        self.follows_written = True
        if self.frames == 0:
            self.first, self.video = held, self.output.path
        self.last = held
        if self.earliest is None or held.t < self.earliest.t:
            self.earliest = held
        if self.latest is None or held.t >= self.latest.t:
            self.latest = held
        self.frames += 1
        if held.area > self.best_area:
            self.best_area = held.area
            self.best_picture = held.picture if held.picture is not None else self.best_picture
        held.picture = None
        if self.rules.file_per_event:
            self._hold_written(held)

    def _hold_written(self, held: Held) -> None:
        """A file per event: the packets from the last keyframe written are
        held, so that the next event's file may begin there."""
        if held.keyframe:
            self.runs.clear()
            self.held = 0
            self.runs.append([])
        elif not self.runs:
            return
        self.runs[-1].append(held)
        self.held += 1
        if self.held > self.most_held:  # keyframes too far apart: the next begins at one
            self._drop_run()

    def _end(self, closing: bool = False) -> None:
        self.phase = "idle"
        if self.rules.file_per_event or closing:
            self.output.close()  # the event whole in its file before it is told
        if self.frames == 0:
            return
        picture = (blank_picture(self.size) if self.best_picture is None
                   else in_colour(self.best_picture))
        event = CopiedEvent(self.first.inframe, self.last.inframe, self.earliest.text,
                            self.latest.text, self.latest.t - self.earliest.t, self.frames,
                            self.video, picture)
        self._new_event()
        self.on_event(event)
