"""Every option of a recording, declared once.

record()'s options are the fields of typed groups (output, disk, motion,
...): each field's annotation and default, with its row of keywords: its
check, the engine's field, the command's flags with their help, and whether
`velmar batch` takes it. `velmar.record()`'s signature (checked against
them), its docstring's list of options, its checks and the settings it
reads, the engine's options, the commands' flags and help, their error
messages, `velmar batch`'s list of options and the README's tables are all
derived from these rows.

Nothing here imports NumPy, OpenCV or the engine: the command reads the
table before it loads them.
"""

from __future__ import annotations

import argparse
import os
import re
import textwrap
import urllib.parse
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field, fields
from datetime import datetime
from functools import partial
from typing import Any

from velmar import area_checks, value_checks

REQUIRED = object()  # the default of an option that has none
KEEP_MODES = ("all", "motion", "interval")
DETECTORS = ("diff", "mog2", "knn")
TIME_MODES = ("auto", "pts", "rate", "clock")
RTSP_TRANSPORTS = ("tcp", "udp")
COPY = "copy"  # the codec that writes the source's own packets
AUTO = "auto"  # copy where the stream's own codec fits the output, else by its extension
KEYFRAME = "keyframe"  # detection on the keyframes alone
MAX_STAMP_SCALE = 10.0
MAX_PADDING = 3600.0  # seconds: the ring of held frames is sized from them
HISTORY = 500  # frames: OpenCV's own for its background models
MAX_CHANGE = 0.5  # of the picture's parts at once: a change of light
# Seconds from an event's first motion to its latest: 3 frames at 5 fps, 8 at
# 25, so a moth or a flicker is dropped; a walker is in sight for a second.
MIN_EVENT = 0.25
ON_EVENT_TIMEOUT = 30.0  # seconds an event's command may take before it is killed


# Converters of the command's words into values.

def positive(text: str) -> float:
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be more than 0, got {text}")
    return value


def not_negative(text: str) -> float:
    value = float(text)
    if not value >= 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, got {text}")
    return value


