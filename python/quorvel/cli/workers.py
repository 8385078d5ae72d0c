"""Reading many files with several worker threads, results in the order of the arguments."""

from __future__ import annotations

import os
import signal
import sys
import threading
import time
from collections import deque
from concurrent.futures import FIRST_COMPLETED, Executor, Future, ThreadPoolExecutor, wait
from typing import Callable, Iterator, Sequence, TypeVar

Result = TypeVar("Result")


def progress_text(done: int, total: int, elapsed: float, width: int = 24) -> str:
    """`[#.......................]  12/184  3.4 files/s  ETA 0:51`: files done, rate, time left."""
    filled = width * done // total if total else width
    bar = "#" * filled + "." * (width - filled)
    if done and elapsed > 0:
        rate = done / elapsed
        left = round((total - done) / rate)
        speed, eta = f"{rate:.1f} files/s", f"{left // 60}:{left % 60:02d}"
    else:
        speed, eta = "- files/s", "-"
    return f"[{bar}] {done:>{len(str(total))}}/{total}  {speed}  ETA {eta}"


class Progress:
    """A progress bar on standard error, only when it is a terminal and there are several files."""

    def __init__(self, total: int) -> None:
        self.total, self.done, self.width = total, 0, 0
        self.start = time.monotonic()
        self.active = total > 1 and sys.stderr.isatty()
        # how often a waiting reader redraws the bar, so that rate and ETA stay current
        self.refresh: float | None = 0.5 if self.active else None

    def update(self, done: int) -> None:
        self.done = done
        self.show()

    def show(self) -> None:
        if self.active:
            text = progress_text(self.done, self.total, time.monotonic() - self.start)
            sys.stderr.write("\r" + text.ljust(self.width))
            sys.stderr.flush()
            self.width = len(text)

    def clear(self) -> None:
        if self.active and self.width:
            sys.stderr.write("\r" + " " * self.width + "\r")
            sys.stderr.flush()
            self.width = 0


WORKER_NAME = "quorvel-reader"


def _executor(workers: int) -> Executor:
    # Threads: the reader parses without the interpreter lock, so they read in
    # parallel, and a Vasprun need not travel between processes.
    return ThreadPoolExecutor(workers, thread_name_prefix=WORKER_NAME)


def busy_workers() -> bool:
    return any(thread.name.startswith(WORKER_NAME) and thread.is_alive() for thread in threading.enumerate())


def leave_on_interrupt(status: int = 130) -> int:
    """After Ctrl-C: flushes what was printed and returns `status`; while worker threads
    still read, the process ends here with it (os._exit). Only the main thread sees
    signals, so a worker's parse (or a read that waits forever) cannot be stopped, and
    waiting for it, as the interpreter's exit does, could take any time."""
    in_main = threading.current_thread() is threading.main_thread()
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN) if in_main else None  # more Ctrl-C: no new traceback
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError):  # a closed or broken stream: nothing more to save
            pass
    if busy_workers():
        os._exit(status)
    if previous is not None:
        signal.signal(signal.SIGINT, previous)
    return status


def _in_order(pool: Executor, function: Callable[[str], Result], items: Sequence[str],
              failed: Callable[[str, str], Result], progress: Progress, ahead: int) -> Iterator[Result]:
    """function(item) for each item, yielded in the order of the items as soon as each and all
    before it are done. At most `ahead` items are read before their turn: results wait only
    for those before them, so the memory held is a few results, whatever the number of items."""
    running: deque[Future[Result]] = deque()
    submitted = yielded = 0
    while yielded < len(items):
        while submitted < len(items) and len(running) < ahead:
            running.append(pool.submit(function, items[submitted]))
            submitted += 1
        if not running[0].done():  # wake for any of them, to keep the bar current
            wait([future for future in running if not future.done()], timeout=progress.refresh,
                 return_when=FIRST_COMPLETED)
        progress.update(yielded + sum(future.done() for future in running))
        while running and running[0].done():
            future = running.popleft()
            try:
                result = future.result()
            except Exception as error:  # a worker failed: its file gets the error row
                result = failed(items[yielded], f"the worker reading the file failed: {error!r}")
            progress.clear()  # the bar and the output share the terminal
            yield result
            progress.show()
            yielded += 1


def results_in_order(function: Callable[[str], Result], items: Sequence[str], workers: int,
                     failed: Callable[[str, str], Result]) -> Iterator[Result]:
    """function(item) for each item, read by `workers` workers, in the order of items, with at
    most two items per worker read ahead of the one yielded next. One worker reads in this
    process. function must not raise: it reports failures in its result; failed(item, message)
    stands for a worker that died."""
    progress = Progress(len(items))
    try:
        if workers <= 1 or len(items) <= 1:
            for done, item in enumerate(items):
                progress.update(done)  # shown while the next file is read
                result = function(item)
                progress.clear()
                yield result
            return
        workers = min(workers, len(items))
        pool = _executor(workers)
        try:
            # two per worker: each has the next item at hand while a result waits for its turn
            yield from _in_order(pool, function, items, failed, progress, 2 * workers)
        except BaseException:  # Ctrl-C, or the consumer gone: the files not started are not read,
            pool.shutdown(wait=False, cancel_futures=True)  # and those being read are not waited for
            raise
        pool.shutdown(wait=True)
    finally:
        progress.clear()
