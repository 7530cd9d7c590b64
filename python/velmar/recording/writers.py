"""The video writers of a recording: H.264, H.265 and AV1 through PyAV for
compact files, any other four-character code through OpenCV's writer.

Both kinds give the engine the same small interface (`isOpened`, `write`,
`release`). Sizes a codec cannot take are never changed silently: the size
written is noted with the file, and a note says why.
"""

from __future__ import annotations

import math
import os
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from fractions import Fraction
from typing import Any

import cv2
import numpy as np

from velmar import checks
from velmar.recording import outputs
from velmar.recording.disk import DiskGuard
from velmar.recording.retention import Retention
from velmar.recording.durable import SYNC_SECONDS, FragmentFile, FrameLog, is_full

# codec -> (PyAV encoder, default quality, default speed, quality option)
COMPACT = {
    "h264": ("libx264", 23, "veryfast", "crf"),
    "h265": ("libx265", 28, "ultrafast", "crf"),
    "av1": ("libsvtav1", 35, "10", "crf"),
}
CONTAINERS = {".mp4": "mp4", ".mkv": "matroska", ".mov": "mov"}
COMPACT_SUFFIXES = tuple(CONTAINERS)
_MP4_FLAGS = "frag_keyframe+empty_moov+default_base_moof"


def fragmented(suffix: str, frames: int, rate: float) -> dict[str, str]:
    """Container options for fragments (clusters) of `frames` frames, each
    written whole as soon as the next begins. Fragments need no keyframe of
    their own: a cut-off file decodes from its start up to its last whole
    fragment, and keyframes a second apart made files four times as large."""
    seconds = (frames - 0.5) / rate  # the muxer cuts once a fragment is this long
    if suffix == ".mkv":
        return {"cluster_time_limit": str(max(1, int(seconds * 1000))), "flush_packets": "1"}
    return {"movflags": _MP4_FLAGS, "frag_duration": str(max(1, int(seconds * 1e6))),
            "flush_packets": "1"}
# The containers and the highest quality value (CRF) of each compact codec:
# FFmpeg's QuickTime muxer cannot hold AV1.
COMPACT_CONTAINERS = {"h264": COMPACT_SUFFIXES, "h265": COMPACT_SUFFIXES, "av1": (".mp4", ".mkv")}
MOST_QUALITY = {"h264": 51, "h265": 51, "av1": 63}
# The smallest frames each encoder takes, as (side, pixels) of the even size
# written: x265 wants 16 each way, SVT-AV1 fails on 2x2, 2x4 and 4x2.
LEAST_SIZE = {"h264": (2, 4), "h265": (16, 256), "av1": (2, 12)}
OPENCV_NAMES = {"mjpg": "MJPG", "mp4v": "mp4v", "ffv1": "FFV1"}
# The containers that hold OpenCV's codecs as themselves: OpenCV's writer
# would put MJPEG into an .mp4 under another codec's tag.
OPENCV_SUFFIXES = {"mjpg": (".avi",), "mp4v": (".mp4", ".mov", ".avi"), "ffv1": (".avi", ".mkv")}
BY_SUFFIX = {**dict.fromkeys(COMPACT_SUFFIXES, "h264"), ".avi": "mjpg"}


@dataclass(frozen=True)
class Codec:
    name: str        # "h264", "h265", "av1", or a four-character code for OpenCV
    quality: int | None = None
    speed: str | None = None

    @property
    def compact(self) -> bool:
        return self.name in COMPACT

    @property
    def fourcc(self) -> str:
        return OPENCV_NAMES.get(self.name.lower(), self.name)


