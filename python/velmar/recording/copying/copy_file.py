"""One video of copied packets and its frame log. The muxer writes a
fragment (an MP4 fragment, a Matroska cluster) about every second, each a
playable piece; a row of the log reaches the OS with the fragment that holds
its frame, so after a kill the video and its log agree up to a fragment."""

from __future__ import annotations

import contextlib
import os
import time

from velmar.recording.containers import SEALABLE, fragmented, open_muxer
from velmar.recording.disk import DiskGuard
from velmar.recording.durable import SYNC_SECONDS, FragmentFile, FrameLog, is_full
from velmar.shared.companions import FRAME_LOG_HEADER

LOG_HEADER = ",".join(FRAME_LOG_HEADER) + "\r\n"
DEFAULT_RATE = 25.0  # a stream that tells no rate: fragments of about a second


class CopyFile:
    """Packets of the input stream `template`, written as they come, from a
    keyframe; the file's times count from the first packet's. With
    `sealing`, `seal()` (a live event's end) puts every packet written so far
    into the file at once: in an .mp4 or .mov the muxer is closed, and the
    next packet starts another on the same file, its header left out."""

    def __init__(self, path: str, log: FrameLog, template, rate: float, guard: DiskGuard,
                 sealing: bool = False):
        self.path, self.log, self.guard = path, log, guard
        self.template = template
        self.suffix = os.path.splitext(path)[1].lower()
        self.file = FragmentFile(path)
        self.frames = 0  # packets muxed
        self.durable = 0  # of them, those known to be in the file
        self.clean_end = 0  # where the file ends after its last whole fragment
        self.full = False
        self.offset: int | None = None
        self.rows: list[tuple[int, str]] = []  # of frames not yet known to be in the file
        self.logged = 0
        self.synced = time.monotonic()
        self.options = _fragments(self.suffix, rate, template)
        self.seals = sealing and self.suffix in SEALABLE
        self.container = self.stream = None
        try:
            self._start_muxer()
            log.write(LOG_HEADER)
        except BaseException:
            self._close_muxer()
            self.file.close()
            raise

    def _start_muxer(self) -> None:
        """The file's first muxer, or the next after a seal."""
        self.container = open_muxer(self.file, self.suffix, self.options, self.seals,
                                    self.frames + 1)
        self.stream = self.container.add_stream_from_template(self.template)

    def seal(self) -> None:
        """Every packet written so far, and its row, in the file now."""
        if not self.seals or self.container is None or self.full:
            return
        try:
            self._end_muxer()
        except Exception:
            if not self._disk_full():
                raise
            return
        self._fragment_written(self.frames)

    def _end_muxer(self) -> None:
        container, self.container = self.container, None
        container.close()
        if self.file.error is not None:  # FFmpeg may not say a write failed
            raise self.file.error

    def _close_muxer(self) -> None:
        container, self.container = self.container, None
        if container is not None:
            with contextlib.suppress(Exception):  # the first failure is the one told
                container.close()

    def write(self, packet, inframe: int, moment: str) -> None:
        """Muxes the packet; its row waits for the fragment that holds it."""
        self.guard.tick()
        if self.full:
            return
        if self.offset is None:
            self.offset = packet.dts if packet.dts is not None else packet.pts
        packet.pts -= self.offset
        if packet.dts is not None:
            packet.dts -= self.offset
        try:
            if self.container is None:
                self._start_muxer()
            packet.stream = self.stream
            self.container.mux(packet)
            if self.file.error is not None:
                raise self.file.error
        except Exception:
            if not self._disk_full():
                raise
            return
        if self.file.wrote:  # a whole fragment: every packet before this one
            self._fragment_written(self.frames)
        self.frames += 1
        self.rows.append((inframe, moment))

    def _fragment_written(self, frames: int) -> None:
        self.file.wrote = False
        self.durable, self.clean_end = frames, self.file.tell()
        self._log_rows(frames)

    def _log_rows(self, frames: int) -> None:
        """The rows of the frames up to `frames`, their times in the order the
        frames are shown: packets come in the order they decode."""
        count = frames - self.logged
        given, self.rows = self.rows[:count], self.rows[count:]
        moments = sorted(moment for _, moment in given)  # one format: text sorts as time
        for (inframe, _), moment in zip(given, moments):
            self.log.write(f"{inframe},{self.logged},{moment}\r\n")
            self.logged += 1
        self.log.release(self.logged)
        if time.monotonic() - self.synced >= SYNC_SECONDS:
            self.file.sync()
            self.log.sync()
            self.synced = time.monotonic()

    def _disk_full(self) -> bool:
        """A full disk ends the recording in order: the video keeps its
        whole fragments, the log their rows."""
        if self.file.error is None or not is_full(self.file.error):
            return False
        if not self.full:
            self.full = True
            self.file.end_writes()
            os.ftruncate(self.file.fd, self.clean_end)
            self.rows.clear()
            self.guard.ran_out(self.path)
        return True

    def close(self) -> None:
        """The last fragment written, every row released, the log closed."""
        try:
            try:
                if self.container is not None:  # else sealed, and nothing written since
                    self._end_muxer()
            except Exception:
                if not self._disk_full():
                    raise
            if not self.full:
                self.file.sync()
                self.durable = self.frames
                self._log_rows(self.frames)
        finally:
            self._close_muxer()
            self.file.close()
            self.log.close()


def _fragments(suffix: str, rate: float, template) -> dict[str, str]:
    """Fragments of about a second; of a stream with B-frames, from keyframe
    to keyframe only, so that no fragment holds a frame shown before one of
    the last."""
    rate = rate if rate > 0 else DEFAULT_RATE
    options = fragmented(suffix, max(1, round(rate)), rate)
    if template.codec_context.has_b_frames:
        options.pop("frag_duration", None)
        options.pop("cluster_time_limit", None)
    return options
