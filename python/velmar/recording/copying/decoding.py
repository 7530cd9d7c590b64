"""Decoding for detection alone: a decoder of a stream's packets on one
thread (its cost per frame is what counts, not its speed), packets copied
for it, and its frames as the detector's pictures: the grey of the Y plane,
colour only for an event's thumbnail."""

from __future__ import annotations

import numpy as np

from velmar.recording.pictures import PLANAR_YUV, Picture

THREADS = 1


def open_decoder(stream):
    """A decoder of its own for `stream`'s packets: the demuxer's context
    is the writer's template, read on another thread."""
    import av
    decoder = av.CodecContext.create(stream.codec_context.name, "r")
    if stream.codec_context.extradata:
        decoder.extradata = stream.codec_context.extradata
    decoder.thread_count = THREADS
    return decoder


def decoded(decoder, packet) -> list:
    """The frames the packet completes; none of a damaged one (those after
    it may decode). A None packet drains the decoder."""
    import av
    try:
        return decoder.decode(packet)
    except av.error.InvalidDataError:
        return []


def picture_of(frame) -> Picture:
    """The frame as the detector takes it: its own Y plane where it is
    8-bit planar YUV, else converted to that first."""
    if frame.format.name not in PLANAR_YUV:
        frame = frame.reformat(format="yuv420p")
    return Picture(frame)


def in_colour(picture) -> np.ndarray:
    return picture.frame.to_ndarray(format="bgr24")


def blank_picture(size: tuple[int, int]) -> np.ndarray:
    """The picture of an event that no judged frame shows (the detection
    was away): grey, of the stream's shape."""
    width, height = size
    small = (160, max(1, round(160 * height / width))) if width and height else (160, 90)
    return np.full((small[1], small[0], 3), 96, np.uint8)


class ScaledPicture:
    """A picture of a second stream, offered to the detector as one of the
    recorded stream's size: boxes in the recorded stream's pixels are read
    from the same part of this one. The detector's masks, regions and areas
    then stay in the recorded stream's coordinates."""

    __slots__ = ("picture", "shape", "sx", "sy")

    def __init__(self, picture: Picture, size: tuple[int, int]):
        self.picture = picture
        self.shape = (size[1], size[0], 3)
        self.sx = picture.shape[1] / size[0]
        self.sy = picture.shape[0] / size[1]

    @property
    def frame(self):
        return self.picture.frame

    def grey(self, box, size: tuple[int, int]) -> np.ndarray:
        x, y, width, height = box
        left, top = round(x * self.sx), round(y * self.sy)
        right = max(left + 1, min(self.picture.shape[1], round((x + width) * self.sx)))
        bottom = max(top + 1, min(self.picture.shape[0], round((y + height) * self.sy)))
        return self.picture.grey((left, top, right - left, bottom - top), size)
