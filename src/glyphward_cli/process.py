"""Running an external program for one font: a signer, a key command.

The program (a command line run without a shell) is given its whole
standard input and its standard output is collected, up to a limit. Each
line of its standard error is passed on as `glyphward: FONT: LABEL: line`,
in one piece, so that the logs of a batch run with --jobs N can be read.

The program runs in a session of its own, so that it and everything it
starts form one process group: a timeout, an oversized output or an
interrupt kills the whole group, and the program is always waited for.
"""
from __future__ import annotations

import os
import selectors
import signal
import subprocess
import threading
import time
from typing import IO, List, Optional

from glyphward_c2pa.shown import clipped

from .batch import report
from .errors import Cancelled, FontFailure

# How often a waiting run looks at the cancel flag and the deadline, in seconds.
_POLL = 0.1
# A line of standard error longer than this is passed on in pieces.
_LONGEST_LINE = 8192
# How much of the last line of standard error a failure message quotes.
_QUOTED = 200


def run_process(command: List[str], stdin: bytes, limit: int, timeout: float, cancel: threading.Event,
                label: str, font: str, *, limit_text: str = "", timeout_option: str = "") -> bytes:
    """Runs `command` with `stdin` on its standard input and returns what it
    wrote to its standard output, at most `limit` bytes.

    `label` names the program in messages ("the signer failed ...") and in
    the prefix of its standard error lines (`glyphward: FONT: signer: ...`),
    `font` being the path shown. `limit_text` words the limit in the message
    for too long an output (default "`limit` bytes"); `timeout_option` names
    the option that sets `timeout`, shown in the message for a timeout.

    Raises FontFailure when the program cannot start, exits non-zero or by a
    signal (quoting its last line of standard error), writes nothing or more
    than `limit` bytes, or runs past `timeout` seconds; Cancelled when
    `cancel` is set meanwhile. In each of these cases the program's whole
    process group is killed first.
    """
    try:
        process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, start_new_session=True, close_fds=True)
    except OSError as error:
        raise FontFailure(f"cannot run the {label} {command[0]!r}: {error.strerror}") from None
    run = _Run(process, label, limit, limit_text or f"{limit} bytes", timeout, timeout_option, cancel,
               _Lines(f"glyphward: {font}: {label}: "))
    finished = False
    try:
        run.exchange(stdin)
        finished = True
    finally:
        if not finished:
            _kill_group(process)
        for stream in (process.stdin, process.stdout, process.stderr):
            if stream is not None and not stream.closed:
                stream.close()
        process.wait()
        run.lines.close()

    status = process.returncode
    said = run.lines.last
    quote = f': "{said}"' if said else ""
    if status < 0:
        try:
            name = signal.Signals(-status).name
        except ValueError:
            name = f"signal {-status}"
        raise FontFailure(f"the {label} was killed by {name}{quote}")
    if status != 0:
        raise FontFailure(f"the {label} failed with exit status {status}{quote}")
    if not run.output:
        raise FontFailure(f"the {label} wrote nothing to its standard output")
    return bytes(run.output)


class _Lines:
    """Passes on a program's standard error line by line, with a prefix,
    and keeps its last non-blank line for a failure message."""

    def __init__(self, prefix: str):
        self.prefix = prefix
        self.pending = b""
        self.last = ""

    def feed(self, chunk: bytes) -> None:
        *lines, self.pending = (self.pending + chunk).split(b"\n")
        for line in lines:
            self._pass_on(line)
        while len(self.pending) > _LONGEST_LINE:
            self._pass_on(self.pending[:_LONGEST_LINE])
            self.pending = self.pending[_LONGEST_LINE:]

    def close(self) -> None:
        if self.pending:
            self._pass_on(self.pending)
            self.pending = b""

    def _pass_on(self, line: bytes) -> None:
        text = line.rstrip(b"\r").decode("utf-8", "replace")
        report(self.prefix + text)
        shown = clipped("".join(c if c.isprintable() else " " for c in text).strip(), _QUOTED + 3)
        if shown:
            self.last = shown


