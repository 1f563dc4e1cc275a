"""Remote manifests (C2PA 2.2, 11.4 and 15.5.3): fetching the Manifest Store
a font's `C2PA` table points to, and naming its sidecar file."""
from __future__ import annotations

import http.client
import os
import urllib.error
import urllib.request

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


def fetch_store(uri: str, *, timeout: float = 30.0, limit: int = MAX_STORE) -> bytes:
    """GETs the Manifest Store at `uri` (http or https)."""
    if not uri.lower().startswith(("http://", "https://")):
        raise RemoteError(f"{uri!r} is not an http or https URL")
    request = urllib.request.Request(uri, headers={"Accept": MEDIA_TYPE})
    try:
        with urllib.request.urlopen(request, timeout=timeout) as response:  # noqa: S310 - http(s) checked above
            data: bytes = response.read(limit + 1)
    except urllib.error.HTTPError as error:
        raise RemoteError(f"{uri} answered HTTP {error.code} {error.reason}") from None
    except urllib.error.URLError as error:
        reason = error.reason
        raise RemoteError(f"cannot fetch {uri}: {getattr(reason, 'strerror', None) or reason}") from None
    except (TimeoutError, OSError) as error:
        what = "did not answer in time" if isinstance(error, TimeoutError) else str(error)
        raise RemoteError(f"cannot fetch {uri}: {what}") from None
    except (ValueError, http.client.HTTPException) as error:  # InvalidURL among them
        raise RemoteError(f"cannot fetch {uri}: {error}") from None
    if len(data) > limit:
        raise RemoteError(f"{uri} serves more than {limit} bytes; a Manifest Store is refused beyond that")
    return data
