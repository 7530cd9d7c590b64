"""The video writers of a recording: H.264, H.265 and AV1 through PyAV for
compact files, any other four-character code through OpenCV's writer.

Both kinds give the engine the same small interface (`isOpened`, `write`,
`release`). Sizes a codec cannot take are never changed silently: the size
written is noted with the file, and a note says why.
"""

from __future__ import annotations

import math
import os
from collections.abc import Callable
from dataclasses import dataclass, field
from fractions import Fraction
from typing import Any


from velmar import value_checks
from velmar.recording import outputs
from velmar.recording.containers import CONTAINERS
from velmar.recording.codecs import COMPACT, Codec, encoder_options, quiet_encoders
from velmar.recording.copying.copy_file import CopyFile
from velmar.recording.disk import DiskGuard
from velmar.recording.durable import FrameLog
from velmar.recording.retention import Retention

COMPACT_SUFFIXES = tuple(CONTAINERS)
# The containers and the highest quality value (CRF) of each compact codec:
# FFmpeg's QuickTime muxer cannot hold AV1.
COMPACT_CONTAINERS = {"h264": COMPACT_SUFFIXES, "h265": COMPACT_SUFFIXES, "av1": (".mp4", ".mkv")}
MOST_QUALITY = {"h264": 51, "h265": 51, "av1": 63}
# The smallest frames each encoder takes, as (side, pixels) of the even size
# written: x265 wants 16 each way, SVT-AV1 fails on 2x2, 2x4 and 4x2.
LEAST_SIZE = {"h264": (2, 4), "h265": (16, 256), "av1": (2, 12)}
COPY = "copy"  # the source's own packets, written unchanged
OPENCV_NAMES = {"mjpg": "MJPG", "mp4v": "mp4v", "ffv1": "FFV1"}
# The containers that hold OpenCV's codecs as themselves: OpenCV's writer
# would put MJPEG into an .mp4 under another codec's tag.
OPENCV_SUFFIXES = {"mjpg": (".avi",), "mp4v": (".mp4", ".mov", ".avi"), "ffv1": (".avi", ".mkv")}
BY_SUFFIX = {**dict.fromkeys(COMPACT_SUFFIXES, "h264"), ".avi": "mjpg"}


def fourcc(codec: Codec) -> str:
    """The four-character code OpenCV's writer takes for an OpenCV codec."""
    return OPENCV_NAMES.get(codec.name.lower(), codec.name)


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
        import cv2
        self.writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*fourcc), rate, size,
                                      is_color)
        self.path, self.guard = path, guard
        self.written = self.largest_step = self.frames = 0

    def isOpened(self) -> bool:
        return self.writer.isOpened()

    def write(self, image) -> None:
        self.guard.check(4 * self.largest_step + self.INDEX_BYTES * self.frames, self.path)
        self.writer.write(image)
        self.frames += 1
        written = os.stat(self.path).st_size
        self.largest_step = max(self.largest_step, written - self.written)
        self.written = written

    def release(self) -> None:
        self.writer.release()


