"""Compact videos: H.264, H.265 and AV1 encoded by FFmpeg (through PyAV) into
.mp4, .mkv or .mov files written in fragments that survive a crash."""

from __future__ import annotations

import contextlib
import os
import time
from fractions import Fraction

import cv2
import numpy as np

from velmar.recording.codecs import COMPACT, Codec, encoder_options, quiet_encoders
from velmar.recording.containers import (CONTAINERS, MP4_FLAGS, SEALABLE, fragmented,
                                         open_muxer)
from velmar.recording.disk import DiskGuard
from velmar.recording.durable import SYNC_SECONDS, FragmentFile, FrameLog, is_full

def exact_rate(rate: float) -> Fraction:
    """30000/1001 back from 29.97002997...: rates are ratios of small numbers."""
    return Fraction(rate).limit_denominator(100_000)


class _Nowhere:
    """A file that takes every write and keeps none."""

    def write(self, data) -> int:
        return len(data)


class Encoder:
    """The encoder of a compact file, in a container of its own that writes
    nowhere: each muxer of the file takes its stream as a template, so that
    an encoder may outlive a muxer (a time-lapse's frames) and a muxer may
    follow a drained encoder (after an event)."""

    def __init__(self, codec: Codec, rate: float, size: tuple[int, int], sparse: bool,
                 container_format: str, muxer=None):
        import av
        quiet_encoders()
        # Or the stream of `muxer`, the file's one muxer, whose stream keeps
        # the rate older PyAV does not copy from a template.
        self.owned = muxer is None
        # A muxer that writes where it cannot seek: MP4's wants fragments.
        options = {} if container_format == "matroska" else {"movflags": MP4_FLAGS}
        self.container = (av.open(_Nowhere(), "w", format=container_format, options=options)
                          if self.owned else muxer)
        try:
            encoder, quality, _, quality_option = COMPACT[codec.name]
            self.stream = self.container.add_stream(encoder, rate=exact_rate(rate))
            self.stream.width, self.stream.height = size
            self.stream.pix_fmt = "yuv420p"
            # Whole frames in parallel, but for sparse frames: a frame
            # thread holds its frame back, a slice thread does not.
            self.stream.codec_context.thread_type = "SLICE" if sparse else "FRAME"
            self.stream.options = {
                quality_option: str(codec.quality if codec.quality is not None else quality),
                **encoder_options(codec, encoder, sparse)}
            if self.owned:
                self.container.start_encoding()
        except BaseException:
            self.close()
            raise

    @property
    def headers(self) -> bytes:
        return bytes(self.stream.codec_context.extradata or b"")

    def encode(self, frame):
        """The packets ready: all that are left when `frame` is None."""
        return self.stream.encode(frame)

    def close(self) -> None:
        if self.owned:
            self.container.close()


