"""Labelled clips written as a camera's files are decoded: lossless FFV1 in
4:2:0, so that record() looks at the decoder's grey plane, as it does with
H.264 or H.265 files. A clip is written under a temporary name and renamed
when whole, so an interrupted run leaves none behind."""

from fractions import Fraction
from pathlib import Path

import av


def write_clip(path, frames, fps):
    """Writes the BGR `frames` into `path` (.avi)."""
    partial = Path(path).with_suffix(".partial.avi")
    with av.open(str(partial), "w") as container:
        stream = None
        for frame in frames:
            if stream is None:
                stream = container.add_stream("ffv1", rate=Fraction(fps).limit_denominator(1001))
                stream.height, stream.width = frame.shape[:2]
                stream.pix_fmt = "yuv420p"
            container.mux(stream.encode(av.VideoFrame.from_ndarray(frame, format="bgr24")))
        container.mux(stream.encode(None))
    partial.rename(path)
