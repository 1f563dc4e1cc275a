"""Trust anchors named on the command line (`--trust-anchors`,
`--tsa-trust-anchors`): the option may be given several times, and each
value is a PEM file or a directory of them.

- A file: every certificate in it (a bundle such as the system's
  /etc/ssl/certs/ca-certificates.crt included).
- A directory: every file in it whose name ends in .pem or .crt (in any
  case), in the order of their names; subdirectories and other files are
  left out, and a directory without such a file is a usage error.

The certificates of every value are put together, in the order given, each
certificate once (a directory such as /etc/ssl/certs holds the bundle and a
link to each of its certificates). A file that cannot be read or holds no
certificate is a usage error, as sigstore-python and openssl treat theirs.

A certificate that cryptography warns about while loading it (a serial
number that is not positive, which RFC 5280, 4.1.2.2 forbids and a future
cryptography will refuse: a few roots of the system's bundle have one) is
left out, and one line on standard error says how many were and why, in
place of cryptography's raw CryptographyDeprecationWarning: such a
certificate would warn again each time a check read its serial number, and
will stop loading at all with the next versions of cryptography.
"""
from __future__ import annotations

import argparse
import os
from typing import Any, List, Optional, Sequence, Set, Tuple

from .text import path_text, terminal_text

# The file names read from a directory of anchors.
ANCHOR_SUFFIXES = (".pem", ".crt")

HELP = ("PEM certificates{what}: a file, or a directory whose *.pem and *.crt files are read; "
        "repeatable, the certificates of every one are used")


def load_anchors(parser: argparse.ArgumentParser, option: str, paths: Optional[Sequence[str]]) -> List[Any]:
    """The certificates (cryptography's x509.Certificate) of the values of
    `option`, given zero or more times; a usage error when one cannot be read
    or holds no certificate."""
    if not paths:
        return []
    from cryptography.hazmat.primitives.serialization import Encoding

    found: List[Any] = []
    seen: Set[bytes] = set()
    skipped: List[Tuple[str, str]] = []  # (file, warning) of each certificate left out
    for path in paths:
        for file in _anchor_files(parser, option, path):
            for certificate, warning in _load_file(parser, option, file):
                der = certificate.public_bytes(Encoding.DER)
                if der in seen:
                    continue
                seen.add(der)
                if warning is not None:
                    skipped.append((file, warning))
                else:
                    found.append(certificate)
    if skipped:
        from .batch import report

        files = sorted({file for file, _ in skipped})
        where = path_text(files[0]) + (f" and {len(files) - 1} other files" if len(files) > 1 else "")
        count = f"{len(skipped)} certificate" + ("s" if len(skipped) > 1 else "")
        report(f"glyphward: warning: {option}: {count} of {where} left out, which cryptography warns about: "
               f"{terminal_text(skipped[0][1])}")
    return found


def _anchor_files(parser: argparse.ArgumentParser, option: str, path: str) -> List[str]:
    """`path` itself, or the anchor files of the directory it names."""
    if not os.path.isdir(path):
        return [path]
    try:
        names = sorted(os.listdir(path))
    except OSError as error:
        parser.error(f"{option} {path_text(path)}: {error.strerror}")
    files = [os.path.join(path, name) for name in names
             if name.lower().endswith(ANCHOR_SUFFIXES) and os.path.isfile(os.path.join(path, name))]
    if not files:
        parser.error(f"{option} {path_text(path)}: a directory without a *.pem or *.crt file")
    return files


def _load_file(parser: argparse.ArgumentParser, option: str, path: str) -> List[Tuple[Any, Optional[str]]]:
    """Each certificate of the PEM file at `path`, with the first warning
    cryptography gave while loading it (or None)."""
    import warnings

    from cryptography import x509
    from cryptography.utils import CryptographyDeprecationWarning

    from glyphward_c2pa import CertificateError, load_pem_certificates

    try:
        with open(path, "rb") as file:
            data = file.read()
    except OSError as error:
        parser.error(f"{option} {path_text(path)}: {error.strerror}")
    # Loaded once as the library loads a PEM file (its messages), the
    # warnings held back; then each certificate again from its DER bytes, to
    # learn which of them cryptography warns about. The anchors are loaded
    # in the main thread, before any worker starts (catch_warnings is not
    # thread-safe).
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", CryptographyDeprecationWarning)
        try:
            certificates = load_pem_certificates(data, f"{option} {path_text(path)}")
        except CertificateError as error:
            parser.error(str(error))
    from cryptography.hazmat.primitives.serialization import Encoding

    loaded: List[Tuple[Any, Optional[str]]] = []
    for certificate in certificates:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", CryptographyDeprecationWarning)
            x509.load_der_x509_certificate(certificate.public_bytes(Encoding.DER))
        warned = [str(item.message) for item in caught if issubclass(item.category, CryptographyDeprecationWarning)]
        loaded.append((certificate, warned[0] if warned else None))
    return loaded
