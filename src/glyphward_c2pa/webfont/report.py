"""What validation reports of a font read from a WOFF or WOFF2 file.

A box hash (C2PA 2.2, 18.7.3.6) binds the font's tables, which a WOFF or
WOFF2 file carries: it is checked on the SFNT of those tables. A data hash
(18.5) binds the byte offsets of one file, the SFNT that was signed, whose
bytes a WOFF or WOFF2 file does not hold: it cannot be checked on one, and
whatever the SFNT rebuilt from the tables gives, the asset is not valid.
"""
from __future__ import annotations

import dataclasses

from ..labels import HASH_DATA, base_label
from ..status import StatusLog
from ..validate.report import ValidationReport

DATA_HASH_CODES = ("assertion.dataHash.match", "assertion.dataHash.mismatch",
                   "assertion.dataHash.additionalExclusionsPresent")


def for_container(report: ValidationReport, container: str) -> ValidationReport:
    """`report`, of the SFNT read from a `container` ("WOFF" or "WOFF2")
    file, with a data-hash binding reported as one that cannot bind it."""
    summary = report.manifest
    if summary is None or summary.binding is None or base_label(summary.binding) != HASH_DATA:
        return report
    log = StatusLog()
    url = None
    for kind in ("success", "informational", "failure"):
        for status in getattr(report.results, kind):
            if status.code in DATA_HASH_CODES:
                url = url or status.url
                continue
            getattr(log, kind).append(status)
    log.add("assertion.dataHash.mismatch", f"the manifest binds the font with a data hash ({HASH_DATA}), which "
            f"binds the byte offsets of the one SFNT file that was signed (C2PA 2.2, 18.5); a {container} file "
            "does not hold those bytes, so the binding cannot match it: verify the SFNT font that was signed, "
            "or sign the font with a box hash to publish it as WOFF or WOFF2", url)
    return dataclasses.replace(report, asset_valid=False, results=log)
