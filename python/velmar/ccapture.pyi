import numpy as np
import numpy.typing as npt

Frame2D = npt.NDArray[np.uint8]
Frame3D = npt.NDArray[np.uint8]
Colour = npt.NDArray[np.int32]

def check_motion_rgb(
    current: Frame3D | None,
    blurred_prev: Frame2D | None,
    blurred_cur: Frame2D | None,
    threshold: int,
    min_area: int,
    kernel_width: int = 21,
    show_diff: object = False,
) -> bool: ...
def check_motion_gray(
    gray_cur: Frame2D | None,
    blurred_prev: Frame2D | None,
    blurred_cur: Frame2D | None,
    threshold: int,
    min_area: int,
    kernel_width: int = 21,
    show_diff: object = False,
) -> bool: ...
def vcapture(
    input_: str | None,
    output: str | None,
    fmt: str | None,
    fps: int,
    interactive: object,
    width: int,
    height: int,
    roi_x: int,
    roi_y: int,
    roi_w: int,
    roi_h: int,
    interval: float,
    duration: float,
    max_frames: int,
    motion_based: object,
    config: object,
    threshold: int,
    min_area: int,
    kernel_width: int,
    timestamp: object,
    show_diff: object,
    tb: Colour | None,
    tc: Colour | None,
    tx: int,
    ty: int,
    fs: float,
) -> int: ...
