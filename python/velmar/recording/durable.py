"""Files that survive a crash. A compact video is written in fragments of at
most a second, each a whole playable piece; its log's rows reach the OS with
the fragment that holds their frames, so after a kill a video and its log
differ by at most a fragment. Both are synced to the disk every few seconds,
so a power cut loses only seconds. The logs of OpenCV's writers, which
cannot fragment, are flushed every second.

A full disk is told to the disk guard, which ends the recording in order
and gives up the room it held, in which the files are then closed."""

from __future__ import annotations

import errno
import os
import struct
import time
from collections.abc import Callable
from pathlib import Path

SYNC_SECONDS = 5.0  # the most a power cut may take of what the OS was given
FLUSH_SECONDS = 1.0  # how long a row of an unfragmented video's log may wait


def write_all(fd: int, data) -> None:
    view = memoryview(data)
    while view:  # a short write is not the whole of it
        view = view[os.write(fd, view):]


def is_full(error: BaseException) -> bool:
    return isinstance(error, OSError) and error.errno in (errno.ENOSPC, errno.EDQUOT)


class FragmentFile:
    """The file a container is written through. The muxers given here write
    only when a fragment (or a cluster) is whole, so a write tells that
    every packet muxed before the current one is in the file. `error` is
    the first failed write's, which FFmpeg reports only as its own."""

    def __init__(self, path: str):
        self.fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
        self.wrote = False
        self.error: OSError | None = None
        self.header: bytes | None = None  # what is held of a header left out
        self.ended = False

    def leave_out_header(self) -> None:
        """The next muxer's header (its `ftyp` and `moov` boxes) stays out
        of the file: it goes on a file whose first muxer wrote one."""
        self.header = b""

    def end_writes(self) -> None:
        """The disk is full: what the muxer still holds, its trailer and
        the fragment under way, stays out of the file, as their rows do."""
        self.ended = True

    def write(self, data) -> int:
        given = len(data)
        if self.ended:
            return given
        if self.header is not None:
            data = self._past_header(bytes(data))
            if not data:
                return given
        try:
            write_all(self.fd, data)
        except OSError as error:
            self.error = self.error or error
            raise
        self.wrote = True
        return given

    def _past_header(self, data: bytes) -> bytes:
        """What of `data` follows the header: whole boxes are dropped until
        the first fragment's."""
        held = self.header + data
        while len(held) >= 8:
            size, kind = struct.unpack(">I4s", held[:8])
            if kind == b"moof":
                self.header = None
                return held
            if size < 8:
                raise ValueError(f"a muxer's header holds a {kind!r} box of {size} bytes")
            if len(held) < size:
                break
            held = held[size:]
        self.header = held
        return b""

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

    `held` rows wait until `release()` says their frames are in the video,
    and rows never released are dropped at the end: their frames never got
    there. The others are written at least every FLUSH_SECONDS. A row is
    written whole or not at all. `on_close(video, rows)` is told the rows
    the log ends with: the video's frames."""

    def __init__(self, path: str, held: bool, guard, on_close: Callable[[str, int], None]):
        self.path, self.held, self.guard, self.on_close = path, held, guard, on_close
        self.fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_TRUNC, 0o666)
        self.pending: list[str] = []
        self.released = 0  # rows given to the OS, the header aside
        self.allowed = 0  # rows whose frames are in the video, given or still to come
        self.header_written = False
        self.flushed = self.synced = time.monotonic()

    def tell(self) -> int:
        return os.lseek(self.fd, 0, os.SEEK_CUR)

    def write(self, text: str) -> int:
        if not self.header_written:
            self._write(text)
            self.header_written = True
        else:
            self.pending.append(text)
            if self.held and self.allowed > self.released:  # its frame went in before it came
                self.release(self.allowed)
            elif not self.held and time.monotonic() - self.flushed >= FLUSH_SECONDS:
                self.release(self.released + len(self.pending))
        return len(text)

    def release(self, frames: int) -> None:
        """Gives the OS the rows of the video's first `frames` frames, and
        each of them that comes later, as it comes."""
        self.allowed = max(self.allowed, frames)
        count = min(frames - self.released, len(self.pending))
        if count <= 0 or self.fd < 0:
            return
        self._write("".join(self.pending[:count]))
        del self.pending[:count]
        self.released += count
        self.flushed = now = time.monotonic()
        if not self.held and now - self.synced >= SYNC_SECONDS:
            self.sync()

    def flush(self) -> None:
        """The rows of an unfragmented video's frames, now; a compact
        video's wait for its fragments."""
        if not self.held:
            self.release(self.released + len(self.pending))

    def _write(self, text: str) -> None:
        """Whole rows: on a full disk the guard gives up its room, and the
        rows go in again from where they started."""
        data, start = text.encode("ascii"), self.tell()
        for attempt in range(2):
            try:
                write_all(self.fd, data)
                return
            except OSError as error:
                if not is_full(error):
                    raise
                os.ftruncate(self.fd, start)
                os.lseek(self.fd, start, os.SEEK_SET)
                self.guard.ran_out(self.path)

    def sync(self) -> None:
        os.fsync(self.fd)
        self.synced = time.monotonic()

    def _agree_with_video(self) -> None:
        """After a full disk OpenCV's writer may have kept frames from its
        video without a word: the log keeps the rows of the frames there."""
        from velmar.shared.videos import read_frames
        frames = read_frames(Path(self.path.removesuffix(".csv"))).frames
        if frames >= self.released:
            self.release(frames)
            return
        self.cut_to(frames)

    def cut_to(self, rows: int) -> None:
        """Only the first `rows` rows, written or not, stay: the video was
        cut back to their frames."""
        if rows < self.released:
            os.lseek(self.fd, 0, os.SEEK_SET)
            text = os.read(self.fd, os.fstat(self.fd).st_size)
            end = 0
            for _ in range(rows + 1):  # the header, then the rows kept
                end = text.index(b"\n", end) + 1
            os.ftruncate(self.fd, end)
            os.lseek(self.fd, end, os.SEEK_SET)
            self.released = rows
        del self.pending[max(0, rows - self.released):]
        self.allowed = rows

    def close(self) -> None:
        """The rest of the rows written, but for held rows never released,
        and synced: the video is closed by now."""
        if self.fd < 0:
            return
        try:
            if not self.held and self.guard.problem is not None:
                self._agree_with_video()
            elif not self.held:
                self.release(self.released + len(self.pending))
            self.sync()
        finally:
            fd, self.fd = self.fd, -1
            os.close(fd)
        self.on_close(self.path.removesuffix(".csv"), self.released)
