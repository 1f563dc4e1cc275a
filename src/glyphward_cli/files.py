"""Reading the files the commands are given, with one-line errors."""
from __future__ import annotations

import errno
import os
import stat
import sys
from typing import Any, Optional, Tuple

from .errors import CommandError, FontFailure
from .text import path_text


def read_font(path: str) -> bytes:
    """The bytes of the font file at `path`.

    Only regular files are read: a directory, a FIFO or a device (which
    could block or never end) is refused before reading anything.
    """
    flags = os.O_RDONLY | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_NONBLOCK", 0)
    try:
        fd = os.open(path, flags)
    except OSError as error:
        raise FontFailure(f"cannot read: {error.strerror}") from None
    try:
        mode = os.fstat(fd).st_mode
        if stat.S_ISDIR(mode):
            raise FontFailure(f"cannot read: {os.strerror(errno.EISDIR)}")
        if not stat.S_ISREG(mode):
            raise FontFailure("cannot read: not a regular file")
        with os.fdopen(fd, "rb", buffering=0, closefd=False) as file:
            return file.read()
    except OSError as error:
        raise FontFailure(f"cannot read: {error.strerror}") from None
    finally:
        os.close(fd)


def read_data(path: str, what: Optional[str] = None) -> bytes:
    """The bytes of a data file (a Manifest Store, a signed manifest); `-`
    is standard input. With `what` (as "Manifest Store to embed"), an empty
    file is refused too: a font written with it would carry nothing."""
    if path == "-":
        data = sys.stdin.buffer.read()
    else:
        try:
            data = _read_file(path)
        except OSError as error:
            raise FontFailure(f"cannot read: {error.strerror}") from None
    if what is not None and not data:
        raise FontFailure(nothing_to(what))
    return data


def _read_file(path: str) -> bytes:
    """The bytes of the file at `path`; OSError, with its strerror, when it
    cannot be read (a directory included)."""
    if os.path.isdir(path):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
    with open(path, "rb") as file:
        return file.read()


def data_name(path: str) -> str:
    """How messages name the data file `path`."""
    return "standard input" if path == "-" else path


def nothing_to(what: str) -> str:
    """The message for an empty `what` (as "manifest URI to embed")."""
    return f"empty: no {what}; nothing written"


def read_json(path: str, what: str) -> Any:
    """The JSON value in the UTF-8 file at `path`, which the option `what`
    (as "--assertion com.example.x=x.json") names; CommandError when the
    file cannot be read or is not JSON."""
    import json

    try:
        data = _read_file(path)
    except OSError as error:
        raise CommandError(f"{what}: cannot read {path_text(path)}: {error.strerror}") from None
    try:
        return json.loads(data.decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as error:
        raise CommandError(f"{what}: {path_text(path)} is not JSON: {error}") from None
    except RecursionError:
        raise CommandError(f"{what}: {path_text(path)} is not JSON that can be read: it nests too deeply") from None


def read_font_as_sfnt(path: str) -> "Tuple[bytes, Optional[str]]":
    """The font file at `path` as an SFNT, and "WOFF" or "WOFF2" when the
    file was one (its tables read into an SFNT), None when it was an SFNT."""
    from glyphward_c2pa.webfont import WebfontError, decode_font

    data = read_font(path)
    try:
        decoded = decode_font(data)
    except WebfontError as error:
        raise FontFailure(str(error)) from None
    return decoded.sfnt, decoded.container
