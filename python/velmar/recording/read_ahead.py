"""Reading ahead: a second thread reads and decodes the next frames while the
engine checks, stamps and writes the current one. OpenCV's `read` releases
the interpreter lock while it decodes, so on two cores the two overlap.

`ReadAhead` offers the engine what a `cv2.VideoCapture` does. Properties are
read before the thread starts, and the presentation time of each frame
travels with it, so the capture is never used from two threads at once.
"""

from __future__ import annotations

import queue
import signal
import threading

import cv2

from velmar.recording.signals import STOP_SIGNALS

DEPTH = 4  # frames decoded ahead: enough to even out, little memory
POLL = 0.1  # seconds between looks at the stop list while waiting


class ReadAhead:
    def __init__(self, capture, stop: list):
        self.capture, self.stop = capture, stop
        self.frames: queue.Queue = queue.Queue(DEPTH)
        self.thread: threading.Thread | None = None
        self.quit = threading.Event()
        self.position = 0.0

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
        while True:
            try:
                item = self.frames.get(timeout=POLL)
            except queue.Empty:
                # A signal came (the engine ends the recording), or the
                # reader has stopped for good.
                if self.stop or not self.thread.is_alive():
                    return False, None
                continue
            if isinstance(item, BaseException):
                raise item
            ok, frame, self.position = item
            return ok, frame

    def _run(self):
        # Signals go to the engine's thread: one landing here could cut a
        # read short, which the reader would take for the input's end.
        if hasattr(signal, "pthread_sigmask"):
            signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
        try:
            while not self.quit.is_set():
                ok, frame = self.capture.read()
                item = (ok, frame if ok else None, self.capture.get(cv2.CAP_PROP_POS_MSEC))
                if not self._put(item) or not ok:
                    return
        except BaseException as error:  # handed to the engine's thread
            self._put(error)

    def _put(self, item) -> bool:
        while not self.quit.is_set():
            try:
                self.frames.put(item, timeout=POLL)
                return True
            except queue.Full:
                continue
        return False

    def release(self):
        """Stops the reader and releases the capture, once."""
        self.quit.set()
        if self.thread is not None:
            self.thread.join()
            self.thread = None
        if self.capture is not None:
            capture, self.capture = self.capture, None
            capture.release()
