"""The time-stamp authority a signing asks for v2 time-stamps (C2PA 2.2,
10.3.2.5)."""
from __future__ import annotations

from .result import SigningError


class TimeStamper:
    """Gets v2 time-stamps from one RFC 3161 authority, and remembers how
    large its tokens are, so that a data-bound font can reserve room for the
    next one."""

    def __init__(self, url: str, timeout: float = 30.0):
        self.url = url
        self.timeout = timeout
        self.token_size = 0

    def stamp(self, message: bytes, hash_algorithm: str) -> bytes:
        from ..timestamp import TimestampError, request_timestamp

        try:
            token = request_timestamp(self.url, message, hash_algorithm=hash_algorithm, timeout=self.timeout)
        except TimestampError as error:
            raise SigningError(str(error)) from None
        self.token_size = max(self.token_size, len(token))
        return token
