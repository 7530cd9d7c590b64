"""How well keep="motion" finds moving objects: synthetic scenes whose objects
and their frames are known (small and fast, large and slow; a dawn light
ramp, a lamp switched on, heavy sensor noise, a swaying tree and rain, the
dawn, the lamp and the rain also with an object crossing), recorded with
each of CONFIGS.

    python benchmarks/motion_scenes.py [--config NAME]... [--scene NAME]... [--tiny] [--keep DIR]

Clips (640x360 at 15 fps, 12 s; --tiny: 160x120, 5 s, a smoke run) are drawn
once, lossless (FFV1 in .avi), into a temporary folder, or into --keep DIR or
$VELMAR_BENCH_CACHE and reused from there. Each is recorded with
`velmar.record(clip, out, keep="motion", codec="ffv1", after=0, **options)`,
and events at most half a second apart are merged here: grouped as after=0.5
would group them, their ends stay the last motion frames. An event matches
the spell with an object in sight (frames from 0) it overlaps most, or is
false. Prints per configuration precision (matched events / events), recall
(spells found / spells), false events in the scenes without an object, and
the errors in frames of matched starts and ends; then events per scene.

Objects cross the lower half, clear of the tree: exclude_areas(size), or
EXCLUDE at 640x360, outlines the tree for a configuration to leave out.
"""

import argparse
import datetime
import itertools
import os
import sys
import tempfile
import zlib
from pathlib import Path
from typing import NamedTuple

import cv2
import numpy as np

import velmar

sys.path.insert(0, str(Path(__file__).resolve().parent))
from real_footage import SHOTS, make_shot  # noqa: E402
from scene_clips import write_clip  # noqa: E402
from session_overhead import CACHE  # noqa: E402

SCENES = ("small_fast", "large_slow", "slow_walker", "slow_faint", "car_in_region", "dawn",
          "dawn_object", "lamp", "lamp_object", "cloud", "exposure", "noise", "tree", "rain",
          "rain_object")
SIZE, TINY = (640, 360), (160, 120)
SECONDS, TINY_SECONDS, FPS = 12, 5, 15
MERGE_SECONDS = 0.5
# Options for record(): a dict, or a function of the clip size giving one (for
# polygons in frame coordinates, as exclude_areas gives).
CONFIGS = [
    ("defaults", {}),
    ("no light guard", {"light_guard": False}),
    ("no sudden-light guard", {"max_change": 1.0}),
    ("min_event 0", {"min_event": 0}),
    ("min_area 100", {"min_area": 100}),
    ("mog2", {"detector": "mog2"}),
    ("knn", {"detector": "knn"}),
    ("detect_scale 0.5", {"detect_scale": 0.5}),
    ("detect_scale 0.25", {"detect_scale": 0.25}),
    ("detect_every 2", {"detect_every": 2}),
    ("exclude the tree", lambda size: {"exclude": exclude_areas(size)["tree"]}),
]


class Crossing(NamedTuple):
    start: int      # frame at which the object's leading edge is at the frame's edge
    frames: int     # frames until its trailing edge is at the other edge
    width: int
    height: int
    top: int
    leftward: bool
    shade: float = 35.0  # mean grey level of its look
    spread: float = 20.0  # of its patches' grey levels


class Plan(NamedTuple):
    size: tuple[int, int]
    fps: float
    frames: int
    crossings: tuple[Crossing, ...]
    light: str | None   # "dawn", "lamp", "cloud", "exposure" or None
    switch: int         # the lamp's first lit frame
    noise: float        # sensor noise, grey levels
    tree: bool
    rain: bool
    region: tuple[int, int, int, int] | None = None  # the region recorded, where it matters


def crossing(size, fps, start, seconds, area, leftward=False):
    """An object of `area` of the frame, 1.6 times as wide as high, its
    bottom at 9/10 of the height (on the road)."""
    width, height = size
    high = round((area * width * height / 1.6) ** 0.5)
    return Crossing(round(start * fps), round(seconds * fps), round(1.6 * high), high,
                    round(0.9 * height) - high, leftward)