class CompactWriter:
    """One video written by an FFmpeg encoder in fragments of at most
    `fragment_frames` frames. 4:2:0 needs even sizes, so an odd width or
    height loses its last column or row.

    Frames go to the encoder as 4:2:0 converted by OpenCV: at 720p that is
    about five times as fast as FFmpeg's own converter, and as close to the
    frame (Y within one level).

    With `sealing`, `seal()` (an event's end) puts every frame given so far
    into the file at once, and a time-lapse's frames of their own fragment
    each go in as they come: an encoder holds frames to look ahead, a muxer
    the fragment under way, and with no frame to follow they would stay out
    for as long as the scene is still. Where the container allows, the
    encoder is drained and the muxer closed; the next frame starts them
    again, in the same file."""

    def __init__(self, path: str, codec: Codec, rate: float, size: tuple[int, int],
                 fragment_frames: int, sparse: bool, guard: DiskGuard, sealing: bool = False):
        self.size = (size[0] - size[0] % 2, size[1] - size[1] % 2)
        # One conversion buffer for the whole file: the encoder copies from it.
        self.planes = np.empty((self.size[1] * 3 // 2, self.size[0]), np.uint8)
        self.path, self.guard, self.full = path, guard, False
        self.codec, self.rate, self.sparse = codec, rate, sparse
        self.suffix = os.path.splitext(path)[1].lower()
        self.options = fragmented(self.suffix, fragment_frames, rate)
        self.seals = sealing and self.suffix in SEALABLE
        self.seals_each_frame = self.seals and sparse and fragment_frames == 1
        self.frames = 0
        self.log: FrameLog | None = None
        # Frames whose packets were muxed, and those known to be in the file:
        # the first `durable` frames are, and their rows may follow them.
        self.muxed: set[int] = set()
        self.in_file: set[int] = set()
        self.durable = 0
        # The end of the last fragment after which the file held frames
        # 0 to n - 1 and no other, and n: reordered frames (B-frames) may
        # leave a later frame in a fragment before an earlier one.
        self.clean = (0, 0)
        self.synced = time.monotonic()
        self.headers: bytes | None = None  # the first encoder's, which the file holds
        self.encoder: Encoder | None = None
        self.container = self.stream = None
        self.file = FragmentFile(path)
        try:
            if self.seals:
                self._start_encoder()
            self._start_muxer()
        except BaseException:
            self._close_all()
            raise

    def _start_encoder(self) -> None:
        self.encoder = Encoder(self.codec, self.rate, self.size, self.sparse,
                               CONTAINERS[self.suffix])
        if self.headers is None:
            self.headers = self.encoder.headers
        elif self.encoder.headers != self.headers:  # the file's header would not decode it
            raise RuntimeError(f"{self.path}: the encoder's headers changed within the file")

    def _start_muxer(self) -> None:
        """The file's first muxer, or the next after a seal."""
        self.container = open_muxer(self.file, self.suffix, self.options, self.seals,
                                    self.frames + 1)
        if self.seals:
            self.stream = self.container.add_stream_from_template(self.encoder.stream)
        else:  # one muxer for the whole file: the encoder is its stream's own
            self.encoder = Encoder(self.codec, self.rate, self.size, self.sparse,
                                   CONTAINERS[self.suffix], self.container)
            self.stream = self.encoder.stream

    def isOpened(self) -> bool:
        return self.file.fd >= 0

    def write(self, image) -> None:
        self.guard.tick()
        if self.full:  # the guard has ended the recording: this frame stays out
            return
        width, height = self.size
        image = image[:height, :width]
        if image.ndim == 2:
            image = cv2.cvtColor(image, cv2.COLOR_GRAY2BGR)
        cv2.cvtColor(image, cv2.COLOR_BGR2YUV_I420, dst=self.planes)
        try:
            if self.encoder is None:
                self._start_encoder()
            if self.container is None:
                self._start_muxer()
            frame = _video_frame(self.planes)
            frame.pts = self.frames
            self.frames += 1
            for packet in self.encoder.encode(frame):
                self._mux(packet)
        except Exception:
            if not self._disk_full():
                raise
        if self.seals_each_frame:
            self.seal()

    def seal(self) -> None:
        """Every frame written so far into the file now, if the container
        allows; the next frame goes on in the same file."""
        if self.container is None or not self.seals or self.full:
            return
        self._end_muxer(drain=not self.sparse)

    def _disk_full(self) -> bool:
        """Whether the failure was a full disk, which ends the recording in
        order: the video keeps its whole fragments up to the last that left
        no frame missing before another, the log their rows."""
        if self.file.error is None or not is_full(self.file.error):
            return False
        if not self.full:
            self.full = True
            self.file.end_writes()
            # A fragment cut short, or a frame ahead of the others, would play unlogged.
            end, self.durable = self.clean
            os.ftruncate(self.file.fd, end)
            if self.log is not None:
                self.log.cut_to(self.durable)
            self.guard.ran_out(self.path)
        return True

    def _mux(self, packet) -> None:
        frame = packet.pts
        packet.stream = self.stream
        self.container.mux(packet)
        if self.file.error is not None:  # FFmpeg may tell of a failed write only later
            raise self.file.error
        if self.file.wrote:  # a whole fragment: every packet before this one
            self._fragment_written()
        self.muxed.add(frame)

    def _fragment_written(self) -> None:
        self.file.wrote = False
        self.in_file.update(self.muxed)
        self.muxed.clear()
        self._advance()
        if not self.in_file:
            self.clean = (self.file.tell(), self.durable)

    def _advance(self) -> None:
        while self.durable in self.in_file:
            self.in_file.remove(self.durable)
            self.durable += 1
        if self.log is not None:
            self.log.release(self.durable)
        if time.monotonic() - self.synced >= SYNC_SECONDS:
            self._sync()

    def _sync(self) -> None:
        self.file.sync()
        if self.log is not None:
            self.log.sync()
        self.synced = time.monotonic()

    def _end_muxer(self, drain: bool) -> None:
        """Closes the muxer, which writes the last fragment, the encoder
        drained into it first with `drain`: every frame given is in the
        file then, unless the disk is full."""
        try:
            try:
                if drain:
                    self._drain()
            finally:
                container, self.container = self.container, None
                container.close()
            if self.file.error is not None:  # FFmpeg may not say a write failed
                raise self.file.error
        except Exception:
            if not self._disk_full():
                raise  # a full disk's trailer stays out: the fragments play without it
        if not self.full:
            self._fragment_written()

    def _drain(self) -> None:
        """The encoder's last packets; it ends even on a full disk."""
        encoder, self.encoder = self.encoder, None
        try:
            for packet in encoder.encode(None):
                if not self.full:
                    self._mux(packet)
        finally:
            encoder.close()

    def release(self) -> None:
        """Flushes the encoder and closes the container: a valid file
        whatever way the recording ended."""
        if self.file.fd < 0:
            return
        try:
            if self.container is None and self.encoder is not None and not self.full:
                self._start_muxer()  # frames the encoder still holds go in
            if self.container is not None:
                self._end_muxer(drain=self.encoder is not None)
            if not self.full:
                self.file.sync()
        except Exception:
            if not self._disk_full():
                raise
        finally:
            self._close_all()
        if not self.full:
            self.durable = self.frames  # every fragment is in the file
            if self.log is not None:
                self.log.release(self.durable)

    def _close_all(self) -> None:
        """The muxer, the encoder and the file, whatever state they are in."""
        for part in ("container", "encoder"):
            held = getattr(self, part)
            setattr(self, part, None)
            if held is not None:
                with contextlib.suppress(Exception):  # the first failure is the one told
                    held.close()
        self.file.close()


def _video_frame(planes):
    import av
    return av.VideoFrame.from_ndarray(planes, format="yuv420p")
