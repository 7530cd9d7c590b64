"""Output names and the codec check: a recording never overwrites a file,
and a codec that cannot write is refused before the source is opened."""

from __future__ import annotations

import os
import tempfile
from collections.abc import Callable
from contextlib import contextmanager
from datetime import datetime
from typing import Any


from velmar import value_checks
from velmar.recording.segments import dated_name, fixed_folder, has_fields

# The longest ending a recording gives a name of its output's: a numbered
# video's events log, numbered in turn when taken, and an event's picture
# (or a later contact sheet) beside it.
LONGEST_ENDING = "_001.events_001.001.jpg"


def output_path(value: Any) -> str:
    if not isinstance(value, (str, os.PathLike)):
        raise value_checks.OptionTypeError("output", f"must be a path, not {value!r}")
    path = os.fspath(value)
    if not isinstance(path, str) or not path:
        raise value_checks.OptionTypeError("output", f"must be a path, not {value!r}")
    if os.path.isdir(path):
        raise value_checks.OptionValueError("output", f"{path!r} is a folder; name a video file in it")
    if not os.path.splitext(path)[1]:
        raise value_checks.OptionValueError("output", f"{path!r} needs a file extension such as "
                                                f".avi or .mp4")
    check_folder(output_folder(path))
    check_name_lengths(path)
    return path


def output_folder(output: str) -> str:
    """The folder the output's files go under; with strftime fields in its
    folders, the part above them."""
    return fixed_folder(output) if has_fields(output) else os.path.dirname(output) or "."


def check_folder(folder: str) -> None:
    """The folder exists and takes new files: tried with a file of our own."""
    if not os.path.isdir(folder):
        raise value_checks.OptionValueError("output", f"folder {folder!r} does not exist")
    try:
        with tempfile.TemporaryFile(dir=folder):
            pass
    except OSError as error:
        raise value_checks.OptionValueError("output", f"folder {folder!r} is not writable: "
                                                f"{error.strerror or error}") from None


def check_name_lengths(path: str) -> None:
    """Every name the recording will make fits its folder: one too long
    would fail only once the video exists."""
    folder = output_folder(path)
    try:
        most = os.pathconf(folder, "PC_NAME_MAX")
    except (OSError, ValueError):  # no limit the system will tell
        return
    filled = datetime.now().strftime(path) if has_fields(path) else path
    stem, suffix = os.path.splitext(os.path.basename(filled))
    ending = max(LONGEST_ENDING, f"_001{suffix}.csv", key=len)
    names = [*os.path.dirname(filled).split(os.sep), stem + ending]
    longest = max(names, key=lambda name: len(os.fsencode(name)))
    if len(os.fsencode(longest)) > most:
        made = f" (NAME{ending})" if longest == names[-1] else ""
        raise value_checks.OptionValueError("output", f"makes a name of {len(os.fsencode(longest))} "
                                                f"bytes{made}, longer than the {most} that "
                                                f"folder {folder!r} takes")


def free_name(stem: str, suffix: str) -> str:
    """`stem + suffix`, or the first free numbered name: nothing is overwritten."""
    name, number = f"{stem}{suffix}", 1
    while os.path.lexists(name):
        root, ext = os.path.splitext(suffix)
        name, number = f"{stem}{root}_{number:03d}{ext}", number + 1
    return name


def namer(output: str, numbered: bool) -> Callable[[int, datetime], str]:
    """(file number, first frame's time) -> video name. With strftime fields
    in `output`, the time fills them; otherwise `clip.avi`, then
    `clip_001.avi`, ...; with `numbered`, every file has its number, from 001."""
    if has_fields(output):
        return lambda count, moment: dated_name(output, moment)
    stem, suffix = os.path.splitext(output)
    if numbered:
        return lambda count, moment: f"{stem}_{count + 1:03d}{suffix}"
    return lambda count, moment: output if count == 0 else f"{stem}_{count:03d}{suffix}"


@contextmanager
def silenced_stderr():
    """OpenCV reports a writer that does not open on the process's standard
    error; the caller gets one clear error instead."""
    try:
        saved = os.dup(2)
    except OSError:
        yield
        return
    try:
        with open(os.devnull, "wb") as null:
            os.dup2(null.fileno(), 2)
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)


@contextmanager
def libraries_quiet(verbose: bool):
    """OpenCV warns on standard error of every frame its writer could not
    write, of every camera back-end it tries and of every stream that times
    out; the recording says what matters itself, once. `verbose` lets the
    libraries speak."""
    if verbose:
        yield
        return
    # FFmpeg's own lines ("Connection refused") go only by this, read at
    # OpenCV's first use of FFmpeg; any other level would send them to stdout.
    os.environ.setdefault("OPENCV_FFMPEG_LOGLEVEL", "-8")
    with opencv_quiet(verbose):
        yield


@contextmanager
def opencv_quiet(verbose: bool):
    """OpenCV's own log silent, unless `verbose`; nothing to do where it is
    not loaded: a copy never loads it, an encoding recording quiets it once
    it has."""
    import sys
    cv2 = sys.modules.get("cv2")
    logging = getattr(getattr(cv2, "utils", None), "logging", None)
    if verbose or logging is None:
        yield
        return
    previous = logging.getLogLevel()
    logging.setLogLevel(logging.LOG_LEVEL_SILENT)
    try:
        yield
    finally:
        logging.setLogLevel(previous)


def check_fourcc(fourcc: Any, output: str) -> str:
    if not isinstance(fourcc, str):
        raise TypeError(f"fourcc must be a str of four characters, not {fourcc!r}")
    if len(fourcc) != 4 or not fourcc.isascii():
        raise ValueError(f"fourcc must be four ASCII characters, got {fourcc!r}")
    suffix = os.path.splitext(output)[1]
    import cv2
    with tempfile.TemporaryDirectory() as folder, silenced_stderr():
        probe = cv2.VideoWriter(os.path.join(folder, "probe" + suffix),
                                cv2.VideoWriter_fourcc(*fourcc), 25, (64, 48))
        opened = probe.isOpened()
        probe.release()
    if not opened:
        raise ValueError(f"fourcc {fourcc!r} cannot write {suffix} files with this OpenCV "
                         f"(MJPG .avi and mp4v .mp4 work everywhere)")
    return fourcc


def default_name(output: str) -> str:
    """A recording's name when it is given none: its output's, without folder or extension."""
    return os.path.splitext(os.path.basename(output))[0]
