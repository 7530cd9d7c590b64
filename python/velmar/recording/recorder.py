"""`velmar.record()`: one recording with keyword options, a result and an
orderly end on every signal, run by the same native engine as `vcapture`."""

from __future__ import annotations

import os
import time
from contextlib import closing
from collections.abc import Callable
from datetime import datetime
from pathlib import Path

from velmar import options
from velmar.options import Disk, Outside, Settings
from velmar.detection import masks
from velmar.recording import outputs, sources
from velmar.recording.copying.choice import chosen_codec
from velmar.recording.copying.copy_recording import run_copy
from velmar.recording.copying.packet_reader import HeldOpening
from velmar.recording.event_commands import EventCommand
from velmar.recording.event_trim import held_events
from velmar.recording.events import Event, EventLog
from velmar.recording.outages import OutageLog
from velmar.recording.probe import probe
from velmar.recording.reports import Reports
from velmar.recording.results import Observer, OutputFile, Progress, Recording, SourceError
from velmar.recording.retention import Retention
from velmar.recording.segments import SegmentClock
from velmar.recording.signals import noted_signals
from velmar.recording.disk import DiskGuard
from velmar.recording.writers import COPY, Codec, Writers, check_codec, check_size

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
    detect_every: int | str = 1,
    detect_source: str | None = None,
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
    """Record `source` into `output` and its frame log `output + ".csv"`;
    every option is listed below, from the option table.

    Compact codecs (h264, h265, av1) are written through PyAV in fragments
    that survive a crash; the others through OpenCV. Sizes a codec cannot
    take (odd ones for 4:2:0) lose their last column or row; the file's
    `size` and the result's `notes` say so. strftime fields in `output`
    take each file's first frame's time, and its folders are made as needed.

    The disk: below `min_free`, and when it is full, the recording ends in
    order with stop "disk_full", every file whole and in agreement with its
    log. Retention deletes whole recordings (videos with their logs and
    events files) after each finished file, and first when the disk gets
    below `min_free`; never the file being written nor the latest one
    finished (a note says when they alone break `max_size`). The result's
    `deleted` lists them and its `files` are those still there.

    A live source that fails, ends or stalls is an outage: the open file is
    closed whole and the source tried again until it gives frames (a new
    file) or `give_up` passes (stop "source_lost"). Each outage is a row of
    `NAME.outages.csv` beside the first video and of the result's `outages`.

    Kept frames: a time-lapse keeps the frame nearest the start and each
    interval after it, on the frames' times, so that it never drifts. With
    "motion", `threshold` is knn's distance and mog2 keeps its own; motion
    comes in events, padded by `before` and `after` seconds of frames, each a
    row of `NAME.events.csv` beside the first video and of the result's
    `events`. A Python `on_event` is called with the `Event`; a command
    (words, or a str split as a shell would) runs without a shell in a
    session of its own, with VELMAR_CAMERA (`name`, by default the output's),
    VELMAR_EVENT, VELMAR_START, VELMAR_SECONDS, VELMAR_VIDEO and
    VELMAR_THUMBNAIL set. It never holds the recording up; its failures are
    reported on standard error, and the recording waits for commands still
    running at its end. With `on_event` or an observer each event's picture
    is written beside the events log (`NAME.events.001.jpg`) and is its
    `thumbnail`, unless the observer's `thumbnails` is False.

    Times: "pts" is the start time plus the frame's presentation time from
    the first frame's; "rate" the start time plus frame number / the exact
    rate; "clock" the wall-clock time of the read; "auto" is "pts" for files
    and image sequences and "clock" for live sources. Times have six digits
    of microseconds. Files are written at their exact rate (the average for
    variable-rate files); the result's `rate` says which.

    Names never overwrite: a taken name gets the next free number. SIGINT,
    SIGTERM and SIGHUP end the recording in order (the result's `stop` says
    which); every other failure raises after every file is closed.

    """
    started, clock = datetime.now(), time.monotonic()
    settings = {name: value for name, value in locals().items() if name not in ("started", "clock")}
    # Signals are noted from the start: one that comes while the options are
    # checked or the source is probed ends the recording before its first frame.
    with noted_signals() as received, outputs.libraries_quiet(settings["verbose"]), \
            closing(HeldOpening(received)) as held:
        checked = options.check_all(settings)
        engine, probed_count, codec = engine_options(checked, held)
        with DiskGuard(outputs.output_folder(engine["output"]), checked.disk.min_free,
                       received) as guard:
            writers = Writers(codec, guard, checked.keeping.spacing,
                              sealing=checked.keeping.keep != "all",
                              retention=_retention(checked.disk, engine["output"], verbose))
            guard.make_room = writers.make_room
            guard.check()  # a disk too full to start on ends the recording before it opens
            command = _event_command(checked.outside, engine["output"])
            # A live event is put in the file as it ends, at the cost of a
            # keyframe: a file's next event comes soon, its job can run again.
            events = EventLog(checked.events.contact_sheet, *_listeners(checked.outside, command),
                              **({"seal": writers.seal} if engine["live"] else {}))
            if observer is not None and getattr(observer, "pictures", True):
                writers.shown = observer.frame
                writers.shown_picture = getattr(observer, "picture", None)
            outages = OutageLog(lambda: writers.first_path or engine["namer"](0, started),
                                checked.times.utc_offset)
            if writers.retention is not None:
                writers.retention.held = lambda: (writers.latest_path, events.path,
                                                  outages.path)
            reports = None if progress is None else Reports(progress, clock, probed_count,
                                                            lambda: len(outages.outages))
            try:
                if codec.name == COPY:
                    ran, never_opened = run_copy(checked, engine, held, writers, received,
                                                 outages, reports, events), False
                else:
                    from velmar.recording.engine_run import run_engine
                    ran, never_opened = run_engine(checked, engine, received, writers, events,
                                                   outages, reports)
                if ran.stop == "disk_full" and events.events:
                    events.hold(held_events(events.events,
                                            [Path(f.log) for f in reversed(ran.files)]))
            finally:
                outages_log = outages.close()
                sheets = events.close()
                if command is not None:
                    command.close()
    if ran.stop == "not_opened" or (never_opened and ran.stop == "end"):
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
        outages=outages.outages, outages_log=outages_log, codec=codec.name)
    if reports is not None:
        reports.last(ran.frames_read, ran.frames_kept, ran.frame_count, ran.position,
                     result.elapsed)
    return result


