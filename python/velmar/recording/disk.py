"""The disk a recording writes to. Its free space is looked at before each
new file and every second; below `min_free` the recording ends in order,
with stop "disk_full". So that ending, and a disk that another program
fills, still leave every file whole and in agreement with its log, a little
room is held back in an unnamed file and given up once the disk is full."""

from __future__ import annotations

import os
import tempfile
import time
from collections.abc import Callable

DEFAULT_MIN_FREE = 200 * 2**20
DEFAULT_MIN_SHARE = 0.01  # of the disk, when that is more
RESERVE = 2**20  # room for the last log rows, a container's index and trailer
CHECK_SECONDS = 1.0


def megabytes(count: int) -> str:
    return f"{count / 2**20:.1f} MB"


class DiskGuard:
    """Tells the engine to stop, through its stop list, when the disk of
    `folder` gets too full; `problem` then says why, naming the folder or
    the file."""

    def __init__(self, folder: str, min_free: int | None, stop: list):
        self.folder, self.stop_list = os.path.abspath(folder), stop
        disk = os.statvfs(folder)
        total = disk.f_blocks * disk.f_frsize
        self.min_free = (max(DEFAULT_MIN_FREE, int(total * DEFAULT_MIN_SHARE))
                         if min_free is None else min_free)
        self.problem: str | None = None
        self.make_room: Callable[[], bool] = lambda: False  # deletes an old recording
        self.next_check = 0.0
        self.reserve = _held_room(folder, min(RESERVE, total // 16))

    def free(self) -> int:
        disk = os.statvfs(self.folder)
        return disk.f_bavail * disk.f_frsize

    def check(self, margin: int = 0, path: str | None = None) -> None:
        """Now: stops when less than `min_free` (and `margin`, the room that
        the file `path` still needs) is free."""
        self.next_check = time.monotonic() + CHECK_SECONDS
        free = self.free()
        while free < self.min_free and self.make_room():
            free = self.free()
        if free < self.min_free:
            self.stop(f"the disk of {self.folder} has {megabytes(free)} free, less than "
                      f"min_free ({megabytes(self.min_free)}); the recording ended there")
        elif free < margin:
            self.stop(f"no space left on the disk for {path} ({megabytes(free)} free); the "
                      f"recording ended there")

    def tick(self, margin: int = 0) -> None:
        """At most every CHECK_SECONDS: called for every frame."""
        if time.monotonic() >= self.next_check:
            self.check(margin)

    def ran_out(self, path: str) -> None:
        self.stop(f"no space left on the disk for {path}; the recording ended there")

    def stop(self, problem: str) -> None:
        if self.problem is None:
            self.problem = problem
            self.stop_list.append("disk_full")
        self.close()

    def close(self) -> None:
        """Gives the held room back."""
        if self.reserve is not None:
            reserve, self.reserve = self.reserve, None
            reserve.close()

    def __enter__(self) -> DiskGuard:
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def _held_room(folder: str, size: int):
    """An unnamed file of `size` bytes in `folder`, or None where the file
    system cannot hold room that way."""
    if size <= 0 or not hasattr(os, "posix_fallocate"):
        return None
    held = tempfile.TemporaryFile(dir=folder)
    try:
        os.posix_fallocate(held.fileno(), 0, size)
    except OSError:
        held.close()
        return None
    return held
