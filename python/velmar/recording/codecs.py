"""The compact codecs (H.264, H.265, AV1), the codec a recording writes
with, and its encoder's options: what choosing a codec needs, without the
encoding itself."""

from __future__ import annotations

import os
from dataclasses import dataclass

# codec -> (PyAV encoder, default quality, default speed, quality option)
COMPACT = {
    "h264": ("libx264", 23, "veryfast", "crf"),
    "h265": ("libx265", 28, "ultrafast", "crf"),
    "av1": ("libsvtav1", 35, "10", "crf"),
}


@dataclass(frozen=True)
class Codec:
    name: str        # "h264", "h265", "av1", or a four-character code for OpenCV
    quality: int | None = None
    speed: str | None = None

    @property
    def compact(self) -> bool:
        return self.name in COMPACT


def encoder_options(codec: Codec, encoder: str, sparse: bool = False) -> dict[str, str]:
    """The preset, and quiet for the encoder that reports at info level.
    `sparse` frames (a time-lapse) leave the encoder at once: one that held
    a dozen frames to look ahead would keep minutes of them from the file."""
    options = {"preset": codec.speed or COMPACT[codec.name][2]}
    if sparse and encoder in ("libx264", "libx265"):
        options["tune"] = "zerolatency"
    if sparse and encoder == "libsvtav1":
        options["svtav1-params"] = "pred-struct=1:lookahead=0"  # low delay
    if encoder == "libx265":
        options["x265-params"] = "log-level=error"
    return options


def quiet_encoders() -> None:
    """SVT-AV1 reports its set-up on standard error unless told otherwise."""
    os.environ.setdefault("SVT_LOG", "1")
