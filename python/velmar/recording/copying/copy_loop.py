"""The recording of a source's own stream: each packet read is written
unchanged (or, by motion, those of its events), a new file begins only at a
keyframe (at or after a clock boundary, or once a file holds its frames),
and a live source that drops out is an outage: the open event ends, the
open file is closed whole and the source tried again."""

from __future__ import annotations

import os
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from datetime import datetime, timedelta
from typing import TYPE_CHECKING, Any

from velmar.recording.background import Background
from velmar.recording.copying.copy_output import CopiedFile, CopyOutput
from velmar.recording.copying.held import Held
from velmar.recording.copying.keyframe_view import KeyframeView
from velmar.recording.copying.packet_reader import END, STALLED, PacketReader, StreamFacts
from velmar.recording.reconnecting import QUICK_SPACING, OpenOutage, pause_until, spacing
from velmar.recording.outages import ENDED, NOT_OPENED, OutageLog
from velmar.shared.stops import by_signal

if TYPE_CHECKING:
    from velmar.recording.copying.motion_copy import MotionCopy, MotionPlan

PROGRESS_EVERY = 10  # packets between reports of progress


@dataclass
class CopyRun:
    """What a copy read and wrote, as the engine's result tells it."""

    frames_read: int = 0
    frames_kept: int = 0
    frame_count: int | None = None
    position: float = 0.0
    rate: float = 0.0
    stop: str = "end"
    files: list[CopiedFile] = field(default_factory=list)


@dataclass(frozen=True)
class CopyPlan:
    """What a copy needs of the checked settings."""

    open_reader: Callable[[], PacketReader]  # raises when the source does not open
    live: bool
    reconnect: bool
    give_up: float | None
    namer: Callable[[int, datetime], str]
    segmenter: Callable[[datetime], bool] | None
    frames_per_file: int
    duration: float
    start: datetime | None  # of a file's frames; None: its modification time
    timestamps: str  # "pts", "rate" or "clock"
    utc_offset: bool
    motion: MotionPlan | None = None  # keeps the packets of motion events only
    open_wait: float | None = None  # seconds an opening may wait in FFmpeg


def stop_name(noted: Any) -> str:
    """A signal's number, or a stop noted by its name."""
    return noted if isinstance(noted, str) else by_signal(noted)