def walker(size, fps, speed, shade, spread):
    """A 60 px box (at 640x360) moving `speed` px a frame (at 640 wide),
    in sight from the first frame to the last."""
    width, height = size
    side, step = round(60 * height / 360), speed * width / 640
    frames = round((width + side) / step)
    return Crossing(-round(0.1 * frames), frames, side, side, round(0.9 * height) - side,
                    False, shade, spread)


def region_scene(size, fps, seconds):
    """A small region on the road (a fifth of the width and of the height),
    and a car crossing it that covers 70 % of it: 70 % of its height, longer
    than it is wide."""
    width, height = size
    region = (round(0.4 * width), round(0.6 * height), round(0.2 * width), round(0.2 * height))
    car_w, car_h = round(1.5 * region[2]), round(0.7 * region[3])
    car = Crossing(round(0.4 * seconds * fps), round(1.5 * fps), car_w, car_h,
                   region[1] + round(0.15 * region[3]), False)
    return region, car


def scene_plan(name, size=SIZE, seconds=SECONDS, fps=FPS) -> Plan:
    if name not in SCENES:
        raise ValueError(f"unknown scene {name!r}; scenes: {', '.join(SCENES)}")
    region, car = region_scene(size, fps, seconds)
    crossings = {
        "small_fast": (crossing(size, fps, 0.2 * seconds, 1, 0.01),
                       crossing(size, fps, 0.6 * seconds, 1, 0.01, leftward=True)),
        "large_slow": (crossing(size, fps, 0.2 * seconds, min(4, 0.6 * seconds), 0.12),),
        "slow_walker": (walker(size, fps, 2, 35, 20),),
        "slow_faint": (walker(size, fps, 4, 85, 10),),
        "car_in_region": (car,),
    }.get(name, (crossing(size, fps, 0.5 * seconds, 2, 0.04),) if "_object" in name else ())
    light = next((kind for kind in ("dawn", "lamp", "cloud", "exposure")
                  if name.startswith(kind)), None)
    return Plan(size, fps, round(seconds * fps), crossings, light, round(0.3 * seconds * fps),
                7.0 if name == "noise" else 2.0, name == "tree", name.startswith("rain"),
                region if name == "car_in_region" else None)


def scene_options(plan: Plan) -> dict:
    """What a scene is recorded with besides a configuration's options."""
    return {} if plan.region is None else {"region": plan.region}


def object_x(c: Crossing, i, width):
    """Left edge of the object in frame i; None while no part of it is in the frame."""
    x = round(-c.width + (width + c.width) * (i - c.start) / c.frames)
    x = width - c.width - x if c.leftward else x
    return x if -c.width < x < width else None


def in_sight(plan: Plan, c: Crossing, i):
    """Whether a part of the object is in the frame, or in the region recorded."""
    x = object_x(c, i, plan.size[0])
    if x is None or plan.region is None:
        return x is not None
    left, top, width, height = plan.region
    return x < left + width and x + c.width > left and c.top < top + height \
        and c.top + c.height > top


def scene_truth(plan: Plan):
    """(first, last) frame of each spell with an object in sight, from 0."""
    seen = [i for i in range(plan.frames) if any(in_sight(plan, c, i) for c in plan.crossings)]
    runs = [list(run) for _, run in itertools.groupby(enumerate(seen), lambda p: p[1] - p[0])]
    return [(run[0][1], run[-1][1]) for run in runs]


def tree_ellipse(size):
    """Centre, half axes and sway (pixels) of the canopy: 8 % of the frame."""
    width, height = size
    centre = round(0.2 * width), round(0.3 * height)
    return centre, (round(0.14 * width), round(0.18 * height)), max(1, round(0.006 * width))


