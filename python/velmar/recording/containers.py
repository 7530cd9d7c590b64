"""The containers that compact and copied videos are written in: fragments
(MP4 fragments, Matroska clusters) written whole as they end, and, for the
MP4 muxer, files sealed and taken up again by a new muxer."""

from __future__ import annotations

CONTAINERS = {".mp4": "mp4", ".mkv": "matroska", ".mov": "mov"}
# The containers whose fragments a new muxer can go on writing in the same
# file, its header left out: those of FFmpeg's MP4 muxer.
SEALABLE = (".mp4", ".mov")
MP4_FLAGS = "frag_keyframe+empty_moov+default_base_moof"
# A sealed file has no index at its end (fragments play without one), its
# fragments carry their own decode times, and its composition offsets may be
# negative, so that each muxer's fragments follow the last one's in time.
_SEALED_FLAGS = "+skip_trailer+negative_cts_offsets"


def fragmented(suffix: str, frames: int, rate: float) -> dict[str, str]:
    """Container options for fragments (clusters) of `frames` frames, each
    written whole as soon as the next begins. Fragments need no keyframe of
    their own: a cut-off file decodes from its start up to its last whole
    fragment, and keyframes a second apart made files four times as large."""
    seconds = (frames - 0.5) / rate  # the muxer cuts once a fragment is this long
    if suffix == ".mkv":
        return {"cluster_time_limit": str(max(1, int(seconds * 1000))), "flush_packets": "1"}
    return {"movflags": MP4_FLAGS, "frag_duration": str(max(1, int(seconds * 1e6))),
            "flush_packets": "1"}


def sealed(options: dict[str, str], following: bool, next_fragment: int) -> dict[str, str]:
    """`fragmented()`'s options for a file that is sealed: the muxer after
    the first (`following`) goes on from the last one's time and fragment
    number."""
    flags = options["movflags"] + _SEALED_FLAGS + ("+frag_discont" if following else "")
    return {**options, "movflags": flags, "fragment_index": str(next_fragment)}


def open_muxer(file, suffix: str, options: dict[str, str], seals: bool, next_fragment: int):
    """A muxer writing through `file`: the file's first, or the next after a
    seal, which leaves out its header and goes on from the last one's times.
    Fragment numbers only grow: `next_fragment` is one past the frames
    written, as no fragment holds fewer than one."""
    import av
    following = file.tell() > 0  # the first muxer's header is in the file
    if seals:
        options = sealed(options, following, next_fragment)
    if following:
        file.leave_out_header()
    return av.open(file, "w", format=CONTAINERS[suffix], options=options)
