"""What `velmar run` costs per camera when every camera copies its stream,
side by side with FFmpeg's own copy of the same streams (a process per
camera): 1, 4, 8 and 16 cameras, each a 1080p25 H.264 stream served live on
loopback by FFmpeg (one server per camera), every camera `codec = "copy"`.

For each count and recorder: the processor time of the recording processes
and everything under them (velmar run's supervisor and workers) over a
steady stretch (read from /proc/PID/stat once every camera has written
frames, and again `--seconds` later), in cores in all and per camera; their
memory (RSS and PSS from /proc/PID/smaps_rollup, summed, at the end of that
stretch) per camera; and the frames the servers sent against the frames
written: for velmar the rows of each camera's logs, with 25 times the
seconds those rows span and `velmar check` of every camera's files (log =
video); for FFmpeg the packets of its files.

The stretch over, every server is stopped first (the frames it sent are
then all on their way, and its count of them is final), then, once what is
written no longer grows, the recorders with SIGTERM, each waited for.

    python benchmarks/many_cameras.py [--cameras 1 4 8 16] [--seconds 30] [--tiny]

The 1080p clip (20 s, looped) is copy_cost.py's, drawn once by FFmpeg into
benchmarks/.cache/ (or $VELMAR_BENCH_CACHE). --tiny: one small camera for
3 s, a smoke run.
"""

import argparse
import csv
import os
import signal
import subprocess
import sys
import tempfile
import time
from datetime import datetime
from pathlib import Path
from typing import NamedTuple

import av

import velmar

sys.path.insert(0, str(Path(__file__).resolve().parent))
from copy_cost import RATE, camera_clip  # noqa: E402
from event_sealing import free_port  # noqa: E402
from record_speed import load  # noqa: E402

TICK = os.sysconf("SC_CLK_TCK")
STARTING = 180.0  # seconds every camera has to write its first frames
SETTLING = 30.0  # seconds what is written has to stop growing once the servers are stopped
STOPPING = 90.0  # seconds a recorder has to end after SIGTERM (velmar run's own limit is 60)
LOOK = 0.5  # seconds between looks
GOAL_CORES, GOAL_MB = 0.5, 50  # with 16 cameras: cores in all, megabytes per camera


def progress_frames(progress: Path) -> int:
    """The last frame count of an FFmpeg progress file, 0 before the first."""
    counts = [line for line in progress.read_text().splitlines()
              if line.startswith("frame=")] if progress.exists() else []
    return int(counts[-1].split("=")[1]) if counts else 0


class Server:
    """FFmpeg serving the clip live to one client on loopback; the frames
    it has sent are the last count of its progress file."""

    def __init__(self, clip: Path, progress: Path):
        self.progress, self.port = progress, free_port()
        self.url = f"http://127.0.0.1:{self.port}/x.ts"
        self.proc = subprocess.Popen(
            ["ffmpeg", "-v", "quiet", "-nostdin", "-progress", str(progress), "-re",
             "-stream_loop", "-1", "-i", str(clip), "-c", "copy", "-f", "mpegts",
             "-listen", "1", self.url])
        self.cpu = 0.0
        # Not by connecting: the one client it serves would be this look.
        if not wait_until(self._listening, 10):
            self.kill()
            raise RuntimeError(f"no server listening at {self.url}")

    def _listening(self) -> bool:
        with open("/proc/net/tcp") as table:
            return any(f":{self.port:04X} 00000000:0000 0A" in line for line in table)

    def stop(self) -> None:
        """Ends it as FFmpeg ends on SIGTERM, its last count written."""
        # os.kill, not Popen's: Popen reaps the process first if it has ended,
        # and its processor time would be lost with it.
        if self.proc.returncode is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            if not self._reaped(10):
                self.kill()

    def kill(self) -> None:
        if self.proc.returncode is None:
            os.kill(self.proc.pid, signal.SIGKILL)
            self._reaped(10)

    def _reaped(self, seconds: float) -> bool:
        """Waits for it to end, at most `seconds`, keeping its processor time."""
        deadline = time.monotonic() + seconds
        while True:
            pid, status, usage = os.wait4(self.proc.pid, os.WNOHANG)
            if pid:
                self.proc.returncode = os.waitstatus_to_exitcode(status)
                self.cpu = usage.ru_utime + usage.ru_stime
                return True
            if time.monotonic() >= deadline:
                return False
            time.sleep(0.05)

    def sent(self) -> int:
        return progress_frames(self.progress)


