"""One stored video opened for export: its keyframes with their times, and
its packets from any keyframe on, without reading what comes before.

A frame's time is its log's row of its place in presentation order. A
keyframe of a closed group of pictures (what cameras and velmar's encoder
write) is shown after every frame decoded before it and before every frame
decoded after it, so its place in decode order is its row. The container's
index gives each keyframe's place and where it lies; a file whose index is
not whole (Matroska written live has no cues) is read through once instead."""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass
from datetime import datetime
from fractions import Fraction
from pathlib import Path

from velmar.export.frame_logs import Row, read_rows


@dataclass(frozen=True)
class Keyframe:
    index: int  # its place in decode order, and so its row
    time: datetime
    timestamp: int | None  # what a seek to it is given; None: read from the file's start
    pos: int


class Source:
    """A video and its log, open until `close()`."""

    def __init__(self, video: Path):
        import av
        self.video = video
        self.rows: list[Row] = read_rows(video)
        self.container = av.open(str(video))
        try:
            self.stream = self.container.streams.video[0]
            self.keyframes = self._keyframes()
        except BaseException:
            self.container.close()
            raise

    def __enter__(self) -> Source:
        return self

    def __exit__(self, *_exc) -> None:
        self.close()

    def close(self) -> None:
        self.container.close()

    @property
    def time_base(self) -> Fraction:
        return self.stream.time_base

    @property
    def rate(self) -> float:
        rate = self.stream.average_rate or self.stream.guessed_rate
        return float(rate) if rate else 25.0

    def parameters(self) -> tuple:
        """What a file's packets need of a decoder: files that differ here
        cannot follow each other in one stream."""
        context = self.stream.codec_context
        return (context.name, context.width, context.height, bytes(context.extradata or b""))

    def packets_from(self, keyframe: Keyframe) -> Iterator:
        """The packets in decode order from `keyframe` on."""
        if keyframe.timestamp is not None:
            self.container.seek(keyframe.timestamp, backward=True, stream=self.stream)
            packets = self.container.demux(self.stream)
            for packet in packets:
                if packet.pos == keyframe.pos:
                    yield packet
                    yield from packets
                    return
                if packet.size and packet.pos > keyframe.pos:
                    break  # the seek went past it: read from the start
        self.container.seek(0, backward=True, stream=self.stream)
        for index, packet in enumerate(self._whole_packets()):
            if index >= keyframe.index:
                yield packet

    def keyframe_packets(self, wanted: list[Keyframe]) -> Iterator[tuple[Keyframe, object]]:
        """Each wanted keyframe's packet: sought one by one where the index
        tells where each lies, else read on the way through the file."""
        if all(keyframe.timestamp is not None for keyframe in wanted):
            for keyframe in wanted:
                packet = next(self.packets_from(keyframe), None)
                if packet is not None:
                    yield keyframe, packet
            return
        by_place = {keyframe.index: keyframe for keyframe in wanted}
        self.container.seek(0, backward=True, stream=self.stream)
        for index, packet in enumerate(self._whole_packets()):
            if index > max(by_place, default=-1):
                return
            if index in by_place:
                yield by_place[index], packet

    def _whole_packets(self) -> Iterator:
        """Packets that hold a frame; the demuxer's empty last one is none."""
        return (packet for packet in self.container.demux(self.stream) if packet.size)

    def _keyframes(self) -> list[Keyframe]:
        """The keyframes that have a row in the log."""
        entries = self.stream.index_entries
        if len(entries) >= len(self.rows):
            places = ((index, entry.timestamp, entry.pos) for index, entry in enumerate(entries)
                      if entry.is_keyframe)
        else:
            places = ((index, None, packet.pos)
                      for index, packet in enumerate(self._whole_packets()) if packet.is_keyframe)
        return [Keyframe(index, self.rows[index].time, timestamp, pos)
                for index, timestamp, pos in places if index < len(self.rows)]
