"""`velmar batch` and `velmar.record_many()`: a folder of clips with broken
ones, the index and its resume, signals and a killed worker mid-batch, and
the same batch on a local Dask cluster."""

import csv
import hashlib
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import cv2
import numpy as np
import pytest

import velmar
from velmar import cli
from conftest import count_frames, csv_rows, write_video


def write_mjpg(path, frames, size=(64, 48)):
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"MJPG"), 30, size)
    for i in range(frames):
        writer.write(np.full((size[1], size[0], 3), i % 250, np.uint8))
    writer.release()


@pytest.fixture
def card(tmp_path):
    """Five clips of 20 frames and one more with the stem of the first in a
    subfolder, a file that is no video, a truncated clip, and a text file."""
    card = tmp_path / "card"
    (card / "sub").mkdir(parents=True)
    for i in range(5):
        write_video(str(card / f"c{i}.avi"), 20)
    write_video(str(card / "sub" / "c0.AVI"), 20)
    (card / "broken.avi").write_text("not a video\n")
    write_mjpg(card / "sub" / "cut.avi", 20)
    cut = (card / "sub" / "cut.avi").read_bytes()
    (card / "sub" / "cut.avi").write_bytes(cut[:len(cut) * 6 // 10])
    (card / "notes.txt").write_text("not looked at\n")
    return card


def index(out):
    with open(out / "index.csv", newline="") as f:
        return list(csv.DictReader(f))


def files(out):
    """Every file under `out` but the index, with a digest of its content."""
    return {p.relative_to(out).as_posix(): hashlib.sha1(p.read_bytes()).hexdigest()
            for p in out.rglob("*") if p.is_file() and p.name != "index.csv"}


def check_outputs(out, row, frames):
    videos = [name for name in row["outputs"].split(";") if not name.endswith(".csv")]
    assert row["outputs"].split(";") == [n for v in videos for n in (v, v + ".csv")]
    assert sum(count_frames(out / v) for v in videos) == frames
    assert sum(len(csv_rows(out / f"{v}.csv")) for v in videos) == frames


def test_a_folder_with_broken_files_then_resumes(card, capsys):
    out = card / "out"  # searched too, but its files are no inputs
    batch = ["batch", str(card), "--recursive", "--output-dir", str(out), "--jobs", "2",
             "--no-progress"]
    assert cli.main(batch) == 3
    rows = {Path(r["input"]).relative_to(card).as_posix(): r for r in index(out)}
    assert sorted(rows) == ["broken.avi", "c0.avi", "c1.avi", "c2.avi", "c3.avi", "c4.avi",
                            "sub/c0.AVI", "sub/cut.avi"]
    assert rows["broken.avi"]["error"] == "not a video"
    assert rows["broken.avi"]["outputs"] == "" and not (out / "broken").exists()
    assert "ended after 3 of its 20 frames" in rows["sub/cut.avi"]["error"]
    done = {name: r for name, r in rows.items() if not r["error"]}
    assert len(done) == 6 and all(r["stop"] == "end" for r in done.values())
    assert rows["sub/c0.AVI"]["outputs"] == "c0-2/c0.mp4;c0-2/c0.mp4.csv"
    for name, row in done.items():
        check_outputs(out, row, 20)
        assert row["size"] == str(os.path.getsize(card / name))
    assert "6 recorded, 2 failed, 0 skipped" in capsys.readouterr().out

    # A crash while a row was written leaves part of a line: it is passed over.
    with open(out / "index.csv", "a") as f:
        f.write(f"{card / 'c1.avi'},10")
    os.utime(card / "c1.avi", ns=(0, 10**18))
    before = files(out)
    assert cli.main(batch) == 3
    again = index(out)[len(rows) + 1:]
    assert sorted(Path(r["input"]).name for r in again) == ["broken.avi", "c1.avi", "cut.avi"]
    c1 = next(r for r in again if r["input"].endswith("c1.avi"))
    assert c1["outputs"] == "c1/c1_001.mp4;c1/c1_001.mp4.csv" and c1["mtime"] == "1000000000.0"
    assert {k: v for k, v in files(out).items() if k in before} == before
    assert "1 recorded, 2 failed, 5 skipped as done before" in capsys.readouterr().out


@pytest.mark.parametrize("argv, status, message", [
    (["{tmp}/missing"], 1, "no such file or folder"),  # as the velmar command says it
    (["{card}", "--kernel-width", "4"], 2, "--kernel-width must be odd"),
    (["{card}", "--extension", "avi"], 2, "extension must be a dot"),
    (["{card}", "--preview"], 2, "unrecognized arguments: --preview"),
    (["{card}", "--jobs", "0"], 2, "must be 1 or more"),
    (["{card}", "--jobs", "99999999999"], 2, "--jobs must be"),
    (["{tmp}/card/sub/*.none"], 1, "no video file found"),
    (["{card}", "--output-dir", "{card}/notes.txt/out"], 2, "cannot make the output folder"),
    (["{card}", "--output-dir", "{tmp}/old"], 2, "not a batch index"),
    (["{card}", "--cluster", "tcp://127.0.0.1:9"], 2, "pip install 'velmar[cluster]'"),
])
def test_refusals_leave_nothing(argv, status, message, card, tmp_path, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "distributed", None)  # as where Dask is not installed
    (tmp_path / "old").mkdir()
    (tmp_path / "old" / "index.csv").write_text("name,size\n")
    before = sorted(tmp_path.rglob("*"))
    argv = [a.format(card=card, tmp=tmp_path) for a in argv]
    if "--output-dir" not in argv:
        argv += ["--output-dir", str(tmp_path / "out")]
    assert cli.main(["batch", *argv, "--no-progress"]) == status
    assert message in capsys.readouterr().err
    assert sorted(tmp_path.rglob("*")) == before


LONG_FRAMES = {"l0.avi": 30, "l1.avi": 1200, "l2.avi": 1200, "l3.avi": 1200}


@pytest.fixture(scope="module")
def long_clips(tmp_path_factory):
    """A short clip, whose row is the sign to stop the batch, and clips that
    take a worker a good part of a second after that."""
    folder = tmp_path_factory.mktemp("long")
    for name, frames in LONG_FRAMES.items():
        write_mjpg(folder / name, frames, (160, 120))
    return folder


def children_of(pid):
    return [int(child) for task in Path(f"/proc/{pid}/task").iterdir()
            for child in (task / "children").read_text().split()]


def worker_of(pid):
    """A worker process of the batch with process id `pid`."""
    for child in children_of(pid):
        if b"spawn_main" in Path(f"/proc/{child}/cmdline").read_bytes():
            return child
    raise AssertionError("the batch has no worker")


@pytest.mark.skipif(not Path("/proc/self/task").exists(), reason="finds workers in /proc")
@pytest.mark.parametrize("target, signum, status", [
    ("group", signal.SIGINT, 130),  # Ctrl-C on a terminal: the batch and its workers get it
    ("batch", signal.SIGTERM, 143),
    ("worker", signal.SIGKILL, 3),  # a worker killed, as for its memory: the batch goes on
])
def test_stopped_mid_batch_then_resumed(target, signum, status, long_clips, tmp_path):
    out = tmp_path / "out"
    proc = subprocess.Popen([sys.executable, "-m", "velmar", "batch", str(long_clips),
                             "--output-dir", str(out), "--jobs", "2", "--no-progress"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)
    deadline = time.monotonic() + 30
    while not (out / "index.csv").exists() or len(index(out)) < 1:
        assert time.monotonic() < deadline and proc.poll() is None, proc.communicate()
        time.sleep(0.005)
    {"group": lambda: os.killpg(proc.pid, signum), "batch": lambda: proc.send_signal(signum),
     "worker": lambda: os.kill(worker_of(proc.pid), signum)}[target]()
    err = proc.communicate(timeout=60)[1]
    assert proc.returncode == status, err
    assert "Traceback" not in err
    first = index(out)
    assert len(first) < 4 or any(r["error"] or r["stop"] != "end" for r in first)
    for row in first:  # one stopped before its first frame has no files
        if not row["error"] and row["outputs"]:
            check_outputs(out, row, int(row["frames_read"]))
    before = files(out)

    assert cli.main(["batch", str(long_clips), "--output-dir", str(out), "--no-progress"]) == 0
    rows = index(out)
    done = [Path(r["input"]).name for r in rows if r["stop"] == "end" and not r["error"]]
    assert sorted(done) == sorted(LONG_FRAMES)  # each once
    assert {k: v for k, v in files(out).items() if k in before} == before
    for row in rows[len(first):]:
        check_outputs(out, row, LONG_FRAMES[Path(row["input"]).name])
        assert row["outputs"].startswith(Path(row["input"]).stem + "/")
        assert not set(before) & set(row["outputs"].split(";"))


def test_record_many_here_and_on_a_local_cluster_give_the_same_index(card, tmp_path):
    distributed = pytest.importorskip("distributed")
    here = velmar.record_many(card, tmp_path / "here", jobs=2, recursive=True, stamp=True)
    assert [row.input for row in here] == sorted(row.input for row in here)
    c1 = [row for row in here if row.input.endswith("c1.avi")]
    assert velmar.record_many(card / "c1.avi", tmp_path / "here", stamp=True) == c1
    with pytest.raises(TypeError, match="verbose"):
        velmar.record_many(card, tmp_path / "here", verbose=True)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None) as cluster:
        assert cli.main(["batch", str(card), "-r", "--timestamp", "--output-dir",
                         str(tmp_path / "there"), "--cluster", cluster.scheduler_address,
                         "--quiet"]) == 3

    def untimed(out):
        return sorted(tuple({**row, "seconds": ""}.values()) for row in index(out))
    assert untimed(tmp_path / "there") == untimed(tmp_path / "here")
    assert len(index(tmp_path / "here")) == len(here) == 8


def test_a_motion_runs_outputs_name_its_events_log_and_contact_sheet(tmp_path):
    write_video(str(tmp_path / "in.avi"), 25)
    # Its frames only brighten: motion only with the light counted.
    (row,) = velmar.record_many([tmp_path / "in.avi"], tmp_path / "out", jobs=1,
                                keep="motion", min_area=1, contact_sheet=True, light_guard=False,
                                min_event=0)
    assert row.outputs == ("in/in.mp4", "in/in.mp4.csv", "in/in.events.csv", "in/in.events.jpg")
    assert all((tmp_path / "out" / name).is_file() for name in row.outputs)


@pytest.mark.slow
def test_a_refused_cluster_is_reported_within_seconds(card, tmp_path, capsys):
    pytest.importorskip("distributed")
    started = time.monotonic()
    status = cli.main(["batch", str(card), "--output-dir", str(tmp_path / "out"),
                       "--cluster", "tcp://127.0.0.1:1", "--no-progress"])
    assert (status, time.monotonic() - started < 10) == (1, True)
    assert capsys.readouterr().err.startswith("velmar batch: error: cannot reach the cluster")


def running(pid):
    """Alive and not a zombie left for a parent to reap."""
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


@pytest.mark.skipif(not shutil.which("ffmpeg"), reason="makes its clips with ffmpeg")
@pytest.mark.skipif(not Path("/proc/self/task").exists(), reason="finds workers in /proc")
def test_workers_end_in_order_when_the_batch_is_killed(tmp_path):
    card, out = tmp_path / "card", tmp_path / "out"
    card.mkdir()
    sample = Path(velmar.__file__).parent / "data" / "sample.avi"
    for name in ("a", "b", "c"):  # the sample 40 times: far longer than the test
        subprocess.run(["ffmpeg", "-v", "error", "-stream_loop", "40", "-i", str(sample),
                        "-c", "copy", str(card / f"{name}.avi")], check=True, timeout=60)
    batch = subprocess.Popen([sys.executable, "-m", "velmar", "batch", str(card),
                              "--output-dir", str(out), "--jobs", "2", "--no-progress"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 30
    while len(list(out.glob("*/*.csv"))) < 2:  # both workers record
        assert time.monotonic() < deadline and batch.poll() is None
        time.sleep(0.05)
    workers = children_of(batch.pid)
    batch.kill()
    batch.wait()
    deadline = time.monotonic() + 5
    while any(running(pid) for pid in workers) and time.monotonic() < deadline:
        time.sleep(0.05)
    left = [pid for pid in workers if running(pid)]
    for pid in left:
        os.kill(pid, signal.SIGKILL)
    assert not left
    checked = velmar.check([out])
    assert len(checked) == 2 and all(f.ok and 0 < f.frames == f.rows for f in checked), checked


def test_a_worker_whose_parent_died_before_it_could_be_watched_stops():
    code = ("import os, time; from velmar.parent_death import stop_with; "
            "stop_with(os.getppid() + 1); time.sleep(30)")
    assert subprocess.run([sys.executable, "-c", code], timeout=30).returncode == -signal.SIGTERM