class VelmarRun:
    """`velmar run` of a file with a camera table per stream, each `codec = "copy"`."""

    name = "velmar run"

    @staticmethod
    def start(folder: Path, urls: list[str], procs: list[subprocess.Popen]) -> None:
        """Appends each process it starts to `procs`, whose owner ends them."""
        config = folder / "velmar.toml"
        lines = ["[defaults]", 'codec = "copy"', ""]
        for number, url in enumerate(urls, 1):
            lines += ["[[camera]]", f'name = "cam{number}"', f'source = "{url}"',
                      f'output = "cam{number}/cam{number}.mp4"', ""]
        config.write_text("\n".join(lines))
        with open(folder / "journal.txt", "w") as journal:
            procs.append(subprocess.Popen([sys.executable, "-m", "velmar", "run", "-q",
                                           str(config)], cwd=folder,
                                          stdout=subprocess.DEVNULL, stderr=journal))

    @staticmethod
    def written(camera: Path) -> int:
        """The rows of the camera's frame logs: NAME.mp4.csv beside each video."""
        return sum(max(0, len(log.read_text().splitlines()) - 1) for log in logs(camera))

    frames = written  # once it has ended

    @staticmethod
    def agree(camera: Path) -> bool:
        return all(checked.ok for checked in velmar.check([camera]))

    @staticmethod
    def journal(folder: Path) -> list[str]:
        """What velmar run said beyond each camera's start and stop."""
        return [line for line in (folder / "journal.txt").read_text().splitlines()
                if not any(usual in line for usual in (": started (pid", ": stopped"))]


class FfmpegCopies:
    """FFmpeg's own `-c copy` of each stream into a fragmented .mp4, a process per camera."""

    name = "ffmpeg -c copy, a process per camera"

    @staticmethod
    def start(folder: Path, urls: list[str], procs: list[subprocess.Popen]) -> None:
        """Appends each process it starts to `procs`, whose owner ends them."""
        for number, url in enumerate(urls, 1):
            camera = folder / f"cam{number}"
            procs.append(subprocess.Popen(
                ["ffmpeg", "-v", "error", "-nostdin", "-progress", str(camera / "got"), "-i",
                 url, "-c", "copy", "-movflags", "+frag_keyframe+empty_moov+default_base_moof",
                 str(camera / f"cam{number}.mp4")], stderr=subprocess.DEVNULL))

    @staticmethod
    def written(camera: Path) -> int:
        """Frames muxed so far, as its progress file says."""
        return progress_frames(camera / "got")

    @staticmethod
    def frames(camera: Path) -> int:
        """Once it has ended: the packets in its file."""
        with av.open(str(camera / f"{camera.name}.mp4")) as container:
            return sum(1 for packet in container.demux(video=0) if packet.size)

    @staticmethod
    def agree(camera: Path) -> None:
        return None  # no log

    @staticmethod
    def journal(folder: Path) -> list[str]:
        return []


def logs(folder: Path) -> list[Path]:
    return sorted(p for p in folder.rglob("*.csv") if p.with_suffix("").exists())


def span(folder: Path) -> float:
    """Seconds from the first frame logged to the last, and one frame more."""
    times = []
    for log in logs(folder):
        with open(log, newline="") as file:
            times += [datetime.fromisoformat(row["timestamp"]) for row in csv.DictReader(file)]
    return (max(times) - min(times)).total_seconds() + 1 / RATE if times else 0.0


