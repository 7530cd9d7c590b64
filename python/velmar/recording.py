"""`velmar.record()`: one recording with keyword options, a result and an
orderly end on every signal, run by the same native engine as `vcapture`."""

from __future__ import annotations

import os
import time
from collections.abc import Callable
from datetime import datetime
from pathlib import Path

import numpy as np

from velmar import _engine, checks, outputs, sources
from velmar.events import EventLog
from velmar.probe import probe
from velmar.opening import opener
from velmar.writers import Writers, check_codec
from velmar.results import OutputFile, Progress, Recording, SourceError
from velmar.signals import noted_signals

Color = tuple[int, int, int]
TIME_CHOICES = ("auto", "pts", "rate", "clock")


def record(
    source: int | str | os.PathLike,
    output: str | os.PathLike = "capture.mp4",
    *,
    keep: str = "all",
    interval: float = 1.0,
    threshold: int = 25,
    min_area: int = 500,
    kernel_width: int = 21,
    before: float = 0.0,
    after: float = 0.0,
    min_event: float = 0.0,
    file_per_event: bool = False,
    contact_sheet: bool = False,
    region: tuple[int, int, int, int] | None = None,
    duration: float | None = None,
    frames_per_file: int | None = None,
    codec: str = "h264",
    quality: int | None = None,
    speed: str | int | None = None,
    stamp: bool = False,
    stamp_position: tuple[int, int] = (10, 20),
    stamp_scale: float = 0.5,
    box_color: Color = (0, 0, 0),
    text_color: Color = (255, 255, 255),
    preview: bool = False,
    show_diff: bool = False,
    camera_size: tuple[int, int] | None = None,
    camera_fps: float | None = None,
    camera_settings: bool = False,
    timestamps: str = "auto",
    start: datetime | None = None,
    utc_offset: bool = False,
    read_ahead: bool = True,
    progress: Callable[[Progress], None] | None = None,
    verbose: bool = False,
) -> Recording:
    """Record `source` into `output` and its frame log `output + ".csv"`.

    `source` is a camera index (0 or more), a video file, a device path
    (/dev/video0), a stream URL (rtsp://, http://, https://) or an image
    sequence pattern (img_%04d.png).

    timestamps: how each frame's time is worked out. "pts": the start time
    plus the frame's presentation time, counted from the first frame; "rate":
    the start time plus frame number / the exact rate; "clock": the wall-clock
    time of the read; "auto" (default): "pts" for files and image sequences,
    "clock" for live sources. `start` is the start time of a file's frames
    (default: the file's modification time). Times have six digits of
    microseconds, and the local UTC offset with `utc_offset`. Files are
    written at their exact rate (the average rate for variable-rate files);
    the result's `rate` says which.

    keep: "all" frames, frames with "motion", or one frame per `interval`
    seconds. The motion check: `threshold` (grey-level change of a pixel),
    `min_area` (pixels a changed region must exceed), `kernel_width` (odd blur
    width).

    Motion comes in events. Also written are the frames from up to `before`
    seconds ahead of an event's first motion frame and up to `after` seconds
    past its last; motion within `after` seconds continues the event; an
    event starts only once its motion spans `min_event` seconds (which drops
    one-frame flickers). Seconds are measured on the frames' times. Each
    event is a row of `NAME.events.csv` beside the first video and of the
    result's `events`; `file_per_event` gives each its own numbered video and
    log; `contact_sheet` writes `NAME.events.jpg`, a thumbnail per event.

    `region` is (x, y, width, height), default the whole frame.
    `duration` stops after that many seconds; `frames_per_file` puts exactly
    that many kept frames in each numbered file. `stamp` draws date and time
    on kept frames. `preview` shows them; q or Esc stops. `progress` is called
    with a `Progress` at most about 10 times a second, and once at the end.

    codec: "h264" (default), "h265" or "av1", written through PyAV into .mp4,
    .mkv or .mov, with `quality` the encoder's constant-quality value (CRF;
    lower is better) and `speed` its preset; or "mjpg", "mp4v", "ffv1" or any
    four-character code, written through OpenCV. Sizes a codec cannot take
    (odd ones for 4:2:0) lose their last column or row; `OutputFile.size` and
    the result's `notes` say so. `read_ahead` decodes the next frames on a
    second thread while the current one is checked and written.

    Names never overwrite: a taken name gets the next free number. SIGINT,
    SIGTERM and SIGHUP end the recording in order (the result's `stop` says
    which); every other failure raises after every file is closed.
    """
    started, clock = datetime.now(), time.monotonic()
    settings = {name: value for name, value in locals().items() if name not in ("started", "clock")}
    # Signals are noted from the start: one that comes while the options are
    # checked or the source is probed ends the recording before its first frame.
    with noted_signals() as received:
        options, frame_count = _engine_options(**settings)
        writers = Writers(options.pop("codec"))
        events = EventLog(options.pop("contact_sheet"))
        # The engine's cv2, so that whatever stands in for it opens the source too.
        reading = opener(_engine.cv2, options["live"], options.pop("read_ahead"), received)
        options.update(stop=received, progress=_progress_reporter(progress, clock, frame_count),
                       writer=writers, opener=reading,
                       on_event=events if options["events"] else None)
        try:
            run = _engine.run(options)
        finally:
            sheets = events.close()
    read, kept, count, position = run.frames_read, run.frames_kept, run.frame_count, run.position
    if run.stop == "not_opened":
        raise SourceError(f"cannot open source {options['input_']!r}")
    result = Recording(
        frames_read=read, frames_kept=kept,
        files=[OutputFile(Path(file.video), Path(file.log), file.frames,
                          writers.sizes.get(file.video)) for file in run.files],
        stop=run.stop, started=started, elapsed=time.monotonic() - clock, rate=run.rate,
        notes=writers.notes, events=events.events,
        events_log=None if events.path is None else Path(events.path),
        contact_sheets=[Path(name) for name in sheets])
    if progress is not None:
        count = frame_count or count
        progress(Progress(read, kept, count if count and count > 0 else None, result.elapsed,
                          position))
    return result