class CompactWriter:
    """One video written by an FFmpeg encoder in fragments of at most
    `fragment_frames` frames. 4:2:0 needs even sizes, so an odd width or
    height loses its last column or row.

    Frames go to the encoder as 4:2:0 converted by OpenCV: at 720p that is
    about five times as fast as FFmpeg's own converter, and as close to the
    frame (Y within one level)."""

    def __init__(self, path: str, codec: Codec, rate: float, size: tuple[int, int],
                 fragment_frames: int, sparse: bool, guard: DiskGuard):
        import av
        quiet_encoders()
        encoder, quality, _, quality_option = COMPACT[codec.name]
        self.size = (size[0] - size[0] % 2, size[1] - size[1] % 2)
        # One conversion buffer for the whole file: the encoder copies from it.
        self.planes = np.empty((self.size[1] * 3 // 2, self.size[0]), np.uint8)
        self.path, self.guard, self.full = path, guard, False
        self.frames = 0
        self.log: FrameLog | None = None
        # Frames whose packets were muxed, and those known to be in the file:
        # the first `durable` frames are, and their rows may follow them.
        self.muxed: set[int] = set()
        self.in_file: set[int] = set()
        self.durable = 0
        self.whole = 0  # bytes of the file in whole fragments
        self.synced = time.monotonic()
        self.new_frame = av.VideoFrame.from_ndarray
        self.file = FragmentFile(path)
        try:
            suffix = os.path.splitext(path)[1].lower()
            self.container = av.open(self.file, "w", format=CONTAINERS[suffix],
                                     options=fragmented(suffix, fragment_frames, rate))
        except BaseException:
            self.file.close()
            raise
        try:
            self.stream = self.container.add_stream(encoder, rate=exact_rate(rate))
            self.stream.width, self.stream.height = self.size
            self.stream.pix_fmt = "yuv420p"
            # Whole frames in parallel: PyAV asks for slices, which keep
            # libx264 to one core for much of each frame.
            self.stream.codec_context.thread_type = "FRAME"
            self.stream.options = {
                quality_option: str(codec.quality if codec.quality is not None else quality),
                **encoder_options(codec, encoder, sparse)}
        except BaseException:
            self._close()
            raise

    def isOpened(self) -> bool:
        return self.container is not None

    def write(self, image) -> None:
        self.guard.tick()
        if self.full:  # the guard has ended the recording: this frame stays out
            return
        width, height = self.size
        image = image[:height, :width]
        if image.ndim == 2:
            image = cv2.cvtColor(image, cv2.COLOR_GRAY2BGR)
        cv2.cvtColor(image, cv2.COLOR_BGR2YUV_I420, dst=self.planes)
        frame = self.new_frame(self.planes, format="yuv420p")
        frame.pts = self.frames
        self.frames += 1
        try:
            for packet in self.stream.encode(frame):
                self._mux(packet)
        except Exception:
            if not self._disk_full():
                raise

    def _disk_full(self) -> bool:
        """Whether the failure was a full disk, which ends the recording in
        order: the video keeps its whole fragments, the log their rows."""
        if self.file.error is None or not is_full(self.file.error):
            return False
        if not self.full:
            self.full = True
            os.ftruncate(self.file.fd, self.whole)  # a fragment cut short would play unlogged
            self.guard.ran_out(self.path)
        return True

    def _mux(self, packet) -> None:
        frame = packet.pts
        self.container.mux(packet)
        if self.file.error is not None:  # FFmpeg may tell of a failed write only later
            raise self.file.error
        if self.file.wrote:  # a whole fragment: every packet before this one
            self.file.wrote = False
            self.whole = self.file.tell()
            self.in_file.update(self.muxed)
            self.muxed.clear()
            self._advance()
        self.muxed.add(frame)

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

    def release(self) -> None:
        """Flushes the encoder and closes the container: a valid file
        whatever way the recording ended."""
        if self.container is None:
            return
        try:
            for packet in self.stream.encode(None):  # the encoder ends even on a full disk
                if not self.full:
                    self._mux(packet)
        except Exception:
            if not self._disk_full():
                raise
        finally:
            self._close()

    def _close(self) -> None:
        container, self.container = self.container, None
        try:
            container.close()
            if self.file.error is not None:  # FFmpeg may not say a write failed
                raise self.file.error
            self.file.sync()
        except Exception:
            if not self._disk_full():
                raise  # a full disk's trailer stays out: the fragments play without it
        finally:
            self.file.close()
        if not self.full:
            self.durable = self.frames  # every fragment is in the file
            if self.log is not None:
                self.log.release(self.durable)


class ShownWriter:
    """A writer that shows each frame it has written to an observer."""

    def __init__(self, writer, shown: Callable[[Any], None]):
        self.writer, self.shown = writer, shown

    def isOpened(self) -> bool:
        return self.writer.isOpened()

    def write(self, image) -> None:
        self.writer.write(image)
        self.shown(image)

    def release(self) -> None:
        self.writer.release()


class OpenCVWriter:
    """OpenCV's writer, which says nothing when the disk is full: the guard
    looks at the free space before every frame, keeping room for a few more
    of the largest steps the file has grown by, and for the index that its
    container writes at the end."""

    INDEX_BYTES = 64  # a frame's entry, and more, in an AVI or MP4 index

    def __init__(self, path: str, fourcc: str, rate: float, size: tuple[int, int],
                 is_color: bool, guard: DiskGuard):
        self.writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*fourcc), rate, size,
                                      is_color)
        self.path, self.guard = path, guard
        self.written = self.largest_step = self.frames = 0

    def isOpened(self) -> bool:
        return self.writer.isOpened()

    def write(self, image) -> None:
        self.guard.check(margin=4 * self.largest_step + self.INDEX_BYTES * self.frames)
        self.writer.write(image)
        self.frames += 1
        written = os.stat(self.path).st_size
        self.largest_step = max(self.largest_step, written - self.written)
        self.written = written

    def release(self) -> None:
        self.writer.release()


