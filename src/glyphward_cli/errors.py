"""The exceptions that carry a font's failure to the batch runner, and a
command's failure that is not a usage error to `main`."""
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



class CommandError(Exception):
    """The command cannot go on, though it was used rightly (a key that needs
    another passphrase, a file that is not JSON): `main` prints the message
    as one line, `glyphward: error: MESSAGE`, and exits with status 1, as a
    failed font does. A usage error (exit status 2, with the usage) goes
    through `parser.error` instead."""

    def __init__(self, message: str):
        super().__init__(message)
        self.message = message
