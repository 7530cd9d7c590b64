"""Motion found in a second stream of the same camera (its low-resolution
sub-stream), read, decoded and judged wholly on a thread of its own. A
packet of the recorded stream takes the decision of the detection stream's
frame due nearest it (live streams by the clock, as their arrivals tell;
files from their starts), once one due at or after it has been judged.

While a live detection stream is away every packet is kept (a blind
recorder must not drop what it cannot judge), it is tried again as a live
source is, and the outage is a row of the outages log whose reason is a
live source's after "detection_" (detection_ended, detection_stalled,
detection_not_opened). A file read for detection is read once: past its
end, or when it does not open, every packet is kept, and the outage spans
the packets it left unjudged, at the recorded file's times."""

from __future__ import annotations

import queue
import threading
import time
from collections import deque
from collections.abc import Callable
from datetime import datetime, timedelta

from velmar.recording.copying.decoding import ScaledPicture, decoded, open_decoder, picture_of
from velmar.recording.copying.held import BLIND, Decision, Held
from velmar.recording.copying.packet_reader import END, STALLED, PacketReader
from velmar.recording.copying.stream_clocks import ArrivalClock, StartClock
from velmar.recording.outages import ENDED, NOT_OPENED, Outage
from velmar.recording.reconnecting import OpenOutage, spacing
from velmar.recording.signals import block_stop_signals
from velmar.shared import lingering

PREFIX = "detection_"
REASONS = {END: ENDED, STALLED: STALLED}  # as a live source's outages name them
MOST_SEEN = 256  # judged frames kept for packets yet to come
POLL = 0.1
# Notes of the watching thread: a frame judged; the stream away; back, its
# outage ended; and an outage still open as the watching ends.
SEEN, AWAY, BACK, UNENDED = "seen", "away", "back", "unended"

Seen = tuple  # (seconds into the stream, its opening's clock, Decision)