def encoder_options(codec: Codec, encoder: str, sparse: bool = False) -> dict[str, str]:
    """The preset, and quiet for the encoder that reports at info level.
    `sparse` frames (a time-lapse) leave the encoder at once: one that held
    a dozen frames to look ahead would keep minutes of them from the file."""
    options = {"preset": codec.speed or COMPACT[codec.name][2]}
    if sparse and encoder in ("libx264", "libx265"):
        options["tune"] = "zerolatency"
    if encoder == "libx265":
        options["x265-params"] = "log-level=error"
    return options


def quiet_encoders() -> None:
    """SVT-AV1 reports its set-up on standard error unless told otherwise."""
    os.environ.setdefault("SVT_LOG", "1")


def exact_rate(rate: float) -> Fraction:
    """30000/1001 back from 29.97002997...: rates are ratios of small numbers."""
    return Fraction(rate).limit_denominator(100_000)


@dataclass
class Writers:
    """Makes the writers of one recording and their logs, and remembers the
    size of each video. `spacing` is the seconds between a time-lapse's
    frames; a fragment holds at most a second of the recording either way.
    The guard looks at the disk before each new file."""

    codec: Codec
    guard: DiskGuard
    spacing: float | None = None
    retention: Retention | None = None
    sizes: dict[str, tuple[int, int]] = field(default_factory=dict)
    frames_in_file: dict[str, int] = field(default_factory=dict)  # by their closed logs
    notes: list[str] = field(default_factory=list)
    latest: CompactWriter | None = None
    latest_path: str | None = None
    first_path: str | None = None
    shown: Callable[[Any], None] | None = None  # shown each frame once it is written

    def __call__(self, path: str, codec_name: str, rate: float, size: tuple[int, int],
                 is_color: bool = True):
        check_size(self.codec, size, "the frames")  # a whole frame's size is known only now
        self.guard.check()
        self.latest_path = path
        self.first_path = self.first_path or path
        if self.codec.compact:
            writer = self.latest = CompactWriter(path, self.codec, rate, size,
                                                 self.fragment_frames(rate),
                                                 self.spacing is not None, self.guard)
            written = writer.size
        else:
            writer = OpenCVWriter(path, self.codec.fourcc, rate, tuple(size), is_color,
                                  self.guard)
            written = (size[0] - size[0] % 2, size[1] - size[1] % 2)  # as OpenCV writes it
        self.sizes[path] = written
        if written != tuple(size) and not self.notes:
            self.notes.append(f"the {size[0]}x{size[1]} region is written as "
                              f"{written[0]}x{written[1]}: the codec needs even sizes")
        return writer if self.shown is None else ShownWriter(writer, self.shown)

    def _finished(self, video: str, frames: int) -> None:
        """A video and its log are closed: old recordings may go now."""
        self.frames_in_file[video] = frames
        if self.retention is not None:
            self.retention.prune(writing=self._writing(video))

    def _writing(self, finished: str) -> tuple[str, ...]:
        """The video being written, if another than `finished` is."""
        latest = self.latest_path
        return () if latest is None or latest == finished else (latest,)

    def make_room(self) -> bool:
        """Deletes the oldest recording to free the disk, if there is one."""
        return self.retention is not None and self.retention.delete_oldest(
            self._writing(""))

    def fragment_frames(self, rate: float) -> int:
        """A second of the recording: of a time-lapse, the frames kept in it."""
        seconds = self.spacing if self.spacing is not None else 1 / rate
        return max(1, math.floor(1 / seconds))

    def open_log(self, path: str) -> FrameLog:
        """The log of the video just made: a compact video's rows follow its
        fragments, the others' are flushed every second."""
        log = FrameLog(path, self.codec.compact, self.guard, self._finished)
        if self.codec.compact:
            self.latest.log = log
        return log