def exclude_areas(size=SIZE):
    """The tree's outline with its sway and a margin, in frame coordinates."""
    centre, axes, sway = tree_ellipse(size)
    grown = (axes[0] + sway + 3, axes[1] + 3)
    outline = cv2.ellipse2Poly(centre, grown, 0, 0, 360, 30)
    return {"tree": [[(int(x), int(y)) for x, y in outline]]}


EXCLUDE = exclude_areas(SIZE)


def smooth_noise(rng, shape, cells):
    """Values in 0..1, varying over about `cells` cells across."""
    height, width = shape
    coarse = rng.random((max(2, cells * height // width), cells)).astype(np.float32)
    return cv2.resize(coarse, (width, height), interpolation=cv2.INTER_CUBIC).clip(0, 1)


def background(size, rng):
    """A still street: sky gradient, ground with smooth patches, a road, a
    house and a tree trunk; grey levels 100-175."""
    width, height = size
    rows = np.linspace(0, 1, height, dtype=np.float32)[:, None]
    horizon, road = round(0.45 * height), round(0.78 * height)
    scene = np.where(rows < 0.45, 170 - 15 * rows, 125 + 20 * smooth_noise(rng, (height, width), 8))
    scene[road:] = 105 + 6 * smooth_noise(rng, (height - road, width), 20)
    x0, x1, top = round(0.55 * width), round(0.85 * width), round(0.25 * height)
    cv2.rectangle(scene, (x0, top), (x1, horizon + height // 8), 150, -1)
    roof = np.array([(x0, top), (x1, top), ((x0 + x1) // 2, top - height // 8)])
    cv2.fillPoly(scene, [roof], 110)
    for wx in (x0 + (x1 - x0) // 6, x0 + (x1 - x0) * 4 // 6):
        window = (wx, top + height // 16), (wx + width // 25, top + height // 8)
        cv2.rectangle(scene, *window, 120, -1)
    (cx, cy), _, _ = tree_ellipse(size)
    trunk = (cx - width // 80, cy), (cx + width // 80, horizon + height // 10)
    cv2.rectangle(scene, *trunk, 112, -1)
    return scene


def textured(rng, height, width, base, spread):
    """Smooth patches of `base` +- `spread` / 2 grey levels: an object's or the canopy's look."""
    return base + spread * (smooth_noise(rng, (height, width), max(2, width // 6)) - 0.5)


def light_gain(plan: Plan, i):
    """What the light multiplies the scene by: dawn brightens from 0.45 to 1,
    the sky at the top ahead of the ground; the lamp adds a quarter and a
    pool of light at its post; a cloud's soft shadow (a third darker at its
    middle, half the frame wide) drifts across in 4 s; a camera's exposure
    steps up by 30 % in one frame, then down to 110 % over two."""
    width, height = plan.size
    if plan.light == "cloud":
        ys, xs = np.mgrid[0:height, 0:width].astype(np.float32)
        middle = -0.5 * width + 2 * width * (i - plan.switch) / (4 * plan.fps)
        distance2 = (xs - middle) ** 2 + (ys - 0.4 * height) ** 2
        return 1 - 0.35 * np.exp(-distance2 / (2 * (0.25 * width) ** 2))
    if plan.light == "exposure":
        down = round(0.65 * plan.frames)
        return 1.0 if i < plan.switch else 1.3 if i < down else max(1.1, 1.3 - 0.1 * (i - down + 1))
    if plan.light == "dawn":
        rows = np.linspace(0, 1, height, dtype=np.float32)[:, None]
        return 0.45 + 0.55 * np.clip(i / (plan.frames * (0.7 + 0.3 * rows)), 0, 1)
    if plan.light == "lamp" and i >= plan.switch:
        ys, xs = np.mgrid[0:height, 0:width].astype(np.float32)
        distance2 = (xs - 0.75 * width) ** 2 + (ys - 0.6 * height) ** 2
        return 1.25 + 0.6 * np.exp(-distance2 / (2 * (0.12 * width) ** 2))
    return 1.0


def rain_layer(plan: Plan, rng):
    """Streaks a few pixels long, brighter by 50-90 levels, new every frame."""
    width, height = plan.size
    layer = np.zeros((height, width), np.float32)
    drops, length = round(0.002 * width * height), max(2, round(0.02 * height))
    xs, ys = rng.integers(0, width - length, drops), rng.integers(0, height - length, drops)
    values = rng.uniform(50, 90, drops).astype(np.float32)
    for k in range(length):
        layer[ys + k, xs + k // 3] = values
    return layer


def draw_frames(plan: Plan, seed):
    """BGR frames of grey: the scene lit, then sensor noise and rain on top."""
    rng = np.random.default_rng(seed)
    width, height = plan.size
    still = background(plan.size, np.random.default_rng(width * height))
    patches = [textured(rng, c.height, c.width, c.shade, c.spread) for c in plan.crossings]
    (cx, cy), axes, sway = tree_ellipse(plan.size)
    canopy = textured(rng, 2 * axes[1] + 1, 2 * axes[0] + 1, 85, 50)
    leaves = cv2.ellipse(np.zeros(canopy.shape, np.uint8), axes, axes, 0, 0, 360, 1, -1) > 0
    for i in range(plan.frames):
        frame = still.copy()
        if plan.tree:
            x = cx - axes[0] + round(sway * np.sin(2 * np.pi * i / (1.5 * plan.fps)))
            frame[cy - axes[1]:cy + axes[1] + 1, x:x + canopy.shape[1]][leaves] = canopy[leaves]
        for c, patch in zip(plan.crossings, patches):
            if (x := object_x(c, i, width)) is not None:
                left, right = max(x, 0), min(x + c.width, width)
                frame[c.top:c.top + c.height, left:right] = patch[:, left - x:right - x]
        noise = plan.noise * rng.standard_normal(frame.shape, np.float32)
        frame = frame * light_gain(plan, i) + noise
        if plan.rain:
            frame += rain_layer(plan, rng)
        yield cv2.cvtColor(frame.clip(0, 255).astype(np.uint8), cv2.COLOR_GRAY2BGR)


def make_scene(name, path, *, size=SIZE, seconds=SECONDS, fps=FPS):
    """Writes scene `name` to `path` (.avi, FFV1); the truth: (first, last)
    frames of each spell with an object in sight."""
    plan = scene_plan(name, size, seconds, fps)
    write_clip(path, draw_frames(plan, zlib.crc32(name.encode())), fps)
    return scene_truth(plan)


class Clip(NamedTuple):
    path: Path
    size: tuple[int, int]
    fps: float
    truth: list      # (first, last) frames of each spell with motion in sight
    options: dict    # what it is recorded with besides a configuration's options


def clip_for(name, folder, size, seconds, reuse) -> Clip:
    if name in SHOTS:
        return Clip(*make_shot(name, CACHE, Path(folder)))
    path = Path(folder) / f"scene_{name}_{size[0]}x{size[1]}_{seconds}s_{FPS}_v2.avi"
    plan = scene_plan(name, size, seconds, FPS)
    truth = (scene_truth(plan) if reuse and path.exists()
             else make_scene(name, path, size=size, seconds=seconds, fps=FPS))
    return Clip(path, size, FPS, truth, scene_options(plan))


def detected_events(clip: Clip, options):
    """record()'s events, those at most MERGE_SECONDS apart merged."""
    with tempfile.TemporaryDirectory() as folder:
        chosen = {"keep": "motion", "codec": "ffv1", "after": 0, **clip.options, **options}
        result = velmar.record(clip.path, Path(folder) / "out.avi", **chosen)
    merged = []
    for event in result.events:
        if merged and event.first_frame - merged[-1][1] <= round(MERGE_SECONDS * clip.fps):
            merged[-1] = (merged[-1][0], event.last_frame)
        else:
            merged.append((event.first_frame, event.last_frame))
    return merged


def missed(events, truth):
    """Frames with motion in sight that no event holds; the first frame,
    the reference, is never motion."""
    held = {i for first, last in events for i in range(first, last + 1)}
    return sum(1 for first, last in truth for i in range(max(first, 1), last + 1)
               if i not in held)


def overlap(a, b):
    return min(a[1], b[1]) - max(a[0], b[0]) + 1


def match(events, truth):
    """(event, the spell it overlaps most, or None if it overlaps none) pairs."""
    return [(e, max((s for s in truth if overlap(e, s) > 0), key=lambda s: overlap(e, s),
                    default=None)) for e in events]


def errors(values):
    return f"{sum(values) / len(values):.1f} / {max(values)}" if values else "–"


def summary_row(config, results):
    """results: scene -> (events, truth)."""
    pairs = [(scene, e, s) for scene, (events, truth) in results.items()
             for e, s in match(events, truth)]
    matched = [(e, s) for _, e, s in pairs if s is not None]
    found = {(scene, s) for scene, _, s in pairs if s is not None}
    spells = sum(len(truth) for _, truth in results.values())
    quiet = sum(len(events) for events, truth in results.values() if not truth)
    precision = f"{len(matched) / len(pairs):.2f}" if pairs else "–"
    recall = f"{len(found) / spells:.2f}" if spells else "–"
    starts = [abs(e[0] - s[0]) for e, s in matched]
    ends = [abs(e[1] - s[1]) for e, s in matched]
    return f"| {config} | {precision} | {recall} | {quiet} | {errors(starts)} | {errors(ends)} |"


def print_tables(runs, size, seconds):
    scenes = list(next(iter(runs.values())))
    print(f"## Motion scenes, {datetime.date.today()}: {size[0]}x{size[1]} at {FPS} fps, "
          f"{seconds} s clips, and real footage; velmar {velmar.__version__}\n")
    print("| configuration | precision | recall | false events, no object | "
          "start error mean / max | end error mean / max |")
    print("|---|---|---|---|---|---|")
    for config, results in runs.items():
        print(summary_row(config, results))
    print("\nPer scene: events expected; per configuration, events found and (frames of "
          "motion missed):\n")
    print("| scene | expected | " + " | ".join(runs) + " |")
    print("|---" * (len(runs) + 2) + "|")
    for scene in scenes:
        truth = next(iter(runs.values()))[scene][1]
        cells = [f"{len(results[scene][0])} ({missed(*results[scene])})"
                 for results in runs.values()]
        print(f"| {scene} | {len(truth)} | " + " | ".join(cells) + " |", flush=True)


def evaluate(configs, scenes, folder, size, seconds, reuse):
    clips = {name: clip_for(name, folder, size, seconds, reuse) for name in scenes}
    return {config: {name: (detected_events(clip, options(clip.size) if callable(options)
                                            else options), clip.truth)
                     for name, clip in clips.items()}
            for config, options in configs}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--config", action="append", choices=[name for name, _ in CONFIGS])
    parser.add_argument("--scene", action="append", choices=SCENES + tuple(SHOTS))
    parser.add_argument("--tiny", action="store_true", help="small, short clips: a smoke run")
    parser.add_argument("--keep", type=Path, metavar="DIR", help="write the clips into DIR")
    args = parser.parse_args()
    configs = [(name, options) for name, options in CONFIGS
               if not args.config or name in args.config]
    # A smoke run leaves the real footage out: it would fetch it.
    scenes = args.scene or list(SCENES) + ([] if args.tiny else list(SHOTS))
    size, seconds = (TINY, TINY_SECONDS) if args.tiny else (SIZE, SECONDS)
    cache = args.keep or os.environ.get("VELMAR_BENCH_CACHE")
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(cache or scratch)
        folder.mkdir(parents=True, exist_ok=True)
        runs = evaluate(configs, scenes, folder, size, seconds, reuse=cache is not None)
    print_tables(runs, size, seconds)


if __name__ == "__main__":
    sys.exit(main())
