"""Every option of a recording, declared once.

A row holds an option's name, annotation, default, check, the engine's
field, the command's flags with their help and group, and whether `velmar
batch` takes it. `velmar.record()`'s checks, the engine's options, both
commands' flags and help, their error messages, `velmar batch`'s list of
options and the README's tables are all derived from these rows.

Nothing here imports NumPy, OpenCV or the engine: the command reads the
table before it loads them.
"""

from __future__ import annotations

import argparse
import os
import re
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from datetime import datetime
from functools import partial
from typing import Any

from velmar import value_checks
from velmar.detection import DETECTORS, masks

REQUIRED = object()  # the default of an option that has none
KEEP_MODES = ("all", "motion", "interval")
TIME_MODES = ("auto", "pts", "rate", "clock")
RTSP_TRANSPORTS = ("tcp", "udp")
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


@dataclass(frozen=True)
class Option:
    """One option of `velmar.record()`.

    `check(name, value)` gives the checked value; None for the options that
    record() checks against the disk (the source, the output, the codec).
    An optional option (default None) takes None unchecked.
    `engine` is the engine's field for the checked value, or a function of
    the value and all checked values giving the engine's fields; None when
    record() makes what the engine gets itself.
    `flags` are the command's; the first names the option in its errors.
    `shown_default` is the default as help and the README give it.
    `command_default(given)` is the command's value when no flag is given,
    from the other options' values, where it differs from record()'s.
    `needs` is (option, value): a value that is set (true) applies only then.
    """

    name: str
    annotation: str
    default: Any
    check: Callable[[str, Any], Any] | None
    engine: str | Callable[[Any, Mapping[str, Any]], dict[str, Any]] | None
    flags: tuple[Flag, ...] = ()
    group: str | None = None
    batch: bool = True
    shown_default: str = ""
    command_default: Callable[[Mapping[str, Any]], Any] | None = None
    needs: tuple[str, Any] | None = None

    @property
    def label(self) -> str:
        return self.flags[0].label if self.flags else self.name

    @property
    def default_text(self) -> str:
        """The default as help and the README give it. Beside a flag that
        turns the option off (--no-reconnect), "on" alone would read as if
        that flag were given: it names the option."""
        turns_off = bool(self.flags) and self.flags[0].settings.get("action") == "store_false"
        if turns_off and self.shown_default:
            return f"{self.name.replace('_', ' ')} {self.shown_default}"
        return self.shown_default

    def checked(self, value: Any) -> Any:
        if self.check is None or (value is None and self.default is None):
            return value
        return self.check(self.name, value)

    def engine_fields(self, value: Any, checked: Mapping[str, Any]) -> dict[str, Any]:
        if self.engine is None:
            return {}
        if isinstance(self.engine, str):
            return {self.engine: value}
        return self.engine(value, checked)


def _int32s(values) -> Any:
    import numpy as np  # only once a recording is under way
    return np.array(values, dtype=np.int32)


def _region_fields(value, _checked) -> dict[str, Any]:
    if value is None:
        return {"whole_frame": True}
    x, y, w, h = value
    return {"whole_frame": False, "roi_x": x, "roi_y": y, "roi_w": w, "roi_h": h}


def _keep_fields(value, _checked) -> dict[str, Any]:
    return {"motion_based": value == "motion", "events": value == "motion"}


def _camera_fps(value, _checked) -> dict[str, Any]:
    return {"fps": 0 if value is None else max(1, round(value))}


def _camera_size(value, _checked) -> dict[str, Any]:
    width, height = (0, 0) if value is None else value
    return {"width": width, "height": height}


def _padding(name: str, value: Any) -> float:
    return value_checks.seconds(name, value, allow_zero=True, most=MAX_PADDING)


def _time_mode(name: str, value: Any) -> str:
    return value_checks.choice(name, value, TIME_MODES)


def _keep(given: Mapping[str, Any]) -> str:
    return "interval" if given.get("interval") is not None else "all"


def _display(_given: Mapping[str, Any]) -> bool:
    return value_checks.display_available()


