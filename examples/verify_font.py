#!/usr/bin/env python3
"""Verifies a font signed with the demo's stand-in manifest, without glyphward's
command: is_compliant, the manifest, the exclusion ranges, the hash of every
byte outside them, and the Ed25519 signature.

    usage: verify_font.py FONT [PUBLIC_KEY_HEX]

Without PUBLIC_KEY_HEX the key recorded in the manifest is used, which shows
the font is intact, not who signed it. Exit status 0 when it verifies, 1 when
it does not, 2 for bad usage or an unreadable file.
"""
from __future__ import annotations

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from stand_in import print_verification, verify  # noqa: E402


def main(argv: list) -> int:
    if len(argv) not in (2, 3) or argv[1] in ("-h", "--help"):
        print(__doc__, file=sys.stderr)
        return 2
    try:
        font = Path(argv[1]).read_bytes()
        public_key = bytes.fromhex(argv[2]) if len(argv) == 3 else None
    except (OSError, ValueError) as error:
        print(f"verify_font: {error}", file=sys.stderr)
        return 2
    verified, checks = verify(font, public_key)
    print_verification(verified, checks)
    return 0 if verified else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
