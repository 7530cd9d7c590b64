"""A clip and its frame log written under temporary names in the clip's
folder and given their names only once both are whole: a failure, Ctrl-C or
SIGTERM leaves neither behind, and no existing file is overwritten."""

from __future__ import annotations

import os
import re
import secrets
from datetime import datetime
from pathlib import Path

from velmar.recording.containers import CONTAINERS, fragmented
from velmar.recording.retention import recordings_of
from velmar.shared.companions import FRAME_LOG_HEADER, FRAME_LOG_SUFFIX

FRAGMENT_SECONDS = 1.0
# A temporary name carries its process, so that one whose process is gone
# (killed outright) is known for a leftover by the next export.
TEMP_NAME = re.compile(r"\..+\.(\d+)-[0-9a-f]{8}\.part\.\w+")


def check_clip_name(clip: Path) -> None:
    if clip.suffix.lower() not in CONTAINERS:
        raise ValueError(f"{clip}: a clip is written as {', '.join(CONTAINERS)}")
    for path in (clip, Path(f"{clip}{FRAME_LOG_SUFFIX}")):
        if os.path.lexists(path):
            raise ValueError(f"{path} exists; give the clip a new name")
    if not os.path.isdir(clip.parent):
        raise ValueError(f"folder {str(clip.parent)!r} does not exist")


def check_not_a_recording(clip: Path, output: str) -> None:
    """A clip that the output's pattern names, with its log beside it, would
    be taken for one of the recording's own videos: read into later clips,
    and deleted by its retention. Told by making the two files for a moment."""
    log = Path(f"{clip}{FRAME_LOG_SUFFIX}")
    made = []
    try:
        with open(clip, "x"):
            made.append(clip)
        with open(log, "x", encoding="ascii", newline="") as file:
            made.append(log)
            file.write(",".join(FRAME_LOG_HEADER) + "\r\n")
        named = any(_same(video, clip) for video in recordings_of(output))
    finally:
        for path in made:
            path.unlink(missing_ok=True)
    if named:
        raise ValueError(f"{clip} is a name of the recording's own ({output}); write the "
                         f"clip elsewhere or under another name")


def remove_leftovers(folder: Path) -> None:
    """The temporary files of exports into `folder` whose process is gone."""
    with os.scandir(folder) as entries:
        for entry in entries:
            found = TEMP_NAME.fullmatch(entry.name)
            if found and not _running(int(found.group(1))):
                Path(entry.path).unlink(missing_ok=True)


def _running(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:  # another user's
        return True
    return True


def _same(video: Path, clip: Path) -> bool:
    try:
        return os.path.samefile(video, clip)
    except OSError:  # deleted by retention meanwhile
        return False


class ClipFiles:
    """The clip's muxer and log, open on temporary names until `finish()`;
    `close()` removes whatever was not finished."""

    def __init__(self, clip: Path):
        check_clip_name(clip)
        remove_leftovers(clip.parent)
        self.clip = clip
        self.suffix = clip.suffix.lower()
        self.video_temp = self._temp(".part" + self.suffix)
        self.log_temp = None
        self.muxer = None
        self.frames = 0
        try:
            self.log_temp = self._temp(".part" + FRAME_LOG_SUFFIX)
            self.log = open(self.log_temp, "w", encoding="ascii", newline="")
            self.log.write(",".join(FRAME_LOG_HEADER) + "\r\n")
        except BaseException:
            self.close()
            raise

    def _temp(self, suffix: str) -> Path:
        """A new hidden name beside the clip, made with the usual permissions."""
        while True:
            name = (self.clip.parent /
                    f".{self.clip.name}.{os.getpid()}-{secrets.token_hex(4)}{suffix}")
            try:
                with open(name, "x"):
                    return name
            except FileExistsError:
                continue

    def open_muxer(self, rate: float):
        """The clip's muxer: fragments of about a second, as velmar's own
        videos are written, so that even a clip cut off plays."""
        import av
        frames = max(1, round(rate * FRAGMENT_SECONDS))
        self.muxer = av.open(str(self.video_temp), "w", format=CONTAINERS[self.suffix],
                             options=fragmented(self.suffix, frames, rate))
        return self.muxer

    def row(self, inframe: int, time: datetime) -> None:
        self.log.write(f"{inframe},{self.frames},{time.isoformat(timespec='microseconds')}\r\n")
        self.frames += 1

    def finish(self) -> None:
        """Both files closed whole, then named: the video last, so that a
        video is never without its log."""
        muxer, self.muxer = self.muxer, None
        muxer.close()
        self.log.close()
        log = Path(f"{self.clip}{FRAME_LOG_SUFFIX}")
        check_clip_name(self.clip)  # nothing made under its names meanwhile
        os.rename(self.log_temp, log)
        try:
            self.log_temp = None
            os.rename(self.video_temp, self.clip)
        except BaseException:
            log.unlink(missing_ok=True)
            raise
        self.video_temp = None

    def close(self) -> None:
        """Closes what is open and removes the temporary names."""
        if self.muxer is not None:
            try:
                self.muxer.close()
            except Exception:  # a muxer that failed mid-write: its file goes anyway
                pass
        if getattr(self, "log", None) is not None:
            self.log.close()
        for temp in (self.video_temp, self.log_temp):
            if temp is not None:
                temp.unlink(missing_ok=True)
