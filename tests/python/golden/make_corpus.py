"""Makes the golden corpus: a few signed fonts and, for each, the
`ValidationReport.to_json()` that glyphward_c2pa.verify_font gives it.

    python tests/python/golden/make_corpus.py              # new fonts, new keys, new expected JSON
    python tests/python/golden/make_corpus.py --json-only  # the expected JSON anew from the fonts kept here

(from the repository, with glyphward installed or PYTHONPATH=src and the
module built). Use --json-only when the report's shape changes on purpose,
and read the diff before committing it.

What could change from run to run is fixed, not normalised afterwards: the
fonts are kept as bytes (their manifest labels, instance IDs, keys and
signatures are whatever the run that made them drew), the trust anchor is
kept beside them (anchors.pem), and every validation uses the clock kept in
corpus.json (`now`, the time the corpus was made, inside every
certificate's validity), never the machine's. The report then depends on
nothing but the fonts and the validator.

The font is DejaVu Sans cut down to "glyphward" by fontTools' subsetter (a
few kilobytes); the corpus stays well under 100 KB.
"""
from __future__ import annotations

import argparse
import io
import json
import sys
import tempfile
from datetime import datetime, timedelta, timezone
from pathlib import Path
from typing import Any, Callable, Dict

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))

DEJAVU = Path("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf")
CORPUS = HERE / "corpus.json"
ANCHORS = HERE / "anchors.pem"

# Each font of the corpus and what it is.
FONTS: Dict[str, str] = {
    "trusted.ttf": "box hash, signed under the anchor: trusted",
    "untrusted.ttf": "box hash, signed under a root that is not an anchor: valid, not trusted",
    "boxes-tampered.ttf": "trusted.ttf with one byte of glyf changed: the box hash does not match",
    "data-tampered.ttf": "data hash, one byte of glyf changed after signing: the data hash does not match",
    "update.ttf": "trusted.ttf signed again, content unchanged: an update manifest over the first, with history",
}


def expected_path(font: str) -> Path:
    return HERE / "expected" / (Path(font).stem + ".json")


def report_of(font: bytes, anchors: bytes, now: datetime) -> Dict[str, Any]:
    """What the corpus records and the test compares: the report as JSON."""
    from glyphward_c2pa import load_pem_certificates, verify_font

    report = verify_font(font, trust_anchors=load_pem_certificates(anchors, "anchors.pem"), now=now)
    result: Dict[str, Any] = report.to_json()
    return result


def clock() -> datetime:
    """When every font is validated: two minutes after the corpus was made
    (after the update manifest's signing), whatever the machine's clock says."""
    return datetime.fromisoformat(json.loads(CORPUS.read_text())["now"]) + timedelta(minutes=2)


def small_font() -> bytes:
    from fontTools import subset

    import fontbuilder

    return fontbuilder.subset_font(DEJAVU.read_bytes(), "glyphward", layout_features=[], name_IDs=["*"],
                                   drop_tables=subset.Options().drop_tables + ["FFTM"])


def flip_in(table: bytes) -> Callable[[bytes], bytes]:
    def tamper(font: bytes) -> bytes:
        import struct

        (count,) = struct.unpack_from(">H", font, 4)
        for index in range(count):
            tag, _, offset, length = struct.unpack_from(">4sIII", font, 12 + 16 * index)
            if tag == table:
                position = offset + length // 2
                return font[:position] + bytes([font[position] ^ 1]) + font[position + 1:]
        raise AssertionError(f"no {table!r} table")
    return tamper


def make_fonts(now: datetime) -> Dict[str, bytes]:
    from c2pa_pki import C2paPki
    from glyphward_c2pa import KeySigner, sign_font

    with tempfile.TemporaryDirectory() as directory:
        pki = C2paPki(Path(directory))
        ANCHORS.write_bytes(pki.root.cert_pem.read_bytes())

        def signer(credential: Any) -> KeySigner:
            return KeySigner(credential.key, credential.chain, "ES256")

        good, stranger = signer(pki.signer("ES256")), signer(pki.bad("unknown-root"))
        original = small_font()
        trusted = sign_font(original, good, now=now).font
        data_bound = sign_font(original, good, binding="data", now=now).font
        # Signed again a minute later with nothing but provenance added: an
        # update manifest (C2PA 2.2, 11.2.3) whose ingredient is the first.
        update = sign_font(trusted, good, now=now + timedelta(minutes=1), binding=None,
                           trust_anchors=[pki.root.cert], font_actions=["c2pa.published"]).font
        return {
            "trusted.ttf": trusted,
            "untrusted.ttf": sign_font(original, stranger, now=now).font,
            "boxes-tampered.ttf": flip_in(b"glyf")(trusted),
            "data-tampered.ttf": flip_in(b"glyf")(data_bound),
            "update.ttf": update,
        }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--json-only", action="store_true",
                        help="keep the fonts and the clock; write the expected JSON anew")
    arguments = parser.parse_args()
    if not arguments.json_only:
        now = datetime.now(timezone.utc).replace(microsecond=0)
        CORPUS.write_text(json.dumps({"now": now.isoformat(), "fonts": FONTS}, indent=2) + "\n")
        for name, font in make_fonts(now).items():
            (HERE / name).write_bytes(font)
    (HERE / "expected").mkdir(exist_ok=True)
    for name in FONTS:
        report = report_of((HERE / name).read_bytes(), ANCHORS.read_bytes(), clock())
        expected_path(name).write_text(json.dumps(report, indent=2, sort_keys=True) + "\n")
        print(f"{name}: {report['manifest_state']}, asset {'valid' if report['asset_valid'] else 'NOT valid'}")


if __name__ == "__main__":
    main()
