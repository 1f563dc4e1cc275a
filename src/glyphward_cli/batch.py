"""Running a command over its fonts: --jobs, progress, summary, interrupts.

Each font is handled on its own by `work(task, cancel)` in a worker thread
(the threads wait on files and signers, which release the interpreter
lock); the main thread only waits, reports and prints, in input order. So a
Ctrl-C, which Python delivers to the main thread, never lands in the middle
of writing a file: the main thread sets `cancel`, stops handing out fonts,
and waits for the workers, which abandon their font at the next step that
looks at `cancel` (a signer run is killed, a file not yet renamed into place
is removed).
"""
from __future__ import annotations

import signal
import sys
import threading
from contextlib import contextmanager
from typing import Any, Callable, Iterator, List, NamedTuple, Optional, Tuple

from .errors import Cancelled, FontFailure, Interrupted


class Task(NamedTuple):
    path: str                   # the input font, as given
    destination: Optional[str]  # where the result is written, if anywhere


Work = Callable[[Task, threading.Event], Any]
Show = Callable[[Task, Any, Optional[str], "Progress"], None]

_NOT_DONE = object()


def run_batch(tasks: List[Task], work: Work, show: Optional[Show] = None, *, jobs: int = 1,
              quiet: bool = False, verb: str = "handled") -> int:
    """Runs `work` on every task and returns the exit status: 0 when every
    font succeeded, 1 when any failed, 128 + the signal number when
    interrupted.

    `show(task, result, error, progress)` is called in the main thread for
    each finished font, in input order; `error` is the failure's message or
    None. A failure is also reported on standard error as
    `glyphward: <path>: <message>`.
    """
    from concurrent.futures import ThreadPoolExecutor, as_completed

    batch = len(tasks) > 1
    progress = Progress(len(tasks), enabled=batch and not quiet and sys.stderr.isatty())
    cancel = threading.Event()
    counts = {"succeeded": 0, "failed": 0}
    futures: list = []
    shown = 0
    stopped: Optional[BaseException] = None

    def settle(task: Task, error: Optional[str]) -> None:
        counts["failed" if error is not None else "succeeded"] += 1
        if error is not None:
            progress.error(f"glyphward: {task.path}: {error}")

    executor = ThreadPoolExecutor(max_workers=max(1, min(jobs, len(tasks))), thread_name_prefix="glyphward")
    with _signals_raise() as ignore_signals:
        try:
            futures = [executor.submit(_attempt, work, task, cancel) for task in tasks]
            for _ in as_completed(futures):
                progress.advance(1)
                while shown < len(futures) and futures[shown].done():
                    result, error = futures[shown].result()
                    task = tasks[shown]
                    shown += 1
                    settle(task, error)
                    if show is not None:
                        show(task, result, error, progress)
        except BaseException as exception:
            # An interrupt, or a failure of the main thread itself (standard
            # output closed, say): no font is started or written from here on.
            cancel.set()
            ignore_signals()
            stopped = exception
        finally:
            executor.shutdown(wait=True, cancel_futures=True)
            progress.close()
        if stopped is not None:
            # Fonts finished while the interrupt was handled are counted, and
            # their failures reported, but not shown.
            for task, future in zip(tasks[shown:], futures[shown:]):
                if future.done() and not future.cancelled():
                    result, error = future.result()
                    if result is not _NOT_DONE:
                        settle(task, error)

    succeeded, failed = counts["succeeded"], counts["failed"]
    if stopped is not None:
        if not isinstance(stopped, Interrupted):
            raise stopped
        if batch and not quiet:
            print(f"glyphward: interrupted: {verb} {_fonts(succeeded)}, {failed} failed, "
                  f"{len(tasks) - succeeded - failed} not done", file=sys.stderr, flush=True)
        else:
            print("glyphward: interrupted", file=sys.stderr, flush=True)
        return 128 + stopped.signum
    if batch and not quiet:
        print(f"{verb} {_fonts(succeeded)}, {failed} failed", file=sys.stderr, flush=True)
    return 1 if failed else 0


def _attempt(work: Work, task: Task, cancel: threading.Event) -> Tuple[Any, Optional[str]]:
    """Runs one font; never raises."""
    if cancel.is_set():
        return _NOT_DONE, None
    try:
        return work(task, cancel), None
    except FontFailure as failure:
        return failure.result, failure.message
    except Cancelled:
        return _NOT_DONE, None
    except ValueError as error:
        # The module's refusals, shown as it words them.
        return None, str(error)
    except MemoryError:
        return None, "out of memory"
    except BaseException as error:  # A bug (or the module's PanicException): one line, no traceback.
        return None, f"internal error: {type(error).__name__}: {error}"


def _fonts(count: int) -> str:
    return f"{count} font" if count == 1 else f"{count} fonts"


@contextmanager
def _signals_raise() -> Iterator[Callable[[], None]]:
    """While inside, SIGINT and SIGTERM raise Interrupted in the main thread
    (unless they were ignored when the command started, as in a background
    job). Yields a function that ignores them from then on, for the cleanup
    after the first one."""
    def raise_interrupted(signum, frame):
        raise Interrupted(signum)

    previous = {}
    for signum in (signal.SIGINT, signal.SIGTERM):
        handler = signal.getsignal(signum)
        if handler in (signal.default_int_handler, signal.SIG_DFL):
            previous[signum] = handler
            signal.signal(signum, raise_interrupted)

    def ignore() -> None:
        for signum in previous:
            signal.signal(signum, signal.SIG_IGN)

    try:
        yield ignore
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


class Progress:
    """A progress bar on standard error (count, rate, ETA), through tqdm when
    it is installed; and the one place that prints while it is shown."""

    def __init__(self, total: int, enabled: bool):
        self._bar = None
        if enabled:
            try:
                from tqdm import tqdm
            except ImportError:
                return
            self._bar = tqdm(total=total, unit="font", file=sys.stderr, dynamic_ncols=True, leave=False)

    def advance(self, count: int) -> None:
        if self._bar is not None and count:
            self._bar.update(count)

    def error(self, line: str) -> None:
        if self._bar is not None:
            self._bar.write(line, file=sys.stderr)
        else:
            print(line, file=sys.stderr, flush=True)

    def output(self, text: str) -> None:
        if self._bar is not None:
            with self._bar.external_write_mode(file=sys.stdout):
                sys.stdout.write(text)
                sys.stdout.flush()
        else:
            sys.stdout.write(text)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None