@dataclass
class Writers:
    """Makes the writers of one recording and their logs, and remembers the
    size of each video. `spacing` is the seconds between a time-lapse's
    frames; a fragment holds at most a second of the recording either way.
    With `sealing` (events, a time-lapse), `seal()` puts what was written into the file
    at once. The guard looks at the disk before each new file."""

    codec: Codec
    guard: DiskGuard
    spacing: float | None = None
    sealing: bool = False
    retention: Retention | None = None
    sizes: dict[str, tuple[int, int]] = field(default_factory=dict)
    frames_in_file: dict[str, int] = field(default_factory=dict)  # by their closed logs
    notes: list[str] = field(default_factory=list)
    latest: Any = None  # the compact writer or copy of the latest video, which seal() seals
    latest_log: FrameLog | None = None
    latest_path: str | None = None
    first_path: str | None = None
    shown: Callable[[Any], None] | None = None  # shown each frame once it is written
    shown_picture: Callable[[Any], None] | None = None  # a copy's decoded frames, if taken

    def __call__(self, path: str, codec_name: str, rate: float, size: tuple[int, int],
                 is_color: bool = True):
        check_size(self.codec, size, "the frames")  # a whole frame's size is known only now
        self.guard.check()
        self.latest_path = path
        self.first_path = self.first_path or path
        self.latest = None
        if self.codec.compact:
            from velmar.recording.compact import CompactWriter  # OpenCV and NumPy: not a copy's
            writer = self.latest = CompactWriter(path, self.codec, rate, size,
                                                 self.fragment_frames(rate),
                                                 self.spacing is not None, self.guard,
                                                 self.sealing)
            written = writer.size
        else:
            writer = OpenCVWriter(path, fourcc(self.codec), rate, tuple(size), is_color,
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
        log = self.latest_log = FrameLog(path, self.codec.compact, self.guard, self._finished)
        if self.codec.compact:
            self.latest.log = log
        return log

    def open_copy(self, path: str, template, rate: float) -> CopyFile:
        """A video of copied packets and its log, whose rows follow its fragments."""
        self.guard.check()
        self.latest_path = path
        self.first_path = self.first_path or path
        self.latest = None
        self.sizes[path] = (template.codec_context.width, template.codec_context.height)
        log = self.latest_log = FrameLog(path + ".csv", True, self.guard, self._finished)
        try:
            self.latest = CopyFile(path, log, template, rate, self.guard, self.sealing)
        except BaseException:
            log.close()
            raise
        return self.latest

    def seal(self) -> None:
        """Every frame written so far, and its row, to the OS now: an event
        has ended, and the scene may stay still for hours."""
        if self.latest is not None:
            self.latest.seal()
        if self.latest_log is not None:
            self.latest_log.flush()


def check_codec(name: Any, quality: Any, speed: Any, output: str) -> Codec:
    """A codec that can write `output`, checked before the source is opened;
    without one, the output's extension chooses."""
    suffix = os.path.splitext(output)[1].lower()
    if name is None:
        name = _codec_for(suffix)
    if not isinstance(name, str):
        raise value_checks.OptionTypeError("codec", f"must be a str, not {name!r}")
    if name.lower() == COPY:
        return _copy_codec(quality, speed, suffix)
    if speed is not None and (isinstance(speed, bool) or not isinstance(speed, (str, int))):
        raise value_checks.OptionTypeError("speed", f"must be an encoder preset name or number, "
                                              f"not {speed!r}")
    codec = Codec(name.lower() if name.lower() in COMPACT else name, quality,
                  None if speed is None else str(speed))
    _check_container(codec, name, suffix)
    if codec.compact:
        if quality is not None:
            value_checks.integer("quality", quality, 0, MOST_QUALITY[codec.name])
        probe_compact(codec)
        return codec
    if quality is not None or speed is not None:
        raise ValueError(f"quality and speed apply to {', '.join(COMPACT)}, not {name!r}")
    outputs.check_fourcc(fourcc(codec), output)
    return codec


def _copy_codec(quality: Any, speed: Any, suffix: str) -> Codec:
    """The source's packets as they come: into the containers that fragment."""
    if suffix not in COMPACT_SUFFIXES:
        raise value_checks.OptionValueError("codec", f"'copy' writes {', '.join(COMPACT_SUFFIXES)} "
                                                     f"files, not {suffix}")
    if quality is not None or speed is not None:
        raise ValueError(f"quality and speed apply to {', '.join(COMPACT)}, not 'copy'")
    return Codec(COPY)


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
    raise value_checks.OptionValueError("codec", f"has no default for {suffix} files: name one, "
                                           f"or write .mp4, .mkv or .mov (h264) or .avi (mjpg)")


def _check_container(codec: Codec, name: str, suffix: str) -> None:
    """A codec goes only into the containers that hold it as itself."""
    allowed = (COMPACT_CONTAINERS[codec.name] if codec.compact
               else OPENCV_SUFFIXES.get(codec.name.lower()))
    if allowed is not None and suffix not in allowed:
        raise value_checks.OptionValueError("codec", f"{name!r} writes {', '.join(allowed)} files, "
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
        raise value_checks.OptionValueError("speed", f"of {codec.name} must be {presets}, got "
                                               f"{codec.speed!r}") from None


def open_encoder(codec: Codec) -> None:
    import av
    context = av.CodecContext.create(COMPACT[codec.name][0], "w")
    context.width, context.height, context.pix_fmt = 64, 64, "yuv420p"
    context.time_base, context.framerate = Fraction(1, 25), 25
    context.options = encoder_options(codec, COMPACT[codec.name][0])
    context.open()