IO, CAMERA, KEEP = "input and output", "camera", "what to keep (default: every frame)"
EVENTS, TIMES, STAMP = "motion events (with --motion)", "frame times", "timestamp overlay"
DETECT = "motion detection (with --motion)"
PREVIEW = "preview"
DISK = "disk space"
OUTSIDE = "the live view and events to the outside"
LIVE = "live sources (cameras, devices, streams)"
MOTION = ("keep", "motion")

OPTIONS: tuple[Option, ...] = (
    # What is recorded, and where to.
    Option("source", "int | str | os.PathLike", REQUIRED, None, None, (
        Flag(("source",), "camera index, video file, device (/dev/video0), stream URL or "
             "image sequence (img_%04d.png)",
             {"nargs": "?", "default": "0", "type": source_text, "metavar": "input"}),), IO, batch=False,
        shown_default="`0`"),
    Option("output", "str | os.PathLike", "capture.mp4", None, None, (
        Flag(("-o", "--output"), "output video; its log is FILE.csv; taken names get "
             "_001, _002, ...", {"metavar": "FILE"}),), IO, batch=False,
        shown_default="`capture.mp4`"),
    Option("codec", "str | None", None, None, None, (
        Flag(("--codec", "--fourcc"), "h264, h265 or av1 (compact, into .mp4, .mkv or .mov; "
             "av1 not .mov), "
             "or mjpg (.avi), mp4v, ffv1 or another four-character code for OpenCV's writer; "
             "checked before the input is opened", {"metavar": "NAME"}),), IO,
        shown_default="by the extension: `h264`, `mjpg` for `.avi`"),
    Option("quality", "int | None", None, None, None, (
        Flag(("--quality",), "constant quality of h264, h265 (0 to 51), av1 (0 to 63) "
             "(CRF; lower is better and larger)", {"type": int, "metavar": "N"}),), IO,
        shown_default="23, 28, 35"),
    Option("speed", "str | int | None", None, None, None, (
        Flag(("--speed",), "encoder preset of h264, h265, av1", {"metavar": "PRESET"}),), IO,
        shown_default="`veryfast`, `ultrafast`, `10`"),
    Option("duration", "float | None", None, value_checks.seconds,
           lambda value, _: {"duration": value or 0.0}, (
               Flag(("--duration",), "stop after this many seconds of input",
                    {"type": positive, "metavar": "SECONDS"}),), IO, shown_default="none"),
    Option("frames_per_file", "int | None", None,
           partial(value_checks.integer, low=1),
           lambda value, _: {"frames_per_file": value or 0}, (
               Flag(("--frames-per-file",), "put exactly N kept frames in each video, "
                    "numbered _001, _002, ...", {"type": int, "metavar": "N"}),), IO,
           shown_default="one file"),
    Option("segment", "float | str | None", None, value_checks.duration, None, (
        Flag(("--segment",), "a new file at each boundary of the local clock: 15min, 1h, "
             "1d or seconds; names with strftime fields, as -o 'garden/%Y-%m-%d/%H-%M.mp4', "
             "take each file's first frame's time", {"metavar": "DURATION"}),), IO,
        shown_default="one file"),
    Option("region", "tuple[int, int, int, int] | None", None, value_checks.region, _region_fields, (
        Flag(("--roi",), "region of interest", {"type": int, "nargs": 4,
                                                "metavar": ("X", "Y", "W", "H")}),), IO,
        shown_default="whole frame"),

    # The disk.
    Option("min_free", "int | str | None", None, value_checks.size, None, (
        Flag(("--min-free",), "free space to keep on the output's disk, in bytes or as "
             "500M, 2G; below it the recording ends in order (exit status 3)",
             {"metavar": "SIZE"}),), DISK,
        shown_default="200M or 1 % of the disk, the larger"),
    Option("keep_for", "float | str | None", None, value_checks.duration, None, (
        Flag(("--keep-for",), "delete this output's recordings once older than this: 14d, "
             "12h, or seconds", {"metavar": "DURATION"}),), DISK, shown_default="forever"),
    Option("max_size", "int | str | None", None, value_checks.size, None, (
        Flag(("--max-size",), "delete this output's oldest recordings while they take more "
             "than this: 50G, 500M", {"metavar": "SIZE"}),), DISK, shown_default="no limit"),

    # What a camera is asked for.
    Option("camera_fps", "float | None", None,
           partial(value_checks.seconds, most=1000, unit="frames per second"), _camera_fps, (
               Flag(("--fps",), "camera frame rate to request",
                    {"type": positive, "metavar": "N"}),), CAMERA, batch=False,
           shown_default="the camera's"),
    Option("camera_size", "tuple[int, int] | None", None,
           partial(value_checks.integers, count=2, low=1), _camera_size, (
               Flag(("--size",), "camera frame size to request",
                    {"type": int, "nargs": 2, "metavar": ("W", "H")}),), CAMERA, batch=False,
           shown_default="the camera's"),
    Option("camera_settings", "bool", False, value_checks.flag, "config", (
        Flag(("--camera-settings",), "ask the camera driver for its settings dialog",
             {"action": "store_true"}),), CAMERA, batch=False, shown_default="off"),

    # Live sources that drop out.
    Option("reconnect", "bool", True, value_checks.flag, None, (
        Flag(("--no-reconnect",), "end the recording when a live source drops out, instead "
             "of trying it again every 0.25 s (up to 5 s apart after 5 min)",
             {"action": "store_false"}),),
        LIVE, batch=False, shown_default="on"),
    Option("give_up", "float | None", None, value_checks.seconds, None, (
        Flag(("--give-up",), "end the recording (exit status 4) once a live source has been "
             "away this long; also retries a source that does not open at the start",
             {"type": positive, "metavar": "SECONDS"}),), LIVE, batch=False,
        shown_default="never"),
    Option("stall_timeout", "float", 10.0, partial(value_checks.seconds, most=3600),
           None, (
               Flag(("--stall-timeout",), "no frame for this long is an outage (at least "
                    "three frame intervals)", {"type": positive, "metavar": "SECONDS"}),),
           LIVE, batch=False, shown_default="`10`"),
    Option("rtsp_transport", "str", "tcp", partial(value_checks.choice, choices=RTSP_TRANSPORTS),
           None, (
               Flag(("--rtsp-transport",), "how RTSP streams travel: tcp survives packet loss",
                    {"choices": RTSP_TRANSPORTS, "metavar": "tcp|udp"}),), LIVE, batch=False,
           shown_default="`tcp`"),

    # What is kept.
    Option("keep", "str", "all", partial(value_checks.choice, choices=KEEP_MODES), _keep_fields, (
        Flag(("--motion",), "keep only frames with motion (the first frame is the reference)",
             {"action": "store_const", "const": "motion"}),), KEEP, shown_default="off",
        command_default=_keep),
    Option("interval", "float", 1.0, value_checks.seconds,
           lambda value, checked: {"interval": value if checked["keep"] == "interval" else 0.0},
           (Flag(("--interval",), "time-lapse: keep the frame nearest the start and each "
                 "interval after it, so that it never drifts",
                 {"type": positive, "metavar": "SECONDS"}),), KEEP, shown_default="off"),
    Option("threshold", "int", 25, partial(value_checks.integer, low=0, high=255), "threshold", (
        Flag(("--threshold",), "grey-level change a pixel must exceed to count as changed",
             {"type": int, "metavar": "N"}),), DETECT, shown_default="`25`"),
    Option("min_area", "int", 500, value_checks.integer, "min_area", (
        Flag(("--min-area",), "area a changed region must exceed to count as motion",
             {"type": int, "metavar": "N"}),), DETECT, shown_default="`500`"),
    Option("kernel_width", "int", 21, value_checks.odd, "kernel_width", (
        Flag(("--kernel-width",), "blur kernel width: odd, at most the region's smaller side",
             {"type": int, "metavar": "N"}),), DETECT, shown_default="`21`"),
    Option("show_diff", "bool", False, value_checks.window, "show_diff", (
        Flag(("--show-diff",), "show the motion check's two diagnostic windows",
             {"action": "store_true"}),), DETECT, batch=False, shown_default="off"),

    # How motion is found.
    Option("detector", "str", "diff", partial(value_checks.choice, choices=DETECTORS), None, (
        Flag(("--detector",), "how motion is found: diff compares each frame with a "
             "background that follows the still scene; mog2 and knn learn the background",
             {"choices": DETECTORS, "metavar": "diff|mog2|knn"}),), DETECT,
        shown_default="`diff`", needs=MOTION),
    Option("history", "int", HISTORY, partial(value_checks.integer, low=1, high=100_000), None, (
        Flag(("--history",), "frames the background remembers: mog2's and knn's model; "
             "diff's reference follows a still scene over about as many",
             {"type": int, "metavar": "N"}),), DETECT, shown_default=f"`{HISTORY}`",
        needs=MOTION),
    Option("light_guard", "bool", True, value_checks.flag, None, (
        Flag(("--no-light-guard",), "count changes of light as motion: diff then compares "
             "each frame with the last one with motion as it is",
             {"action": "store_false"}),), DETECT, shown_default="on", needs=MOTION),
    Option("max_change", "float", MAX_CHANGE, partial(value_checks.scale, most=1.0), None, (
        Flag(("--max-change",), "a frame in which more than this share of the picture's "
             "parts (the region and a margin around it) changes at once is a change of "
             "light, not motion (1: never)",
             {"type": float, "metavar": "SHARE"}),), DETECT,
        shown_default=f"`{MAX_CHANGE}`", needs=MOTION),
    Option("include", "list | None", None, masks.polygons, None, (
        Flag(("--include",), "look for motion only inside this polygon, in frame "
             "coordinates; repeat for more", {"type": point, "nargs": "+",
                                               "action": "append", "metavar": "X,Y"}),),
        DETECT, shown_default="the whole region", needs=MOTION),
    Option("exclude", "list | None", None, masks.polygons, None, (
        Flag(("--exclude",), "never look for motion inside this polygon (a tree, a road, a "
             "clock overlay); repeat for more", {"type": point, "nargs": "+",
                                                 "action": "append", "metavar": "X,Y"}),),
        DETECT, shown_default="none", needs=MOTION),
    Option("mask", "str | os.PathLike | None", None, masks.mask_file, None, (
        Flag(("--mask",), "image of the frame's size: motion is looked for where it is white, "
             "not where it is black", {"metavar": "IMAGE"}),), DETECT, shown_default="none",
        needs=MOTION),
    Option("detect_scale", "float", 1.0, partial(value_checks.scale, most=1.0), None, (
        Flag(("--detect-scale",), "look for motion on a copy scaled by this (0.5: half the "
             "width and height), with the blur and --min-area scaled to match; frames are "
             "written whole", {"type": float, "metavar": "S"}),), DETECT,
        shown_default="`1`", needs=MOTION),
    Option("detect_every", "int", 1, partial(value_checks.integer, low=1, high=1000), None, (
        Flag(("--detect-every",), "look for motion in every Nth frame only; the frames "
             "between take its decision", {"type": int, "metavar": "N"}),), DETECT,
        shown_default="`1`", needs=MOTION),

    # Motion events.
    Option("before", "float", 0.0, _padding, "before", (
        Flag(("--before",), "with --motion: also keep this much ahead of each event's first "
             "motion", {"type": not_negative, "metavar": "SECONDS"}),), EVENTS,
        shown_default="`0`", needs=MOTION),
    Option("after", "float", 0.0, _padding, "after", (
        Flag(("--after",), "with --motion: also keep this much past each event's last "
             "motion; motion within it continues the event",
             {"type": not_negative, "metavar": "SECONDS"}),), EVENTS,
        shown_default="`0`", needs=MOTION),
    Option("min_event", "float", MIN_EVENT, _padding, "min_event", (
        Flag(("--min-event",), "with --motion: an event starts only once its motion spans "
             "this long (drops flickers of a frame or two; 0 keeps them)",
             {"type": not_negative, "metavar": "SECONDS"}),), EVENTS,
        shown_default=f"`{MIN_EVENT}`", needs=MOTION),
    Option("file_per_event", "bool", False, value_checks.flag, "file_per_event", (
        Flag(("--file-per-event",), "with --motion: each event in its own numbered video "
             "and log", {"action": "store_true"}),), EVENTS, shown_default="off",
        needs=MOTION),
    Option("contact_sheet", "bool", False, value_checks.flag, None, (
        Flag(("--contact-sheet",), "write NAME.events.jpg, a thumbnail per event",
             {"action": "store_true", "default": None}),
        Flag(("--no-contact-sheet",), "no contact sheet",
             {"action": "store_false"}),), EVENTS, shown_default="on with `--motion`",
        command_default=lambda given: given["keep"] == "motion", needs=MOTION),

    # What is told to the outside.
    Option("name", "str | None", None, value_checks.camera_name, None, (
        Flag(("--name",), "what the camera is called in the live view, in the journal's lines "
             "and in VELMAR_CAMERA", {"metavar": "NAME"}),), OUTSIDE, batch=False,
        shown_default="the output's name"),
    Option("on_event", "str | list[str] | Callable[[Event], None] | None", None, value_checks.command,
           None, (
               Flag(("--on-event",), "run this command as each event ends, without a shell "
                    "(write sh -c '...' for one), with VELMAR_CAMERA, VELMAR_EVENT, "
                    "VELMAR_START, VELMAR_SECONDS, VELMAR_VIDEO and VELMAR_THUMBNAIL set",
                    {"metavar": "'CMD ARGS...'"}),), OUTSIDE, batch=False,
           shown_default="none", needs=MOTION),
    Option("on_event_timeout", "float", ON_EVENT_TIMEOUT, partial(value_checks.seconds, most=86400),
           None, (
               Flag(("--on-event-timeout",), "kill an event's command that takes longer "
                    "than this", {"type": positive, "metavar": "SECONDS"}),), OUTSIDE,
           batch=False, shown_default=f"`{ON_EVENT_TIMEOUT:g}`", needs=MOTION),
    Option("observer", "Observer | None", None, value_checks.observer, None, batch=False),

    # The frames' times.
    Option("timestamps", "str", "auto", _time_mode, None, (
        Flag(("--timestamps",), "how frame times are worked out: pts, rate, clock or auto "
             "(see the CSV log)", {"choices": TIME_MODES, "metavar": "MODE"}),), TIMES,
        shown_default="`auto`"),
    Option("start", "datetime | None", None, value_checks.start_time, None, (
        Flag(("--start",), "start time of a file's frames, 2026-12-08T06:00:00",
             {"type": date_time, "metavar": "DATETIME"}),), TIMES,
        shown_default="the file's modification time"),
    Option("utc_offset", "bool", False, value_checks.flag, "utc_offset", (
        Flag(("--utc-offset",), "write times with the local UTC offset",
             {"action": "store_true"}),), TIMES, shown_default="off"),

    # The timestamp drawn on kept frames.
    Option("stamp", "bool", False, value_checks.flag, "timestamp", (
        Flag(("--timestamp",), "draw date and time on kept frames",
             {"action": "store_true"}),), STAMP, shown_default="off"),
    Option("box_color", "tuple[int, int, int]", (0, 0, 0),
           partial(value_checks.integers, count=3, high=255),
           lambda value, _: {"tb": _int32s(value)}, (
               Flag(("--box-color",), "colour of the box behind the text",
                    {"type": colour, "metavar": "B,G,R"}),), STAMP, shown_default="`0,0,0`"),
    Option("text_color", "tuple[int, int, int]", (255, 255, 255),
           partial(value_checks.integers, count=3, high=255),
           lambda value, _: {"tc": _int32s(value)}, (
               Flag(("--text-color",), "colour of the text",
                    {"type": colour, "metavar": "B,G,R"}),), STAMP,
           shown_default="`255,255,255`"),
    Option("stamp_position", "tuple[int, int]", (10, 20),
           partial(value_checks.integers, count=2, low=-value_checks.INT32_MAX),
           lambda value, _: {"tx": value[0], "ty": value[1]}, (
               Flag(("--text-pos",), "text origin, on its baseline",
                    {"type": int, "nargs": 2, "metavar": ("X", "Y")}, convert=tuple),), STAMP,
           shown_default="`10 20`"),
    Option("stamp_scale", "float", 0.5, partial(value_checks.scale, most=MAX_STAMP_SCALE), "fs", (
        Flag(("--font-scale",), "text size, at most 10", {"type": float, "metavar": "S"}),),
        STAMP, shown_default="`0.5`"),

    # Windows and reporting.
    Option("preview", "bool", False, value_checks.window, "interactive", (
        Flag(("--preview",), "show kept frames; q or Esc stops",
             {"action": "store_true", "default": None}),
        Flag(("--no-preview",), "record without a window", {"action": "store_false"}),),
        PREVIEW, batch=False, shown_default="on where a display is", command_default=_display),
    Option("read_ahead", "bool", True, value_checks.flag, None),
    Option("progress", "Callable[[Progress], None] | None", None, value_checks.callback, None,
           batch=False),
    Option("verbose", "bool", False, value_checks.flag, "verbose", batch=False),
)

