"""Batch work spread over processes or a cluster through ``concurrent.futures``.

Every batch operation takes ``executor=``:

- ``None``: one worker process per available processor, when the work pays for them;
- an ``int`` k: k worker processes, when the work pays for them;
- ``"serial"``: this process, no pickling (the engine's own thread pool still runs);
- any ``concurrent.futures.Executor``: a ``ProcessPoolExecutor``, ``dask.distributed``'s
  ``Client.get_executor()``, ``mpi4py.futures.MPIPoolExecutor``. It is used, not shut down.

``None`` and ``k`` first run one chunk in this process, timed, and go on in this process unless
the rest, spread over the workers and the processors other work leaves free (by the load
average), is estimated to save more than the workers cost: starting them
(measured when a pool was last started) and shipping the chunks. The workers are kept: one pool
per process, made at the first call that needs it, reused by later calls with the same worker
count, replaced by one of a new size, rebuilt when broken (a worker killed) or in a forked
child, and shut down at exit. ``with process_pool(k) as pool`` holds a pool of one's own: every
chunk goes to it, nothing is estimated.

Pools spawn fresh interpreters, so a script that runs a batch operation at import needs the usual
``if __name__ == "__main__":`` guard.

Work travels as a pickled payload (a :class:`~lamina_design.optics.stack.Stack` and what the task
needs) and a chunk of sample indices [start, stop). A worker process runs the engine on one
thread (``RAYON_NUM_THREADS=1``, set before its first computation), so workers do not compete
for processors; an executor working in this process leaves the environment alone. Results come back in chunk order whatever order the chunks finish in; the
operations built on this module draw each sample's randomness from the sample's own index, so
their results do not depend on the executor, the number of workers or the chunk size.

Ctrl-C (KeyboardInterrupt) ends a call at once: the serial executor runs one chunk at a time and
lets it through, chunks not started are cancelled, and the kept pool has its workers terminated
rather than waited for (the next call starts a fresh one). The results of an interrupted call
are discarded.
"""
from __future__ import annotations

import atexit
import concurrent.futures as cf
import math
import multiprocessing
import os
import threading
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Generic, Iterable, List, Optional, Tuple, TypeVar, Union

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


def _worker_start(parent: int) -> None:
    _single_threaded()
    # A kept worker outlives calls: if its parent dies without shutting the pool (SIGKILL,
    # os._exit), the worker ends itself rather than wait for work forever.
    def watch() -> None:
        while os.getppid() == parent:
            time.sleep(1.0)
        os._exit(0)

    threading.Thread(target=watch, name="lamina-parent-watch", daemon=True).start()


def _free_processors() -> float:
    """Processors not taken by other work, by the last minute's load (this process's own counted out)."""
    try:
        load = os.getloadavg()[0]
    except (AttributeError, OSError):  # pragma: no cover - no load average here
        return float(available_workers())
    return min(max(available_workers() - max(load - 1.0, 0.0), 1.0), float(available_workers()))


def available_workers() -> int:
    """Processors this process may run on (its affinity mask), at least 1."""
    try:
        return max(len(os.sched_getaffinity(0)), 1)
    except AttributeError:  # pragma: no cover - not Linux
        return max(os.cpu_count() or 1, 1)


def worker_limit() -> int:
    """The most worker processes a pool may have here: a few per available processor."""
    return WORKERS_PER_PROCESSOR * available_workers()


def _checked_workers(max_workers: Optional[int]) -> int:
    workers = available_workers() if max_workers is None else int(max_workers)
    if workers < 1:
        raise ValueError(f"a process pool needs at least 1 worker, got {max_workers!r}")
    most = worker_limit()
    if workers > most:
        raise ValueError(f"a process pool of {workers} workers: at most {most} allowed here "
                         f"({WORKERS_PER_PROCESSOR} per available processor)")
    return workers


def process_pool(max_workers: Optional[int] = None) -> cf.ProcessPoolExecutor:
    """A process pool whose workers run the engine on one thread each.

    Workers are spawned, not forked: a fork of a process running threads (the engine's pool, a
    Dask client) is unsafe, and a spawned worker sets its environment before it imports anything.
    At most :func:`worker_limit` workers: a pool starts one process per task up to its size.
    """
    workers = _checked_workers(max_workers)
    return cf.ProcessPoolExecutor(max_workers=workers, mp_context=multiprocessing.get_context("spawn"),
                                  initializer=_worker_start, initargs=(os.getpid(),))


@dataclass
class _Costs:
    """What going parallel was last measured to cost, in seconds (a guess until measured)."""

    startup: float = 2.0        # a new pool: from its making to its first result, less the chunk's work
    per_chunk: float = 0.005    # shipping one chunk and its result to and from a warm worker
    slowdown: float = 1.0       # a worker's time per sample over this process's (its engine has one thread)


