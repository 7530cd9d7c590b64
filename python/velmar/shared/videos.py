"""The frames a video holds: how many decode, and their presentation times,
read to wherever the file ends or stops making sense.

FFmpeg stopping because Ctrl-C came is the user's, never the end of the
file: counted as such, a repair would cut rows of frames that are there."""

from __future__ import annotations

from dataclasses import dataclass
from fractions import Fraction
from pathlib import Path

from velmar.shared.quiet import quiet_ffmpeg


@dataclass(frozen=True)
class VideoFrames:
    """`times` are the decoded frames' presentation times in seconds, in
    presentation order; None for a frame that carries none."""

    opens: bool
    times: tuple[Fraction | None, ...] = ()

    @property
    def frames(self) -> int:
        return len(self.times)


def read_frames(path: Path) -> VideoFrames:
    import av
    with quiet_ffmpeg():
        try:
            container = av.open(str(path))
        except av.error.ExitError:
            raise KeyboardInterrupt from None
        except (av.error.FFmpegError, OSError, ValueError):
            return VideoFrames(False)
        with container:
            if not container.streams.video:
                return VideoFrames(False)
            return VideoFrames(True, tuple(_decoded_times(container)))


def _decoded_times(container) -> list[Fraction | None]:
    import av
    stream = container.streams.video[0]
    stream.thread_type = "AUTO"
    times: list[Fraction | None] = []
    try:
        for packet in container.demux(stream):
            times.extend(_times(stream, packet))
    except av.error.ExitError:
        raise KeyboardInterrupt from None
    except av.error.FFmpegError:  # the file ends mid-packet or in garbage
        pass
    times.extend(_times(stream, None))  # what the decoder still holds
    return times


def _times(stream, packet) -> list[Fraction | None]:
    """The times of the frames one packet gives (None: the decoder's last)."""
    import av
    try:
        frames = stream.codec_context.decode(packet)
    except av.error.ExitError:
        raise KeyboardInterrupt from None
    except (av.error.FFmpegError, EOFError):  # a damaged frame, or flushed already
        return []
    return [None if f.pts is None else f.pts * f.time_base for f in frames]