class _Run:
    def __init__(self, process: "subprocess.Popen[bytes]", label: str, limit: int, limit_text: str,
                 timeout: float, timeout_option: str, cancel: threading.Event, lines: _Lines):
        self.process = process
        self.label = label
        self.limit = limit
        self.limit_text = limit_text
        self.timeout = timeout
        self.timeout_option = timeout_option
        self.deadline = time.monotonic() + timeout
        self.cancel = cancel
        self.lines = lines
        self.output = bytearray()

    def exchange(self, payload: bytes) -> None:
        """Writes `payload`, reads standard output and error, until the
        program has exited and closed its standard output. What is left of
        its standard error then is read without waiting: a process it
        started may still hold that pipe open."""
        process = self.process
        stdin, stdout, stderr = process.stdin, process.stdout, process.stderr
        assert stdin is not None and stdout is not None and stderr is not None
        for stream in (stdin, stderr):
            os.set_blocking(stream.fileno(), False)
        sent = 0
        with selectors.DefaultSelector() as selector:
            if payload:
                selector.register(stdin, selectors.EVENT_WRITE)
            else:
                stdin.close()
            selector.register(stdout, selectors.EVENT_READ)
            selector.register(stderr, selectors.EVENT_READ)
            while True:
                self._check()
                open_streams = selector.get_map().values()
                if all(key.fileobj is not stdout for key in open_streams):
                    if all(key.fileobj is not stderr for key in open_streams):
                        self._wait()
                        return
                    if process.poll() is not None:
                        self._read_what_is_left(stderr)
                        return
                for key, _ in selector.select(self._slice()):
                    if key.fileobj is stdin:
                        try:
                            sent += os.write(stdin.fileno(), payload[sent:sent + 65536])
                        except BlockingIOError:
                            continue
                        except BrokenPipeError:
                            sent = len(payload)  # It does not read it all; its exit status tells.
                        if sent == len(payload):
                            selector.unregister(stdin)
                            stdin.close()
                    elif key.fileobj is stderr:
                        chunk = self._read(stderr, 65536)
                        if chunk:
                            self.lines.feed(chunk)
                        elif chunk is not None:
                            selector.unregister(stderr)
                    else:
                        chunk = os.read(stdout.fileno(), min(65536, self.limit + 1 - len(self.output)))
                        if not chunk:
                            selector.unregister(stdout)
                            continue
                        self.output += chunk
                        if len(self.output) > self.limit:
                            raise FontFailure(f"the {self.label} wrote more than {self.limit_text}")

    def _wait(self) -> None:
        while True:
            self._check()
            try:
                self.process.wait(self._slice())
                return
            except subprocess.TimeoutExpired:
                pass

    def _read_what_is_left(self, stream: IO[bytes]) -> None:
        for _ in range(16):  # bounded: a process left behind may go on writing
            chunk = self._read(stream, 65536)
            if not chunk:
                return
            self.lines.feed(chunk)

    @staticmethod
    def _read(stream: IO[bytes], size: int) -> Optional[bytes]:
        """Up to `size` bytes; b"" at the end, None when nothing is there yet."""
        try:
            return os.read(stream.fileno(), size)
        except BlockingIOError:
            return None

    def _slice(self) -> float:
        return max(0.0, min(_POLL, self.deadline - time.monotonic()))

    def _check(self) -> None:
        if self.cancel.is_set():
            raise Cancelled()
        if time.monotonic() >= self.deadline:
            option = f" ({self.timeout_option})" if self.timeout_option else ""
            raise FontFailure(f"the {self.label} did not finish within {self.timeout:g} "
                              f"second{'' if self.timeout == 1 else 's'}{option} and was killed")


def _kill_group(process: "subprocess.Popen[bytes]") -> None:
    # The program leads its own process group (start_new_session), and is
    # not reaped yet, so the group id cannot have been reused.
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
