"""Remote manifests (C2PA 2.2, 11.4 and 15.5.3): fetching the Manifest Store
a font's `C2PA` table points to, and naming its sidecar file."""
from __future__ import annotations

import http.client
import os
import socket
import threading
import time
import urllib.error
import urllib.parse
import urllib.request
from typing import Any, Callable, List, Type

from .shown import shown

# A Manifest Store served for one font is a few tens of kilobytes; far more
# than that is refused rather than read.
MAX_STORE = 16 << 20
MEDIA_TYPE = "application/c2pa"  # C2PA 2.2, 11.4


class RemoteError(Exception):
    """The remote Manifest Store cannot be had; the message says why."""


def sidecar_name(font_path: str) -> str:
    """The sidecar of a font: the same name with the extension .c2pa
    (C2PA 2.2, 15.5.3.1)."""
    return os.path.splitext(os.path.basename(font_path))[0] + ".c2pa"


class _Deadline:
    """The end of a whole fetch: every socket the fetch opens (redirects
    included) is shut down when it comes, which ends whatever read or write
    is waiting on it, however slowly the server sends."""

    def __init__(self, seconds: float):
        self.end = time.monotonic() + seconds
        self.expired = False
        self._sockets: List[socket.socket] = []
        self._lock = threading.Lock()
        self._timer = threading.Timer(seconds, self.expire)
        self._timer.daemon = True

    def remaining(self) -> float:
        return max(self.end - time.monotonic(), 0.001)

    def watch(self, sock: socket.socket) -> None:
        with self._lock:
            self._sockets.append(sock)
            if not self.expired:
                return
        self._shut(sock)

    def expire(self) -> None:
        with self._lock:
            self.expired = True
            sockets = list(self._sockets)
        for sock in sockets:
            self._shut(sock)

    @staticmethod
    def _shut(sock: socket.socket) -> None:
        try:
            sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass  # not connected, or closed already

    def __enter__(self) -> "_Deadline":
        self._timer.start()
        return self

    def __exit__(self, *exc: Any) -> None:
        self._timer.cancel()


def _connection(base: Type[http.client.HTTPConnection], deadline: _Deadline) -> Callable[..., Any]:
    """A connection class of `base` whose sockets `deadline` watches, each
    operation on them waiting at most until the deadline."""
    def connection(host: str, **options: Any) -> http.client.HTTPConnection:
        options["timeout"] = deadline.remaining()
        made = base(host, **options)
        create = made._create_connection  # type: ignore[attr-defined]

        def create_watched(*args: Any, **kwargs: Any) -> socket.socket:
            sock: socket.socket = create(*args, **kwargs)
            deadline.watch(sock)
            return sock
        made._create_connection = create_watched  # type: ignore[attr-defined]
        return made
    return connection


class _HttpHandler(urllib.request.HTTPHandler):
    def __init__(self, deadline: _Deadline):
        super().__init__()
        self.deadline = deadline

    def http_open(self, req: urllib.request.Request) -> http.client.HTTPResponse:
        return self.do_open(_connection(http.client.HTTPConnection, self.deadline), req)


class _HttpsHandler(urllib.request.HTTPSHandler):
    def __init__(self, deadline: _Deadline):
        super().__init__()
        self.deadline = deadline

    def https_open(self, req: urllib.request.Request) -> http.client.HTTPResponse:
        return self.do_open(_connection(http.client.HTTPSConnection, self.deadline), req,
                            context=self._context)  # type: ignore[attr-defined]


class _HttpRedirects(urllib.request.HTTPRedirectHandler):
    """Follows a redirect only to an http or https URL: a hostile server must
    not send the fetch to ftp:, whose handler the deadline does not reach,
    nor anywhere else urllib knows (the default handler also follows ftp:)."""

    def redirect_request(self, req: urllib.request.Request, fp: Any, code: int, msg: str, headers: Any,
                         newurl: str) -> Any:
        if urllib.parse.urlsplit(newurl).scheme.lower() not in ("http", "https"):
            raise urllib.error.URLError(f"redirected to {shown(newurl)}, which is not an http or https URL")
        return super().redirect_request(req, fp, code, msg, headers, newurl)


def fetch_store(uri: str, *, timeout: float = 30.0, limit: int = MAX_STORE) -> bytes:
    """GETs the Manifest Store at `uri` (http or https), all of it within
    `timeout` seconds from connecting to the last byte."""
    if not uri.lower().startswith(("http://", "https://")):
        raise RemoteError(f"{shown(uri)} is not an http or https URL")
    request = urllib.request.Request(uri, headers={"Accept": MEDIA_TYPE})
    uri = shown(uri)  # from here on, only for messages
    with _Deadline(timeout) as deadline:
        try:
            data = _fetch(request, deadline, limit)
        except RemoteError:
            if deadline.expired:  # the error is the shut socket's
                raise RemoteError(f"cannot fetch {uri}: did not answer in time") from None
            raise
    if deadline.expired:
        raise RemoteError(f"cannot fetch {uri}: did not answer in time")
    if len(data) > limit:
        raise RemoteError(f"{uri} serves more than {limit} bytes; a Manifest Store is refused beyond that")
    return data


def _fetch(request: urllib.request.Request, deadline: _Deadline, limit: int) -> bytes:
    uri = shown(request.full_url)
    opener = urllib.request.build_opener(_HttpHandler(deadline), _HttpsHandler(deadline), _HttpRedirects())
    try:
        with opener.open(request, timeout=deadline.remaining()) as response:
            data: bytes = response.read(limit + 1)
    except urllib.error.HTTPError as error:
        raise RemoteError(f"{uri} answered HTTP {error.code} {shown(error.reason)}") from None
    except urllib.error.URLError as error:
        reason = error.reason
        raise RemoteError(f"cannot fetch {uri}: {getattr(reason, 'strerror', None) or reason}") from None
    except (TimeoutError, OSError) as error:
        what = "did not answer in time" if isinstance(error, TimeoutError) else str(error)
        raise RemoteError(f"cannot fetch {uri}: {what}") from None
    except (ValueError, http.client.HTTPException) as error:  # InvalidURL among them
        raise RemoteError(f"cannot fetch {uri}: {error}") from None
    return data