def descendants(root: int) -> list[int]:
    """The process and every process under it, as /proc has them now."""
    children: dict[int, list[int]] = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                stat = Path(f"/proc/{entry}/stat").read_text()
            except OSError:
                continue
            parent = int(stat.rsplit(")", 1)[1].split()[1])
            children.setdefault(parent, []).append(int(entry))
    found, todo = [], [root]
    while todo:
        pid = todo.pop()
        found.append(pid)
        todo += children.get(pid, [])
    return found


def tree_cpu(roots: list[int]) -> float:
    """Processor seconds of the trees: each process's own and its ended
    children's, so that a worker that ended in between is still counted."""
    total = 0
    for pid in (pid for root in roots for pid in descendants(root)):
        try:
            fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue
        total += sum(int(value) for value in fields[11:15])  # utime stime cutime cstime
    return total / TICK


def tree_memory(roots: list[int]) -> tuple[float, float]:
    """Megabytes, resident and proportional (shared pages divided among their users)."""
    rss = pss = 0
    for pid in (pid for root in roots for pid in descendants(root)):
        try:
            rollup = Path(f"/proc/{pid}/smaps_rollup").read_text().splitlines()
        except OSError:
            continue
        for line in rollup:
            name, *value = line.split()
            if name == "Rss:":
                rss += int(value[0])
            elif name == "Pss:":
                pss += int(value[0])
    return rss / 1024, pss / 1024


def wait_until(done, seconds: float) -> bool:
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if done():
            return True
        time.sleep(LOOK)
    return done()


def settle(written) -> None:
    """Until what is written has not grown for two looks in a row, at most SETTLING."""
    last, still = None, 0

    def settled() -> bool:
        nonlocal last, still
        now = written()
        still = still + 1 if now == last else 0
        last = now
        return still >= 2
    wait_until(settled, SETTLING)


class Result(NamedTuple):
    recorder: str
    cameras: int
    seconds: float  # of the steady stretch
    cores: float  # of the recording processes over the stretch
    rss: float  # megabytes, all of them
    pss: float
    startup: float  # processor seconds before the stretch
    servers: float  # processor seconds of the servers, the whole run
    sent: int
    written: int
    paced: float | None  # 25 times the seconds the logs span
    agree: int | None  # cameras whose every video agrees with its log
    statuses: tuple[int, ...]
    journal: list[str]


def measure(recorder, cameras: int, seconds: float, clip: Path) -> Result:
    with tempfile.TemporaryDirectory() as name:
        folder = Path(name)
        cams = [folder / f"cam{n}" for n in range(1, cameras + 1)]
        servers: list[Server] = []
        procs: list[subprocess.Popen] = []
        try:
            for number, cam in enumerate(cams, 1):
                cam.mkdir()
                servers.append(Server(clip, folder / f"sent{number}.txt"))
            recorder.start(folder, [server.url for server in servers], procs)
            measured = steady(recorder, procs, cams, seconds, folder)
            for server in servers:
                server.stop()
            settle(lambda: [recorder.written(cam) for cam in cams])
            statuses = stop(procs)
        finally:
            for proc in procs:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()
            for server in servers:
                server.kill()
        return tally(recorder, folder, cams, servers, measured, statuses)


def steady(recorder, procs: list[subprocess.Popen], cams: list[Path], seconds: float,
           folder: Path) -> tuple:
    """Once every camera has written frames: the processes' processor time
    and memory over `seconds`, and the processor time it took to get there."""
    def ended() -> bool:
        return any(proc.poll() is not None for proc in procs)
    if not wait_until(lambda: ended() or all(recorder.written(cam) for cam in cams), STARTING):
        raise RuntimeError(f"not every camera wrote frames within {STARTING:g} s: "
                           f"{recorder.journal(folder)}")
    if ended():
        raise RuntimeError(f"{recorder.name} ended early: {recorder.journal(folder)}")
    roots = [proc.pid for proc in procs]
    start, cpu = time.monotonic(), tree_cpu(roots)
    time.sleep(seconds)
    end, cpu_end = time.monotonic(), tree_cpu(roots)
    return end - start, (cpu_end - cpu) / (end - start), tree_memory(roots), cpu