record.__doc__ += options.docstring_list() + "\n"


def check_options(source: int | str | os.PathLike, output: str | os.PathLike = "capture.mp4",
                  **given) -> None:
    """Checks `record(source, output, **given)`'s options as record() does,
    with nothing opened but a probe of the source and files of its own."""
    engine_options(options.check_all({**options.defaults(), **given, "source": source,
                                      "output": output}), held=None)


def engine_options(checked: Settings,
                   held: HeldOpening | None) -> tuple[dict, int | None, Codec]:
    """The engine's options of checked settings, the frame count of a file
    when its own timing tells it, and the codec. The source,
    the output and the codec are checked here, last, as they touch the disk;
    a stream opened to see whether it can be copied is kept in `held`. With
    no `held`, as when options are only checked, no stream is opened: a
    camera may serve one client at a time."""
    engine = options.engine_fields(checked)
    output = checked.output
    found = sources.source(output.source)
    path = outputs.output_path(output.output)
    timing = None if found.live else probe(found.value, found.sequence)
    timestamps = checked.times.timestamps
    if timestamps == "auto":
        timestamps = "clock" if found.live else "pts"
    codec_name = output.codec
    if codec_name == options.AUTO:
        codec_name = None if held is None else chosen_codec(found, path, checked, held)
    codec = check_codec(codec_name, output.quality, output.speed, path)
    if codec.name != COPY:
        options.check_encoded(checked)
    else:
        options.check_copy(checked)
        if not isinstance(found.value, str):
            raise ValueError("a camera index has no stream to copy: give its device or "
                             "stream, or a codec")
    if output.region is not None:
        check_size(codec, output.region[2:], "the region's width and height")
    numbered = output.numbered or checked.events.file_per_event
    engine["detector"] = _detector(checked, timing.size if timing else None)
    engine.update(
        input_=found.value, live=found.live, start=checked.times.start or found.start,
        output=path, timestamps=timestamps, rate=timing.rate if timing else 0.0,
        fmt=codec.name, namer=outputs.namer(path, numbered=numbered),
        segmenter=None if output.segment is None else SegmentClock(output.segment))
    return engine, timing.frames if timing else None, codec


def _detector(checked: Settings, frame_size: tuple[int, int] | None):
    """A motion recording's detector; its masks are checked against a file's
    frame size here, and against a live source's at its first frame."""
    if not checked.keeping.by_motion:
        return None
    from velmar.detection.detector import Detector  # OpenCV and NumPy, only for motion
    if frame_size is not None:
        masks.check_fits(checked.motion, frame_size)
    return Detector(checked.motion, checked.output.region, frame_size)


def _event_command(outside: Outside, output: str) -> EventCommand | None:
    if not isinstance(outside.on_event, list):
        return None
    return EventCommand(outside.on_event, outside.on_event_timeout,
                        outside.name or outputs.default_name(output))


def _listeners(outside: Outside, command: EventCommand | None) -> tuple[list[Callable], bool]:
    """Those told of each event as it ends, the observer first, and whether
    they want its picture: all do but an observer that says it does not."""
    observer, told = outside.observer, []
    if observer is not None:
        told.append(observer.event)
    if command is not None:
        told.append(command)
    elif outside.on_event is not None:
        told.append(outside.on_event)
    wanted = outside.on_event is not None or (
        observer is not None and getattr(observer, "thumbnails", True))
    return told, wanted


def _retention(disk: Disk, output: str, verbose: bool) -> Retention | None:
    if not disk.retained:
        return None
    return Retention(output, keep_for=disk.keep_for, max_size=disk.max_size,
                     report=lambda line: print(f"velmar: {line}") if verbose else None)
