"""Motion found in the recorded stream itself, on a thread of its own: the
copy hands over a copy of each packet and never waits for it to be judged
(but for a file, which has no time to keep). Frames are decoded for the
detector alone, straight to grey; with `keyframes_only` only keyframes
reach the decoder, each drained at once, and the packets after one take its
decision, as the frames between two checks do."""

from __future__ import annotations

import queue
import threading
from collections.abc import Callable

from velmar.recording.copying.decoding import decoded, open_decoder, picture_of
from velmar.recording.copying.held import Decision, Held, packet_copy
from velmar.recording.signals import block_stop_signals

DEPTH = 64  # packets handed over and not yet judged: seconds of a stream
POLL = 0.1
END = "end"


class StreamDetection:
    def __init__(self, stream, detector: Callable, keyframes_only: bool, waits: bool,
                 pictures: bool):
        self.stream, self.detector = stream, detector
        self.keyframes_only, self.waits, self.pictures = keyframes_only, waits, pictures
        self.packets: queue.Queue = queue.Queue(DEPTH)
        self.decisions: queue.SimpleQueue = queue.SimpleQueue()
        self.known: dict[int, Decision] = {}
        self.awaited = 0  # the packet the copy waits for: none before it is wanted
        self.failure: BaseException | None = None
        self.stopping = threading.Event()
        self.last = False  # the last frame judged showed motion
        self.thread = threading.Thread(target=self._judge_all, name="velmar-detection",
                                       daemon=True)
        self.thread.start()

    def give(self, held: Held) -> bool:
        """Hands the packet over; False when the thread is too far behind to
        take it (a live source's packets do not wait)."""
        decodes = held.keyframe or not self.keyframes_only
        item = (held.inframe, packet_copy(held.packet) if decodes else None)
        if not self.waits:
            try:
                self.packets.put_nowait(item)
                return True
            except queue.Full:
                return False
        while self.thread.is_alive():
            try:
                self.packets.put(item, timeout=POLL)
                return True
            except queue.Full:
                continue
        self._raise_failure()
        return False

    def decision(self, held: Held) -> Decision | None:
        """The packet's decision, once it has come."""
        self.awaited = held.inframe
        self._collect()
        return self.known.pop(held.inframe, None)

    def wait(self, seconds: float) -> None:
        """Until a decision comes, or `seconds` pass."""
        try:
            self._note(self.decisions.get(timeout=seconds))
        except queue.Empty:
            self._raise_failure()

    def finish(self) -> None:
        """No packet comes after those handed over: the decoder gives up the
        frames it holds."""
        self._put_end()

    def close(self) -> None:
        self.stopping.set()
        self._put_end()
        self.thread.join(5)

    def _put_end(self) -> None:
        while self.thread.is_alive():
            try:
                self.packets.put(END, timeout=POLL)
                return
            except queue.Full:
                if self.stopping.is_set():
                    return

    def _collect(self) -> None:
        while True:
            try:
                self._note(self.decisions.get_nowait())
            except queue.Empty:
                return

    def _note(self, item) -> None:
        if isinstance(item, BaseException):
            self.failure = item
            self._raise_failure()
        inframe, decision = item
        if inframe >= self.awaited:  # the copy kept those before without them
            self.known[inframe] = decision

    def _raise_failure(self) -> None:
        if self.failure is not None:
            raise self.failure

    def _judge_all(self) -> None:
        block_stop_signals()
        try:
            decoder = open_decoder(self.stream)
            sent: list[tuple[int, int]] = []  # (inframe, pts) decoding, not yet judged
            while not self.stopping.is_set():
                try:
                    item = self.packets.get(timeout=POLL)
                except queue.Empty:
                    continue
                if item == END:
                    break
                inframe, packet = item
                if packet is None:  # not decoded: it takes the last decision
                    self.decisions.put((inframe, Decision(self.last)))
                    continue
                sent.append((inframe, packet.pts))
                frames = decoded(decoder, packet)
                if self.keyframes_only:  # its frame at once, not after the next keyframe
                    frames += decoded(decoder, None)
                    decoder.flush_buffers()
                self._judge(frames, sent)
            self._judge(decoded(decoder, None), sent, drained=True)
        except BaseException as failure:  # told to the copy, which raises it
            self.decisions.put(failure)

    def _judge(self, frames: list, sent: list[tuple[int, int]], drained: bool = False) -> None:
        """Decisions on the frames, told by packet: the decoder gives frames
        in the order they are shown, so a packet older than the latest frame
        given that gave none of its own (damaged) takes the last decision."""
        judged = {}
        for frame in frames:
            picture = picture_of(frame)
            motion, area = self.detector(picture, False)
            self.last = bool(motion)
            if frame.pts is not None:
                judged[frame.pts] = Decision(self.last, area,
                                             picture if self.last and self.pictures else None)
        latest = max(judged, default=None)
        waiting = []
        for inframe, pts in sent:
            if pts in judged:
                self.decisions.put((inframe, judged[pts]))
            elif drained or (latest is not None and pts <= latest):
                self.decisions.put((inframe, Decision(self.last)))
            else:
                waiting.append((inframe, pts))
        sent[:] = waiting