class CopyLoop:
    def __init__(self, plan: CopyPlan, writers, stop: list, outages: OutageLog,
                 progress: Callable[[int, int, int | None, float], None] | None,
                 on_attempt: Callable[[int], None] = lambda number: None):
        self.plan, self.writers, self.stop = plan, writers, stop
        self.outages, self.progress, self.on_attempt = outages, progress, on_attempt
        self.run = CopyRun()
        self.reader: PacketReader | None = None
        self.output = CopyOutput(plan.namer, plan.segmenter, plan.frames_per_file, writers,
                                 self.run.files)
        self.motion = None if plan.motion is None else self._motion(plan.motion, outages)
        self.first_pts: int | None = None
        self.start: datetime | None = None
        self.last_packet = time.monotonic()
        self.view = (None if writers.shown is None
                     else KeyframeView(writers.shown, writers.shown_picture))

    def _motion(self, plan: MotionPlan, outages: OutageLog) -> MotionCopy:
        # Detection decodes pictures, with NumPy and OpenCV: a copy of every
        # packet loads neither.
        from velmar.recording.copying.motion_copy import MotionCopy
        return MotionCopy(plan, self.output, self._write, self.plan.live, outages)

    def __call__(self) -> CopyRun:
        try:
            if self._first_opening():
                self._copy()
                self._end_events()
        finally:
            try:
                if self.motion is not None:
                    self.motion.close()
            finally:
                self.output.close()
                if self.reader is not None:
                    self.reader.close()
        if self.stop:
            self.run.stop = stop_name(self.stop[0])
        return self.run

    def _first_opening(self) -> bool:
        began = time.monotonic()
        self.reader = self._open()
        if self.reader is not None:
            self._take_facts(self.reader.facts)
            return True
        if self.stop or not (self.plan.live and self.plan.reconnect and self.plan.give_up):
            if not self.stop:
                self.run.stop = "not_opened"
            return False
        outage = OpenOutage(datetime.now(), began, NOT_OPENED, attempts=1)
        return self._ride_out(outage, began + QUICK_SPACING)

    def _open(self, deadline: float | None = None) -> PacketReader | None:
        """An opening on a thread of its own, so that a signal is answered
        at once while FFmpeg waits on the network."""
        try:
            return Background(self.plan.open_reader, PacketReader.close,
                              self.plan.open_wait).wait(self.stop, deadline)
        except Exception:  # an address that does not answer, or not a video
            return None

    def _take_facts(self, facts: StreamFacts) -> None:
        self.run.rate = self.run.rate or facts.rate
        self.run.frame_count = None if self.plan.live else facts.frames
        if self.motion is not None:
            self.motion.start(self.reader, self.run.rate)

    def _end_events(self) -> None:
        """The packets read are judged, and the open event ends."""
        if self.motion is not None:
            self.motion.end()

    def _copy(self) -> None:
        while not self.stop:
            packet = self.reader.next(self.stop)
            if packet is None:
                return
            if packet in (END, STALLED):
                if not self._outage(packet):
                    return
                continue
            self.last_packet = time.monotonic()
            if not self._take(packet):
                return

    def _take(self, packet) -> bool:
        """Writes the packet, or gives it to the events; False once the
        duration is reached."""
        moment, position = self._moment(packet)
        if self.plan.duration and position >= self.plan.duration:
            self.stop.append("duration")
            return False
        self.run.frames_read += 1
        self.run.position = position
        held = Held(packet, self.run.frames_read - 1, moment, self._text(moment), position,
                    time.monotonic(), float(packet.pts * packet.time_base), packet.is_keyframe)
        if self.view is not None and held.keyframe:
            self.view.keyframe(self.reader.stream, packet)
        self.output.read(held)
        if self.motion is None:
            self._write(held)
        else:
            self.motion.take(held)
        if self.progress is not None and self.run.frames_read % PROGRESS_EVERY == 0:
            self.progress(self.run.frames_read, self.run.frames_kept, self.run.frame_count,
                          self.run.position)
        return True

    def _write(self, held: Held, keep_packet: bool = False) -> bool:
        written = self.output.write(held, self.reader.stream, self.run.rate, keep_packet)
        self.run.frames_kept += written
        return written

    def _moment(self, packet) -> tuple[datetime, float]:
        """The packet's time, and its seconds from the first packet's."""
        if self.plan.timestamps == "clock":
            now = datetime.now()
            self.start = self.start or now
            return now, (now - self.start).total_seconds()
        if self.first_pts is None:
            self.first_pts = packet.pts
            self.start = self.plan.start or self._file_start()
        if self.plan.timestamps == "rate" and self.run.rate > 0:
            seconds = self.run.frames_read / self.run.rate
        else:
            seconds = float((packet.pts - self.first_pts) * packet.time_base)
        return self.start + timedelta(seconds=seconds), seconds

    def _file_start(self) -> datetime:
        """A file's modification time, in whole seconds, as the engine takes it."""
        return datetime.fromtimestamp(int(os.path.getmtime(self.reader.container.name)))

    def _text(self, moment: datetime) -> str:
        moment = moment.astimezone() if self.plan.utc_offset else moment
        return moment.isoformat(timespec="microseconds")

    def _outage(self, why: str) -> bool:
        """The source ended or stalled: True once packets come again."""
        if not self.plan.live:
            return False
        if not self.plan.reconnect:
            if why == STALLED:
                self.stop.append("source_lost")  # a stall is no end of the input
            return False
        self._end_events()
        self.output.close()
        self.reader.close()
        self.reader = None
        now = time.monotonic()
        start = datetime.now() - timedelta(seconds=now - self.last_packet)
        outage = OpenOutage(start, self.last_packet, ENDED if why == END else STALLED)
        return self._ride_out(outage, now)

    def _ride_out(self, outage: OpenOutage, due: float) -> bool:
        """Attempts, the first at the monotonic time `due`, until the source
        opens; the outage is logged then, or at the end."""
        deadline = None if self.plan.give_up is None else outage.since + self.plan.give_up
        last = None
        try:
            while pause_until(self.stop, due, deadline):
                began = time.monotonic()
                outage.attempts += 1
                self.on_attempt(outage.attempts)
                self.reader = self._open(deadline)
                if self.reader is not None:
                    self.outages.add(outage.closed(began))
                    self._take_facts(self.reader.facts)
                    return True
                last = spacing(began - outage.since, last)
                due = began + last
        except BaseException:
            self.outages.add(outage.closed(time.monotonic()))
            raise
        self.outages.add(outage.closed(time.monotonic()))
        return False

