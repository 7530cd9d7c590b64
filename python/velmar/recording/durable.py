"""Files that survive a crash. A compact video is written in fragments of at
most a second, each a whole playable piece; its log's rows reach the OS with
the fragment that holds their frames, so after a kill a video and its log
differ by at most a fragment. Both are synced to the disk every few seconds,
so a power cut loses only seconds. The logs of OpenCV's writers, which
cannot fragment, are flushed every second."""

from __future__ import annotations

import os
import time

SYNC_SECONDS = 5.0  # the most a power cut may take of what the OS was given
FLUSH_SECONDS = 1.0  # how long a row of an unfragmented video's log may wait


class FragmentFile:
    """The file a container is written through. The muxers given here write
    only when a fragment (or a cluster) is whole, so a write tells that
    every packet muxed before the current one is in the file."""

    def __init__(self, path: str):
        self.fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
        self.wrote = False

    def write(self, data) -> int:
        view = memoryview(data)
        while view:  # FFmpeg takes a short write for a whole one
            view = view[os.write(self.fd, view):]
        self.wrote = True
        return len(data)

    def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        return os.lseek(self.fd, offset, whence)

    def tell(self) -> int:
        return os.lseek(self.fd, 0, os.SEEK_CUR)

    def seekable(self) -> bool:
        return True

    def sync(self) -> None:
        os.fsync(self.fd)

    def close(self) -> None:
        if self.fd >= 0:
            fd, self.fd = self.fd, -1
            os.close(fd)


class FrameLog:
    """A video's frame log as the engine writes it: its header at once, so
    that no log is ever empty, then one row per frame.

    `held` rows wait until `release()` says their frames are in the video;
    the others are written at least every FLUSH_SECONDS."""

    def __init__(self, path: str, held: bool):
        self.file = open(path, "w", newline="", encoding="ascii")
        self.held = held
        self.pending: list[str] = []
        self.released = 0  # rows given to the OS, the header aside
        self.header_written = False
        self.flushed = self.synced = time.monotonic()

    def tell(self) -> int:
        return self.file.tell()

    def write(self, text: str) -> int:
        if not self.header_written:
            self.file.write(text)
            self.file.flush()
            self.header_written = True
        else:
            self.pending.append(text)
            if not self.held and time.monotonic() - self.flushed >= FLUSH_SECONDS:
                self.release(self.released + len(self.pending))
        return len(text)

    def release(self, frames: int) -> None:
        """Gives the OS the rows of the video's first `frames` frames."""
        count = frames - self.released
        if count <= 0:
            return
        self.file.write("".join(self.pending[:count]))
        del self.pending[:count]
        self.released = frames
        self.file.flush()
        self.flushed = now = time.monotonic()
        if not self.held and now - self.synced >= SYNC_SECONDS:
            self.sync()

    def sync(self) -> None:
        os.fsync(self.file.fileno())
        self.synced = time.monotonic()

    def close(self) -> None:
        """Every row written and synced: the video is closed by now."""
        if self.file.closed:
            return
        try:
            self.release(self.released + len(self.pending))
            self.sync()
        finally:
            self.file.close()
