"""The commands that turn each font into a new font and write it."""
from __future__ import annotations

import argparse
import threading
from typing import Callable, List

from .atomic import write_atomically
from .batch import Task, run_batch
from .files import read_font


def rewrite(todo: List[Task], args: argparse.Namespace, change: Callable[[bytes], bytes], verb: str) -> int:
    """Reads each input font, applies `change` (one of the module's writing
    calls) and writes the result atomically to the task's destination."""
    def work(task: Task, cancel: threading.Event) -> None:
        assert task.destination is not None
        write_atomically(task.destination, change(read_font(task.path)), cancel)

    return run_batch(todo, work, jobs=getattr(args, "jobs", 1), quiet=args.quiet, verb=verb)
