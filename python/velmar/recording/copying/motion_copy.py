"""Motion by copy: each packet read waits, in the order read, for the
detection's decision on it, then goes to the events, which write it or let
it go. Detection runs on a thread of its own and writing never waits for
it: a live packet whose decision has not come within MOST_WAIT seconds, or
that the detection could not take, is kept unjudged."""

from __future__ import annotations

import time
from collections import deque
from collections.abc import Callable
from dataclasses import dataclass, replace

import cv2

from velmar.recording.copying.copy_events import CopiedEvent, EventKeeper, EventRules
from velmar.recording.copying.copy_output import CopyOutput
from velmar.recording.copying.held import BLIND, Held
from velmar.recording.copying.packet_reader import PacketReader
from velmar.recording.copying.source_detection import SourceDetection
from velmar.recording.copying.stream_detection import StreamDetection
from velmar.recording.outages import Outage, OutageLog

MOST_WAIT = 3.0
MOST_WAITING = 64  # a file's packets read ahead of their decisions
POLL = 0.1


@dataclass(frozen=True)
class MotionPlan:
    """`detector(scale)` makes a detector for pictures read from frames
    `scale` times as wide as the recorded stream's; `detection_source()`
    opens the stream to detect on, None: the recorded one."""

    rules: EventRules
    detector: Callable
    keyframes_only: bool
    pictures: bool  # the events want their pictures
    on_event: Callable[[CopiedEvent], None]
    detection_source: Callable[[], PacketReader] | None


class MotionCopy:
    def __init__(self, plan: MotionPlan, output: CopyOutput, write: Callable[[Held, bool], bool],
                 live: bool, outages: OutageLog):
        self.plan, self.output, self.write, self.live = plan, output, write, live
        self.keeper: EventKeeper | None = None
        self.judge: StreamDetection | SourceDetection | None = None
        self.outages = outages
        # A file's detection outage, logged as the recording ends over the
        # packets it left unjudged (its first and last).
        self.file_outage: Outage | None = None
        self.blind: list[Held] = []
        self.source = (None if plan.detection_source is None else
                       SourceDetection(plan.detection_source, plan.detector, plan.pictures,
                                       live, outages.add if live else self._note_file_outage))
        self.waiting: deque[Held] = deque()
        # OpenCV's pool of threads spins between frames: detection on one
        # stream gains nothing from it and costs a 1080p frame 1.5 ms more.
        self.opencv_threads = cv2.getNumThreads()
        cv2.setNumThreads(1)

    def start(self, reader: PacketReader, rate: float) -> None:
        """A new opening of the recorded stream."""
        plan, facts = self.plan, reader.facts
        if self.keeper is None:
            self.keeper = EventKeeper(plan.rules, self.output, self.write, plan.on_event,
                                      facts.size, rate)
        self.keeper.reorders = bool(reader.stream.codec_context.has_b_frames)
        if self.source is not None:
            self.source.follow(facts.size)
            self.judge = self.source
        else:
            self.judge = StreamDetection(reader.stream, plan.detector(1.0), plan.keyframes_only,
                                         waits=not self.live, pictures=plan.pictures)

    def take(self, held: Held) -> None:
        if not self.judge.give(held):
            held.decision = BLIND
        self.waiting.append(held)
        self._decided()
        while not self.live and len(self.waiting) > MOST_WAITING:  # a file has time
            self.judge.wait(POLL)
            self._decided()

    def _decided(self) -> None:
        """Gives the events every packet, from the oldest, whose decision is known."""
        while self.waiting:
            held = self.waiting[0]
            decision = held.decision or self.judge.decision(held)
            if decision is None and self.live and time.monotonic() - held.clock > MOST_WAIT:
                decision = BLIND
            if decision is None:
                return
            self.waiting.popleft()
            if decision.blind and not self.live:
                self.blind = [self.blind[0] if self.blind else held, held]
            self.keeper.take(held, decision)

    def _note_file_outage(self, outage: Outage) -> None:
        self.file_outage = outage

    def _log_file_outage(self) -> None:
        """A file's frames are logged at its own times, not the clock's: the
        outage spans the packets kept unjudged; a detection file that ended
        with the recorded one left none, and is no outage."""
        outage, self.file_outage = self.file_outage, None
        if outage is not None and self.blind:
            first, last = self.blind
            self.outages.add(replace(outage, start=first.moment, end=last.moment,
                                     seconds=last.t - first.t))

    def end(self) -> None:
        """The recorded stream ended, dropped out or was stopped: the packets
        read are judged (a live one waits at most MOST_WAIT), the open event
        ends."""
        if self.judge is None:
            return
        self.judge.finish()
        while self.waiting:
            self._decided()
            if self.waiting:
                self.judge.wait(POLL)
        self.keeper.finish()
        self._end_stream_detection()

    def close(self) -> None:
        """Whatever way the recording ends: the threads stop."""
        cv2.setNumThreads(self.opencv_threads)
        self.waiting.clear()
        self._end_stream_detection()
        source, self.source = self.source, None
        if source is not None:
            source.close()  # tells a file's outage, if it has one
            self._log_file_outage()

    def _end_stream_detection(self) -> None:
        judge, self.judge = self.judge, None
        if isinstance(judge, StreamDetection):
            judge.close()
