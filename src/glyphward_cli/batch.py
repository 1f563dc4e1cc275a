"""Running a command over its fonts: --jobs, progress, summary, interrupts.

Each font is handled on its own by `work(task, cancel)` in a worker thread
(the threads wait on files and signers, which release the interpreter
lock); the main thread hands the fonts out a few at a time, and reports and
prints, in input order, as they finish.

SIGINT and SIGTERM are only recorded by their handler, which also wakes the
main thread: the main thread then stops handing out fonts, sets `cancel`,
and waits for the workers, which abandon their font at the next step that
looks at `cancel` (a signer run is killed, a file not yet renamed into place
is removed). A handler that raised could do so anywhere in the main thread,
inside the thread pool's own code included, and leave its locks held. The
fonts that finished meanwhile are counted in the summary.
"""
from __future__ import annotations

import queue
import signal
import sys
import threading
from contextlib import contextmanager
from types import FrameType
from typing import Any, Callable, Dict, Iterator, List, NamedTuple, Optional, Tuple

from .errors import Cancelled, FontFailure
from .text import path_text, terminal_text


class Task(NamedTuple):
    path: str                   # the input font, as given
    destination: Optional[str]  # where the result is written, if anywhere


Work = Callable[[Task, threading.Event], Any]
Show = Callable[[Task, Any, Optional[str], "Progress"], None]
Outcome = Tuple[Any, Optional[str]]  # (result, error message or None)
# What the workers and the signal handler put on the main thread's queue:
# (index, outcome) for a finished font, None to wake it.
Finished = Optional[Tuple[int, Outcome]]

_NOT_DONE = object()
# Fonts handed to the thread pool ahead of the workers, per worker.
_AHEAD = 2
# How long the main thread waits for a font before it looks at the signals
# again: they wake it anyway, unless the system delivered one to another
# thread.
_WAKE_EVERY = 0.2


def run_batch(tasks: List[Task], work: Work, show: Optional[Show] = None, *, jobs: int = 1,
              quiet: bool = False, verb: str = "handled", report_failures: bool = True) -> int:
    """Runs `work` on every task and returns the exit status: 0 when every
    font succeeded, 1 when any failed, 128 + the signal number when
    interrupted.

    Before `work` runs on a task with a destination, the destination is
    checked (atomic.check_destination): a font that could not be written
    fails before any work is spent on it.

    `show(task, result, error, progress)` is called in the main thread for
    each finished font, in input order; `error` is the failure's message or
    None. A failure is also reported on standard error as
    `glyphward: <path>: <message>`, unless `report_failures` is False (for a
    command whose `show` lists it).
    """
    from concurrent.futures import ThreadPoolExecutor

    total = len(tasks)
    batch = total > 1
    progress = Progress(total, enabled=batch and not quiet and sys.stderr.isatty())
    cancel = threading.Event()
    finished: "queue.SimpleQueue[Finished]" = queue.SimpleQueue()
    outcomes: List[Optional[Outcome]] = [None] * total
    counts = {"succeeded": 0, "failed": 0}
    workers = max(1, min(jobs, total))
    handed = arrived = shown = 0
    stopped: Optional[BaseException] = None

    def arrive(item: Tuple[int, Outcome]) -> None:
        index, outcome = item
        outcomes[index] = outcome
        result, error = outcome
        if result is not _NOT_DONE:
            counts["failed" if error is not None else "succeeded"] += 1

    def report_failure(task: Task, error: Optional[str]) -> None:
        if error is not None and report_failures:
            progress.error(f"glyphward: {path_text(task.path)}: {terminal_text(error)}")

    def show_safely(task: Task, result: Any, error: Optional[str]) -> None:
        """`show`, whose failure on one font's result (a bug that a hostile
        font brings out) fails that font, not the batch; standard output
        that cannot be written stops the batch."""
        assert show is not None
        try:
            show(task, result, error, progress)
        except OSError:
            raise
        except Exception as exception:
            if error is None:
                counts["succeeded"] -= 1
                counts["failed"] += 1
            progress.error(f"glyphward: {path_text(task.path)}: internal error: cannot show the result: "
                           f"{terminal_text(bug(exception))}")

    executor = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="glyphward")
    with _signals_recorded(finished) as signals:
        try:
            while shown < total and signals.signum is None:
                while handed < total and handed - arrived < _AHEAD * workers:
                    executor.submit(_attempt, work, tasks[handed], handed, cancel, finished)
                    handed += 1
                try:
                    item = finished.get(timeout=_WAKE_EVERY)
                except queue.Empty:
                    continue
                if item is None:
                    continue  # woken by a signal
                arrive(item)
                arrived += 1
                progress.advance(1)
                while shown < total:
                    outcome = outcomes[shown]
                    if outcome is None:
                        break
                    result, error = outcome
                    task = tasks[shown]
                    shown += 1
                    report_failure(task, error)
                    if show is not None:
                        show_safely(task, result, error)
        except BaseException as exception:
            # A failure of the main thread itself (standard output closed,
            # say): no font is started or written from here on.
            stopped = exception
        finally:
            if stopped is not None or signals.signum is not None:
                cancel.set()
            executor.shutdown(wait=True, cancel_futures=True)
            progress.close()
        # The fonts that finished while the batch was stopping are counted,
        # and their failures reported, but not shown.
        while True:
            try:
                item = finished.get_nowait()
            except queue.Empty:
                break
            if item is not None:
                arrive(item)
        for task, outcome in zip(tasks[shown:], outcomes[shown:]):
            if outcome is not None and outcome[0] is not _NOT_DONE:
                report_failure(task, outcome[1])

        if stopped is not None:
            raise stopped
        succeeded, failed = counts["succeeded"], counts["failed"]
        if signals.signum is not None:
            signals.reported = True
            if batch and not quiet:
                report(f"glyphward: interrupted: {verb} {_fonts(succeeded)}, {failed} failed, "
                       f"{total - succeeded - failed} not done")
            else:
                report("glyphward: interrupted")
            return 128 + signals.signum
        if batch and not quiet:
            report(f"{verb} {_fonts(succeeded)}, {failed} failed")
        return 1 if failed else 0


