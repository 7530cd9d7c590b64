from collections.abc import Callable
from datetime import datetime
from typing import Any, Literal, Protocol, TypedDict

import numpy as np
import numpy.typing as npt

# Why a session stopped, as Result.stop names it.
STOPS: tuple[str, ...]

class Options(TypedDict, total=False):
    """The plain options of one session; any left out keeps its default."""

    input_: int | str
    output: str
    fmt: str
    fps: int
    interactive: bool
    width: int
    height: int
    roi_x: int
    roi_y: int
    roi_w: int
    roi_h: int
    interval: float
    duration: float
    frames_per_file: int
    motion_based: bool  # with record()'s sessions, motion comes in events
    config: bool
    threshold: int
    min_area: int
    kernel_width: int
    timestamp: bool
    show_diff: bool
    tb: npt.NDArray[np.int32] | None
    tc: npt.NDArray[np.int32] | None
    tx: int
    ty: int
    fs: float
    verbose: bool
    live: bool
    whole_frame: bool
    start: datetime | None
    timestamps: Literal["pts", "rate", "clock"]
    rate: float
    utc_offset: bool
    before: float
    after: float
    min_event: float
    file_per_event: bool

class EndedEvent:
    """A motion event, told to the on_event hook as it ends."""

    @property
    def first_frame(self) -> int: ...
    @property
    def last_frame(self) -> int: ...
    @property
    def start(self) -> str: ...
    @property
    def end(self) -> str: ...
    @property
    def seconds(self) -> float: ...
    @property
    def frames(self) -> int: ...
    @property
    def video(self) -> str: ...
    @property
    def thumbnail(self) -> npt.NDArray[np.uint8]: ...

class Hooks(Protocol):
    """What run() reads from its hooks' attributes, once; each may be None."""

    @property
    def stop(self) -> list[Any] | None: ...  # signal numbers, "disk_full", "source_lost"
    @property
    def progress(self) -> Callable[[int, int, int, float], object] | None: ...
    @property
    def writer(self) -> Callable[[str, str, float, tuple[int, int], bool], Any] | None: ...
    @property
    def log_opener(self) -> Callable[[str], Any] | None: ...
    @property
    def on_event(self) -> Callable[[EndedEvent], object] | None: ...
    @property
    def opener(self) -> Callable[[int | str], Any] | None: ...  # source -> capture
    @property
    def reconnect(self) -> Callable[[], bool] | None: ...
    @property
    def namer(self) -> Callable[[int, datetime], str] | None: ...
    @property
    def segmenter(self) -> Callable[[datetime], bool] | None: ...
    @property
    def detector(self) -> Callable[[npt.NDArray[np.uint8], bool], tuple[bool, float]] | None: ...

class WrittenFile:
    @property
    def video(self) -> str: ...
    @property
    def log(self) -> str: ...
    @property
    def frames(self) -> int: ...

class Result:
    @property
    def frames_read(self) -> int: ...
    @property
    def frames_kept(self) -> int: ...
    @property
    def frame_count(self) -> int | None: ...
    @property
    def position(self) -> float: ...
    @property
    def rate(self) -> float: ...
    @property
    def stop(self) -> str: ...
    @property
    def files(self) -> list[WrittenFile]: ...

cv2: Any

def run(options: Options, hooks: Hooks) -> Result: ...
