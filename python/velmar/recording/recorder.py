"""`velmar.record()`: one recording with keyword options, a result and an
orderly end on every signal, run by the same native engine as `vcapture`."""

from __future__ import annotations

import os
import time
from collections.abc import Callable
from datetime import datetime
from pathlib import Path

from velmar import _engine, options
from velmar.detection import masks
from velmar.detection.detector import Detector
from velmar.recording import outputs, sources
from velmar.recording.event_commands import EventCommand
from velmar.recording.events import Event, EventLog
from velmar.recording.live_source import LiveSource, Policy
from velmar.recording.opening import live_opener, opener
from velmar.recording.outages import OutageLog
from velmar.recording.probe import probe
from velmar.recording.reports import Reports
from velmar.recording.results import Observer, OutputFile, Progress, Recording, SourceError
from velmar.recording.retention import Retention
from velmar.recording.segments import SegmentClock
from velmar.recording.signals import noted_signals
from velmar.recording.disk import DiskGuard
from velmar.recording.writers import Codec, Writers, check_codec, check_size

def record(
    source: int | str | os.PathLike,
    output: str | os.PathLike = "capture.mp4",
    *,
    codec: str | None = None,
    quality: int | None = None,
    speed: str | int | None = None,
    duration: float | None = None,
    frames_per_file: int | None = None,
    segment: float | str | None = None,
    region: tuple[int, int, int, int] | None = None,
    min_free: int | str | None = None,
    keep_for: float | str | None = None,
    max_size: int | str | None = None,
    camera_fps: float | None = None,
    camera_size: tuple[int, int] | None = None,
    camera_settings: bool = False,
    reconnect: bool = True,
    give_up: float | None = None,
    stall_timeout: float = 10.0,
    rtsp_transport: str = "tcp",
    keep: str = "all",
    interval: float = 1.0,
    threshold: int = 25,
    min_area: int = 500,
    kernel_width: int = 21,
    show_diff: bool = False,
    detector: str = "diff",
    history: int = 500,
    light_guard: bool = True,
    max_change: float = 0.5,
    include: list | None = None,
    exclude: list | None = None,
    mask: str | os.PathLike | None = None,
    detect_scale: float = 1.0,
    detect_every: int = 1,
    before: float = 0.0,
    after: float = 0.0,
    min_event: float = 0.25,
    file_per_event: bool = False,
    contact_sheet: bool = False,
    name: str | None = None,
    on_event: str | list[str] | Callable[[Event], None] | None = None,
    on_event_timeout: float = 30.0,
    observer: Observer | None = None,
    timestamps: str = "auto",
    start: datetime | None = None,
    utc_offset: bool = False,
    stamp: bool = False,
    box_color: tuple[int, int, int] = (0, 0, 0),
    text_color: tuple[int, int, int] = (255, 255, 255),
    stamp_position: tuple[int, int] = (10, 20),
    stamp_scale: float = 0.5,
    preview: bool = False,
    read_ahead: bool = True,
    progress: Callable[[Progress], None] | None = None,
    verbose: bool = False,
) -> Recording:
    """Record `source` into `output` and its frame log `output + ".csv"`.

    `source` is a camera index (0 or more), a video file, a device path
    (/dev/video0), a stream URL (rtsp://, http://, https://) or an image
    sequence pattern (img_%04d.png).

    codec: "h264" (the default for .mp4, .mkv and .mov), "h265" or "av1",
    written through PyAV into .mp4, .mkv or .mov in fragments that survive
    a crash, with `quality` the encoder's constant-quality value (CRF; lower
    is better) and `speed` its preset; or "mjpg" (the default for .avi),
    "mp4v", "ffv1" or any four-character code, written through OpenCV.
    Sizes a codec cannot take (odd ones for 4:2:0) lose their last column or
    row; `OutputFile.size` and the result's `notes` say so.

    `duration` stops after that many seconds; `frames_per_file` puts exactly
    that many kept frames in each numbered file; `segment` ("15min", "1h",
    "1d" or seconds) starts a new file at each boundary of the local clock.
    strftime fields in `output` ("garden/%Y-%m-%d/%H-%M-%S.mp4") take each
    file's first frame's time, and its folders are made as needed. `region` is (x, y, width,
    height), default the whole frame. Below `min_free` bytes free on the
    output's disk ("2G"; default 200 MB or 1 % of the disk, the larger), and
    when it is full, the recording ends in order with stop "disk_full", every
    file whole and in agreement with its log. With `keep_for` ("14d") or
    `max_size` ("50G"), the oldest recordings of this output (its videos
    with a log, and their events files) are deleted after each finished
    file until both hold, and first when the disk gets below `min_free`;
    the result's `deleted` lists them. The file being written and the latest
    one finished are never deleted (a note says when they alone break
    `max_size`), and the result's `files` are those still there. A camera is asked for
    `camera_fps`, `camera_size` and, with `camera_settings`, its driver's
    settings dialog.

    A live source (a camera, a device, a stream) that fails, ends or gives
    no frame for `stall_timeout` seconds (at least three frame intervals) is
    an outage: the open file is closed whole and, with `reconnect`, the
    source is tried again at once, then every 0.25 seconds through the
    outage's first five minutes and up to every 5 seconds after that, until it
    gives frames and the recording goes on into a new file, or it has been
    away `give_up` seconds (stop "source_lost"). A source that does not open
    at the start is retried so only with `give_up`. Each outage is a row of
    `NAME.outages.csv` beside the first video and of the result's `outages`.
    RTSP streams travel by `rtsp_transport` ("tcp" or "udp").

    keep: "all" frames, frames with "motion", or one frame per `interval`
    seconds: the frame nearest the start and each interval after it, on the
    frames' times, so that a time-lapse never drifts. The motion check: `threshold` (grey-level change of a pixel),
    `min_area` (pixels a changed region must exceed), `kernel_width` (odd blur
    width); `show_diff` shows its diagnostic windows.

    `detector` "diff" compares each frame with a background that follows
    the still scene over about `history` frames (without `light_guard`,
    with the last frame that showed motion); "mog2"
    and "knn" are OpenCV's background models, remembering `history` frames
    (`threshold` is knn's distance; mog2 keeps its own). With `light_guard`,
    changes of light, measured on the region and a margin around it, are
    taken out before frames are compared, and a frame in which more than
    `max_change` of the picture's parts there change at once is a change of
    light that the reference takes, not motion; without it, diff is the
    engine's own check. Motion is looked for only inside
    the `include` polygons (lists of (x, y) points in frame coordinates;
    default everywhere), never inside the `exclude` ones, and only where the
    `mask` image (the frame's size) is white. The check runs on a copy scaled
    by `detect_scale` (0.5 halves width and height; the blur and `min_area`
    are scaled to match) and on every `detect_every`th frame, the frames
    between taking its decision; frames are written whole.

    Motion comes in events. Also written are the frames from up to `before`
    seconds ahead of an event's first motion frame and up to `after` seconds
    past its last; motion within `after` seconds continues the event; an
    event starts only once its motion spans `min_event` seconds (0.25 by
    default, which drops flickers of a frame or two; 0 keeps them). Seconds
    are measured on the frames' times. Each event is a row of
    `NAME.events.csv` beside the first video and of the result's `events`;
    `file_per_event` gives each its own numbered video and log;
    `contact_sheet` writes `NAME.events.jpg`, a thumbnail per event.

    `on_event` is told of each event as it ends: a Python function is called
    with its `Event`; a command (a list of words, or a str split into words
    as a shell would) is run without a shell and in a session of its own,
    with the event in its environment (VELMAR_CAMERA: `name`, by default the
    output's; VELMAR_EVENT, VELMAR_START, VELMAR_SECONDS, VELMAR_VIDEO,
    VELMAR_THUMBNAIL). It never holds the recording up: after
    `on_event_timeout` seconds it is killed, and its failures are reported
    on standard error. The recording waits for commands still running at its
    end. `observer` (as the live view's) is shown each kept frame once it is
    written, `observer.frame(image)`, and each event, `observer.event(event)`,
    on the recording's thread: both must return at once. With either, each
    event's picture is written beside the events log (`NAME.events.001.jpg`)
    and is its `thumbnail`, unless the observer's `thumbnails` is False.

    timestamps: how each frame's time is worked out. "pts": the start time
    plus the frame's presentation time, counted from the first frame; "rate":
    the start time plus frame number / the exact rate; "clock": the wall-clock
    time of the read; "auto" (default): "pts" for files and image sequences,
    "clock" for live sources. `start` is the start time of a file's frames
    (default: the file's modification time). Times have six digits of
    microseconds, and the local UTC offset with `utc_offset`. Files are
    written at their exact rate (the average rate for variable-rate files);
    the result's `rate` says which.

    `stamp` draws date and time on kept frames, in a `box_color` box with
    `text_color` text (B, G, R) at `stamp_position`, `stamp_scale` in size.
    `preview` shows kept frames; q or Esc stops. `read_ahead` decodes the
    next frames on a second thread while the current one is checked and
    written. `progress` is called with a `Progress` at most about 10 times a
    second, and once at the end.

    Names never overwrite: a taken name gets the next free number. SIGINT,
    SIGTERM and SIGHUP end the recording in order (the result's `stop` says
    which); every other failure raises after every file is closed.
    """
    started, clock = datetime.now(), time.monotonic()
    settings = {name: value for name, value in locals().items() if name not in ("started", "clock")}
    # Signals are noted from the start: one that comes while the options are
    # checked or the source is probed ends the recording before its first frame.
    with noted_signals() as received, outputs.libraries_quiet(settings["verbose"]):
        checked = options.check_all(settings)
        engine, probed_count, codec = engine_options(checked)
        with DiskGuard(outputs.output_folder(engine["output"]), checked["min_free"],
                       received) as guard:
            spacing = checked["interval"] if checked["keep"] == "interval" else None
            writers = Writers(codec, guard, spacing, sealing=checked["keep"] != "all",
                              retention=_retention(checked, engine, verbose))
            guard.make_room = writers.make_room
            guard.check()  # a disk too full to start on ends the recording before it opens
            command = _event_command(checked, engine)
            # A live event is put in the file as it ends, at the cost of a
            # keyframe: a file's next event comes soon, its job can run again.
            events = EventLog(checked["contact_sheet"], *_listeners(checked, command),
                              **({"seal": writers.seal} if engine["live"] else {}))
            if observer is not None:
                writers.shown = observer.frame
            outages = OutageLog(lambda: writers.first_path or engine["namer"](0, started),
                                checked["utc_offset"])
            if writers.retention is not None:
                writers.retention.held = lambda: (writers.latest_path, events.path,
                                                  outages.path)
            reports = None if progress is None else Reports(progress, clock, probed_count,
                                                            lambda: len(outages.outages))
            live = _live_source(checked, engine, received, outages, reports)
            engine.update(stop=received, progress=None if reports is None else reports.engine,
                          writer=writers, log_opener=writers.open_log,
                          on_event=events if engine["events"] else None, **_reading(
                              live, checked, received))
            try:
                ran = _engine.run(engine)
            finally:
                if live is not None:
                    live.release()
                outages_log = outages.close()
                sheets = events.close()
                if command is not None:
                    command.close()
    if ran.stop == "not_opened" or (live is not None and not live.opened and ran.stop == "end"):
        raise SourceError(sources.not_opened(engine["input_"]))
    # A full disk keeps a compact video's last frames out: its file tells.
    files = [OutputFile(Path(f.video), Path(f.log), writers.frames_in_file.get(f.video, f.frames),
                        writers.sizes.get(f.video)) for f in ran.files]
    lost = sum(f.frames for f in ran.files) - sum(f.frames for f in files)
    retention = writers.retention
    declared = ran.frame_count  # the container's header; the probe counts what is there
    if not engine["live"] and ran.stop == "end" and 0 < ran.frames_read < declared:
        writers.notes.append(f"the input ended after {ran.frames_read} of its {declared} frames "
                             f"(truncated or damaged)")
    result = Recording(
        frames_read=ran.frames_read, frames_kept=ran.frames_kept - lost,
        files=[f for f in files if f.video.exists()],  # retention may have deleted some
        stop=ran.stop, problem=guard.problem, started=started,
        elapsed=time.monotonic() - clock, rate=ran.rate,
        notes=writers.notes + ([] if retention is None else retention.notes),
        events=events.events,
        events_log=None if events.path is None else Path(events.path),
        contact_sheets=[Path(name) for name in sheets],
        deleted=[] if retention is None else retention.deleted,
        outages=outages.outages, outages_log=outages_log)
    if reports is not None:
        reports.last(ran.frames_read, ran.frames_kept, ran.frame_count, ran.position,
                     result.elapsed)
    return result