def _attempt(work: Work, task: Task, index: int, cancel: threading.Event,
             finished: "queue.SimpleQueue[Finished]") -> None:
    """Runs one font and puts its outcome on `finished`; never raises."""
    outcome: Outcome = (None, "internal error: no outcome")
    try:
        outcome = _outcome(work, task, cancel)
    finally:
        finished.put((index, outcome))


def _outcome(work: Work, task: Task, cancel: threading.Event) -> Outcome:
    from .atomic import check_destination

    if cancel.is_set():
        return _NOT_DONE, None
    try:
        if task.destination is not None:
            check_destination(task.destination)
        return work(task, cancel), None
    except FontFailure as failure:
        return failure.result, failure.message
    except Cancelled:
        if cancel.is_set():
            return _NOT_DONE, None
        return None, "internal error: cancelled without an interrupt"
    except ValueError as error:
        # The module's refusals, shown as it words them.
        return None, str(error)
    except MemoryError:
        return None, "out of memory"
    except BaseException as error:  # A bug (or the module's PanicException): one line, no traceback.
        return None, f"internal error: {bug(error)}"


# How much of an unexpected exception's message is shown.
_BUG_TEXT = 200


def bug(error: BaseException) -> str:
    """An unexpected exception in one line: its type and the start of its
    message (which may hold a font's text, and be long); never raises."""
    try:
        text = str(error)
    except Exception:
        text = "(a message that cannot be shown)"
    from glyphward_c2pa.shown import clipped

    text = clipped(text, _BUG_TEXT + 3)
    return f"{type(error).__name__}: {text}"


def _fonts(count: int) -> str:
    return f"{count} font" if count == 1 else f"{count} fonts"