WHERE = "where to run"


def _extension(name: str, value: Any) -> str:
    if not isinstance(value, str) or not re.fullmatch(r"\.[A-Za-z0-9]+", value):
        raise value_checks.OptionValueError(name, f"must be a dot and letters or digits, as '.avi', "
                                            f"not {value!r}")
    return value


# `velmar batch`'s own options, beside the recording options it takes.
BATCH_OPTIONS: tuple[Option, ...] = (
    Option("inputs", "Inputs", REQUIRED, None, None, (
        Flag(("inputs",), "video file, folder (searched for video files) or glob pattern "
             "('card/**/*.mp4')", {"nargs": "+", "metavar": "INPUT"}),), IO),
    Option("output_dir", "str | os.PathLike", REQUIRED, None, None, (
        Flag(("--output-dir",), "where the folders and index.csv go; each input is recorded "
             "into DIR/<its name>/, same names get -2, -3, ...",
             {"required": True, "metavar": "DIR"}),), IO, shown_default="required"),
    Option("recursive", "bool", False, value_checks.flag, None, (
        Flag(("-r", "--recursive"), "search folders with their subfolders",
             {"action": "store_true"}),), IO, shown_default="off"),
    Option("extension", "str", ".mp4", _extension, None, (
        Flag(("--extension",), "of the output videos, such as .avi for --codec mjpg",
             {"metavar": "EXT"}),), IO, shown_default="`.mp4`"),
    Option("jobs", "int | None", None, partial(value_checks.integer, low=1), None, (
        Flag(("-j", "--jobs"), "inputs at a time, each in a worker process with one OpenCV "
             "thread", {"type": at_least_one, "metavar": "N"}),), WHERE,
        shown_default="the number of cores"),
    Option("cluster", "str | None", None, None, None, (
        Flag(("--cluster",), "run on a Dask scheduler, e.g. tcp://10.0.0.5:8786; needs "
             "velmar[cluster] here, velmar on the workers and the files on storage they "
             "share", {"metavar": "ADDRESS"}),), WHERE, shown_default="local processes"),
)

