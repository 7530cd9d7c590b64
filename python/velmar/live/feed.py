"""A recording's reports to the live view: a small JPEG of its latest kept
frame a few times a second, its state and counts, and its events.

The recording's thread only makes a small copy of a frame when a picture is
due; encoding and sending happen on the feed's own thread, so a slow board,
a full pipe or a stalled client never holds the recording up. Reports wait
in a short queue: when it is full the oldest report of counts goes, as a
later one tells more; an event's report never goes, as nothing tells it
again (a broker would hold its camera's motion on)."""

from __future__ import annotations

import threading
import time
from collections import deque
from collections.abc import Callable
from datetime import datetime
from fractions import Fraction
from functools import partial
from typing import Any

from velmar.recording.signals import block_stop_signals

PICTURES_PER_SECOND = 4
PICTURE_WIDTH = 640
JPEG_QUALITY = 75
COUNTS_EVERY = 0.5  # seconds between reports of the counts while nothing else changes
QUEUED = 64


def small_copy(image, width: int = PICTURE_WIDTH):
    """A copy at most `width` wide, its shape kept."""
    if image.shape[1] <= width:
        return image.copy()
    height = max(1, round(image.shape[0] * width / image.shape[1]))
    import cv2  # on the first picture: a camera that shows none loads no OpenCV
    return cv2.resize(image, (width, height), interpolation=cv2.INTER_AREA)


def jpeg(image) -> bytes:
    import cv2
    ok, data = cv2.imencode(".jpg", image, [cv2.IMWRITE_JPEG_QUALITY, JPEG_QUALITY])
    if not ok:
        raise ValueError("a picture could not be encoded as JPEG")
    return data.tobytes()


def frame_jpeg(frame, width: int = PICTURE_WIDTH) -> bytes:
    """A decoded PyAV frame as a small JPEG, by FFmpeg alone: a copying
    camera loads neither NumPy nor OpenCV for its pictures."""
    import av
    width = min(width, frame.width) // 2 * 2
    height = max(2, round(frame.height * width / frame.width / 2) * 2)
    small = frame.reformat(width=width, height=height, format="yuvj420p")
    encoder = av.CodecContext.create("mjpeg", "w")
    encoder.width, encoder.height, encoder.pix_fmt = width, height, "yuvj420p"
    encoder.time_base = Fraction(1, 25)
    encoder.options = {"qmin": "3", "qmax": "6"}  # about OpenCV's quality 75
    return b"".join(bytes(packet) for packet in encoder.encode(small) + encoder.encode(None))


def event_report(event) -> dict[str, Any]:
    return {"event": {"event": event.event, "start": event.start.isoformat(timespec="seconds"),
                      "seconds": round(event.seconds, 2), "frames": event.frames,
                      "video": event.video.name,
                      "thumbnail": None if event.thumbnail is None else str(event.thumbnail)}}


class Feed:
    """Reports one recording through `send`, which may block."""

    def __init__(self, send: Callable[[dict[str, Any]], None],
                 pictures_per_second: float = PICTURES_PER_SECOND, pictures: bool = True):
        self.send = send
        # Without a live view nobody sees them: the recording makes none.
        self.pictures = pictures
        self.interval = 1 / pictures_per_second
        self.due = True  # set by the feed's thread, taken by the recording's
        self.small = None
        self.reports: deque = deque()
        self.queue_lock = threading.Lock()  # the two threads' turns at the queue
        self.wake = threading.Event()
        self.closing = False
        self.state: str | None = None
        self.counted = 0.0
        self.thread = threading.Thread(target=self._run, name="velmar-feed", daemon=True)
        self.thread.start()

    # The recording's side.
    def frame(self, image) -> None:
        if self.due:
            self.due = False
            self.small = partial(jpeg, small_copy(image))
            self.wake.set()

    def picture(self, frame) -> None:
        """A decoded PyAV frame: made small and JPEG on the feed's thread."""
        if self.due:
            self.due = False
            self.small = partial(frame_jpeg, frame)
            self.wake.set()

    def event(self, event) -> None:
        self.put(event_report(event))

    def progress(self, progress) -> None:
        state = "reconnecting" if progress.reconnecting else "recording"
        now = time.monotonic()
        if state == self.state and now - self.counted < COUNTS_EVERY:
            return
        self.state, self.counted = state, now
        self.put({"state": state, "frames_read": progress.frames_read,
                  "frames_kept": progress.frames_kept, "outages": progress.outages})

    def put(self, report: dict[str, Any]) -> None:
        with self.queue_lock:
            if len(self.reports) >= QUEUED:
                self._drop_oldest_counts()
            self.reports.append(report)
        self.wake.set()

    def _drop_oldest_counts(self) -> None:
        for index, queued in enumerate(self.reports):
            if "event" not in queued:
                del self.reports[index]
                return

    def close(self, last: dict[str, Any] | None = None, wait: float = 2.0) -> None:
        """Sends `last` after what is queued, waiting at most `wait` seconds."""
        if last is not None:
            self.put(last)
        self.closing = True
        self.wake.set()
        self.thread.join(wait)

    # The feed's own thread.
    def _next_report(self) -> dict[str, Any] | None:
        with self.queue_lock:
            return self.reports.popleft() if self.reports else None

    def _run(self) -> None:
        block_stop_signals()
        try:
            self._feed()
        except (OSError, EOFError):  # the board is gone: the recording goes on unseen
            pass

    def _feed(self) -> None:
        next_due = time.monotonic()
        while True:
            self.wake.wait(max(0.0, next_due - time.monotonic()))
            self.wake.clear()
            closing = self.closing  # read first: the last report is queued before it is set
            while (report := self._next_report()) is not None:
                self.send(report)
            small, self.small = self.small, None
            if small is not None:
                self.send({"picture": small(), "at": datetime.now().isoformat(
                    timespec="seconds")})
            if closing:
                return
            if time.monotonic() >= next_due:
                next_due = time.monotonic() + self.interval
                self.due = True
