"""The supervisor of `velmar run`: starts a worker process per camera,
passes their reports to the live view's board (and to whatever else is
told them: the MQTT broker's messenger), restarts a worker that dies
(after 1, 2, 4, ... at most 60 s), and on a stop signal stops every camera,
each closing its files in order. Each start, death, restart and stop is a
line on standard error."""

from __future__ import annotations

import multiprocessing
import os
import signal
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass
from multiprocessing.connection import wait

from velmar.shared.stops import EXIT_BY_STOP, EXIT_FAILED, EXIT_OK, EXIT_USAGE
from velmar.live.board import Board
from velmar.service.config import Camera
from velmar.service.worker import work

FIRST_BACKOFF, MOST_BACKOFF = 1.0, 60.0
STEADY = 60.0  # seconds a worker must have run for its backoff to start again from the first
STOP_TIMEOUT = 60.0  # within systemd's 90 s: then the workers still running are killed
LOOK_EVERY = 0.2  # seconds between looks at signals and due restarts
# Exit statuses after which a worker is not started again: it finished, or
# its options are wrong and would be again. A file is recorded once, however
# its worker ends.
FINAL_STATUSES = (EXIT_OK, EXIT_USAGE)
# States a worker reported at its end that stay on the board while it waits
# to start again; any other becomes "restarting", its problem kept.
TOLD_STATES = ("outage", "disk full")


@dataclass
class Worker:
    camera: Camera
    process: multiprocessing.Process | None = None
    connection: object | None = None
    started: float = 0.0
    restarts: int = 0
    backoff: float = FIRST_BACKOFF
    due: float | None = 0.0  # when it starts next; None once it has ended for good
    status: int | None = None


def _say(line: str) -> None:
    print(line, file=sys.stderr, flush=True)


def _ended_how(code: int) -> str:
    return f"was killed by signal {-code}" if code < 0 else f"ended with exit status {code}"


class Supervisor:
    def __init__(self, cameras: tuple[Camera, ...], board: Board, quiet: bool = False,
                 pictures: bool = True, told: Callable[[str, dict], None] | None = None):
        self.pictures = pictures  # for a live view; without one they cost for nothing
        self.workers = [Worker(camera) for camera in cameras]
        self.board, self.quiet, self.told = board, quiet, told
        self.context = multiprocessing.get_context("spawn")  # no threads of ours are forked
        self.stopping = False

    def run(self, received: list[int]) -> int:
        """Until a stop signal is noted in `received`, or every camera has
        ended for good; the exit status."""
        try:
            while not received and any(worker.due is not None or worker.connection is not None
                                       for worker in self.workers):
                self._start_due()
                self._look(LOOK_EVERY)
        finally:
            self._stop_all()
        if received:
            return EXIT_BY_STOP["interrupt" if received[0] == signal.SIGINT else "terminate"]
        return EXIT_OK if all(w.status == EXIT_OK for w in self.workers) else EXIT_FAILED

    @staticmethod
    def _alive(worker: Worker) -> bool:
        return worker.process is not None and worker.process.exitcode is None

    def _start_due(self) -> None:
        now = time.monotonic()
        for worker in self.workers:
            if worker.due is not None and now >= worker.due and not self._alive(worker):
                self._start(worker)

    def _start(self, worker: Worker) -> None:
        reader, writer = self.context.Pipe(duplex=False)
        name = worker.camera.name
        process = self.context.Process(target=work, name=f"velmar-{name}",
                                       args=(worker.camera, writer, self.quiet, os.getpid(),
                                             self.pictures))
        try:
            process.start()
        except BaseException:
            reader.close()
            raise
        finally:
            writer.close()  # the worker holds its end: the pipe ends when it does
        worker.process, worker.connection = process, reader
        worker.started, worker.due = time.monotonic(), None
        again = worker.restarts > 0
        self._tell(name, {"state": "starting", "pid": process.pid,
                          "restarts": worker.restarts, "problem": None})
        _say(f"velmar: {name}: {'restarted' if again else 'started'} (pid {process.pid}"
             f"{f', restart {worker.restarts}' if again else ''})")

    def _look(self, timeout: float) -> None:
        """Passes on the workers' reports, and sees to the ones that ended."""
        running = [w for w in self.workers if w.process is not None and w.connection is not None]
        ready = wait([w.connection for w in running] + [w.process.sentinel for w in running],
                     timeout)
        for worker in running:
            if worker.connection in ready:
                self._receive(worker)
            if worker.process.sentinel in ready:
                self._ended(worker)

    def _tell(self, name: str, report: dict) -> None:
        self.board.receive(name, report)
        if self.told is not None:
            self.told(name, report)

    def _receive(self, worker: Worker) -> None:
        try:
            while worker.connection.poll():
                self._tell(worker.camera.name, worker.connection.recv())
        except (EOFError, OSError):  # the worker is gone; its sentinel says how
            pass

    def _ended(self, worker: Worker) -> None:
        self._receive(worker)
        worker.process.join()
        code = worker.status = worker.process.exitcode
        worker.connection.close()
        worker.connection = None
        name, ran = worker.camera.name, time.monotonic() - worker.started
        if self.stopping:
            _say(f"velmar: {name}: stopped")
            self._tell(name, {"state": "stopped", "pid": None})
        elif code in FINAL_STATUSES or not worker.camera.live:
            _say(f"velmar: {name}: {'finished' if code == EXIT_OK else 'failed'}; "
                 f"not started again")
            self._tell(name, {"state": "finished" if code == EXIT_OK else "failed",
                              "pid": None})
        else:
            self._restart_later(worker, code, ran)

    def _restart_later(self, worker: Worker, code: int, ran: float) -> None:
        if ran >= STEADY:
            worker.backoff = FIRST_BACKOFF
        worker.due = time.monotonic() + worker.backoff
        worker.restarts += 1
        name = worker.camera.name
        _say(f"velmar: {name}: worker {_ended_how(code)} after {ran:.1f} s; "
             f"restarting in {worker.backoff:g} s")
        view = self.board.cameras[name]
        if view.state not in TOLD_STATES:
            self._tell(name, {"state": "restarting"})
        self._tell(name, {"pid": None})
        worker.backoff = min(worker.backoff * 2, MOST_BACKOFF)

    def _stop_all(self) -> None:
        """Each worker ends its recording in order; past the timeout, it is killed."""
        self.stopping = True
        for worker in self.workers:
            worker.due = None
            if self._alive(worker):
                os.kill(worker.process.pid, signal.SIGTERM)
        deadline = time.monotonic() + STOP_TIMEOUT
        while any(self._alive(w) for w in self.workers) and time.monotonic() < deadline:
            self._look(LOOK_EVERY)
        for worker in self.workers:
            if self._alive(worker):
                _say(f"velmar: {worker.camera.name}: did not stop within {STOP_TIMEOUT:g} s; "
                     f"killed")
                worker.process.kill()
                worker.process.join()
            if worker.connection is not None:
                self._ended(worker)