def _password_from_environment(_given: Mapping[str, Any]) -> str | None:
    return os.environ.get("VELMAR_HTTP_PASSWORD") or None


# The live view's options: of `velmar`, of `velmar run` and of its file.
LIVE_VIEW_OPTIONS: tuple[Option, ...] = (
    Option("http", "str | None", None, value_checks.address, None, (
        Flag(("--http",), "serve the live view at this address: a page of the cameras with "
             "their pictures, states and events, and /status.json; a PORT alone is on loopback; "
             "an address other than loopback needs --http-password",
             {"metavar": "HOST:PORT"}),), OUTSIDE,
        shown_default="off"),
    Option("http_password", "str | None", None, value_checks.password, None, (
        Flag(("--http-password",), "password of the live view, asked of every request "
             "(HTTP basic authentication, any user name)", {"metavar": "PASSWORD"}),),
        OUTSIDE, shown_default="$VELMAR_HTTP_PASSWORD",
        command_default=_password_from_environment),
)


def check_live_view(given: Mapping[str, Any]) -> tuple[tuple[str, int] | None, str | None]:
    """The live view's address and password, checked; only loopback is
    served without a password."""
    checked = {option.name: option.checked(given.get(option.name))
               for option in LIVE_VIEW_OPTIONS}
    address, password = checked["http"], checked["http_password"]
    if address is not None and password is None and not value_checks.is_loopback(address[0]):
        raise value_checks.OptionValueError("http_password", f"is needed to serve the live view on "
                                                       f"{address[0]}, which is not loopback")
    return address, password