def _progress_reporter(progress, clock, frame_count):
    if progress is None:
        return None

    def report(read, kept, count, position):
        count = frame_count or count
        progress(Progress(read, kept, count if count > 0 else None,
                          time.monotonic() - clock, position))
    return report


def _event_options(keep, before, after, min_event, file_per_event, contact_sheet):
    options = {name: checks.seconds(name, value, allow_zero=True, most=3600)
               for name, value in (("before", before), ("after", after), ("min_event", min_event))}
    options.update(file_per_event=checks.flag("file_per_event", file_per_event),
                   contact_sheet=checks.flag("contact_sheet", contact_sheet),
                   events=keep == "motion")
    for name, value in options.items():
        if value and keep != "motion" and name != "events":
            raise ValueError(f"{name} applies to keep='motion', not keep={keep!r}")
    return options


def _colour(name, value):
    return np.array(checks.integers(name, value, 3, 0, 255), dtype=np.int32)


def _engine_options(*, source, output, keep, interval, threshold, min_area, kernel_width,
                    before, after, min_event, file_per_event, contact_sheet,
                    region, duration, frames_per_file, codec, quality, speed, stamp,
                    stamp_position, stamp_scale, box_color, text_color, preview, show_diff,
                    camera_size, camera_fps, camera_settings, timestamps, start, utc_offset,
                    read_ahead, progress, verbose):
    """The engine's options, every value checked, and the frame count of a
    file when its own timing tells it; the source and the codec are checked
    last, as they touch the disk."""
    keep = checks.choice("keep", keep, checks.KEEP_MODES)
    area = checks.region(region)
    if frames_per_file is not None:
        checks.integer("frames_per_file", frames_per_file, 1, checks.INT32_MAX - 1)
    preview, show_diff = checks.windows(preview, show_diff)
    checks.callback("progress", progress)
    options = {
        **_keep_options(keep, checks.seconds("interval", interval), threshold, min_area,
                        kernel_width, area),
        **_event_options(keep, before, after, min_event, file_per_event, contact_sheet),
        **_stamp_options(stamp, stamp_position, stamp_scale, box_color, text_color),
        **_camera_options(camera_size, camera_fps, camera_settings),
        "interactive": preview, "show_diff": show_diff,
        "duration": checks.seconds("duration", duration, optional=True) or 0.0,
        "frames_per_file": frames_per_file or 0,
        "verbose": checks.flag("verbose", verbose),
        "utc_offset": checks.flag("utc_offset", utc_offset),
        "read_ahead": checks.flag("read_ahead", read_ahead),
    }
    timestamps = checks.choice("timestamps", timestamps, TIME_CHOICES)
    start = checks.start_time(start)
    found = sources.source(source)
    path = outputs.output_path(output)
    timing = None if found.live else probe(found.value)
    if timestamps == "auto":
        timestamps = "clock" if found.live else "pts"
    options.update(
        input_=found.value, live=found.live, start=start or found.start, output=path,
        timestamps=timestamps, rate=timing.rate if timing else 0.0,
        codec=(chosen := check_codec(codec, quality, speed, path)), fmt=chosen.name,
        namer=outputs.namer(path, numbered=frames_per_file is not None or file_per_event))
    return options, timing.frames if timing else None


def _keep_options(keep, interval, threshold, min_area, kernel_width, area):
    options = {
        "motion_based": keep == "motion",
        "interval": interval if keep == "interval" else 0.0,
        "threshold": checks.integer("threshold", threshold, 0, 255),
        "min_area": checks.integer("min_area", min_area),
        "kernel_width": checks.kernel_width(kernel_width, area if keep == "motion" else None),
        "whole_frame": area is None,
    }
    if area is not None:
        options.update(roi_x=area[0], roi_y=area[1], roi_w=area[2], roi_h=area[3])
    return options


def _stamp_options(stamp, position, scale, box_color, text_color):
    tx, ty = checks.integers("stamp_position", position, 2, -checks.INT32_MAX)
    return {"timestamp": checks.flag("stamp", stamp), "tx": tx, "ty": ty,
            "fs": checks.stamp_scale(scale),
            "tb": _colour("box_color", box_color), "tc": _colour("text_color", text_color)}


def _camera_options(size, fps, settings):
    width, height = (0, 0) if size is None else checks.integers("camera_size", size, 2, 1)
    fps = checks.seconds("camera_fps", fps, optional=True, most=1000, unit="frames per second")
    return {"width": width, "height": height, "fps": 0 if fps is None else max(1, round(fps)),
            "config": checks.flag("camera_settings", settings)}
