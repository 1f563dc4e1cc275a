"""What signing gives back: the signed font, or a `SigningError` that says
in one line why there is none."""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import List, Optional

from ..validate.report import ValidationReport


class SigningError(ValueError):
    """The font could not be signed; the message says why, in one line."""


@dataclass
class SignedFont:
    font: bytes                     # the signed font
    manifest_store: bytes           # the Manifest Store it carries (or that a remote manifest publishes)
    label: str                      # the active manifest's label
    warnings: List[str] = field(default_factory=list)
    report: Optional[ValidationReport] = None   # the validation of the signed font