# `velmar check`'s options.
CHECK_OPTIONS: tuple[Option, ...] = (
    Option("paths", "Iterable[str | os.PathLike]", REQUIRED, None, None, (
        Flag(("paths",), "video, its log (NAME.csv) or folder (searched with its subfolders "
             "for logs)", {"nargs": "+", "metavar": "PATH"}),)),
    Option("repair", "bool", False, value_checks.flag, None, (
        Flag(("--repair",), "make each log agree with its video: drop rows of lost frames, "
             "cut the video back to its logged frames, restore a header, drop a cut-off "
             "row, give the events log the events its videos hold; pairs that agree are "
             "not touched", {"action": "store_true"}),),
        shown_default="off"),
    Option("quiet", "bool", False, None, None, (
        Flag(("-q", "--quiet"), "print only the files with a problem, and errors",
             {"action": "store_true"}),), shown_default="off"),
)

BY_NAME: dict[str, Option] = {option.name: option for option in OPTIONS}
BATCH_BY_NAME: dict[str, Option] = {option.name: option for option in BATCH_OPTIONS}
LIVE_VIEW_BY_NAME: dict[str, Option] = {option.name: option for option in LIVE_VIEW_OPTIONS}
IN_BATCH: tuple[str, ...] = tuple(o.name for o in OPTIONS if o.batch)
COMMAND: tuple[Option, ...] = tuple(o for o in OPTIONS if o.flags)