class _Signals:
    """The first SIGINT or SIGTERM received, and the queue its handler wakes."""

    def __init__(self) -> None:
        self.signum: Optional[int] = None
        self.wake: "Optional[queue.SimpleQueue[Finished]]" = None
        self.raises_again = False
        self.reported = False  # whether the interruption was reported

    def record(self, signum: int, frame: Optional[FrameType]) -> None:
        """The handler. It records, and wakes the batch: it runs in the main
        thread between any two of its bytecodes, and SimpleQueue.put is the
        one wake-up call made to be safe there (it takes no lock that the
        interrupted code may hold)."""
        wake = self.wake
        if self.signum is None:
            self.signum = signum
        elif wake is None and self.raises_again:
            # A second signal before the batch: the command may be blocked
            # reading a file (--trust-anchors naming a FIFO); it is stopped.
            raise KeyboardInterrupt
        if wake is not None:
            wake.put(None)


# The recorder record_signals installed for the whole command, if any.
_recorder: Optional[_Signals] = None


def _take_over(signals: _Signals) -> Dict[int, Any]:
    """Makes `signals.record` the handler of SIGINT and SIGTERM (unless they
    were ignored when the command started, as in a background job); returns
    the handlers replaced. Only the main thread can."""
    previous: Dict[int, Any] = {}
    if threading.current_thread() is threading.main_thread():
        for signum in (signal.SIGINT, signal.SIGTERM):
            handler = signal.getsignal(signum)
            if handler in (signal.default_int_handler, signal.SIG_DFL):
                previous[signum] = handler
                signal.signal(signum, signals.record)
    return previous


@contextmanager
def record_signals() -> Iterator[_Signals]:
    """For the whole of a command, from its first line: SIGINT and SIGTERM
    are recorded, not raised (but for a second one that comes while no batch
    runs, see _Signals.record). A KeyboardInterrupt raised wherever the
    main thread happens to be (inside an import lock's callback, say, where
    Python prints it and goes on) could be lost; recorded, the signal stops
    the batch before it starts, or as it runs (run_batch), and the command
    ends with 128 + its number."""
    global _recorder
    signals = _Signals()
    signals.raises_again = True
    previous = _take_over(signals)
    _recorder = signals
    try:
        yield signals
    finally:
        _recorder = None
        for signum, handler in previous.items():
            signal.signal(signum, handler)


@contextmanager
def _signals_recorded(wake: "queue.SimpleQueue[Finished]") -> Iterator[_Signals]:
    """While inside, SIGINT and SIGTERM are recorded in the yielded object
    and wake the main thread by putting None on `wake`: through the command's
    recorder (record_signals) when there is one, which may hold a signal
    received before the batch began, or else through one installed here."""
    signals = _recorder if _recorder is not None else _Signals()
    previous = {} if signals is _recorder else _take_over(signals)
    signals.wake = wake
    signals.raises_again = False  # from now on, the batch stops the command
    try:
        yield signals
    finally:
        signals.wake = None
        for signum, handler in previous.items():
            signal.signal(signum, handler)


_report_lock = threading.Lock()
_bar_shown: Optional["Progress"] = None


def report(line: str) -> None:
    """Writes `line` to standard error, with its newline, in one piece: from
    any thread, above the progress bar while one is shown."""
    with _report_lock:
        progress = _bar_shown
        if progress is not None and progress._bar is not None:
            progress._bar.write(line, file=sys.stderr)
        else:
            sys.stderr.write(line + "\n")
            sys.stderr.flush()


class Progress:
    """A progress bar on standard error (count, rate, ETA), through tqdm when
    it is installed; while it is shown, standard error is written through
    `report` and standard output through `output`."""

    def __init__(self, total: int, enabled: bool):
        global _bar_shown
        self._bar: Any = None
        if enabled:
            try:
                from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]
            except ImportError:
                return
            self._bar = tqdm(total=total, unit="font", file=sys.stderr, dynamic_ncols=True, leave=False)
            with _report_lock:
                _bar_shown = self

    def advance(self, count: int) -> None:
        if self._bar is not None and count:
            self._bar.update(count)

    def error(self, line: str) -> None:
        report(line)

    def output(self, text: str) -> None:
        if self._bar is not None:
            with self._bar.external_write_mode(file=sys.stdout):
                sys.stdout.write(text)
                sys.stdout.flush()
        else:
            sys.stdout.write(text)

    def close(self) -> None:
        global _bar_shown
        if self._bar is not None:
            with _report_lock:
                if _bar_shown is self:
                    _bar_shown = None
            self._bar.close()
            self._bar = None