def at_least_one(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, got {text}")
    return value


def colour(text: str) -> tuple[int, int, int]:
    try:
        values = tuple(int(part) for part in text.split(","))
    except ValueError:
        values = ()
    if len(values) != 3:
        raise argparse.ArgumentTypeError(f"expected three integers B,G,R, got {text!r}")
    return values


def point(text: str) -> tuple[int, int]:
    try:
        x, y = (int(part) for part in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a point X,Y, got {text!r}") from None
    return x, y


def date_time(text: str) -> datetime:
    try:
        return datetime.fromisoformat(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a date and time such as "
                                         f"2026-12-08T06:00:00, got {text!r}") from None


def every_text(text: str) -> int | str:
    """A number of frames, or the keyframes."""
    if text == KEYFRAME:
        return text
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number or 'keyframe', got {text!r}") from None


def source_text(text: str) -> int | str:
    """A camera index when the text is an integer, else a path or a URL."""
    try:
        return int(text)
    except ValueError:
        return text


@dataclass(frozen=True)
class Flag:
    """One of the command's flags (or its positional argument) for an option.
    `settings` go to argparse as they are; `convert` turns what argparse
    parsed into the option's value."""

    names: tuple[str, ...]
    help: str
    settings: Mapping[str, Any] = field(default_factory=dict)
    convert: Callable[[Any], Any] | None = None

    @property
    def label(self) -> str:
        """The flag as errors name it: its first long form, or a positional
        argument's name in the usage."""
        if not self.names[0].startswith("-"):
            return self.settings.get("metavar", self.names[0])
        return next(name for name in self.names if name.startswith("--"))


@dataclass(frozen=True, kw_only=True)
class Option:
    """One option: of `velmar.record()` when it is a field of a group below,
    else of a command.

    `check(name, value)` gives the checked value; None for the options that
    record() checks against the disk (the source, the output, the codec).
    An optional option (default None) takes None unchecked.
    `engine` is the engine's field for the checked value, or a function of
    the value and all checked settings giving the engine's fields; None when
    record() makes what the engine gets itself.
    `flags` are the command's; the first names the option in its errors, and
    its help is what record()'s docstring says of it (`doc` where it has none).
    `group` is the heading of its flags, `section` the settings' group that
    holds it.
    `shown` is the default as help and the README give it, where the default
    itself does not say it.
    `command_default(given)` is the command's value when no flag is given,
    from the other options' values, where it differs from record()'s.
    `needs` is (option, value): a value that is set (true) applies only then.
    """

    name: str
    annotation: str
    default: Any = None
    check: Callable[[str, Any], Any] | None = None
    engine: str | Callable[[Any, Any], dict[str, Any]] | None = None
    flags: tuple[Flag, ...] = ()
    group: str | None = None
    section: str | None = None
    batch: bool = True
    shown: str | None = None
    command_default: Callable[[Mapping[str, Any]], Any] | None = None
    needs: tuple[str, Any] | None = None
    pixels: bool = False  # a value that is set needs decoded pictures
    doc: str = ""

    @property
    def label(self) -> str:
        return self.flags[0].label if self.flags else self.name

    @property
    def shown_default(self) -> str:
        """The default as help and the README give it: `shown`, else the
        default itself as its flag would be written."""
        if self.shown is not None or not self.flags:
            return self.shown or ""
        value = self.default
        if value is None or value is REQUIRED:
            return ""
        if isinstance(value, bool):
            return "on" if value else "off"
        if isinstance(value, tuple):
            apart = " " if "nargs" in self.flags[0].settings else ","
            return f"`{apart.join(str(part) for part in value)}`"
        return f"`{value:g}`" if isinstance(value, float) else f"`{value}`"

    @property
    def default_text(self) -> str:
        """The default as help and the README give it. Beside a flag that
        turns the option off (--no-reconnect), "on" alone would read as if
        that flag were given: it names the option."""
        turns_off = bool(self.flags) and self.flags[0].settings.get("action") == "store_false"
        if turns_off and self.shown_default:
            return f"{self.name.replace('_', ' ')} {self.shown_default}"
        return self.shown_default

    @property
    def meaning(self) -> str:
        """What the option does, in record()'s words: its flag's help, unless
        the flag says what a value other than the default does."""
        return self.doc or (self.flags[0].help if self.flags else "")

    def checked(self, value: Any) -> Any:
        if self.check is None or (value is None and self.default is None):
            return value
        return self.check(self.name, value)

    def engine_fields(self, value: Any, settings: Any) -> dict[str, Any]:
        if self.engine is None:
            return {}
        if isinstance(self.engine, str):
            return {self.engine: value}
        return self.engine(value, settings)


def option(default: Any = None, **row: Any) -> Any:
    """A field of a group of record()'s options: its default, and the rest
    of its row (as `Option` takes it)."""
    return field(default=default, metadata={"row": row})


def group(heading: str):
    """A group of record()'s options, checked into a frozen record; its
    fields' flags go under `heading` in the command's help."""
    def make(cls):
        cls = dataclass(frozen=True)(cls)
        cls.heading = heading
        return cls
    return make


def _region_fields(value, _settings) -> dict[str, Any]:
    if value is None:
        return {"whole_frame": True}
    x, y, w, h = value
    return {"whole_frame": False, "roi_x": x, "roi_y": y, "roi_w": w, "roi_h": h}


def _keep_fields(value, _settings) -> dict[str, Any]:
    return {"motion_based": value == "motion"}


def _interval_fields(value, settings) -> dict[str, Any]:
    return {"interval": value if settings.keeping.keep == "interval" else 0.0}


def _camera_fps(value, _settings) -> dict[str, Any]:
    return {"fps": 0 if value is None else max(1, round(value))}


def _camera_size(value, _settings) -> dict[str, Any]:
    width, height = (0, 0) if value is None else value
    return {"width": width, "height": height}


def _every(name: str, value: Any) -> int | str:
    if value == KEYFRAME:
        return value
    return value_checks.integer(name, value, low=1, high=1000)


def _padding(name: str, value: Any) -> float:
    return value_checks.seconds(name, value, allow_zero=True, most=MAX_PADDING)


def _time_mode(name: str, value: Any) -> str:
    return value_checks.choice(name, value, TIME_MODES)


def _keep(given: Mapping[str, Any]) -> str:
    return "interval" if given.get("interval") is not None else "all"


def _codec(given: Mapping[str, Any]) -> str | None:
    """A stream is copied where it can be; a file or a device is encoded."""
    source = given.get("source")
    return AUTO if isinstance(source, str) and value_checks.STREAM.match(source) else None


def _display(given: Mapping[str, Any]) -> bool:
    """A copy shows no pictures: it decodes none."""
    return given.get("codec") not in (COPY, AUTO) and value_checks.display_available()


IO, CAMERA, KEEP = "input and output", "camera", "what to keep (default: every frame)"
EVENTS, TIMES, STAMP = "motion events (with --motion)", "frame times", "timestamp overlay"
DETECT = "motion detection (with --motion)"
PREVIEW = "preview"
DISK = "disk space"
OUTSIDE = "the live view and events to the outside"
LIVE = "live sources (cameras, devices, streams)"
MOTION = ("keep", "motion")


@group(IO)
class Output:
    """What is recorded, and where to."""

    source: int | str | os.PathLike = option(
        REQUIRED, batch=False, shown="`0`",
        flags=(Flag(("source",), "camera index, video file, device (/dev/video0), stream URL "
                    "or image sequence (img_%04d.png)",
                    {"nargs": "?", "default": "0", "type": source_text, "metavar": "input"}),))
    output: str | os.PathLike = option(
        "capture.mp4", batch=False,
        flags=(Flag(("-o", "--output"), "output video; its log is FILE.csv; taken names get "
                    "_001, _002, ...", {"metavar": "FILE"}),))
    codec: str | None = option(
        shown="`copy` for a stream that the output's container holds as it is, else by "
        "the extension: `h264`, `mjpg` for `.avi`", command_default=_codec,
        flags=(Flag(("--codec", "--fourcc"), "h264, h265 or av1 (compact, into .mp4, .mkv or "
                    ".mov; av1 not .mov); copy: the source's own stream, unchanged and "
                    "never decoded for writing (.mp4, .mkv, .mov; every frame, each file "
                    "from a keyframe); or mjpg (.avi), mp4v, ffv1 or another "
                    "four-character code for OpenCV's writer; checked before the input is "
                    "opened", {"metavar": "NAME"}),))
    quality: int | None = option(
        shown="23, 28, 35",
        flags=(Flag(("--quality",), "constant quality of h264, h265 (0 to 51), av1 (0 to 63) "
                    "(CRF; lower is better and larger)", {"type": int, "metavar": "N"}),))
    speed: str | int | None = option(
        shown="`veryfast`, `ultrafast`, `10`",
        flags=(Flag(("--speed",), "encoder preset of h264, h265, av1",
                    {"metavar": "PRESET"}),))
    duration: float | None = option(
        check=value_checks.seconds, engine=lambda value, _: {"duration": value or 0.0},
        shown="none",
        flags=(Flag(("--duration",), "stop after this many seconds of input",
                    {"type": positive, "metavar": "SECONDS"}),))
    frames_per_file: int | None = option(
        check=partial(value_checks.integer, low=1),
        engine=lambda value, _: {"frames_per_file": value or 0}, shown="one file",
        flags=(Flag(("--frames-per-file",), "put exactly N kept frames in each video, "
                    "numbered _001, _002, ...", {"type": int, "metavar": "N"}),))
    segment: float | str | None = option(
        check=value_checks.segment_length, shown="one file",
        flags=(Flag(("--segment",), "a new file at each boundary of the local clock: 15min, "
                    "1h, 1d or seconds; names with strftime fields, as -o "
                    "'garden/%Y-%m-%d/%H-%M.mp4', take each file's first frame's time",
                    {"metavar": "DURATION"}),))
    region: tuple[int, int, int, int] | None = option(
        check=value_checks.region, engine=_region_fields, shown="whole frame", pixels=True,
        flags=(Flag(("--roi",), "region of interest",
                    {"type": int, "nargs": 4, "metavar": ("X", "Y", "W", "H")}),))

    @property
    def numbered(self) -> bool:
        """Whether the videos are numbered, as splitting them needs."""
        return bool(self.frames_per_file or self.segment)


@group(DISK)
class Disk:
    """The output's disk."""

    min_free: int | str | None = option(
        check=value_checks.size, shown="200M or 1 % of the disk, the larger",
        flags=(Flag(("--min-free",), "free space to keep on the output's disk, in bytes or as "
                    "500M, 2G; below it the recording ends in order (exit status 3)",
                    {"metavar": "SIZE"}),))
    keep_for: float | str | None = option(
        check=value_checks.duration, shown="forever",
        flags=(Flag(("--keep-for",), "delete this output's recordings once older than this: "
                    "14d, 12h, or seconds", {"metavar": "DURATION"}),))
    max_size: int | str | None = option(
        check=value_checks.size, shown="no limit",
        flags=(Flag(("--max-size",), "delete this output's oldest recordings while they take "
                    "more than this: 50G, 500M", {"metavar": "SIZE"}),))

    @property
    def retained(self) -> bool:
        """Whether old recordings are deleted."""
        return self.keep_for is not None or self.max_size is not None


@group(CAMERA)
class Camera:
    """What a camera is asked for."""

    camera_fps: float | None = option(
        check=partial(value_checks.seconds, most=1000, unit="frames per second"),
        engine=_camera_fps, batch=False, shown="the camera's",
        flags=(Flag(("--fps",), "camera frame rate to request",
                    {"type": positive, "metavar": "N"}),))
    camera_size: tuple[int, int] | None = option(
        check=partial(value_checks.integers, count=2, low=1), engine=_camera_size,
        batch=False, shown="the camera's",
        flags=(Flag(("--size",), "camera frame size to request",
                    {"type": int, "nargs": 2, "metavar": ("W", "H")}),))
    camera_settings: bool = option(
        False, check=value_checks.flag, engine="config", batch=False,
        flags=(Flag(("--camera-settings",), "ask the camera driver for its settings dialog",
                    {"action": "store_true"}),))


@group(LIVE)
class LiveSource:
    """Live sources that drop out."""

    reconnect: bool = option(
        True, check=value_checks.flag, batch=False,
        doc="try a live source that drops out again at once, then every 0.25 s (up to 5 s "
        "apart after 5 min), instead of ending the recording",
        flags=(Flag(("--no-reconnect",), "end the recording when a live source drops out, "
                    "instead of trying it again every 0.25 s (up to 5 s apart after 5 min)",
                    {"action": "store_false"}),))
    give_up: float | None = option(
        check=value_checks.seconds, batch=False, shown="never",
        flags=(Flag(("--give-up",), "end the recording (exit status 4) once a live source has "
                    "been away this long; also retries a source that does not open at the "
                    "start", {"type": positive, "metavar": "SECONDS"}),))
    stall_timeout: float = option(
        10.0, check=partial(value_checks.seconds, most=3600), batch=False,
        flags=(Flag(("--stall-timeout",), "no frame for this long is an outage (at least "
                    "three frame intervals)", {"type": positive, "metavar": "SECONDS"}),))
    rtsp_transport: str = option(
        "tcp", check=partial(value_checks.choice, choices=RTSP_TRANSPORTS), batch=False,
        flags=(Flag(("--rtsp-transport",), "how RTSP streams travel: tcp survives packet loss",
                    {"choices": RTSP_TRANSPORTS, "metavar": "tcp|udp"}),))


@group(KEEP)
class Keeping:
    """What is kept."""

    keep: str = option(
        "all", check=partial(value_checks.choice, choices=KEEP_MODES), engine=_keep_fields,
        shown="off", command_default=_keep,
        doc='"all" frames, frames with "motion", or one frame per interval ("interval")',
        flags=(Flag(("--motion",), "keep only frames with motion (the first frame is the "
                    "reference)", {"action": "store_const", "const": "motion"}),))
    interval: float = option(
        1.0, check=value_checks.seconds, engine=_interval_fields, shown="off",
        flags=(Flag(("--interval",), "time-lapse: keep the frame nearest the start and each "
                    "interval after it, so that it never drifts",
                    {"type": positive, "metavar": "SECONDS"}),))

    @property
    def by_motion(self) -> bool:
        return self.keep == "motion"

    @property
    def spacing(self) -> float | None:
        """Seconds between a time-lapse's frames; None when it is not one."""
        return self.interval if self.keep == "interval" else None


@group(DETECT)
class Motion:
    """How motion is found."""

    threshold: int = option(
        25, check=partial(value_checks.integer, low=0, high=255), engine="threshold",
        flags=(Flag(("--threshold",), "grey-level change a pixel must exceed to count as "
                    "changed", {"type": int, "metavar": "N"}),))
    min_area: int = option(
        500, check=value_checks.integer, engine="min_area",
        flags=(Flag(("--min-area",), "area a changed region must exceed to count as motion",
                    {"type": int, "metavar": "N"}),))
    kernel_width: int = option(
        21, check=value_checks.odd, engine="kernel_width",
        flags=(Flag(("--kernel-width",), "blur kernel width: odd, at most the region's "
                    "smaller side", {"type": int, "metavar": "N"}),))
    show_diff: bool = option(
        False, check=value_checks.window, engine="show_diff", batch=False, pixels=True,
        flags=(Flag(("--show-diff",), "show the motion check's two diagnostic windows",
                    {"action": "store_true"}),))
    detector: str = option(
        "diff", check=partial(value_checks.choice, choices=DETECTORS), needs=MOTION,
        flags=(Flag(("--detector",), "how motion is found: diff compares each frame with a "
                    "background that follows the still scene; mog2 and knn learn the "
                    "background", {"choices": DETECTORS, "metavar": "diff|mog2|knn"}),))
    history: int = option(
        HISTORY, check=partial(value_checks.integer, low=1, high=100_000), needs=MOTION,
        flags=(Flag(("--history",), "frames the background remembers: mog2's and knn's "
                    "model; diff's reference follows a still scene over about as many",
                    {"type": int, "metavar": "N"}),))
    light_guard: bool = option(
        True, check=value_checks.flag, needs=MOTION,
        doc="take changes of light out before frames are compared, and judge a frame in "
        "which more than max_change of the picture changes at once a change of light",
        flags=(Flag(("--no-light-guard",), "count changes of light as motion: diff then "
                    "compares each frame with the last one with motion as it is",
                    {"action": "store_false"}),))
    max_change: float = option(
        MAX_CHANGE, check=partial(value_checks.scale, most=1.0), needs=MOTION,
        flags=(Flag(("--max-change",), "a frame in which more than this share of the "
                    "picture's parts (the region and a margin around it) changes at once is "
                    "a change of light, not motion (1: never)",
                    {"type": float, "metavar": "SHARE"}),))
    include: list | None = option(
        check=area_checks.polygons, shown="the whole region", needs=MOTION,
        flags=(Flag(("--include",), "look for motion only inside this polygon, in frame "
                    "coordinates; repeat for more",
                    {"type": point, "nargs": "+", "action": "append", "metavar": "X,Y"}),))
    exclude: list | None = option(
        check=area_checks.polygons, shown="none", needs=MOTION,
        flags=(Flag(("--exclude",), "never look for motion inside this polygon (a tree, a "
                    "road, a clock overlay); repeat for more",
                    {"type": point, "nargs": "+", "action": "append", "metavar": "X,Y"}),))
    mask: str | os.PathLike | None = option(
        check=area_checks.mask_file, shown="none", needs=MOTION,
        flags=(Flag(("--mask",), "image of the frame's size: motion is looked for where it is "
                    "white, not where it is black", {"metavar": "IMAGE"}),))
    detect_scale: float = option(
        1.0, check=partial(value_checks.scale, most=1.0), needs=MOTION,
        flags=(Flag(("--detect-scale",), "look for motion on a copy scaled by this (0.5: half "
                    "the width and height), with the blur and --min-area scaled to match; "
                    "frames are written whole", {"type": float, "metavar": "S"}),))
    detect_every: int | str = option(
        1, check=_every, needs=MOTION,
        flags=(Flag(("--detect-every",), "look for motion in every Nth frame only; the frames "
                    "between take its decision; with --codec copy, 'keyframe' decodes "
                    "keyframes only", {"type": every_text, "metavar": "N|keyframe"}),))
    detect_source: str | None = option(
        check=value_checks.stream_url, shown="the recorded stream", needs=MOTION,
        flags=(Flag(("--detect-source",), "with --codec copy: look for motion on this second "
                    "stream of the same camera (its low-resolution sub-stream), matched by "
                    "the clock; --include, --exclude and --mask stay in the recorded "
                    "stream's coordinates", {"metavar": "URL"}),))


@group(EVENTS)
class Events:
    """Motion events."""

    before: float = option(
        0.0, check=_padding, engine="before", needs=MOTION,
        flags=(Flag(("--before",), "with --motion: also keep this much ahead of each event's "
                    "first motion", {"type": not_negative, "metavar": "SECONDS"}),))
    after: float = option(
        0.0, check=_padding, engine="after", needs=MOTION,
        flags=(Flag(("--after",), "with --motion: also keep this much past each event's last "
                    "motion; motion within it continues the event",
                    {"type": not_negative, "metavar": "SECONDS"}),))
    min_event: float = option(
        MIN_EVENT, check=_padding, engine="min_event", needs=MOTION,
        flags=(Flag(("--min-event",), "with --motion: an event starts only once its motion "
                    "spans this long (drops flickers of a frame or two; 0 keeps them)",
                    {"type": not_negative, "metavar": "SECONDS"}),))
    file_per_event: bool = option(
        False, check=value_checks.flag, engine="file_per_event", needs=MOTION,
        flags=(Flag(("--file-per-event",), "with --motion: each event in its own numbered "
                    "video and log", {"action": "store_true"}),))
    contact_sheet: bool = option(
        False, check=value_checks.flag, shown="on with `--motion`", needs=MOTION,
        command_default=lambda given: given["keep"] == "motion",
        flags=(Flag(("--contact-sheet",), "write NAME.events.jpg, a thumbnail per event",
                    {"action": "store_true", "default": None}),
               Flag(("--no-contact-sheet",), "no contact sheet", {"action": "store_false"}),))


@group(OUTSIDE)
class Outside:
    """What is told to the outside."""

    name: str | None = option(
        check=value_checks.camera_name, batch=False, shown="the output's name",
        flags=(Flag(("--name",), "what the camera is called in the live view, in the "
                    "journal's lines and in VELMAR_CAMERA", {"metavar": "NAME"}),))
    on_event: str | list[str] | Callable[[Event], None] | None = option(
        check=value_checks.command, batch=False, shown="none", needs=MOTION,
        flags=(Flag(("--on-event",), "run this command as each event ends, without a shell "
                    "(write sh -c '...' for one), with VELMAR_CAMERA, VELMAR_EVENT, "
                    "VELMAR_START, VELMAR_SECONDS, VELMAR_VIDEO and VELMAR_THUMBNAIL set",
                    {"metavar": "'CMD ARGS...'"}),))
    on_event_timeout: float = option(
        ON_EVENT_TIMEOUT, check=partial(value_checks.seconds, most=86400), batch=False,
        needs=MOTION,
        flags=(Flag(("--on-event-timeout",), "kill an event's command that takes longer than "
                    "this", {"type": positive, "metavar": "SECONDS"}),))
    observer: Observer | None = option(
        check=value_checks.observer, batch=False,
        doc="shown each kept frame once it is written, observer.frame(image), and each "
        "event, observer.event(event), on the recording's thread: both must return at once")


@group(TIMES)
class Times:
    """The frames' times."""

    timestamps: str = option(
        "auto", check=_time_mode,
        flags=(Flag(("--timestamps",), "how frame times are worked out: pts, rate, clock or "
                    "auto (see the CSV log)", {"choices": TIME_MODES, "metavar": "MODE"}),))
    start: datetime | None = option(
        check=value_checks.start_time, shown="the file's modification time",
        flags=(Flag(("--start",), "start time of a file's frames, 2026-12-08T06:00:00",
                    {"type": date_time, "metavar": "DATETIME"}),))
    utc_offset: bool = option(
        False, check=value_checks.flag, engine="utc_offset",
        flags=(Flag(("--utc-offset",), "write times with the local UTC offset",
                    {"action": "store_true"}),))


@group(STAMP)
class Stamp:
    """The timestamp drawn on kept frames."""

    stamp: bool = option(
        False, check=value_checks.flag, engine="timestamp", pixels=True,
        flags=(Flag(("--timestamp",), "draw date and time on kept frames",
                    {"action": "store_true"}),))
    box_color: tuple[int, int, int] = option(
        (0, 0, 0), check=partial(value_checks.integers, count=3, high=255),
        engine=lambda value, _: {"tb": value},
        flags=(Flag(("--box-color",), "colour of the box behind the text",
                    {"type": colour, "metavar": "B,G,R"}),))
    text_color: tuple[int, int, int] = option(
        (255, 255, 255), check=partial(value_checks.integers, count=3, high=255),
        engine=lambda value, _: {"tc": value},
        flags=(Flag(("--text-color",), "colour of the text",
                    {"type": colour, "metavar": "B,G,R"}),))
    stamp_position: tuple[int, int] = option(
        (10, 20), check=partial(value_checks.integers, count=2, low=-value_checks.INT32_MAX),
        engine=lambda value, _: {"tx": value[0], "ty": value[1]},
        flags=(Flag(("--text-pos",), "text origin, on its baseline",
                    {"type": int, "nargs": 2, "metavar": ("X", "Y")}, convert=tuple),))
    stamp_scale: float = option(
        0.5, check=partial(value_checks.scale, most=MAX_STAMP_SCALE), engine="fs",
        flags=(Flag(("--font-scale",), "text size, at most 10",
                    {"type": float, "metavar": "S"}),))


@group(PREVIEW)
class Running:
    """Windows, reading and reporting."""

    preview: bool = option(
        False, check=value_checks.window, engine="interactive", batch=False, pixels=True,
        shown="on where a display is", command_default=_display,
        flags=(Flag(("--preview",), "show kept frames; q or Esc stops",
                    {"action": "store_true", "default": None}),
               Flag(("--no-preview",), "record without a window",
                    {"action": "store_false"}),))
    read_ahead: bool = option(
        True, check=value_checks.flag,
        doc="decode the next frames on a second thread while the current one is checked "
        "and written")
    progress: Callable[[Progress], None] | None = option(
        check=value_checks.callback, batch=False,
        doc="called with a Progress at most about 10 times a second, and once at the end")
    verbose: bool = option(
        False, check=value_checks.flag, engine="verbose", batch=False,
        doc="the engine's own console lines, and the libraries' messages")


@dataclass(frozen=True)
class Settings:
    """record()'s options, checked: one frozen record per group, read as
    `settings.motion.threshold`."""

    output: Output
    disk: Disk
    camera: Camera
    live: LiveSource
    keeping: Keeping
    motion: Motion
    events: Events
    outside: Outside
    times: Times
    stamp: Stamp
    running: Running


SECTIONS: dict[str, type] = {section.name: globals()[section.type]
                             for section in fields(Settings)}

OPTIONS: tuple[Option, ...] = tuple(
    Option(name=item.name, annotation=item.type, default=item.default, group=kind.heading,
           section=section, **item.metadata["row"])
    for section, kind in SECTIONS.items() for item in fields(kind))

WHERE = "where to run"


def _extension(name: str, value: Any) -> str:
    if not isinstance(value, str) or not re.fullmatch(r"\.[A-Za-z0-9]+", value):
        raise value_checks.OptionValueError(name, f"must be a dot and letters or digits, as "
                                                  f"'.avi', not {value!r}")
    return value


# `velmar batch`'s own options, beside the recording options it takes.
BATCH_OPTIONS: tuple[Option, ...] = (
    Option(name="inputs", annotation="Inputs", default=REQUIRED, group=IO, flags=(
        Flag(("inputs",), "video file, folder (searched for video files) or glob pattern "
             "('card/**/*.mp4')", {"nargs": "+", "metavar": "INPUT"}),)),
    Option(name="output_dir", annotation="str | os.PathLike", default=REQUIRED, group=IO,
           shown="required", flags=(
               Flag(("--output-dir",), "where the folders and index.csv go; each input is "
                    "recorded into DIR/<its name>/, same names get -2, -3, ...",
                    {"required": True, "metavar": "DIR"}),)),
    Option(name="recursive", annotation="bool", default=False, check=value_checks.flag,
           group=IO, flags=(
               Flag(("-r", "--recursive"), "search folders with their subfolders",
                    {"action": "store_true"}),)),
    Option(name="extension", annotation="str", default=".mp4", check=_extension, group=IO,
           flags=(Flag(("--extension",), "of the output videos, such as .avi for --codec mjpg",
                       {"metavar": "EXT"}),)),
    Option(name="jobs", annotation="int | None", check=partial(value_checks.integer, low=1),
           group=WHERE, shown="the number of cores", flags=(
               Flag(("-j", "--jobs"), "inputs at a time, each in a worker process with one "
                    "OpenCV thread", {"type": at_least_one, "metavar": "N"}),)),
    Option(name="cluster", annotation="str | None", group=WHERE, shown="local processes",
           flags=(Flag(("--cluster",), "run on a Dask scheduler, e.g. tcp://10.0.0.5:8786; "
                       "needs velmar[cluster] here, velmar on the workers and the files on "
                       "storage they share", {"metavar": "ADDRESS"}),)),
)


def _password_from_environment(_given: Mapping[str, Any]) -> str | None:
    return os.environ.get("VELMAR_HTTP_PASSWORD") or None


# The live view's options: of `velmar`, of `velmar run` and of its file.
LIVE_VIEW_OPTIONS: tuple[Option, ...] = (
    Option(name="http", annotation="str | None", check=value_checks.address, group=OUTSIDE,
           shown="off", flags=(
               Flag(("--http",), "serve the live view at this address: a page of the cameras "
                    "with their pictures, states, events and a timeline of their recordings "
                    "to play, /status.json, /metrics and clips; a PORT alone "
                    "is on loopback; an address other than loopback needs --http-password",
                    {"metavar": "HOST:PORT"}),)),
    Option(name="http_password", annotation="str | None", check=value_checks.password,
           group=OUTSIDE, shown="$VELMAR_HTTP_PASSWORD",
           command_default=_password_from_environment, flags=(
               Flag(("--http-password",), "password of the live view, asked of every request "
                    "(HTTP basic authentication, any user name)", {"metavar": "PASSWORD"}),)),
)


def check_live_view(given: Mapping[str, Any]) -> tuple[tuple[str, int] | None, str | None]:
    """The live view's address and password, checked; only loopback is
    served without a password."""
    address, password = (option.checked(given.get(option.name)) for option in LIVE_VIEW_OPTIONS)
    if address is not None and password is None and not value_checks.is_loopback(address[0]):
        raise value_checks.OptionValueError("http_password", f"is needed to serve the live "
                                                             f"view on {address[0]}, which is "
                                                             f"not loopback")
    return address, password


MQTT_URL = "mqtt://[USER[:PASSWORD]@]HOST[:PORT]"


def _broker_url(name: str, value: Any) -> str:
    """An MQTT broker's URL. An error never repeats it: it may hold a password."""
    parts = urllib.parse.urlsplit(value) if isinstance(value, str) else None
    try:
        port = parts.port if parts is not None else None
    except ValueError:  # not a number, or past 65535
        port = 0
    if (parts is None or parts.scheme != "mqtt" or not parts.hostname or port == 0
            or parts.path not in ("", "/") or parts.query or parts.fragment):
        raise value_checks.OptionValueError(name, f"must be {MQTT_URL}")
    return value


def _topic_prefix(name: str, value: Any) -> str:
    if not isinstance(value, str) or not re.fullmatch(r"[\w.-]+(/[\w.-]+)*", value):
        raise value_checks.OptionValueError(name, f"must be topic levels of letters, digits, "
                                                  f"'_', '-' or '.', as 'velmar' or "
                                                  f"'home/cameras', not {value!r}")
    return value


# What the cameras tell an MQTT broker: of `velmar`, of `velmar run` and of its file.
MQTT_OPTIONS: tuple[Option, ...] = (
    Option(name="mqtt", annotation="str | None", check=_broker_url, group=OUTSIDE, shown="off",
           flags=(Flag(("--mqtt",), f"publish each camera's motion, state, events and event "
                       f"pictures to this MQTT broker, with Home Assistant's discovery: "
                       f"{MQTT_URL} (port 1883); the password may come from "
                       f"$VELMAR_MQTT_PASSWORD", {"metavar": "URL"}),)),
    Option(name="mqtt_topic", annotation="str", default="velmar", check=_topic_prefix,
           group=OUTSIDE, flags=(
               Flag(("--mqtt-topic",), "the prefix of the topics: PREFIX/available, "
                    "PREFIX/CAMERA/motion, ...", {"metavar": "PREFIX"}),)),
)


# `velmar check`'s options.
CHECK_OPTIONS: tuple[Option, ...] = (
    Option(name="paths", annotation="Iterable[str | os.PathLike]", default=REQUIRED, flags=(
        Flag(("paths",), "video, its log (NAME.csv) or folder (searched with its subfolders "
             "for logs)", {"nargs": "+", "metavar": "PATH"}),)),
    Option(name="repair", annotation="bool", default=False, check=value_checks.flag, flags=(
        Flag(("--repair",), "make each log agree with its video: drop rows of lost frames, "
             "cut the video back to its logged frames, restore a header, drop a cut-off "
             "row, give the events log the events its videos hold; pairs that agree are "
             "not touched", {"action": "store_true"}),)),
    Option(name="quiet", annotation="bool", default=False, flags=(
        Flag(("-q", "--quiet"), "print only the files with a problem, and errors",
             {"action": "store_true"}),)),
)

BY_NAME: dict[str, Option] = {option.name: option for option in OPTIONS}
BATCH_BY_NAME: dict[str, Option] = {option.name: option for option in BATCH_OPTIONS}
LIVE_VIEW_BY_NAME: dict[str, Option] = {option.name: option for option in LIVE_VIEW_OPTIONS}
MQTT_BY_NAME: dict[str, Option] = {option.name: option for option in MQTT_OPTIONS}
IN_BATCH: tuple[str, ...] = tuple(o.name for o in OPTIONS if o.batch)
COMMAND: tuple[Option, ...] = tuple(o for o in OPTIONS if o.flags)


def label(name: str) -> str:
    """How the commands name the option called `name`: by its flag."""
    option = (BY_NAME.get(name) or BATCH_BY_NAME.get(name) or LIVE_VIEW_BY_NAME.get(name)
              or MQTT_BY_NAME.get(name))
    return name if option is None else option.label


# The options whose names cannot be mistaken for words of a message, as
# record() writes them: a word alone, not part of a path or a file name.
_NAMES_IN_TEXT = re.compile(r"(?<![\w/.-])(%s)(?![\w/-]|\.\w)" % "|".join(
    name for table in (BY_NAME, BATCH_BY_NAME, LIVE_VIEW_BY_NAME, MQTT_BY_NAME)
    for name, option in table.items() if "_" in name and option.flags))


def in_flags(text: str) -> str:
    """A message of record()'s as the commands say it: what it says of
    `min_free` they say of `--min-free`."""
    return _NAMES_IN_TEXT.sub(lambda found: label(found.group()), text)


def check_all(given: Mapping[str, Any]) -> Settings:
    """Every value checked, in the table's order, then what holds between
    them; the options checked against the disk are passed on as they are."""
    unknown = set(given) - BY_NAME.keys()
    if unknown:
        raise TypeError(f"unknown option {sorted(unknown)[0]!r}")
    values = {option.name: option.checked(given[option.name]) for option in OPTIONS}
    for option in OPTIONS:
        _check_needs(option, values)
    _check_kernel_fits(values)
    return Settings(**{section: kind(**{item.name: values[item.name] for item in fields(kind)})
                       for section, kind in SECTIONS.items()})


def _check_needs(option: Option, values: Mapping[str, Any]) -> None:
    value = values[option.name]
    if option.needs is None or not value or value == option.default:
        return
    other, wanted = option.needs
    if values[other] != wanted:
        raise value_checks.OptionValueError(option.name, f"applies to {other}={wanted!r}, "
                                                         f"not {other}={values[other]!r}")


def _check_kernel_fits(values: Mapping[str, Any]) -> None:
    """A motion check's blur must fit in its region; a whole frame's is
    checked by the engine once the first frame tells its size."""
    area, width = values["region"], values["kernel_width"]
    if values["keep"] != "motion" or area is None:
        return
    side = min(area[2], area[3])
    if width > side:
        raise value_checks.OptionValueError("kernel_width", f"must be at most the region's "
                                                            f"smaller side ({side}), got "
                                                            f"{width!r}")


def check_copy(settings: Settings) -> None:
    problem = copy_problem(settings)
    if problem is not None:
        raise problem


def copy_problem(settings: Settings) -> value_checks.OptionValueError | None:
    """What a copy of the source's packets cannot do: what needs pictures,
    which it does not decode, and a time-lapse, which keyframes are too far
    apart to make."""
    try:
        _refuse_in_copy(settings)
    except value_checks.OptionValueError as problem:
        return problem
    return None


def _refuse_in_copy(settings: Settings) -> None:
    for option in OPTIONS:
        if option.pixels and getattr(getattr(settings, option.section), option.name):
            hint = (", which decodes no pictures; to look for motion in part of the frame "
                    f"only, give {label('include')}" if option.name == "region"
                    else ", which decodes no pictures")
            raise value_checks.OptionValueError(option.name, f"cannot be used with codec "
                                                             f"'copy'{hint}")
    if settings.keeping.keep == "interval":
        raise value_checks.OptionValueError("interval", "cannot be used with codec 'copy': a "
                                                        "camera's keyframes are too far apart "
                                                        "for a time-lapse; encode it (h264)")


def check_encoded(settings: Settings) -> None:
    """What only a copy does: decode the keyframes alone, or another stream."""
    motion = settings.motion
    if motion.detect_every == KEYFRAME or motion.detect_source is not None:
        name = "detect_source" if motion.detect_source is not None else "detect_every"
        value = getattr(motion, name)
        raise value_checks.OptionValueError(name, f"{value!r} applies to codec 'copy', which "
                                                  f"decodes only what detection needs")


def engine_fields(settings: Settings) -> dict[str, Any]:
    """The engine's options of the checked settings that map onto its fields."""
    fields_: dict[str, Any] = {}
    for option in OPTIONS:
        value = getattr(getattr(settings, option.section), option.name)
        fields_.update(option.engine_fields(value, settings))
    return fields_


def defaults(names=None) -> dict[str, Any]:
    """record()'s defaults of the options called `names` (default: all that have one)."""
    chosen = OPTIONS if names is None else [BY_NAME[name] for name in names]
    return {o.name: o.default for o in chosen if o.default is not REQUIRED}


def docstring_list(indent: str = "    ") -> str:
    """record()'s options as its docstring lists them, from the rows: each
    with its default and the command's flag."""
    lines = ["Options, with their defaults and the command's flags:", ""]
    for option in OPTIONS:
        said = []
        if option.default is None:
            said.append(option.shown_default.replace("`", "") or "None")
        elif option.default is not REQUIRED:
            said.append(repr(option.default))
        said += [flag.names[0] for flag in option.flags if flag.names[0].startswith("-")]
        head = f"{option.name} ({'; '.join(said)})" if said else option.name
        meaning = option.meaning if option.meaning.endswith(".") else option.meaning + "."
        lines += textwrap.wrap(f"{head}: {meaning}", width=76, subsequent_indent="    ")
    return "\n".join(indent + line if line else line for line in lines)
