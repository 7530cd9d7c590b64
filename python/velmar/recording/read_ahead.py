"""Reading ahead: a second thread reads and decodes the next frames while the
engine checks, stamps and writes the current one. OpenCV's `read` releases
the interpreter lock while it decodes, so on two cores the two overlap.

`ReadAhead` offers the engine what a `cv2.VideoCapture` does. Properties are
read before the thread starts, and the presentation time of each frame
travels with it, so the capture is never used from two threads at once.

A live source's reader also watches for a stall: no frame for `stall`
seconds gives the engine no frame, as an ended source would. A read that
never returns is left to its thread, which releases the capture once the
read comes back; nothing the engine waits on can hang.
"""

from __future__ import annotations

import queue
import threading
import time

import cv2

from velmar.recording.signals import block_stop_signals

DEPTH = 4  # frames decoded ahead: enough to even out, little memory
POLL = 0.1  # seconds between looks at the stop list while waiting
JOIN = 0.25  # seconds a release waits for the reader before leaving it the capture


class ReadAhead:
    def __init__(self, capture, stop: list, depth: int = DEPTH, stall: float | None = None):
        self.capture, self.stop, self.stall = capture, stop, stall
        self.frames: queue.Queue = queue.Queue(depth)
        self.thread: threading.Thread | None = None
        self.quit = threading.Event()
        self.position = 0.0
        self.stalled = False
        # Who releases the capture: the caller, unless it left while a read was blocked.
        self.lock = threading.Lock()
        self.reader_done = False
        self.orphaned = False

    # Before the first read the capture is the caller's alone.
    def isOpened(self) -> bool:
        return self.capture is not None and self.capture.isOpened()

    def set(self, prop, value):
        return self.capture.set(prop, value)

    def get(self, prop):
        if prop == cv2.CAP_PROP_POS_MSEC and self.thread is not None:
            return self.position
        if self.thread is None:
            return self.capture.get(prop)
        return 0.0

    def read(self):
        if self.thread is None:
            self.thread = threading.Thread(target=self._run, name="velmar-read-ahead",
                                           daemon=True)
            self.thread.start()
        waited = time.monotonic()
        while True:
            try:
                item = self.frames.get(timeout=POLL)
            except queue.Empty:
                # A signal came (the engine ends the recording), the reader
                # has stopped for good, or the source stalled.
                if self.stop or not self.thread.is_alive():
                    return False, None
                if self.stall is not None and time.monotonic() - waited > self.stall:
                    self.stalled = True
                    return False, None
                continue
            if isinstance(item, BaseException):
                raise item
            ok, frame, self.position = item
            return ok, frame

    def _run(self):
        # Signals go to the engine's thread: one landing here could cut a
        # read short, which the reader would take for the input's end.
        block_stop_signals()
        try:
            while not self.quit.is_set():
                ok, frame = self.capture.read()
                item = (ok, frame if ok else None, self.capture.get(cv2.CAP_PROP_POS_MSEC))
                if not self._put(item) or not ok:
                    return
        except BaseException as error:  # handed to the engine's thread
            self._put(error)
        finally:
            with self.lock:
                self.reader_done = True
                orphaned = self.orphaned
            if orphaned:
                self._release_capture()

    def _put(self, item) -> bool:
        while not self.quit.is_set():
            try:
                self.frames.put(item, timeout=POLL)
                return True
            except queue.Full:
                continue
        return False

    def release(self):
        """Stops the reader and releases the capture, once; a reader still
        blocked in a read releases it itself when the read returns."""
        self.quit.set()
        thread, self.thread = self.thread, None
        if thread is not None:
            thread.join(JOIN)
            with self.lock:
                if not self.reader_done:
                    self.orphaned = True
                    return
        self._release_capture()

    def _release_capture(self):
        capture, self.capture = self.capture, None
        if capture is not None:
            capture.release()