_costs = _Costs()
_lock = threading.Lock()
# The kept pool: its worker count, the pool and the process that made it.
_kept: Dict[str, Any] = {}


def _forget_kept() -> None:
    # A forked child shares no live pool with its parent: it starts its own when it needs one (and
    # the lock may have been held by a thread the fork left behind).
    global _lock
    _lock = threading.Lock()
    _kept.clear()


def _shut_kept() -> None:
    with _lock:
        pool = _kept.get("pool")
        mine = _kept.get("pid") == os.getpid()
        _kept.clear()
    if pool is not None and mine:
        pool.shutdown(wait=True, cancel_futures=True)


atexit.register(_shut_kept)
if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_kept)


def _kept_pool(workers: int, make: bool) -> Optional[cf.ProcessPoolExecutor]:
    """The kept pool of ``workers`` workers, made (or remade) if ``make``, else None if there is none."""
    with _lock:
        pool = _kept.get("pool")
        usable = (pool is not None and _kept.get("workers") == workers and _kept.get("pid") == os.getpid()
                  and not getattr(pool, "_broken", False) and not getattr(pool, "_shutdown_thread", False))
        if usable:
            return pool
        if not make:
            return None
        old = pool if _kept.get("pid") == os.getpid() else None
        _kept.clear()
    if old is not None:
        _terminate_workers(old)
    pool = process_pool(workers)
    with _lock:
        _kept.update(pool=pool, workers=workers, pid=os.getpid())
    return pool


def _drop_kept(pool: cf.Executor, terminate: bool) -> None:
    """Stops using ``pool`` as the kept one; ends its workers at once if ``terminate``."""
    with _lock:
        if _kept.get("pool") is pool:
            _kept.clear()
    if terminate:
        _terminate_workers(pool)
    else:
        pool.shutdown(wait=False, cancel_futures=True)


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


def _resolve(executor: ExecutorLike, tasks: Optional[int] = None) -> Union[int, cf.Executor]:
    """A worker count for the kept pool, or the executor to use as given.

    Given the number of ``tasks``, a count beyond the limit is cut to it: as many workers as
    there are tasks were always enough.
    """
    if executor is None:
        return available_workers()
    if isinstance(executor, str):
        if executor != "serial":
            raise ValueError(f"executor must be None, a worker count, 'serial' or an Executor, got {executor!r}")
        return SerialExecutor()
    if isinstance(executor, bool):
        raise TypeError("executor must be None, a worker count, 'serial' or an Executor, not a bool")
    if isinstance(executor, int):
        count = int(executor)
        if tasks is not None and count > worker_limit():
            count = min(count, max(tasks, 1))
        return _checked_workers(count)
    if not callable(getattr(executor, "submit", None)):
        raise TypeError(f"executor must have a submit() method as concurrent.futures executors do, got {executor!r}")
    return executor


def map_chunks(fn: Callable[[P, int, int], R], payload: P, total: int, *, chunk_size: int,
               executor: ExecutorLike = None, progress: Optional[Progress] = None,
               stop: Optional[Callable[[], bool]] = None) -> List[R]:
    """``fn(payload, start, stop)`` for every chunk of 0…total, results in chunk order.

    ``fn`` must be a module-level function and ``payload`` picklable unless the executor is
    serial. The first failing chunk's exception is raised here, the chunks not started cancelled.
    ``stop()`` is asked as chunks finish: once it says True the chunks not started are
    cancelled and the results of the leading chunks done so far are returned (fewer than asked).
    """
    bounds = chunk_bounds(total, chunk_size)
    chosen = _resolve(executor)
    task = _Task(fn, payload)
    halt = _Halt(stop)
    if isinstance(chosen, int):
        out = _map_kept(task, bounds, total, chosen, progress, halt)
    else:
        out = _map_on(chosen, task, bounds, total, progress, 0, [None] * len(bounds), halt)
    return out[:halt.leading(len(bounds))]


class _Halt:
    """A map's stop request and which chunks are done, so that a stopped map returns the leading ones."""

    def __init__(self, stop: Optional[Callable[[], bool]]) -> None:
        self.stop = stop
        self.done: set[int] = set()
        self.asked = False

    def finished(self, k: int) -> bool:
        """Records chunk k as done; whether the map should stop now."""
        self.done.add(k)
        if self.stop is not None and not self.asked and self.stop():
            self.asked = True
        return self.asked

    def leading(self, count: int) -> int:
        if not self.asked:
            return count
        k = 0
        while k in self.done:
            k += 1
        return k


