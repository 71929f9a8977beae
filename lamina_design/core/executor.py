"""Batch work spread over processes or a cluster through ``concurrent.futures``.

Every batch operation takes ``executor=``:

- ``None``: a process pool with one worker per available processor, made for the call and shut
  down after it;
- an ``int`` k: a process pool of k workers;
- ``"serial"``: this process, no pickling (the engine's own thread pool still runs);
- any ``concurrent.futures.Executor``: a ``ProcessPoolExecutor``, ``dask.distributed``'s
  ``Client.get_executor()``, ``mpi4py.futures.MPIPoolExecutor``. It is used, not shut down.

The default pool spawns fresh interpreters, so a script that runs a batch operation at import
needs the usual ``if __name__ == "__main__":`` guard.

Work travels as a pickled payload (a :class:`~lamina_design.optics.stack.Stack` and what the task
needs) and a chunk of sample indices [start, stop). A worker process runs the engine on one
thread (``RAYON_NUM_THREADS=1``, set before its first computation), so workers do not compete
for processors; an executor working in this process leaves the environment alone. Results come back in chunk order whatever order the chunks finish in; the
operations built on this module draw each sample's randomness from the sample's own index, so
their results do not depend on the executor, the number of workers or the chunk size.

Ctrl-C (KeyboardInterrupt) ends a call at once: the serial executor runs one chunk at a time and
lets it through, chunks not started are cancelled, and a pool made for the call has its workers
terminated rather than waited for. The results of an interrupted call are discarded.
"""
from __future__ import annotations

import concurrent.futures as cf
import math
import multiprocessing
import os
from dataclasses import dataclass, field
from typing import Any, Callable, Generic, Iterable, List, Optional, Tuple, TypeVar, Union

from lamina_design.core.limits import MAX_CHUNKS, WORKERS_PER_PROCESSOR

__all__ = ["ExecutorLike", "MapLike", "SerialExecutor", "available_workers", "chunk_bounds", "map_chunks", "map_over",
           "process_pool", "worker_limit"]

P = TypeVar("P")
R = TypeVar("R")

#: What ``executor=`` accepts.
ExecutorLike = Union[None, int, str, cf.Executor]

#: Called with (samples done, samples in all) as chunks finish.
Progress = Callable[[int, int], None]


def _single_threaded() -> None:
    # The engine sizes its pool at its first parallel sweep; a worker that computes nothing yet
    # still takes the setting.
    os.environ["RAYON_NUM_THREADS"] = "1"


def available_workers() -> int:
    """Processors this process may run on (its affinity mask), at least 1."""
    try:
        return max(len(os.sched_getaffinity(0)), 1)
    except AttributeError:  # pragma: no cover - not Linux
        return max(os.cpu_count() or 1, 1)


def worker_limit() -> int:
    """The most worker processes a pool may have here: a few per available processor."""
    return WORKERS_PER_PROCESSOR * available_workers()


def process_pool(max_workers: Optional[int] = None) -> cf.ProcessPoolExecutor:
    """A process pool whose workers run the engine on one thread each.

    Workers are spawned, not forked: a fork of a process running threads (the engine's pool, a
    Dask client) is unsafe, and a spawned worker sets its environment before it imports anything.
    At most :func:`worker_limit` workers: a pool starts one process per task up to its size.
    """
    workers = available_workers() if max_workers is None else int(max_workers)
    if workers < 1:
        raise ValueError(f"a process pool needs at least 1 worker, got {max_workers!r}")
    most = worker_limit()
    if workers > most:
        raise ValueError(f"a process pool of {workers} workers: at most {most} allowed here "
                         f"({WORKERS_PER_PROCESSOR} per available processor)")
    return cf.ProcessPoolExecutor(max_workers=workers, mp_context=multiprocessing.get_context("spawn"),
                                  initializer=_single_threaded)


class SerialExecutor(cf.Executor):
    """Runs each task when it is submitted, in this process.

    A task's exception is handed over through its future, as a pool does; KeyboardInterrupt and
    SystemExit are not, they stop the caller at once.
    """

    def submit(self, fn: Callable[..., R], /, *args: Any, **kwargs: Any) -> cf.Future[R]:
        future: cf.Future[R] = cf.Future()
        try:
            future.set_result(fn(*args, **kwargs))
        except Exception as exc:
            future.set_exception(exc)
        return future


