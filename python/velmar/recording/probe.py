"""What a video file's own timing says: its frame count and the rate to write
it back at. Packets are read without decoding, which costs a small part of
what decoding the file costs. A file that FFmpeg reads as something other
than a video is refused here: it would draw a text file's characters as
frames, and make a video of one still image."""

from __future__ import annotations

from dataclasses import dataclass
from fractions import Fraction

from velmar.recording.results import SourceError

# FFmpeg's codecs that draw text (ANSI art, binary text) as video frames.
TEXT_CODECS = ("ansi", "bintext", "xbin", "idf")


@dataclass(frozen=True)
class Timing:
    frames: int
    rate: float  # the exact rate of a constant-rate file, the average of a variable one
    size: tuple[int, int] | None = None  # (width, height) as the stream declares it


def probe(path: str, sequence: bool = False) -> Timing | None:
    """None when the file cannot be read this way; OpenCV's figures serve
    then. SourceError for a file that is not a video, or for one image that
    is not named as a `sequence` of them."""
    import av
    try:
        with av.open(path) as container:
            refuse_other_than_video(container, path, sequence)
            stream = container.streams.video[0]
            times = [packet.pts for packet in container.demux(stream) if packet.pts is not None]
            timing = _timing(sorted(times), stream.time_base, stream.average_rate)
            size = (stream.codec_context.width, stream.codec_context.height)
            return timing and Timing(timing.frames, timing.rate, size if all(size) else None)
    except av.error.ExitError:
        # FFmpeg stopped reading because Ctrl-C came: that is the user's.
        raise KeyboardInterrupt from None
    except SourceError:
        raise
    except Exception:  # any file PyAV cannot demux: OpenCV may still read it
        return None


def refuse_other_than_video(container, path: str, sequence: bool) -> None:
    streams = container.streams.video
    if not streams:
        raise SourceError(f"{path!r} holds no video")
    if streams[0].codec_context.name in TEXT_CODECS:
        raise SourceError(f"{path!r} is text, not a video")
    form = container.format.name
    if not sequence and (form == "image2" or form.endswith("_pipe")):
        raise SourceError(f"{path!r} is a single image, not a video; name a sequence of "
                          f"images as img_%04d.png")


def _timing(times, time_base, nominal) -> Timing | None:
    if len(times) < 2 or not time_base:
        return None
    steps = [b - a for a, b in zip(times, times[1:])]
    step = Fraction(sum(steps), len(steps))
    span = (times[-1] - times[0] + step) * time_base  # the last frame lasts one mean step
    average = Fraction(len(times)) / span
    variable = max(steps) - min(steps) > max(1, step / 100)
    # A constant rate is its nominal fraction (30000/1001), which the
    # container's rounded times only approximate.
    if not variable and nominal and abs(float(nominal) / float(average) - 1) < 0.01:
        average = Fraction(nominal)
    return Timing(len(times), float(average))