def _map_on(pool: cf.Executor, task: Callable[[int, int], Any], bounds: List[Tuple[int, int]], total: int,
            progress: Optional[Progress], first: int, results: List[Any], halt: Optional[_Halt] = None) -> List[Any]:
    """Chunks ``first``… of ``bounds`` on ``pool``, into ``results``."""
    # The serial executor computes at submit: each chunk is submitted when its turn comes, so
    # progress is reported as chunks finish.
    lazy = isinstance(pool, SerialExecutor)
    futures: List[cf.Future[Any]] = []
    done = sum(stop - start for start, stop in bounds[:first])
    try:
        if not lazy:
            futures = [pool.submit(task, start, stop) for start, stop in bounds[first:]]
        # In chunk order, so the failure reported is the first chunk's whatever finished first.
        for k, (start, stop) in enumerate(bounds[first:]):
            if lazy:
                futures.append(pool.submit(task, start, stop))
            results[first + k] = futures[k].result()
            done += stop - start
            if progress is not None:
                progress(done, total)
            if halt is not None and halt.finished(first + k):
                for future in futures[k + 1:]:
                    future.cancel()
                break
    except BaseException:
        for future in futures:
            future.cancel()
        raise
    return results


def _rising(progress: Progress) -> Progress:
    most = [0]

    def report(done: int, total: int) -> None:
        if done > most[0]:
            most[0] = done
            progress(done, total)

    return report


@dataclass(frozen=True)
class _Timed:
    """A chunk's call that also returns its time in the worker."""

    task: Callable[[int, int], Any]

    def __call__(self, start: int, stop: int) -> Tuple[float, Any]:
        began = time.perf_counter()
        result = self.task(start, stop)
        return time.perf_counter() - began, result


def _map_kept(task: Callable[[int, int], Any], bounds: List[Tuple[int, int]], total: int, workers: int,
              progress: Optional[Progress], halt: Optional[_Halt] = None) -> List[Any]:
    """The chunks in this process or shared with the kept pool, whichever the first chunk's time
    says is sooner. Ctrl-C ends the kept pool's workers wherever it lands, in a chunk computed
    here too: an interrupted user expects no process of the run left behind."""
    try:
        return _map_kept_or_here(task, bounds, total, workers, progress, halt)
    except BaseException as exc:
        if not isinstance(exc, Exception):
            _terminate_kept()
        raise


def _terminate_kept() -> None:
    """Ends this process's kept pool, if there is one (the next call that pays for it starts anew)."""
    with _lock:
        pool = _kept.get("pool") if _kept.get("pid") == os.getpid() else None
        if pool is not None:
            _kept.clear()
    if pool is not None:
        _terminate_workers(pool)


