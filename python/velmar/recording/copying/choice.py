"""Whether a recording left to choose its codec copies the source's stream:
where the output's container holds the stream's codec as it is and no
option needs decoded pictures."""

from __future__ import annotations

import os
from functools import partial

from velmar.options import COPY, Settings, copy_problem
from velmar.recording.background import Background
from velmar.recording.copying.packet_reader import (HeldOpening, longest_wait,
                                                          open_container)
from velmar.recording.sources import Source

# The codecs each container takes from a stream as they are.
HOLDS = {".mp4": {"h264", "hevc", "av1"}, ".mov": {"h264", "hevc"},
         ".mkv": {"h264", "hevc", "av1", "vp8", "vp9", "mjpeg"}}


def stream_codec(value: str, stall_timeout: float | None, transport: str,
                 held: HeldOpening) -> str | None:
    """FFmpeg's name of the source's video codec, its container kept in
    `held`; None when it does not open."""
    opening = Background(partial(open_container, value, stall_timeout, transport),
                         _close, longest_wait(stall_timeout))
    try:  # on a thread of its own: a signal is answered at once
        held.container = opening.wait(held.stop)
    except Exception:  # not there now: encoding takes whatever comes later
        return None
    if held.container is None:  # a signal came
        return None
    streams = held.container.streams.video
    return streams[0].codec_context.name if streams else None


def _close(container) -> None:
    container.close()


def chosen_codec(found: Source, output: str, settings: Settings,
                 held: HeldOpening) -> str | None:
    """COPY where the stream can be copied, its opening kept in `held`; else
    None, the extension's codec."""
    suffix = os.path.splitext(output)[1].lower()
    unset = settings.output.quality is None and settings.output.speed is None
    if (suffix not in HOLDS or not isinstance(found.value, str) or not unset
            or copy_problem(settings) is not None):
        return None
    stall = settings.live.stall_timeout if found.live else None
    codec = stream_codec(found.value, stall, settings.live.rtsp_transport, held)
    if codec in HOLDS[suffix]:
        return COPY
    held.close()
    return None
