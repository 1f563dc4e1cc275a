"""`--key-command CMD`: a program that signs with a key that never leaves an
HSM or a cloud KMS. It is run like a `--signer` (split like a shell line, no
shell, its own process group, a timeout, killed on interrupt), once per
font: the bytes to sign on its standard input, the algorithm's name (ES256,
..., Ed25519) as its last argument; it writes the raw signature, in COSE's
form, to its standard output."""
from __future__ import annotations

import threading
from typing import List, Optional

from cryptography import x509

from glyphward_c2pa.cose import Algorithm
from glyphward_c2pa.signers import chosen_algorithm, load_chain


# No signature of an allowed algorithm is longer (RSA of 16384 bits: 2048 bytes).
LIMIT = 4096


class CommandSigner:
    """The credential, and the key command that signs with its key."""

    def __init__(self, command: List[str], chain_pem: bytes, algorithm: Optional[str], timeout: float):
        self.command = command
        self.certificates: List[x509.Certificate] = list(load_chain(chain_pem))
        self.algorithm: Algorithm = chosen_algorithm(self.certificates[0], algorithm)
        self.timeout = timeout

    def for_task(self, path: str, cancel: threading.Event) -> "_TaskSigner":
        return _TaskSigner(self, path, cancel)


class _TaskSigner:
    """The key command as one font's signer: its messages name the font,
    and an interrupt stops it."""

    def __init__(self, parent: CommandSigner, path: str, cancel: threading.Event):
        self.certificates = parent.certificates
        self.algorithm = parent.algorithm
        self._parent = parent
        self._path = path
        self._cancel = cancel

    def sign(self, data: bytes) -> bytes:
        from .signer import run_process

        return run_process(self._parent.command + [self.algorithm.name], data, LIMIT, self._parent.timeout,
                           self._cancel, "key command", self._path, timeout_option="--signer-timeout")