def label(name: str) -> str:
    """How the commands name the option called `name`: by its flag."""
    option = BY_NAME.get(name) or BATCH_BY_NAME.get(name) or LIVE_VIEW_BY_NAME.get(name)
    return name if option is None else option.label


# The options whose names cannot be mistaken for words of a message, as
# record() writes them: a word alone, not part of a path or a file name.
_NAMES_IN_TEXT = re.compile(r"(?<![\w/.-])(%s)(?![\w/-]|\.\w)" % "|".join(
    name for table in (BY_NAME, BATCH_BY_NAME, LIVE_VIEW_BY_NAME)
    for name, option in table.items() if "_" in name and option.flags))


def in_flags(text: str) -> str:
    """A message of record()'s as the commands say it: what it says of
    `min_free` they say of `--min-free`."""
    return _NAMES_IN_TEXT.sub(lambda found: label(found.group()), text)


def check_all(given: Mapping[str, Any]) -> dict[str, Any]:
    """Every value checked, in the table's order, then what holds between
    them; the options checked against the disk are passed on as they are."""
    unknown = set(given) - BY_NAME.keys()
    if unknown:
        raise TypeError(f"unknown option {sorted(unknown)[0]!r}")
    checked = {option.name: option.checked(given[option.name]) for option in OPTIONS}
    for option in OPTIONS:
        _check_needs(option, checked)
    _check_kernel_fits(checked)
    return checked