def stop(procs: list[subprocess.Popen]) -> tuple[int, ...]:
    """SIGTERM to each process still running; their exit statuses."""
    for proc in procs:
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
    deadline = time.monotonic() + STOPPING
    return tuple(proc.wait(timeout=max(0.1, deadline - time.monotonic())) for proc in procs)


def tally(recorder, folder: Path, cams: list[Path], servers: list[Server], measured: tuple,
          statuses: tuple[int, ...]) -> Result:
    stretch, cores, (rss, pss), startup = measured
    agreed = [recorder.agree(cam) for cam in cams]
    logged = recorder is VelmarRun
    return Result(recorder.name, len(cams), stretch, cores, rss, pss, startup,
                  sum(server.cpu for server in servers), sum(server.sent() for server in servers),
                  sum(recorder.frames(cam) for cam in cams),
                  sum(span(cam) * RATE for cam in cams) if logged else None,
                  sum(agreed) if logged else None, tuple(sorted(set(statuses))),
                  recorder.journal(folder))


def print_row(r: Result) -> None:
    n = r.cameras
    paced = "-" if r.paced is None else f"{r.paced:.0f}"
    agree = "-" if r.agree is None else f"{r.agree} of {n}"
    print(f"| {n} | {r.recorder} | {r.cores:.3f} | {r.cores / n * 100:.2f} % "
          f"| {r.cores / n / RATE * 1000:.2f} | {r.rss / n:.0f} | {r.pss / n:.0f} "
          f"| {r.startup:.1f} | {r.servers / n:.2f} | {r.sent} | {r.written} | {paced} "
          f"| {agree} | {', '.join(map(str, r.statuses))} |")
    for line in r.journal:
        print(f"  journal: {line}")


def print_goals(most: Result) -> None:
    print(f"With {most.cameras} cameras, against the goals (16 cameras: at most {GOAL_CORES} "
          f"of a core in all, {GOAL_MB} MB per camera, every frame sent written):")
    print(f"- {most.cores:.2f} cores in all: {'met' if most.cores <= GOAL_CORES else 'NOT met'}")
    for name, megabytes in (("PSS", most.pss), ("RSS", most.rss)):
        per_camera = megabytes / most.cameras
        print(f"- {per_camera:.0f} MB {name} per camera: "
              f"{'met' if per_camera <= GOAL_MB else 'NOT met'}")
    print(f"- {most.written} of {most.sent} frames sent written, {most.agree} of "
          f"{most.cameras} cameras' logs agree with their videos: "
          f"{'met' if most.written >= most.sent and most.agree == most.cameras else 'NOT met'}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cameras", type=int, nargs="+", default=[1, 4, 8, 16])
    parser.add_argument("--seconds", type=float, default=30.0,
                        help="the steady stretch measured")
    parser.add_argument("--tiny", action="store_true", help="one small camera for 3 s")
    options = parser.parse_args()
    cameras, seconds = ([1], 3.0) if options.tiny else (options.cameras, options.seconds)
    clip = camera_clip(320, 240, 75) if options.tiny else camera_clip(1920, 1080, 500)
    print(f"{clip.name} served live at {RATE} fps, one server per camera; {load()}")
    print("| cameras | recorder | cores in all | per camera, of a core | cpu ms per frame "
          "| RSS MB per camera | PSS MB per camera | start-up cpu s | server cpu s per camera "
          "| frames sent | frames written | 25 x seconds logged | log = video | exit status |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    results = []
    for count in cameras:
        for recorder in (FfmpegCopies, VelmarRun):
            results.append(measure(recorder, count, seconds, clip))
            print_row(results[-1])
    print()
    print_goals(results[-1])


if __name__ == "__main__":
    main()
