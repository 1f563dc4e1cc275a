"""Running an external signer, once per font.

The protocol: the command line (split like a shell line, run without a
shell) gets one JSON object on its standard input, describing the reserved
font and the hash to sign, and writes the signed Manifest Store, raw bytes,
to its standard output, exiting 0. Each line of its standard error is passed
on as `glyphward: FONT: signer: line`. How it is run (its own process group,
killed whole on a timeout, an oversized output or an interrupt) is
process.run_process.
"""
from __future__ import annotations

import json
import threading
from typing import Any, Dict, List

# run_process is re-exported: programs run per font other than the signer
# (a key command) are run through it too.
from .process import run_process as run_process


def run_signer(command: List[str], request: Dict[str, Any], limit: int, timeout: float,
               cancel: threading.Event) -> bytes:
    """Runs `command` with `request` as JSON on its standard input and returns
    what it wrote to its standard output, at most `limit` bytes.
    `request["font"]` is the path its standard error lines are prefixed with.

    Raises FontFailure when the signer cannot start, exits non-zero or by a
    signal, writes nothing or more than `limit` bytes, or runs past
    `timeout` seconds; Cancelled when `cancel` is set meanwhile.
    """
    payload = json.dumps(request).encode("utf-8") + b"\n"
    return run_process(command, payload, limit, timeout, cancel, "signer", str(request["font"]),
                       limit_text=f"the {limit} bytes reserved for the manifest (see --size)",
                       timeout_option="--signer-timeout")
