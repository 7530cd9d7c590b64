"""A time-lapse from stored footage: the first keyframe at or after each
interval point from `start` to `end`, decoded alone, encoded as H.264 at 25
frames a second, with a frame log holding each picture's recorded time and,
as inframe, its frame's number across the source files. Only the chosen
keyframes are read from the files."""

from __future__ import annotations

import math
from fractions import Fraction
from collections.abc import Callable
from datetime import datetime, timedelta
from pathlib import Path

from velmar.export.clip import Clip, nothing_recorded, recorded
from velmar.export.frame_logs import local
from velmar.export.sources import Keyframe, Source
from velmar.export.writing import ClipFiles, check_clip_name, check_not_a_recording
from velmar.recording.codecs import COMPACT, Codec, encoder_options
from velmar.shared.companions import FRAME_LOG_SUFFIX
from velmar.shared.quiet import quiet_ffmpeg

RATE = 25
CODEC = Codec("h264")


def export_timelapse(output: str, start: datetime, end: datetime, every: float, clip: Path,
                     progress: Callable[[int, int], None] | None = None) -> Clip:
    """`progress(points passed, points)` after each picture."""
    if not (isinstance(every, (int, float)) and math.isfinite(every) and every > 0):
        raise ValueError(f"every must be a number of seconds above 0, not {every!r}")
    clip = Path(clip)
    check_clip_name(clip)
    check_not_a_recording(clip, output)
    videos = recorded(output, start, end)
    # Points after the last recorded frame would wait for nothing.
    points = _Points(start, min(local(end), max(local(video.last) for video in videos)), every)
    files = ClipFiles(clip)
    try:
        with quiet_ffmpeg():
            pictures = _Pictures(files)
            inframes = 0
            for video in videos:
                with Source(video.path) as source:
                    chosen = points.chosen(source.keyframes)
                    for keyframe, packet in source.keyframe_packets(list(chosen)):
                        pictures.add(source, packet, inframes + keyframe.index, keyframe.time)
                        if progress is not None:
                            progress(chosen[keyframe], points.count)
                inframes += video.frames
            pictures.close()
        if progress is not None:
            progress(points.count, points.count)  # the points no keyframe followed
        if not pictures.times:
            raise nothing_recorded(output, start, end)
        files.finish()
    finally:
        files.close()
    return Clip(clip, Path(f"{clip}{FRAME_LOG_SUFFIX}"), files.frames, pictures.times[0],
                pictures.times[-1])


class _Points:
    """start, start + every, ... up to end: each takes the first keyframe
    at or after it, and a keyframe taken is taken once, for every point it
    is the first after."""

    def __init__(self, start: datetime, end: datetime, every: float):
        self.start, self.end, self.every = local(start), local(end), every
        self.count = int((self.end - self.start).total_seconds() // every) + 1
        self.passed = 0  # the points a keyframe has been taken for, or is past

    def chosen(self, keyframes: list[Keyframe]) -> dict[Keyframe, int]:
        """The keyframes taken, each with the points passed once it is."""
        taken = {}
        for keyframe in keyframes:
            time = local(keyframe.time)
            if self.passed >= self.count or time > self.end:
                break
            if time >= self._point(self.passed):
                self.passed = min(self.count, int((time - self.start).total_seconds()
                                                  // self.every) + 1)
                taken[keyframe] = self.passed
        return taken

    def _point(self, number: int) -> datetime:
        return self.start + timedelta(seconds=number * self.every)


class _Pictures:
    """Each keyframe decoded alone and encoded as the time-lapse's next frame."""

    def __init__(self, files: ClipFiles):
        self.files = files
        self.stream = None
        self.times: list[datetime] = []

    def add(self, source: Source, packet, inframe: int, time: datetime) -> None:
        for frame in _decoded(source, packet):
            if self.stream is None:
                self._open(frame.width - frame.width % 2, frame.height - frame.height % 2)
            frame = frame.reformat(width=self.stream.width, height=self.stream.height,
                                   format="yuv420p")
            frame.pts, frame.time_base = len(self.times), Fraction(1, RATE)
            self._mux(self.stream.encode(frame))
            self.files.row(inframe, time)
            self.times.append(time)

    def _open(self, width: int, height: int) -> None:
        encoder, quality, _, quality_option = COMPACT[CODEC.name]
        self.stream = self.files.open_muxer(RATE).add_stream(encoder, rate=RATE)
        self.stream.width, self.stream.height, self.stream.pix_fmt = width, height, "yuv420p"
        self.stream.codec_context.thread_type = "FRAME"
        self.stream.options = {quality_option: str(quality), **encoder_options(CODEC, encoder)}

    def _mux(self, packets) -> None:
        for packet in packets:
            self.files.muxer.mux(packet)

    def close(self) -> None:
        """What the encoder still holds."""
        if self.stream is not None:
            self._mux(self.stream.encode(None))


def _decoded(source: Source, packet) -> list:
    """A keyframe's picture, the decoder emptied after it, so that each
    keyframe decodes alone."""
    context = source.stream.codec_context
    context.skip_frame = "NONKEY"
    frames = [*context.decode(packet), *context.decode(None)]
    context.flush_buffers()
    return frames[:1]