def check_codec(name: Any, quality: Any, speed: Any, output: str) -> Codec:
    """A codec that can write `output`, checked before the source is opened;
    without one, the output's extension chooses."""
    suffix = os.path.splitext(output)[1].lower()
    if name is None:
        name = _codec_for(suffix)
    if not isinstance(name, str):
        raise checks.OptionTypeError("codec", f"must be a str, not {name!r}")
    if speed is not None and (isinstance(speed, bool) or not isinstance(speed, (str, int))):
        raise checks.OptionTypeError("speed", f"must be an encoder preset name or number, "
                                              f"not {speed!r}")
    codec = Codec(name.lower() if name.lower() in COMPACT else name, quality,
                  None if speed is None else str(speed))
    _check_container(codec, name, suffix)
    if codec.compact:
        if quality is not None:
            checks.integer("quality", quality, 0, MOST_QUALITY[codec.name])
        probe_compact(codec)
        return codec
    if quality is not None or speed is not None:
        raise ValueError(f"quality and speed apply to {', '.join(COMPACT)}, not {name!r}")
    outputs.check_fourcc(codec.fourcc, output)
    return codec


def check_size(codec: Codec, size: tuple[int, int], what: str) -> None:
    """The encoder takes frames of this size (once made even)."""
    if codec.name not in LEAST_SIZE:
        return
    side, pixels = LEAST_SIZE[codec.name]
    width, height = size[0] - size[0] % 2, size[1] - size[1] % 2
    if min(width, height) < side or width * height < pixels:
        raise ValueError(f"{what} ({size[0]}x{size[1]}) are too small for {codec.name}, "
                         f"which takes at least {side} pixels each way and {pixels} in all")


def _codec_for(suffix: str) -> str:
    if suffix in BY_SUFFIX:
        return BY_SUFFIX[suffix]
    raise checks.OptionValueError("codec", f"has no default for {suffix} files: name one, "
                                           f"or write .mp4, .mkv or .mov (h264) or .avi (mjpg)")


def _check_container(codec: Codec, name: str, suffix: str) -> None:
    """A codec goes only into the containers that hold it as itself."""
    allowed = (COMPACT_CONTAINERS[codec.name] if codec.compact
               else OPENCV_SUFFIXES.get(codec.name.lower()))
    if allowed is not None and suffix not in allowed:
        raise checks.OptionValueError("codec", f"{name!r} writes {', '.join(allowed)} files, "
                                               f"not {suffix}")


def probe_compact(codec: Codec) -> None:
    """The encoder exists and takes the preset: it is opened, not used."""
    import av

    quiet_encoders()
    try:
        with outputs.silenced_stderr():  # encoders report their set-up and close there
            open_encoder(codec)
    except (av.error.FFmpegError, OSError, ValueError) as error:
        if codec.speed is None:  # the encoder itself, not a preset
            raise ValueError(f"codec {codec.name!r} cannot be opened here: {error}") from None
        presets = ("a number from 0 (slowest) to 13 (fastest)" if codec.name == "av1" else
                   "ultrafast, superfast, veryfast, faster, fast, medium, slow, slower, "
                   "veryslow or placebo")
        raise checks.OptionValueError("speed", f"of {codec.name} must be {presets}, got "
                                               f"{codec.speed!r}") from None


def open_encoder(codec: Codec) -> None:
    import av
    context = av.CodecContext.create(COMPACT[codec.name][0], "w")
    context.width, context.height, context.pix_fmt = 64, 64, "yuv420p"
    context.time_base, context.framerate = Fraction(1, 25), 25
    context.options = encoder_options(codec, COMPACT[codec.name][0])
    context.open()