def chunk_bounds(total: int, chunk_size: int) -> List[Tuple[int, int]]:
    """[start, stop) ranges of at most ``chunk_size`` covering 0…total, at most MAX_CHUNKS of them."""
    if total < 0:
        raise ValueError(f"the number of samples must be ≥ 0, got {total}")
    if chunk_size < 1:
        raise ValueError(f"chunk size must be ≥ 1, got {chunk_size}")
    chunks = -(-total // chunk_size)
    if chunks > MAX_CHUNKS:
        raise ValueError(f"chunk size {chunk_size} cuts {total} samples into {chunks} chunks, at most {MAX_CHUNKS} "
                         f"allowed: make the chunks at least {-(-total // MAX_CHUNKS)} samples")
    return [(start, min(start + chunk_size, total)) for start in range(0, total, chunk_size)]


@dataclass(frozen=True)
class _Task(Generic[P, R]):
    """One chunk's call as it travels: the function, the payload and the process that sent it."""

    fn: Callable[[P, int, int], R]
    payload: P
    sender: int = field(default_factory=os.getpid)

    def __call__(self, start: int, stop: int) -> R:
        # Only a worker process pins its engine: in the sender's process (threads, an in-process
        # cluster) the setting would outlive the call and shrink the caller's own pool.
        if os.getpid() != self.sender:
            _single_threaded()
        return self.fn(self.payload, start, stop)


def _resolve(executor: ExecutorLike) -> Tuple[cf.Executor, bool]:
    """The executor to use and whether this call owns (and so shuts down) it."""
    if executor is None:
        return process_pool(), True
    if isinstance(executor, str):
        if executor != "serial":
            raise ValueError(f"executor must be None, a worker count, 'serial' or an Executor, got {executor!r}")
        return SerialExecutor(), True
    if isinstance(executor, bool):
        raise TypeError("executor must be None, a worker count, 'serial' or an Executor, not a bool")
    if isinstance(executor, int):
        return process_pool(executor), True
    if not callable(getattr(executor, "submit", None)):
        raise TypeError(f"executor must have a submit() method as concurrent.futures executors do, got {executor!r}")
    return executor, False


def map_chunks(fn: Callable[[P, int, int], R], payload: P, total: int, *, chunk_size: int,
               executor: ExecutorLike = None, progress: Optional[Progress] = None) -> List[R]:
    """``fn(payload, start, stop)`` for every chunk of 0…total, results in chunk order.

    ``fn`` must be a module-level function and ``payload`` picklable unless the executor is
    serial. The first failing chunk's exception is raised here, the chunks not started cancelled.
    """
    bounds = chunk_bounds(total, chunk_size)
    pool, owned = _resolve(executor)
    task = _Task(fn, payload)
    results: List[Any] = [None] * len(bounds)
    # The serial executor computes at submit: each chunk is submitted when its turn comes, so
    # progress is reported as chunks finish.
    lazy = isinstance(pool, SerialExecutor)
    futures: List[cf.Future[R]] = []
    try:
        if not lazy:
            futures = [pool.submit(task, start, stop) for start, stop in bounds]
        done = 0
        # In chunk order, so the failure reported is the first chunk's whatever finished first.
        for k, (start, stop) in enumerate(bounds):
            if lazy:
                futures.append(pool.submit(task, start, stop))
            results[k] = futures[k].result()
            done += stop - start
            if progress is not None:
                progress(done, total)
    except BaseException as exc:
        for future in futures:
            future.cancel()
        if owned and not isinstance(exc, Exception):
            _terminate_workers(pool)  # an interrupt does not wait for the chunks in flight
        raise
    finally:
        if owned:
            pool.shutdown(wait=True, cancel_futures=True)
    return results


def _terminate_workers(pool: cf.Executor) -> None:
    """Ends the worker processes of a pool this module made, and reaps them."""
    terminate = getattr(pool, "terminate_workers", None)
    if callable(terminate):  # Python 3.14
        terminate()
        return
    processes = list((getattr(pool, "_processes", None) or {}).values())
    pool.shutdown(wait=False, cancel_futures=True)
    for process in processes:
        process.terminate()
    for process in processes:
        process.join()


#: A function mapped over a list, results in order, like the built-in ``map``.
MapLike = Callable[[Callable[[Any], Any], List[Any]], Iterable[Any]]


def _each(payload: Tuple[Callable[[Any], Any], List[Any]], start: int, stop: int) -> List[Any]:
    fn, items = payload
    return [fn(item) for item in items[start:stop]]


class map_over:
    """The map an ``executor=`` argument stands for (:mod:`lamina_design.core.executor`'s meaning).

    ``"serial"`` (and ``None`` for fewer than two tasks) maps in this process; ``None`` or a
    worker count is a process pool made for the ``with`` block and shut down after it; an
    executor (a process pool, ``dask.distributed``'s ``Client.get_executor()``) is used as
    given. Tasks travel ``pieces`` chunks at a time; results come back in order.
    """

    def __init__(self, executor: ExecutorLike, tasks: int = 2, pieces: int = 8) -> None:
        self.executor = executor
        self.tasks = tasks
        self.pieces = max(1, pieces)
        self.own: Optional[cf.Executor] = None

    def __enter__(self) -> MapLike:
        executor = self.executor
        if executor == "serial" or (executor is None and self.tasks < 2):
            return lambda fn, items: [fn(item) for item in items]
        if isinstance(executor, str):
            raise ValueError(f"executor must be None, a worker count, 'serial' or an Executor, got {executor!r}")
        if isinstance(executor, bool):
            raise TypeError("executor must be None, a worker count, 'serial' or an Executor, not a bool")
        if executor is None or isinstance(executor, int):
            self.own = process_pool(None if executor is None else min(int(executor), max(self.tasks, 1)))
            pool: cf.Executor = self.own
        elif isinstance(executor, cf.Executor) or callable(getattr(executor, "submit", None)):
            pool = executor
        else:
            raise TypeError(f"executor must have a submit() method as concurrent.futures executors do, got "
                            f"{executor!r}")

        def run(fn: Callable[[Any], Any], items: List[Any]) -> List[Any]:
            size = max(1, math.ceil(len(items) / self.pieces))
            parts = map_chunks(_each, (fn, list(items)), len(items), chunk_size=size, executor=pool)
            return [r for part in parts for r in part]

        return run

    def __exit__(self, *exc: object) -> None:
        if self.own is not None:
            self.own.shutdown(wait=True)
            self.own = None