def _check_needs(option: Option, checked: Mapping[str, Any]) -> None:
    value = checked[option.name]
    if option.needs is None or not value or value == option.default:
        return
    other, wanted = option.needs
    if checked[other] != wanted:
        raise value_checks.OptionValueError(option.name, f"applies to {other}={wanted!r}, "
                                                    f"not {other}={checked[other]!r}")


def _check_kernel_fits(checked: Mapping[str, Any]) -> None:
    """A motion check's blur must fit in its region; a whole frame's is
    checked by the engine once the first frame tells its size."""
    area, width = checked["region"], checked["kernel_width"]
    if checked["keep"] != "motion" or area is None:
        return
    side = min(area[2], area[3])
    if width > side:
        raise value_checks.OptionValueError("kernel_width", f"must be at most the region's smaller "
                                                      f"side ({side}), got {width!r}")


def engine_fields(checked: Mapping[str, Any]) -> dict[str, Any]:
    """The engine's options of the checked values that map onto its fields."""
    fields: dict[str, Any] = {}
    for option in OPTIONS:
        fields.update(option.engine_fields(checked[option.name], checked))
    return fields


def defaults(names=None) -> dict[str, Any]:
    """record()'s defaults of the options called `names` (default: all that have one)."""
    chosen = OPTIONS if names is None else [BY_NAME[name] for name in names]
    return {o.name: o.default for o in chosen if o.default is not REQUIRED}
