"""A clip of any time range of a recording, cut by stream copy: from the
keyframe at or before `start` through the last frame at or before `end`,
across the files in between, with its own frame log. Nothing is decoded.

Each file's timestamps follow the last file's, so that the clip plays from
0 without the gaps between files; its log keeps every frame's recorded time
and, as inframe, the frame's number across the source files from the first
one's first frame.

A frame that later frames were predicted from (a B-frame's reference) can
be shown after `end` yet be needed to show those before it: the clip then
runs on to it, a few frames at most. Files whose codec parameters differ
from the first's cannot follow in the same stream: the clip ends before the
first of them, and `stopped` says so."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from datetime import datetime
from fractions import Fraction
from pathlib import Path

from velmar.export.catalogue import StoredVideo, stored_videos
from velmar.export.frame_logs import local
from velmar.export.sources import Keyframe, Source
from velmar.export.writing import ClipFiles, check_clip_name, check_not_a_recording
from velmar.shared.companions import FRAME_LOG_SUFFIX
from velmar.shared.quiet import quiet_ffmpeg
from velmar.shared.stops import EXIT_NOTHING


class NothingRecorded(LookupError):
    exit_status = EXIT_NOTHING


class CutStopped(Exception):
    """The cut was asked to stop: the clip is not written."""


def nothing_recorded(output: str, start: datetime, end: datetime) -> NothingRecorded:
    return NothingRecorded(f"nothing recorded from {start.isoformat()} to {end.isoformat()} "
                           f"in {output}")


@dataclass(frozen=True)
class Clip:
    path: Path
    log: Path
    frames: int
    first: datetime
    last: datetime
    stopped: str | None = None  # why it ends before `end` while more was recorded


def check_range(start: datetime, end: datetime) -> None:
    if local(start) > local(end):
        raise ValueError(f"start {start.isoformat()} is after end {end.isoformat()}")


def recorded(output: str, start: datetime, end: datetime) -> list[StoredVideo]:
    """The stored videos with frames between `start` and `end`, oldest first."""
    check_range(start, end)
    videos = stored_videos(output, start, end)[::-1]
    if not videos:
        raise nothing_recorded(output, start, end)
    return videos


def export_clip(output: str, start: datetime, end: datetime, clip: Path,
                stop: Callable[[], bool] = lambda: False) -> Clip:
    """Raises CutStopped, leaving nothing, once `stop()` is true: a server
    that is closing does not wait for a long cut."""
    clip = Path(clip)
    check_clip_name(clip)
    check_not_a_recording(clip, output)
    videos = recorded(output, start, end)
    files = ClipFiles(clip)
    try:
        with quiet_ffmpeg():
            copier = _Copier(files, end, stop)
            stopped = copier.copy(videos, start)
        if copier.first is None:
            raise nothing_recorded(output, start, end)
        files.finish()
    finally:
        files.close()
    return Clip(clip, Path(f"{clip}{FRAME_LOG_SUFFIX}"), files.frames, copier.first,
                copier.last, stopped)


class _Copier:
    """Puts the packets of the chosen frames into the clip, a group of
    pictures (a keyframe and the frames up to the next) at a time."""

    def __init__(self, files: ClipFiles, end: datetime, stop: Callable[[], bool]):
        self.files, self.end, self.stop = files, local(end), stop
        self.stream = None
        self.parameters: tuple | None = None
        self.first: datetime | None = None  # the clip's first and latest frame's times
        self.last: datetime | None = None
        self.clock = Fraction(0)  # where the next file's first decode time goes, in seconds
        self.inframes = 0  # the frames of the source files before the current one

    def copy(self, videos: list[StoredVideo], start: datetime) -> str | None:
        for number, video in enumerate(videos):
            with Source(video.path) as source:
                if self.parameters is None:
                    self._open(source)
                elif source.parameters() != self.parameters:
                    return (f"{video.path} was recorded with other codec parameters than "
                            f"{videos[0].path}; the clip ends before it")
                keyframe = _first_keyframe(source.keyframes, start if number == 0 else None)
                if keyframe is not None and local(keyframe.time) > self.end:
                    return None
                if keyframe is not None and not self._copy_file(source, keyframe):
                    return None
            self.inframes += video.frames
        return None

    def _open(self, source: Source) -> None:
        self.parameters = source.parameters()
        muxer = self.files.open_muxer(source.rate)
        self.stream = muxer.add_stream_from_template(source.stream)

    def _copy_file(self, source: Source, keyframe: Keyframe) -> bool:
        """False once `end` is reached."""
        timing = _Timing(source.time_base, self.clock)
        group: list = []
        place = keyframe.index
        for packet in source.packets_from(keyframe):
            if packet.pts is None or not packet.size:
                continue
            if packet.is_keyframe and group:
                if self.stop():
                    raise CutStopped()
                if not self._copy_group(source, group, place, timing, place == keyframe.index):
                    return False
                place += len(group)
                group = []
            group.append(packet)
        going_on = not group or self._copy_group(source, group, place, timing,
                                                 place == keyframe.index)
        self.clock = timing.next_file
        return going_on

    def _copy_group(self, source: Source, group: list, place: int, timing: _Timing,
                    first: bool) -> bool:
        """The group's frames up to `end`; False if it ends within them. A
        file's first keyframe may be followed by frames shown before it (an
        open group of pictures), predicted from a group not in the clip:
        they are left out, and their rows with them."""
        if first:
            shown_after = [packet for packet in group[1:] if packet.pts > group[0].pts]
            place += len(group) - 1 - len(shown_after)
            group = [group[0], *shown_after]
        shown = sorted(range(len(group)), key=lambda i: group[i].pts)
        ranks = [0] * len(group)
        for rank, index in enumerate(shown):
            ranks[index] = rank
        rows = source.rows[place:place + len(group)]
        wanted = sum(1 for row in rows if local(row.time) <= self.end)
        kept = cut(ranks, wanted, len(rows))
        timing.fill_decode_times(group[:kept])
        for packet in group[:kept]:
            self._mux(packet, timing)
        for rank in range(kept):
            self.files.row(self.inframes + place + rank, rows[rank].time)
        if kept:
            self.first = self.first or rows[0].time
            self.last = rows[kept - 1].time
        return kept == len(group)

    def _mux(self, packet, timing: _Timing) -> None:
        timing.move(packet)
        packet.stream = self.stream
        self.files.muxer.mux(packet)


class _Timing:
    """A file's timestamps moved so that its first decode time is where
    the last file's ended."""

    def __init__(self, time_base: Fraction, start: Fraction):
        self.time_base = time_base
        self.next_file = start
        self.shift: int | None = None
        self.last_dts: int | None = None
        self.delay = 0  # how far decode times run behind presentation times

    def fill_decode_times(self, packets: list) -> None:
        """Decode times where the container keeps none (Matroska, with
        B-frames): the packets' presentation times in order, put back by
        the stream's reordering delay, so that none comes after its own."""
        if all(packet.dts is not None for packet in packets):
            return
        shown = sorted(packet.pts for packet in packets)
        self.delay = max(self.delay, *(time - packet.pts for time, packet in zip(shown, packets)))
        for time, packet in zip(shown, packets):
            packet.dts = time - self.delay

    def move(self, packet) -> None:
        dts = packet.dts
        if self.shift is None:
            self.shift = round(self.next_file / self.time_base) - dts
        step = packet.duration or (dts - self.last_dts if self.last_dts is not None else 1)
        self.last_dts = dts
        packet.pts += self.shift
        packet.dts = dts + self.shift
        self.next_file = (packet.dts + max(step, 1)) * self.time_base


def _first_keyframe(keyframes: list[Keyframe], start: datetime | None) -> Keyframe | None:
    """The last keyframe at or before `start`, else the first (a file's own
    first with no `start`)."""
    if not keyframes:
        return None
    if start is None:
        return keyframes[0]
    before = [keyframe for keyframe in keyframes if local(keyframe.time) <= local(start)]
    return before[-1] if before else keyframes[0]


def cut(ranks: list[int], wanted: int, logged: int) -> int:
    """How many of a group's packets, in decode order, go into the clip:
    `ranks` are their places in presentation order, the first `wanted`
    places are frames within the range and the first `logged` have a row.
    The packets taken must show places 0 to n - 1 and no other, so that the
    clip has no hole: the fewest that hold every wanted frame, if each has a
    row, else the most whose frames are all wanted and logged."""
    ends, highest = [0], -1
    for taken, rank in enumerate(ranks, 1):
        highest = max(highest, rank)
        if highest == taken - 1:
            ends.append(taken)
    covering = next(taken for taken in ends if taken >= wanted)
    if covering <= logged:
        return covering
    return max(taken for taken in ends if taken <= min(wanted, logged))
