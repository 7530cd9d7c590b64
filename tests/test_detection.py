"""How a motion recording finds motion: each detector, changes of light,
masks, and detection on a scaled copy or on every Nth frame."""

import sys
from pathlib import Path

import av
import cv2
import numpy as np
import pytest

import velmar
from conftest import SPELLS, csv_rows, read_video
from velmar.detection.detector import largest_area, largest_change
from velmar.detection.framing import shrunk
from velmar.recording.pictures import Picture, open_pictures

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "benchmarks"))
import motion_scenes  # noqa: E402

# What the square of the spells clip passes through: rows 40-80, all columns.
BAND = [(0, 35), (159, 35), (159, 85), (0, 85)]
ABOVE = [(0, 0), (159, 0), (159, 30), (0, 30)]


def events_of(clip, **options):
    # Every spell, the one-frame one too.
    result = velmar.record(clip, "out.avi", codec="ffv1", keep="motion", min_area=100,
                           min_event=0, **options)
    return [(e.first_frame, e.last_frame) for e in result.events]


def within(found, expected, frames):
    return len(found) == len(expected) and all(
        abs(a - c) <= frames and abs(b - d) <= frames for (a, b), (c, d) in zip(found, expected))


@pytest.fixture(scope="module")
def scene(tmp_path_factory):
    """A labelled scene, 6 s: its clip and its spells with an object."""
    folder = tmp_path_factory.mktemp("scenes")

    def make(name, size=(320, 180)):
        path = folder / f"{name}_{size[0]}.avi"
        return path, motion_scenes.make_scene(name, path, size=size, seconds=6)
    return make


@pytest.mark.parametrize("name", ["dawn", "lamp", "cloud", "exposure", "dawn_object",
                                  "lamp_object", "small_fast"])
def test_light_is_not_motion_and_objects_are(scene, name, in_tmp):
    """With the defaults: a change of light alone gives no event, and an
    object crossing in the same light is found from its first frames."""
    clip, spells = scene(name)
    result = velmar.record(clip, "out.avi", codec="ffv1", keep="motion", after=0.5)
    starts = [e.first_frame for e in result.events]
    assert len(starts) == len(spells)
    assert all(abs(start - spell[0]) <= 2 for start, spell in zip(starts, spells))


@pytest.mark.parametrize("detector", ["diff", "mog2", "knn"])
def test_each_detector_finds_the_spells(spells_clip, in_tmp, detector):
    assert within(events_of(spells_clip, detector=detector), SPELLS, 1)


@pytest.mark.parametrize("options", [dict(detect_scale=0.5), dict(detect_scale=0.25),
                                     dict(detect_every=2), dict(detect_every=3)])
def test_scaled_or_sparse_detection_finds_the_same_events(spells_clip, in_tmp, options):
    # Every Nth frame, an event starts up to N - 1 frames late; its end comes
    # at the first check past the motion, and the N - 1 frames after it take
    # that check's decision. On a scaled copy, one frame either way.
    late = options.get("detect_every", 2) - 1
    found, full = events_of(spells_clip, **options), events_of(spells_clip)
    assert len(found) == len(full)
    assert all(0 <= a - c <= late and 0 <= b - d <= 2 * late if "detect_every" in options
               else abs(a - c) <= 1 and abs(b - d) <= 1 for (a, b), (c, d) in zip(found, full))


def mask_image(tmp_path, white_band):
    image = np.zeros((120, 160), np.uint8) if white_band else np.full((120, 160), 255, np.uint8)
    cv2.fillPoly(image, [np.array(BAND)], 255 if white_band else 0)
    path = tmp_path / "mask.png"
    cv2.imwrite(str(path), image)
    return path


@pytest.mark.parametrize("options, found", [
    (dict(exclude=[BAND]), False),
    (dict(exclude=BAND), False),  # one polygon alone
    (dict(include=[BAND]), True),
    (dict(include=[ABOVE]), False),
    (dict(include=[ABOVE, BAND], exclude=[ABOVE]), True),
    (dict(region=(0, 20, 160, 80), exclude=[BAND]), False),  # masks in frame coordinates
    ("white band", True),
    ("black band", False),
])
def test_masks_decide_where_motion_is_looked_for(spells_clip, in_tmp, tmp_path, options, found):
    if isinstance(options, str):
        options = dict(mask=mask_image(tmp_path, options == "white band"))
    events = events_of(spells_clip, **options)
    assert events == (events_of(spells_clip) if found else [])