class SourceDetection:
    """`open_reader()` opens the detection stream; `detector(scale)` makes a
    detector of pictures the recorded stream's size, read from frames
    `scale` times as wide; `on_outage` is told each outage as it ends. It
    opens as the recording begins, so that both streams come as soon; its
    frames are judged once the recorded stream's size is known."""

    def __init__(self, open_reader: Callable[[], PacketReader], detector: Callable,
                 pictures: bool, live: bool, on_outage: Callable[[Outage], None]):
        self.open_reader, self.detector, self.pictures = open_reader, detector, pictures
        self.live, self.on_outage = live, on_outage
        # A file's frames wait for the packets they are for; a live stream's never wait.
        self.notes: queue.Queue = queue.Queue(0 if live else MOST_SEEN)
        self.seen: deque[Seen] = deque()
        self.recorded = self._clock()
        self.size: tuple[int, int] | None = None  # the recorded stream's, once it opened
        self.away = False
        self.stop: list = []
        self.thread = threading.Thread(target=self._watch, name="velmar-detection-source",
                                       daemon=True)
        self.thread.start()

    def _clock(self):
        return ArrivalClock() if self.live else StartClock()

    def follow(self, size: tuple[int, int]) -> None:
        """The recorded stream opened (again): its times count afresh."""
        self.recorded = self._clock()
        self.size = size

    def give(self, held: Held) -> bool:
        self.recorded.note(held.clock, held.shown_at)
        return True  # nothing to hand over: the detection stream is read apart

    def decision(self, held: Held) -> Decision | None:
        if not self.recorded.settled(time.monotonic()):
            return BLIND if self.away else None  # a live stream's first packets wait
        due = self.recorded.due(held.shown_at)
        self._collect(due)
        seen, now = self.seen, time.monotonic()
        if seen and seen[-1][1].settled(now):
            while len(seen) > 1 and _due(seen[1]) <= due:
                seen.popleft()
            if _due(seen[-1]) >= due:  # the first is the last due at or before it, if any
                first = seen[0]
                if _due(first) >= due or len(seen) == 1:
                    return first[2]
                following = seen[1]
                return (following if _due(following) - due < due - _due(first) else first)[2]
        gone = not self.thread.is_alive() and self.notes.empty()  # no frame is to come
        return BLIND if self.away or gone else None

    def wait(self, seconds: float) -> None:
        try:
            self._note(self.notes.get(timeout=seconds))
        except queue.Empty:
            pass

    def finish(self) -> None:
        pass  # the detection stream goes on while the recorded one is away

    def close(self) -> None:
        self.stop.append("closed")
        self.thread.join(5)
        if self.thread.is_alive():  # an opening that still waits in FFmpeg
            lingering.leave(self.thread, None)
        self._collect(None)

    def _collect(self, due: float | None) -> None:
        """The notes come: a live stream's all, a file's up to the first due
        after `due`."""
        while self.live or due is None or not self.seen or _due(self.seen[-1]) < due:
            try:
                self._note(self.notes.get_nowait())
            except queue.Empty:
                return

    def _note(self, note) -> None:
        if isinstance(note, BaseException):
            raise note
        kind, value = note
        if kind == SEEN:
            self.seen.append(value)
            if len(self.seen) > MOST_SEEN:
                self.seen.popleft()
        elif kind == AWAY:
            self.away = True
        else:
            self.away = self.away and kind == UNENDED
            self.on_outage(value)

    def _put(self, note) -> None:
        if self.live:
            # Never full; while the recorded stream is away nothing takes
            # the frames judged, and those past MOST_SEEN go.
            if not isinstance(note, tuple) or note[0] != SEEN or self.notes.qsize() < MOST_SEEN:
                self.notes.put(note)
            return
        while True:
            try:
                self.notes.put(note, timeout=POLL)
                return
            except queue.Full:
                if self.stop:
                    return  # the copy reads no more

    def _watch(self) -> None:
        block_stop_signals()
        outage: OpenOutage | None = None
        try:
            reason, last = NOT_OPENED, None
            while not self.stop:
                began = time.monotonic()
                reader = self._open()
                if reader is None:
                    if outage is None:
                        outage = OpenOutage(datetime.now(), began, PREFIX + reason)
                        self._put((AWAY, None))
                    outage.attempts += 1
                    if not self.live:  # a file is tried once: away till the recording ends
                        self._pause(float("inf"))
                        return
                    last = spacing(began - outage.since, last)
                    self._pause(began + last)
                    continue
                if outage is not None:
                    self._put((BACK, outage.closed(began)))
                    outage, last = None, None
                try:
                    reason, since = self._judge(reader)
                finally:
                    reader.close()
                if reason is None:
                    return
                self._put((AWAY, None))
                outage = OpenOutage(datetime.now() - timedelta(seconds=time.monotonic() - since),
                                    since, PREFIX + REASONS[reason])
                if not self.live:  # a file is read once: away till the recording ends
                    return
        except BaseException as failure:  # told to the copy, which raises it
            self._put(failure)
        finally:
            if outage is not None:  # still open as the recording ends
                self._put((UNENDED, outage.closed(time.monotonic())))

    def _open(self) -> PacketReader | None:
        try:
            return self.open_reader()
        except Exception:  # not there now: tried again
            return None

    def _pause(self, due: float) -> None:
        while not self.stop and time.monotonic() < due:
            time.sleep(min(POLL, max(0.0, due - time.monotonic())))

    def _judge(self, reader: PacketReader) -> tuple[str | None, float]:
        """Judges the stream's frames until it ends or stalls (its reason),
        or the copy ends (None); and the time of its last packet."""
        while self.size is None and not self.stop:
            time.sleep(POLL)  # its first frames are judged too, once they can be
        decoder = open_decoder(reader.stream)
        detector = None  # a new one: frames from before a gap are no reference
        clock, base = self._clock(), reader.stream.time_base
        last = time.monotonic()
        while True:
            packet = reader.next(self.stop)
            if packet is None:
                return None, last
            if packet == END:  # the frames the decoder holds back are judged too
                detector = self._judge_frames(decoded(decoder, None), detector, clock, base)
            if packet in (END, STALLED):
                return packet, last
            last = time.monotonic()
            clock.note(last, float(packet.pts * base))
            detector = self._judge_frames(decoded(decoder, packet), detector, clock, base)

    def _judge_frames(self, frames: list, detector, clock, base):
        """Tells each frame's decision; gives the detector, made at the first."""
        for frame in frames:
            size = self.size
            if frame.pts is None:
                continue
            picture = picture_of(frame)
            if detector is None:
                detector = self.detector(picture.shape[1] / size[0])
            scaled = ScaledPicture(picture, size)
            motion, area = detector(scaled, False)
            decision = Decision(bool(motion), area, scaled if motion and self.pictures else None)
            self._put((SEEN, (float(frame.pts * base), clock, decision)))
        return detector


def _due(seen: Seen) -> float:
    return seen[1].due(seen[0])
