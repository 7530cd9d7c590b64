"""Motion events on a lossless clip with known spells of motion: padding,
merging, the minimum span, a clip per event, and every way out."""

import csv
import os
import signal

import cv2
import numpy as np
import pytest

import velmar
import velmar._engine
from conftest import count_frames, csv_rows


@pytest.fixture
def clip(spells_clip):
    return spells_clip


# These are about events, not about finding motion: the engine's own check
# (whose motion runs a frame past each spell: the frame after it differs),
# and every spell, the one-frame one too.
PLAIN = dict(light_guard=False, min_event=0)


def events_of(result):
    return [(e.first_frame, e.last_frame) for e in result.events]


def check_every_file(result_files, events_log):
    """Frames in each video = its log's rows; the events' frames add up to them."""
    total = 0
    for video in result_files:
        rows = csv_rows(f"{video}.csv")
        assert count_frames(video) == len(rows)
        total += len(rows)
    with open(events_log, newline="", encoding="utf-8") as f:
        events = list(csv.DictReader(f))
    assert sum(int(e["frames"]) for e in events) == total
    return [(int(e["first_frame"]), int(e["last_frame"])) for e in events]


@pytest.mark.parametrize("options, expected", [
    (dict(), [(2, 5), (20, 30), (36, 41), (60, 61), (80, 99)]),
    # Padding ends at the input's ends, and a frame goes to one event only.
    (dict(before=0.5, after=0.375), [(0, 8), (16, 33), (34, 44), (56, 64), (76, 99)]),
    (dict(after=0.75), [(2, 11), (20, 47), (60, 67), (80, 99)]),  # closer than `after`: one
    (dict(min_event=0.25), [(2, 5), (20, 30), (36, 41), (80, 99)]),  # the flicker is dropped
])
def test_events_match_the_spells(clip, in_tmp, options, expected):
    result = velmar.record(clip, "out.avi", codec="ffv1", keep="motion", min_area=100,
                           **{**PLAIN, **options})
    assert events_of(result) == expected
    assert sum(e.frames for e in result.events) == result.frames_kept == \
        sum(b - a + 1 for a, b in expected)
    assert check_every_file(["out.avi"], result.events_log) == expected
    written = [row[0] for row in csv_rows("out.avi.csv")]
    assert written == [i for a, b in expected for i in range(a, b + 1)]


def test_a_clip_per_event_and_the_contact_sheet(clip, in_tmp):
    # A name beyond ASCII: the events log names the videos in UTF-8.
    result = velmar.record(clip, "café.mkv", keep="motion", min_area=100, before=0.5,
                           after=0.375, file_per_event=True, contact_sheet=True, **PLAIN)
    assert [f.video.name for f in result.files] == [f"café_{n:03d}.mkv" for n in range(1, 6)]
    assert [f.frames for f in result.files] == [e.frames for e in result.events]
    assert [e.video for e in result.events] == [f.video for f in result.files]
    check_every_file([f.video for f in result.files], result.events_log)
    sheet = cv2.imread(str(result.contact_sheets[0]))
    assert result.contact_sheets[0].name == "café_001.events.jpg" and sheet.shape[1] > 4 * 240
    assert "café_005.mkv" in result.events_log.read_text(encoding="utf-8")


class Stopping:
    """A capture that signals or fails when it reaches frame 90, in event 5 (read ahead
    of the engine by a few frames)."""

    def __init__(self, capture, how):
        self.capture, self.how, self.count = capture, how, 0

    def __getattr__(self, name):
        return getattr(self.capture, name)

    def read(self):
        self.count += 1
        if self.count == 90 and self.how == "error":
            raise OSError("the card was pulled")
        if self.count == 90 and self.how:
            os.kill(os.getpid(), self.how)
        return self.capture.read()


@pytest.mark.parametrize("how, stop", [
    (None, "duration"), (signal.SIGINT, "interrupt"), (signal.SIGTERM, "terminate"),
    ("error", None)])
def test_every_way_out_finishes_the_open_event(clip, in_tmp, monkeypatch, how, stop):
    real = cv2.VideoCapture
    options = dict(keep="motion", min_area=100, before=0.5, after=0.375, codec="ffv1",
                   **PLAIN)
    with monkeypatch.context() as patch:
        patch.setattr(velmar._engine.cv2, "VideoCapture",
                      lambda *source: Stopping(real(*source), how))
        if how is None:
            result = velmar.record(clip, "out.avi", duration=11.0, **options)
        elif how == "error":
            with pytest.raises(OSError, match="card"):
                velmar.record(clip, "out.avi", **options)
        else:
            result = velmar.record(clip, "out.avi", **options)
    events = check_every_file(["out.avi"], "out.events.csv")
    assert events[:4] == [(0, 8), (16, 33), (34, 44), (56, 64)]
    assert events[4][0] == 76 and 80 <= events[4][1] < 99
    if stop:
        assert result.stop == stop and events_of(result) == events
