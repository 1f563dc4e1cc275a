"""Writing a file so that it is either wholly replaced or left as it was.

The data goes to a new file beside the destination (same directory, so the
same file system), is flushed and synced, and is then renamed over the
destination, which readers therefore see either old or new, never half
written. Any failure, cancellation included, removes the new file and leaves
the destination untouched.
"""
from __future__ import annotations

import errno
import os
import stat
import threading
from typing import List, NoReturn, Optional, Tuple

from .errors import Cancelled, FontFailure


def write_atomically(destination: str, data: bytes, cancel: Optional[threading.Event] = None) -> None:
    """Replaces `destination` with `data`.

    A symbolic link is followed, so that the file it points to is replaced
    and the link kept. A file that already exists keeps its permission bits
    (and, where allowed, its owner); a new one gets the usual mode for a new
    file (0666 less the umask). Raises FontFailure naming the destination
    and the cause, or Cancelled when `cancel` is set before the rename.
    """
    write_pair([(destination, data)], cancel)


def check_destination(destination: str) -> None:
    """Raises FontFailure, with the message write_atomically would give,
    unless `destination` names a file that can be written: not empty, not a
    directory (nor a name ending in '/'), not an existing file other than a
    regular one (a device, a FIFO), in an existing directory that this
    process may write. Writes nothing: for a command to call before any
    work that costs something."""
    _checked(destination)


def _checked(destination: str) -> Tuple[str, Optional[os.stat_result]]:
    """The real path of `destination`, and its status if it exists."""
    def fail(why: str) -> NoReturn:
        raise FontFailure(f"cannot write {destination or repr(destination)}: {why}")

    if not destination:
        fail("empty file name")
    if destination.endswith(os.sep) or (os.altsep and destination.endswith(os.altsep)):
        fail("names a directory, not a file")
    target = os.path.realpath(destination)
    try:
        existing: Optional[os.stat_result] = os.stat(target)
    except FileNotFoundError:
        existing = None
    except OSError as error:
        fail(error.strerror or str(error))
    if existing is not None and stat.S_ISDIR(existing.st_mode):
        fail("is a directory, not a file")
    if existing is not None and not stat.S_ISREG(existing.st_mode):
        fail("not a regular file")
    directory = os.path.dirname(target)
    try:
        if not stat.S_ISDIR(os.stat(directory).st_mode):
            fail(os.strerror(errno.ENOTDIR))
    except OSError as error:
        fail(error.strerror or str(error))
    if not os.access(directory, os.W_OK | os.X_OK):
        read_only = bool(os.statvfs(directory).f_flag & os.ST_RDONLY)
        fail(os.strerror(errno.EROFS if read_only else errno.EACCES))
    return target, existing


def _create_beside(directory: str, name: str, shown: str) -> Tuple[str, int]:
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0)
    for _ in range(100):
        temporary = os.path.join(directory, f".{name}.{os.urandom(4).hex()}.glyphward-tmp")
        try:
            # 0o666: the umask then gives a new destination its usual mode.
            return temporary, os.open(temporary, flags, 0o666)
        except FileExistsError:
            continue
        except OSError as error:
            raise FontFailure(f"cannot write {shown}: {error.strerror}") from None
    raise FontFailure(f"cannot write {shown}: no free temporary file name in its directory")


def _copy_ownership(fd: int, existing: os.stat_result) -> None:
    if (existing.st_uid, existing.st_gid) != (os.geteuid(), os.getegid()):
        try:
            os.fchown(fd, existing.st_uid, existing.st_gid)
        except PermissionError:
            pass  # Only root may give a file away; the new file stays ours.
    os.fchmod(fd, existing.st_mode & 0o7777)


def _sync_directory(directory: str) -> None:
    """Makes the rename itself durable. Best effort: the file is in place
    whether or not the directory can be synced."""
    try:
        fd = os.open(directory, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def write_pair(files: List[Tuple[str, bytes]], cancel: Optional[threading.Event] = None) -> None:
    """Replaces several files (a font and its Manifest Store) as nearly
    together as the file system allows, each as write_atomically does: every
    new file is written and synced beside its destination first, and only
    then are they renamed into place, in the order given. A failure before
    the renames leaves every destination as it was."""
    prepared: List[Tuple[str, str, str]] = []  # (temporary, target, destination)
    try:
        for destination, data in files:
            prepared.append(_write_beside(destination, data))
        if cancel is not None and cancel.is_set():
            raise Cancelled()
        while prepared:
            temporary, target, destination = prepared[0]
            try:
                os.replace(temporary, target)
            except OSError as error:
                raise FontFailure(f"cannot write {destination}: {error.strerror}") from None
            prepared.pop(0)
            _sync_directory(os.path.dirname(target))
    finally:
        for temporary, _, _ in prepared:
            try:
                os.unlink(temporary)
            except OSError:
                pass


def _write_beside(destination: str, data: bytes) -> Tuple[str, str, str]:
    """Writes `data` to a new file beside `destination`, synced, keeping the
    permission bits of the file it will replace; (temporary, target,
    destination). Leaves nothing behind when it fails."""
    target, existing = _checked(destination)
    directory, name = os.path.split(target)
    temporary, fd = _create_beside(directory, name, destination)
    try:
        if existing is not None:
            _copy_ownership(fd, existing)
        with os.fdopen(fd, "wb", closefd=True) as file:
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
    except BaseException as error:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        if isinstance(error, OSError):
            raise FontFailure(f"cannot write {destination}: {error.strerror}") from None
        raise
    return temporary, target, destination
