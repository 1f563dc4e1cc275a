"""Running an external signer, once per font.

The protocol: the command line (split like a shell line, run without a
shell) gets one JSON object on its standard input, describing the reserved
font and the hash to sign, and writes the signed Manifest Store, raw bytes,
to its standard output, exiting 0. Its standard error goes to ours.

The signer runs in a session of its own, so that it and everything it
starts form one process group: a timeout, an oversized output or an
interrupt kills the whole group, and the signer is always waited for.
"""
from __future__ import annotations

import json
import os
import selectors
import signal
import subprocess
import threading
import time
from typing import Any, Dict, List

from .errors import Cancelled, FontFailure

# How often a waiting signer run looks at the cancel flag, in seconds.
_POLL = 0.1


def run_signer(command: List[str], request: Dict[str, Any], limit: int, timeout: float,
               cancel: threading.Event) -> bytes:
    """Runs `command` with `request` as JSON on its standard input and returns
    what it wrote to its standard output, at most `limit` bytes.

    Raises FontFailure when the signer cannot start, exits non-zero or by a
    signal, writes nothing or more than `limit` bytes, or runs past
    `timeout` seconds; Cancelled when `cancel` is set meanwhile.
    """
    payload = json.dumps(request).encode("utf-8") + b"\n"
    try:
        process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   start_new_session=True, close_fds=True)
    except OSError as error:
        raise FontFailure(f"cannot run the signer {command[0]!r}: {error.strerror}") from None
    deadline = time.monotonic() + timeout
    output = bytearray()
    finished = False
    try:
        _exchange(process, payload, output, limit, deadline, timeout, cancel)
        while process.poll() is None:
            _check(deadline, timeout, cancel)
            try:
                process.wait(min(_POLL, max(0.0, deadline - time.monotonic())))
            except subprocess.TimeoutExpired:
                pass
        finished = True
    finally:
        if not finished:
            _kill_group(process)
        for stream in (process.stdin, process.stdout):
            if stream is not None and not stream.closed:
                stream.close()
        process.wait()

    status = process.returncode
    if status < 0:
        try:
            name = signal.Signals(-status).name
        except ValueError:
            name = f"signal {-status}"
        raise FontFailure(f"the signer was killed by {name}")
    if status != 0:
        raise FontFailure(f"the signer failed with exit status {status}")
    if not output:
        raise FontFailure("the signer wrote nothing to its standard output")
    return bytes(output)


def _exchange(process: subprocess.Popen, payload: bytes, output: bytearray, limit: int,
              deadline: float, timeout: float, cancel: threading.Event) -> None:
    """Writes the request and reads the answer until the signer closes its
    standard output."""
    stdin, stdout = process.stdin, process.stdout
    assert stdin is not None and stdout is not None
    os.set_blocking(stdin.fileno(), False)
    sent = 0
    with selectors.DefaultSelector() as selector:
        selector.register(stdin, selectors.EVENT_WRITE)
        selector.register(stdout, selectors.EVENT_READ)
        while selector.get_map():
            _check(deadline, timeout, cancel)
            for key, _ in selector.select(max(0.0, min(_POLL, deadline - time.monotonic()))):
                if key.fileobj is stdin:
                    try:
                        sent += os.write(stdin.fileno(), payload[sent:sent + 65536])
                    except BlockingIOError:
                        continue
                    except BrokenPipeError:
                        sent = len(payload)  # The signer does not read it all; its exit status tells.
                    if sent == len(payload):
                        selector.unregister(stdin)
                        stdin.close()
                else:
                    chunk = os.read(stdout.fileno(), min(65536, limit + 1 - len(output)))
                    if not chunk:
                        selector.unregister(stdout)
                        continue
                    output += chunk
                    if len(output) > limit:
                        raise FontFailure(f"the signer wrote more than the {limit} bytes reserved "
                                          "for the manifest (see --size)")


def _check(deadline: float, timeout: float, cancel: threading.Event) -> None:
    if cancel.is_set():
        raise Cancelled()
    if time.monotonic() >= deadline:
        raise FontFailure(f"the signer did not finish within {timeout:g} second{'' if timeout == 1 else 's'} (--signer-timeout) "
                          "and was killed")


def _kill_group(process: subprocess.Popen) -> None:
    # The signer leads its own process group (start_new_session), and is not
    # reaped yet, so the group id cannot have been reused.
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
