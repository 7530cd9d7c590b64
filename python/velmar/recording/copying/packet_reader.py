"""A source's video packets, demuxed by PyAV on a thread of their own, so
that no read can hang the recording: the recording waits for the next
packet at most a poll at a time, and a source that gives none for the stall
timeout has stalled."""

from __future__ import annotations

import queue
import threading
import time
from dataclasses import dataclass
from fractions import Fraction
from typing import Any

from velmar.recording.signals import block_stop_signals
from velmar.shared import lingering

DEPTH = 256  # packets read ahead: seconds of a stream, little memory
POLL = 0.1  # seconds between looks at the signals while waiting
END, STALLED = "end", "stalled"
BLOCKED_READ = 10.0  # seconds a live source's opening or read may wait in FFmpeg


@dataclass(frozen=True)
class StreamFacts:
    codec: str  # FFmpeg's name of the codec: h264, hevc, ...
    time_base: Fraction
    rate: float  # frames per second, 0 when the source does not say
    size: tuple[int, int]
    frames: int | None  # as the container says, if it does


def open_options(url: str, transport: str) -> dict[str, str]:
    """FFmpeg's options of an opening: RTSP over `transport`."""
    return {"rtsp_transport": transport} if url.startswith(("rtsp://", "rtsps://")) else {}


def open_container(value: str, stall_timeout: float | None, transport: str):
    """The source opened by PyAV, or an `av.error.FFmpegError`. An opening or
    read of a live source that waits longer than the stall timeout, and at
    least BLOCKED_READ, is cut short: FFmpeg fills its buffer before a read
    returns, which a slow stream takes seconds to do, so a stall is told by
    the packets that stop coming, not by a read that waits."""
    import av
    return av.open(value, options=open_options(value, transport),
                   timeout=longest_wait(stall_timeout))


def longest_wait(stall_timeout: float | None) -> float | None:
    """How long one opening or read of the source may wait in FFmpeg."""
    return None if stall_timeout is None else max(stall_timeout, BLOCKED_READ)


class HeldOpening:
    """The source's container, opened while its codec was looked at and kept
    for the recording's first opening: a camera that serves one client at a
    time is opened once."""

    def __init__(self, stop: list | None = None):
        self.container = None
        self.stop = [] if stop is None else stop  # the signals an opening gives way to

    def take(self):
        container, self.container = self.container, None
        return container

    def close(self) -> None:
        container = self.take()
        if container is not None:
            container.close()


def open_reader(value: str, stall_timeout: float | None, transport: str,
                held: HeldOpening | None = None) -> PacketReader:
    container = held.take() if held is not None else None
    if container is None:
        container = open_container(value, stall_timeout, transport)
    try:
        if not container.streams.video:
            raise ValueError(f"{value!r} holds no video")
        return PacketReader(container, stall_timeout)
    except BaseException:
        container.close()
        raise


def facts_of(stream) -> StreamFacts:
    rate = stream.average_rate or stream.guessed_rate or 0
    frames = stream.frames or None
    return StreamFacts(stream.codec_context.name, stream.time_base, float(rate),
                       (stream.codec_context.width, stream.codec_context.height), frames)


class PacketReader:
    """Owns an opened container and reads its first video stream's packets
    ahead into a bounded queue. `next()` gives a packet, END or STALLED (a
    file, with no `stall_timeout`, never stalls)."""

    def __init__(self, container, stall_timeout: float | None):
        self.container = container
        self.stream = container.streams.video[0]
        self.facts = facts_of(self.stream)
        self.stall_timeout = stall_timeout
        self.packets: queue.Queue = queue.Queue(DEPTH)
        self.stopping = threading.Event()
        # Who closes the container: close() once the thread has ended, else
        # the thread as it ends (a read may wait in FFmpeg for seconds).
        self.lock = threading.Lock()
        self.finished = False
        self.thread = threading.Thread(target=self._read, name="velmar-packets", daemon=True)
        self.thread.start()

    def _read(self) -> None:
        block_stop_signals()
        try:
            self._demux()
        finally:
            with self.lock:
                self.finished = True
                closing = self.stopping.is_set()
            if closing:
                self.container.close()

    def _demux(self) -> None:
        try:
            for packet in self.container.demux(self.stream):
                if self.stopping.is_set():
                    return
                if packet.size == 0 or packet.pts is None:  # the demuxer's flush, or no time
                    continue
                self._put(packet)
        except Exception:  # a read that failed ends the source as its end does
            pass
        self._put(END)

    def _put(self, item: Any) -> None:
        while not self.stopping.is_set():
            try:
                self.packets.put(item, timeout=POLL)
                return
            except queue.Full:
                continue

    def next(self, stop: list) -> Any:
        """The next packet; END once the source ended or failed; STALLED
        when none came for the stall timeout; None when a signal came."""
        waited_until = time.monotonic() + (self.stall_timeout or float("inf"))
        while not stop:
            try:
                return self.packets.get(timeout=POLL)
            except queue.Empty:
                if time.monotonic() >= waited_until:
                    return STALLED
        return None

    def close(self) -> None:
        """Never waits on FFmpeg: a thread still reading closes the
        container itself once its read returns."""
        with self.lock:
            self.stopping.set()
            finished = self.finished
        if finished:
            self.container.close()
        else:
            lingering.leave(self.thread, longest_wait(self.stall_timeout))