@pytest.mark.parametrize("name", ["slow_walker", "car_in_region"])
def test_one_movement_is_one_event_with_every_frame(scene, name, in_tmp):
    """With the defaults at 640x360: a box moving 2 px a frame all through
    the clip, and a car covering 70 % of a small region, are each one event
    holding every frame the object is in sight, but for the walker's first
    steps (the first frame is the reference; a step of 2 px is smaller than
    --min-area)."""
    clip, spells = scene(name, size=(640, 360))
    plan = motion_scenes.scene_plan(name, seconds=6)
    result = velmar.record(clip, "out.avi", codec="ffv1", keep="motion",
                           **motion_scenes.scene_options(plan))
    [(first, last)] = [(e.first_frame, e.last_frame) for e in result.events]
    [(start, end)] = spells
    assert start <= first <= start + 2 and last == end


@pytest.mark.parametrize("read_ahead", [True, False])
def test_pictures_give_the_frames_and_times_opencv_gives(scene, in_tmp, read_ahead):
    """A YUV file is read through the decoder's pictures for motion: the
    frames written (a region, some ahead of the motion) and their times are
    those of a recording of every frame, which OpenCV reads."""
    clip, _ = scene("small_fast")
    capture = open_pictures(clip, 2)
    assert capture is not None and capture.read()[1].shape == (180, 320, 3)
    capture.release()
    region = (10, 60, 300, 110)
    velmar.record(clip, "motion.avi", codec="ffv1", keep="motion", region=region, before=0.3,
                  read_ahead=read_ahead)
    velmar.record(clip, "all.avi", codec="ffv1", region=region)
    rows, every = csv_rows("motion.avi.csv"), csv_rows("all.avi.csv")
    assert rows and [(r[0], r[2]) for r in rows] == [(every[r[0]][0], every[r[0]][2]) for r in rows]
    frames = read_video("all.avi")
    assert all(np.array_equal(written, frames[row[0]])
               for written, row in zip(read_video("motion.avi"), rows))


def test_limited_range_grey_is_spread_over_every_level_as_rounding_gives():
    levels = np.zeros((24, 16), np.uint8)
    levels[:16] = np.arange(256, dtype=np.uint8).reshape(16, 16)
    picture = Picture(av.VideoFrame.from_ndarray(levels, format="yuv420p"))
    spread = np.clip(np.floor((np.arange(256) - 16) * 255 / 219 + 0.5), 0, 255)
    assert np.array_equal(picture.grey((0, 0, 16, 16), (16, 16)).ravel(), spread)


@pytest.mark.parametrize("dilations", [1, 2, 3])
def test_change_measured_around_what_changed_is_that_of_the_whole_picture(dilations):
    rng = np.random.default_rng(dilations)
    for _ in range(300):
        changed = np.zeros(rng.integers(5, 90, 2), np.uint8)
        for _ in range(rng.integers(0, 4)):
            x, y = rng.integers(0, changed.shape[1]), rng.integers(0, changed.shape[0])
            changed[y:y + rng.integers(1, 25), x:x + rng.integers(1, 25)] = 255
        changed[rng.random(changed.shape) < 0.01] = 255
        grown = cv2.dilate(changed, None, iterations=dilations)
        whole = cv2.findContours(grown, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)[-2]
        assert largest_change(changed, dilations) == largest_area(whole)


@pytest.mark.parametrize("shape, size", [((1080, 1920), (960, 540)), ((1080, 1920), (480, 270)),
                                         ((1080, 1920), (1440, 810)), ((201, 301), (151, 100)),
                                         ((37, 53, 3), (13, 9))])
def test_a_scaled_copy_has_the_size_asked_and_the_average_of_what_it_covers(shape, size):
    rows, columns = np.indices(shape[:2])
    smooth = (127 * (rows / shape[0] + columns / shape[1])).astype(np.uint8)
    image = np.dstack([smooth] * shape[2]) if len(shape) == 3 else smooth
    expected = cv2.resize(image, size, interpolation=cv2.INTER_AREA).astype(int)
    scaled = shrunk(image, size)
    assert scaled.shape == expected.shape and np.abs(scaled - expected).mean() < 1
