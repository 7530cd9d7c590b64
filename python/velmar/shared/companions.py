"""The files a recording leaves beside its videos, named and headed once:
each video's frame log, the events and outages logs beside the first video,
and a batch's index."""

FRAME_LOG_SUFFIX = ".csv"
FRAME_LOG_HEADER = ("inframe", "outframe", "timestamp")
EVENTS_SUFFIX = ".events.csv"
EVENTS_HEADER = ("event", "first_frame", "last_frame", "start", "end", "seconds", "frames",
                 "video")
OUTAGES_SUFFIX = ".outages.csv"
OUTAGES_HEADER = ("start", "end", "seconds", "reason", "attempts")
INDEX_NAME = "index.csv"


def header_line(header: tuple[str, ...]) -> bytes:
    """A header as its file's first line holds it, without the line end."""
    return ",".join(header).encode("ascii")