def check_options(source: int | str | os.PathLike, output: str | os.PathLike = "capture.mp4",
                  **given) -> None:
    """Checks `record(source, output, **given)`'s options as record() does,
    with nothing opened but a probe of the source and files of its own."""
    engine_options(options.check_all({**options.defaults(), **given, "source": source,
                                      "output": output}))


def engine_options(checked: dict) -> tuple[dict, int | None, Codec]:
    """The engine's options of checked values, the frame count of a file
    when its own timing tells it, and the codec. The source,
    the output and the codec are checked here, last, as they touch the disk."""
    engine = options.engine_fields(checked)
    found = sources.source(checked["source"])
    path = outputs.output_path(checked["output"])
    timing = None if found.live else probe(found.value, found.sequence)
    timestamps = checked["timestamps"]
    if timestamps == "auto":
        timestamps = "clock" if found.live else "pts"
    codec = check_codec(checked["codec"], checked["quality"], checked["speed"], path)
    if checked["region"] is not None:
        check_size(codec, checked["region"][2:], "the region's width and height")
    numbered = any(checked[name] for name in ("frames_per_file", "file_per_event", "segment"))
    engine["detector"] = _detector(checked, timing.size if timing else None)
    engine.update(
        input_=found.value, live=found.live, start=checked["start"] or found.start,
        output=path, timestamps=timestamps, rate=timing.rate if timing else 0.0,
        fmt=codec.name, namer=outputs.namer(path, numbered=numbered),
        segmenter=None if checked["segment"] is None else SegmentClock(checked["segment"]))
    return engine, timing.frames if timing else None, codec