def _map_kept_or_here(task: Callable[[int, int], Any], bounds: List[Tuple[int, int]], total: int, workers: int,
                      progress: Optional[Progress], halt: Optional[_Halt] = None) -> List[Any]:
    results: List[Any] = [None] * len(bounds)
    if not bounds:
        return results
    if progress is not None:
        progress = _rising(progress)  # chunks redone on a fresh pool are not reported twice
    # The first chunk runs here: it measures the work and counts towards the result either way.
    start, stop = bounds[0]
    began = time.perf_counter()
    results[0] = task(start, stop)
    per_sample = (time.perf_counter() - began) / max(stop - start, 1)
    if progress is not None:
        progress(stop, total)
    rest = bounds[1:]
    if not rest or (halt is not None and halt.finished(0)):
        return results
    here = per_sample * (total - stop)
    pool = _kept_pool(workers, make=False)
    busy = min(workers, len(rest))
    widest = max(b - a for a, b in rest)
    # The workers and this process share the chunks, as far as other work leaves processors free;
    # the last chunk to finish ends the run.
    lanes = min(busy + 1.0, _free_processors())
    spread = per_sample * _costs.slowdown * max((total - stop) / lanes, -(-len(rest) // (busy + 1)) * widest)
    cost = _costs.per_chunk * len(rest) + (0.0 if pool is not None else _costs.startup)
    if spread + cost >= 0.9 * here:
        # A slowdown measured under a passing load must not keep every later call here.
        _costs.slowdown = max(1.0, 0.8 * _costs.slowdown)
        return _map_on(SerialExecutor(), task, bounds, total, progress, 1, results, halt)
    made = pool is None
    made_at = time.perf_counter()
    pool = _kept_pool(workers, make=True)
    assert pool is not None
    for attempt in (0, 1):
        try:
            timing = _share(pool, workers, task, bounds, total, progress, results, halt)
            break
        except cf.process.BrokenProcessPool:
            # A worker died (killed, out of memory): a fresh pool redoes the chunks, once.
            _drop_kept(pool, terminate=True)
            if attempt:
                raise
            pool = _kept_pool(workers, make=True)
            assert pool is not None
            made, made_at = True, time.perf_counter()
        except BaseException as exc:
            if not isinstance(exc, Exception):
                _drop_kept(pool, terminate=True)  # an interrupt does not wait for the chunks in flight
            raise
    worker_time, worker_samples, first_result = timing
    if per_sample > 0 and worker_samples:
        _costs.slowdown = min(max(worker_time / worker_samples / per_sample, 0.5), 8.0)
    if made and first_result is not None:
        _costs.startup = max(first_result - made_at, 0.0)
    return results


def _share(pool: cf.Executor, workers: int, task: Callable[[int, int], Any], bounds: List[Tuple[int, int]],
           total: int, progress: Optional[Progress],
           results: List[Any], halt: Optional[_Halt] = None) -> Tuple[float, int, Optional[float]]:
    """Chunks 1… of ``bounds`` into ``results``: the pool takes them from the front, a few at a time
    so that none waits long in its queue, and this process from the back while the workers run.

    Returns the workers' time, the samples they did and when the first of their results came (less
    its work). A failure is raised once every chunk before it has run, so that the first failing
    chunk's is the one reported.
    """
    timed = _Timed(task)
    pending = list(range(1, len(bounds)))
    flying: Dict[cf.Future[Any], int] = {}
    failed: Dict[int, BaseException] = {}
    done = bounds[0][1] - bounds[0][0]
    worker_time, worker_samples = 0.0, 0
    first_result: Optional[float] = None

    def finished(k: int) -> None:
        nonlocal done
        done += bounds[k][1] - bounds[k][0]
        if progress is not None:
            progress(done, total)
        if halt is not None and halt.finished(k):
            pending.clear()  # a stop: nothing more starts, the chunks in flight are let go

    def failure(k: int, exc: BaseException) -> None:
        failed[k] = exc
        pending[:] = [j for j in pending if j < k]  # later chunks no longer matter

    def collect(futures: Iterable[cf.Future[Any]]) -> None:
        nonlocal worker_time, worker_samples, first_result
        for future in futures:
            k = flying.pop(future)
            exc = future.exception()
            if exc is not None:
                if isinstance(exc, cf.process.BrokenProcessPool):
                    raise exc
                failure(k, exc)
                continue
            seconds, results[k] = future.result()
            worker_time += seconds
            worker_samples += bounds[k][1] - bounds[k][0]
            if first_result is None:
                first_result = time.perf_counter() - seconds
            finished(k)

    try:
        while pending or (flying and not (halt is not None and halt.asked)):
            while pending and len(flying) <= workers:
                k = pending.pop(0)
                flying[pool.submit(timed, *bounds[k])] = k
            if pending:
                k = pending.pop()
                try:
                    results[k] = task(*bounds[k])
                    finished(k)
                except Exception as exc:
                    failure(k, exc)
                collect([f for f in list(flying) if f.done()])
            elif flying:
                collect(cf.wait(list(flying), return_when=cf.FIRST_COMPLETED).done)
    except BaseException:
        for future in flying:
            future.cancel()
        raise
    for future in flying:  # left by a stop
        future.cancel()
    if failed:
        raise failed[min(failed)]
    return worker_time, worker_samples, first_result


def _terminate_workers(pool: cf.Executor) -> None:
    """Ends the worker processes of a pool this module made, and reaps them."""
    terminate = getattr(pool, "terminate_workers", None)
    if callable(terminate):  # Python 3.14
        terminate()
        return
    processes = list((getattr(pool, "_processes", None) or {}).values())
    # Tasks still queued for the dead workers may hold the queue's feeder thread on a full pipe;
    # without this the pool's own thread, and the interpreter's exit after it, wait for it forever.
    queue = getattr(pool, "_call_queue", None)
    if queue is not None:
        queue.cancel_join_thread()
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
    worker count maps on the kept pool (which starts at most one worker per task) when the first piece, run
    here, says the rest is worth it; an executor (a process pool, ``dask.distributed``'s
    ``Client.get_executor()``) is used as given. Tasks travel ``pieces`` chunks at a time;
    results come back in order.
    """

    def __init__(self, executor: ExecutorLike, tasks: int = 2, pieces: int = 8) -> None:
        self.executor = executor
        self.tasks = tasks
        self.pieces = max(1, pieces)

    def __enter__(self) -> MapLike:
        executor = self.executor
        if (isinstance(executor, str) and executor == "serial") or (executor is None and self.tasks < 2):
            return lambda fn, items: [fn(item) for item in items]
        # A count stands for the kept pool at its full size, so that one pool serves every call: a
        # pool starts a worker only when a chunk finds none idle, so a few tasks still start only a few.
        target = _resolve(executor, self.tasks)

        def run(fn: Callable[[Any], Any], items: List[Any]) -> List[Any]:
            size = max(1, math.ceil(len(items) / self.pieces))
            parts = map_chunks(_each, (fn, list(items)), len(items), chunk_size=size, executor=target)
            return [r for part in parts for r in part]

        return run

    def __exit__(self, *exc: object) -> None:
        pass
