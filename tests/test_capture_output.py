import contextlib
import os
import pathlib
from datetime import datetime

import cv2
import numpy as np
import pytest

from conftest import (FakeCapture, colour, csv_rows, make_frames, read_video, run,
                      use_fake_cv2)

pytestmark = pytest.mark.usefixtures("in_tmp")
START = 1709647629  # a whole second: frame 0 has no fraction, frame 1 (at 4 fps) has one


@pytest.mark.parametrize("existing, output, max_frames, frames, names", [
    ([], "clip.avi", 0, 1, ["clip.avi"]),
    (["clip_000.avi"], "clip.avi", 0, 1, ["clip.avi"]),
    (["clip_000.avi"], "clip.avi", 2, 2, ["clip_001.avi", "clip_002.avi"]),
    (["clip.avi"], "clip.avi", 0, 1, ["clip_001.avi"]),
    (["clip.avi", "clip_001.avi"], "clip.avi", -1, 1, ["clip_002.avi"]),
    # A CSV without its video still holds the name: it is never truncated.
    (["clip.avi.csv"], "clip.avi", 0, 1, ["clip_001.avi"]),
    (["clip_001.avi.csv"], "clip.avi", 1, 2, ["clip_000.avi", "clip_002.avi"]),
    (["clip_000.avi/"], "clip.avi", 100, 1, ["clip_001.avi"]),
    ([], "clip.avi", 100, 1, ["clip_000.avi"]),
    ([], "clip", 1, 1, ["_000.clip"]),  # OpenCV has no writer for that name
])
def test_output_names(monkeypatch, capsys, existing, output, max_frames, frames, names):
    for name in existing:
        os.mkdir(name) if name.endswith("/") else pathlib.Path(name).write_text("keep")
    fake = use_fake_cv2(monkeypatch, make_frames(frames))
    with pytest.raises(RuntimeError) if "." not in output else contextlib.nullcontext():
        run(output=output, max_frames=max_frames)
    assert [w.args[0] for w in fake.writers] == names
    assert all(pathlib.Path(n).read_text() == "keep" for n in existing if "/" not in n)
    out = capsys.readouterr().out
    for name in names:
        assert len(csv_rows(name + ".csv")) == ("." in output)
        assert f"Video saved in {name}\nTimestamps in {name}.csv\n" in out


def test_second_session_continues_numbering(monkeypatch):
    for _ in range(2):
        use_fake_cv2(monkeypatch, make_frames(2))
        run(output="clip.avi", max_frames=1)
    assert sorted(os.listdir()) == ["clip_%03d.avi%s" % (i, ext) for i in range(4)
                                    for ext in ("", ".csv")] + ["in.avi"]


@pytest.mark.parametrize("gray", [False, True])
def test_writer_takes_the_cropped_region(monkeypatch, gray):
    frame = np.arange(48 * 64 * 3, dtype=np.uint32).reshape(48, 64, 3).astype(np.uint8)
    frame = frame[:, :, 0] if gray else frame
    fake = use_fake_cv2(monkeypatch, [frame] * 2, fps=4)
    os.utime("in.avi", (START, START))
    assert run(roi_x=8, roi_y=4, roi_w=32, roi_h=16) == 2
    assert fake.writers[0].args == ("out.avi", cv2.VideoWriter_fourcc(*"FFV1"), 4,
                                    (32, 16)) + ((False,) if gray else ())
    written = read_video("out.avi")
    assert len(written) == 2
    assert ((written[0][..., 0] if gray else written[0]) == frame[4:20, 8:40]).all()
    start = datetime.fromtimestamp(START).isoformat().encode()
    with open("out.avi.csv", "rb") as f:
        assert f.read() == (b"inframe,outframe,timestamp\r\n0,0,%s\r\n1,1,%s.250000\r\n"
                            % (start, start))


def test_writer_that_does_not_open(monkeypatch, capsys):
    fake = use_fake_cv2(monkeypatch, make_frames(2), fps=12.5)
    fds = len(os.listdir("/proc/self/fd"))
    with pytest.raises(RuntimeError) as caught:
        run(fmt="ZZZZ")  # a codec this OpenCV cannot use
    assert all(part in str(caught.value) for part in ("out.avi", "ZZZZ", "12"))
    assert "Timestamps in out.avi.csv" in capsys.readouterr().out
    assert csv_rows("out.avi.csv") == [] and len(os.listdir("/proc/self/fd")) == fds
    assert fake.events == [("cap.release",), ("csv.close", "out.avi.csv"),
                           ("destroyAllWindows",)]


@pytest.mark.parametrize("gray, timestamp, fs, tx, ty", [
    (False, True, 0.5, 10, 20), (False, True, 1.0, 10, 20), (True, True, 0.5, 10, 20),
    (False, True, 0.5, -5, 4), (False, False, 0.5, 10, 20)])
def test_timestamp_box_and_text(monkeypatch, gray, timestamp, fs, tx, ty):
    frames = [np.full((80, 320) if gray else (80, 320, 3), 128, np.uint8)] * 2
    pathlib.Path("in.avi").touch()
    os.utime("in.avi", (START, START))
    fake = use_fake_cv2(monkeypatch, capture=FakeCapture(frames, width=320, height=80, fps=4))
    box, text = colour(77, 0, 255, 99), colour(255, 250, 255, 4)
    assert run(roi_w=320, roi_h=80, timestamp=timestamp, tb=box, tc=text, tx=tx, ty=ty,
               fs=fs) == 2
    texts = [ts for _, _, ts in csv_rows("out.avi.csv")]
    widths = []
    for image, ts in zip(read_video("out.avi"), texts):
        # The box is sized for scale 0.5 whatever `fs` is; grey frames take component 0.
        w, h = cv2.getTextSize(ts, cv2.FONT_HERSHEY_SIMPLEX, 0.5, 2)[0]
        rows, cols = np.nonzero(np.all(image == (box[:1] if gray else box[:3]), axis=2))
        if not timestamp:
            assert (image == 128).all() and rows.size == 0
            continue
        assert (rows.min(), rows.max(), cols.max()) == (max(ty - h, 0), ty, tx + w)
        # Past the left edge the clipped text may cover the box's first columns.
        assert cols.min() == tx if tx >= 0 else cols.min() < 5
        widths.append(w)
    puts = [c[1][1:] for c in fake.calls if c[0] == "putText"]
    assert puts == [(ts, (tx, ty), cv2.FONT_HERSHEY_SIMPLEX, fs, (255, 250, 255), 2,
                     cv2.LINE_AA) for ts in texts if timestamp]
    assert len(set(widths)) == len(widths)  # microseconds widen the second box