def _detector(checked: dict, frame_size: tuple[int, int] | None) -> Detector | None:
    """A motion recording's detector; its masks are checked against a file's
    frame size here, and against a live source's at its first frame."""
    if checked["keep"] != "motion":
        return None
    if frame_size is not None:
        masks.check_fits(checked, frame_size)
    return Detector(checked, frame_size)


def _event_command(checked: dict, engine: dict) -> EventCommand | None:
    if not isinstance(checked["on_event"], list):
        return None
    return EventCommand(checked["on_event"], checked["on_event_timeout"],
                        checked["name"] or outputs.default_name(engine["output"]))


def _listeners(checked: dict, command: EventCommand | None) -> tuple[list[Callable], bool]:
    """Those told of each event as it ends, the observer first, and whether
    they want its picture: all do but an observer that says it does not."""
    observer, told = checked["observer"], []
    if observer is not None:
        told.append(observer.event)
    if command is not None:
        told.append(command)
    elif checked["on_event"] is not None:
        told.append(checked["on_event"])
    wanted = checked["on_event"] is not None or (
        observer is not None and getattr(observer, "thumbnails", True))
    return told, wanted


def _retention(checked: dict, engine: dict, verbose: bool) -> Retention | None:
    if checked["keep_for"] is None and checked["max_size"] is None:
        return None
    return Retention(engine["output"], keep_for=checked["keep_for"],
                     max_size=checked["max_size"],
                     report=lambda line: print(f"velmar: {line}") if verbose else None)


def _live_source(checked: dict, engine: dict, stop: list, outages: OutageLog,
                 reports: Reports | None) -> LiveSource | None:
    if not engine["live"]:
        return None
    policy = Policy(checked["reconnect"], checked["give_up"], checked["stall_timeout"],
                    checked["read_ahead"])
    # The engine's cv2, so that whatever stands in for it opens the source too.
    open_capture = live_opener(_engine.cv2, engine["input_"], checked["stall_timeout"],
                               checked["rtsp_transport"])
    return LiveSource(open_capture, policy, stop, outages,
                      on_attempt=(lambda number: None) if reports is None else reports.attempt)


def _reading(live: LiveSource | None, checked: dict, stop: list) -> dict:
    """The engine's hooks that open and reopen the source."""
    if live is None:
        return {"opener": opener(_engine.cv2, checked["read_ahead"], stop,
                                 pictures=checked["keep"] == "motion"), "reconnect": None}
    return {"opener": lambda _value: live.open(),
            "reconnect": live.reconnect if checked["reconnect"] else None}
