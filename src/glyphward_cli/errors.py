"""The exceptions that carry a font's failure to the batch runner."""
from __future__ import annotations

from typing import Any


class FontFailure(Exception):
    """One font could not be handled; `message` is shown after its path.

    `result` is what the command could still tell about the font (`info`
    lists a font whose reading failed together with its size, for example).
    """

    def __init__(self, message: str, result: Any = None):
        super().__init__(message)
        self.message = message
        self.result = result


class Cancelled(Exception):
    """The batch was interrupted before this font was written."""

