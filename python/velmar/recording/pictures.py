"""Reading a file for a motion recording through PyAV, colour only where needed.

The decoder's picture already holds the grey image (the Y plane of YUV):
the detector takes it from there, scaled as it asks, and only the frames
that are written are turned into BGR. OpenCV's capture turns every frame
into BGR, which costs a motion recording more than looking for motion does.

`PictureCapture` offers the engine what a `cv2.VideoCapture` does; its
frames are `Picture`s, whose region copies turn into BGR images (the same
pixels OpenCV's capture gives) when the engine writes them. Files that are
not planar 8-bit YUV, that are turned by their metadata, or image sequences
are left to OpenCV.
"""

from __future__ import annotations

import av
import cv2
import numpy as np

from velmar.detection.framing import shrunk

PLANAR_YUV = {"yuv420p", "yuvj420p", "yuv422p", "yuvj422p", "yuv444p", "yuvj444p"}
FULL_RANGE = 2  # FFmpeg's AVCOL_RANGE_JPEG
# Limited-range luma (16-235) spread over 0-255, as grey from BGR would be:
# y * GAIN + OFFSET, rounded and clipped. No level falls within float
# error of a half, so this arithmetic gives a lookup table's values, faster.
GAIN, OFFSET = 255 / 219, -16 * 255 / 219


class Picture:
    """A decoded frame: its grey on request, its colour when written."""

    __slots__ = ("frame", "shape", "full_range")

    def __init__(self, frame: av.VideoFrame):
        self.frame = frame
        self.shape = (frame.height, frame.width, 3)
        self.full_range = frame.format.name.startswith("yuvj") or frame.color_range == FULL_RANGE

    def __getitem__(self, index) -> PictureRegion:
        return PictureRegion(self.frame, index)

    def grey(self, box, size: tuple[int, int]) -> np.ndarray:
        """The luma of `box` (x, y, width, height), scaled to `size`."""
        plane = self.frame.planes[0]
        luma = np.frombuffer(plane, np.uint8).reshape(plane.height, plane.line_size)
        x, y, width, height = box
        part = luma[y:y + height, x:x + width]
        part = shrunk(part, size) if (width, height) != size else part.copy()
        return part if self.full_range else cv2.addWeighted(part, GAIN, part, 0, OFFSET,
                                                            dst=part)


class PictureRegion:
    """The engine's copy of a picture's region: the picture stays as
    decoded, so it needs no copy until it is written."""

    __slots__ = ("frame", "index")

    def __init__(self, frame: av.VideoFrame, index):
        self.frame, self.index = frame, index

    def copy(self) -> PictureRegion:
        return self

    def in_colour(self) -> np.ndarray:
        return self.frame.to_ndarray(format="bgr24")[self.index].copy()


class PictureCapture:
    """A file's frames as `Picture`s, with OpenCV's capture properties."""

    def __init__(self, container, stream):
        self.container, self.stream = container, stream
        self.frames = self._decoded()
        self.pending = next(self.frames, None)  # the first frame, read to know the file's
        self.position = 0.0
        rate = stream.guessed_rate or stream.average_rate
        self.fps = float(rate) if rate else 0.0
        first = self.pending
        self.properties = {cv2.CAP_PROP_FPS: self.fps,
                           cv2.CAP_PROP_FRAME_WIDTH: float(first.width if first else 0),
                           cv2.CAP_PROP_FRAME_HEIGHT: float(first.height if first else 0),
                           cv2.CAP_PROP_FRAME_COUNT: float(self._frame_count())}

    def _frame_count(self) -> int:
        # As OpenCV counts: the stream's own count, or its length times its rate.
        if self.stream.frames:
            return self.stream.frames
        seconds = (self.container.duration or 0) / av.time_base
        if not seconds and self.stream.duration:
            seconds = float(self.stream.duration * self.stream.time_base)
        return int(seconds * self.fps + 0.5)

    def _decoded(self):
        for packet in self.container.demux(self.stream):
            try:
                frames = packet.decode()
            except av.error.InvalidDataError:
                continue  # a damaged packet: the frames after it may decode
            yield from frames

    def isOpened(self) -> bool:
        return self.container is not None

    def get(self, prop) -> float:
        if prop == cv2.CAP_PROP_POS_MSEC:
            return self.position
        return self.properties.get(prop, 0.0)

    def set(self, _prop, _value) -> bool:
        return False

    def read(self):
        frame, self.pending = self.pending, None
        if frame is None:
            frame = next(self.frames, None)
        if frame is None:
            return False, None
        if frame.time is not None:
            self.position = frame.time * 1000.0
        elif self.fps:
            self.position += 1000.0 / self.fps
        return True, Picture(frame)

    def release(self) -> None:
        container, self.container = self.container, None
        if container is not None:
            self.frames.close()
            container.close()


def open_pictures(path, threads: int) -> PictureCapture | None:
    """A capture of pictures for a file whose frames are planar 8-bit YUV
    and need no turning, decoded by `threads` frame threads; None for any
    other, which OpenCV then opens."""
    try:
        container = av.open(str(path))
    except (av.error.FFmpegError, OSError, UnicodeDecodeError):
        return None
    try:
        form = container.format.name
        if not container.streams.video or form == "image2" or form.endswith("_pipe"):
            raise ValueError(form)
        stream = container.streams.video[0]
        stream.codec_context.thread_type = "AUTO"
        stream.codec_context.thread_count = threads
        capture = PictureCapture(container, stream)
        first = capture.pending
        if first is None or first.format.name not in PLANAR_YUV or getattr(first, "rotation", 0):
            raise ValueError("not plain YUV")
    except (ValueError, av.error.FFmpegError):
        container.close()
        return None
    return capture
