"""A video cut back to its first frames without re-encoding: its packets
copied, in decoding order, up to the last of the frames kept.

That is exact only when those packets are the first frames to be shown
too; a frame reordered past the cut (a B-frame) makes it inexact. The copy
is decoded before it replaces the video, and kept only if it shows exactly
the frames wanted."""

from __future__ import annotations

from fractions import Fraction
from pathlib import Path

from velmar.shared.quiet import quiet_ffmpeg
from velmar.checking.atomic import replacing
from velmar.shared.videos import read_frames


class InexactCut(Exception):
    """The frames kept are not the first packets of the video."""


def cut_video(path: Path, kept: tuple[Fraction | None, ...]) -> bool:
    """Cuts `path` back to the frames shown at the times `kept` (its first
    ones); False, the video untouched, where that cannot be done exactly."""
    if None in kept:  # frames without times cannot be told apart
        return False
    try:
        with replacing(path) as temporary:
            _copy_packets(path, temporary, set(kept))
            if read_frames(temporary).times != kept:
                raise InexactCut
    except InexactCut:
        return False
    return True


def _copy_packets(source: Path, target: Path, times: set[Fraction | None]) -> None:
    import av
    left = len(times)
    with quiet_ffmpeg(), av.open(str(source)) as reading, av.open(str(target), "w") as writing:
        stream = reading.streams.video[0]
        copy = writing.add_stream_from_template(stream)
        for packet in _packets(reading, stream):
            if not left:
                return
            if _time(packet) not in times:
                raise InexactCut
            packet.stream = copy
            writing.mux(packet)
            left -= 1


def _packets(container, stream):
    """The packets that hold a frame, up to where the file stops being readable."""
    import av
    try:
        for packet in container.demux(stream):
            if packet.size:
                yield packet
    except av.error.ExitError:
        raise KeyboardInterrupt from None
    except av.error.FFmpegError:
        return


def _time(packet) -> Fraction | None:
    return None if packet.pts is None else packet.pts * packet.time_base
