"""The local worker processes of a batch, which end their recordings in
order when the batch passes them a signal, and a Dask cluster's executor."""

from __future__ import annotations

import multiprocessing
import os
import signal
from concurrent.futures import Executor, ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from contextlib import contextmanager, suppress

from velmar.batch.jobs import NOTED_SIGNALS, note_signal
from velmar.parent_death import stop_with
from velmar.recording.signals import STOP_SIGNALS
from velmar.shared.stops import EXIT_NOTHING, EXIT_USAGE


def _start_worker(pids, batch: int) -> None:
    """A local worker: notes SIGINT and SIGHUP, is sent SIGTERM when the
    batch process dies (a kill -9 leaves no worker recording on), tells the
    batch its process id, then takes the signals that came while it was
    starting."""
    for signum in NOTED_SIGNALS:
        signal.signal(signum, note_signal)
    stop_with(batch)
    pids.put(os.getpid())
    if hasattr(signal, "pthread_sigmask"):
        signal.pthread_sigmask(signal.SIG_UNBLOCK, STOP_SIGNALS)


@contextmanager
def _signals_blocked():
    if not hasattr(signal, "pthread_sigmask"):
        yield
        return
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


class WorkerPool(Executor):
    """Local worker processes, started fresh ("spawn": no copy of the batch's
    threads) with the stop signals blocked until they can take them. When a
    worker dies (killed for its memory, crashed in a decoder), the inputs
    then running fail and the next input starts a new set of workers.
    Linux watches, for a worker's parent death, the thread that started it:
    the one that submits, which waits for the workers to the end."""

    def __init__(self, workers: int):
        self._workers = workers
        self._start()

    def _start(self) -> None:
        context = multiprocessing.get_context("spawn")
        self._pids = context.SimpleQueue()
        self._pool = ProcessPoolExecutor(self._workers, mp_context=context,
                                         initializer=_start_worker,
                                         initargs=(self._pids, os.getpid()))

    def submit(self, fn, /, *args, **kwargs):
        with _signals_blocked():  # a worker started here inherits the blocked signals
            try:
                return self._pool.submit(fn, *args, **kwargs)
            except BrokenProcessPool:
                self._pool.shutdown(wait=False)
                self._start()
                return self._pool.submit(fn, *args, **kwargs)

    def stop_workers(self) -> None:
        """Asks the workers that announced themselves since the last call to
        end their recordings in order, with SIGINT, which the pool itself
        never sends. Called again while the batch stops, it reaches those
        still starting now."""
        while not self._pids.empty():
            with suppress(ProcessLookupError):
                os.kill(self._pids.get(), signal.SIGINT)

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        self._pool.shutdown(wait=wait, cancel_futures=cancel_futures)


class ClusterUnreachable(Exception):
    """No scheduler answered at the address: nothing was recorded."""

    exit_status = EXIT_NOTHING


class DaskMissing(ImportError):
    """A cluster was asked for where Dask's `distributed` is not installed."""

    exit_status = EXIT_USAGE


CONNECT_SECONDS = 5  # a refused or silent scheduler is reported after this


@contextmanager
def cluster(address: str | None):
    """The executor of the Dask scheduler at `address` and its thread count;
    None and None for local processes."""
    if address is None:
        yield None, None
        return
    try:
        from distributed import Client
    except ImportError:
        raise DaskMissing("--cluster needs Dask: pip install 'velmar[cluster]'") from None
    try:
        client = Client(address, timeout=CONNECT_SECONDS)
    except OSError as error:
        raise ClusterUnreachable(f"cannot reach the cluster at {address}: {error}") from None
    with client:
        yield client.get_executor(), sum(client.nthreads().values()) or None
