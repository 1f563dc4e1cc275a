"""The golden corpus: each font here validated in process against its
expected `ValidationReport.to_json()` (expected/NAME.json), under the
corpus's own clock and trust anchor (see make_corpus.py, which also
regenerates the expected JSON: `--json-only`).

The verdict of each font is also stated here, so that expected JSON
regenerated from a broken validator is caught rather than taken as golden.
"""
from __future__ import annotations

import difflib
import json

import pytest

import make_corpus

# Each font: (manifest state, asset valid, the failure codes of its active manifest).
VERDICTS = {
    "trusted.ttf": ("trusted", True, []),
    "untrusted.ttf": ("valid", True, ["signingCredential.untrusted"]),
    "boxes-tampered.ttf": ("trusted", False, ["assertion.boxesHash.mismatch"]),
    "data-tampered.ttf": ("trusted", False, ["assertion.dataHash.mismatch"]),
    "update.ttf": ("trusted", True, []),
}


def test_the_corpus_lists_its_fonts():
    assert sorted(json.loads(make_corpus.CORPUS.read_text())["fonts"]) == sorted(make_corpus.FONTS) \
        == sorted(VERDICTS)
    size = sum(path.stat().st_size for path in make_corpus.HERE.rglob("*") if path.is_file())
    assert size < 300_000, "keep the golden corpus small"


@pytest.mark.parametrize("name", sorted(make_corpus.FONTS))
def test_report_matches_the_golden_json(name):
    font = (make_corpus.HERE / name).read_bytes()
    report = make_corpus.report_of(font, make_corpus.ANCHORS.read_bytes(), make_corpus.clock())
    # Through JSON and back, as the expected file was written: tuples become lists, keys sorted.
    found = json.loads(json.dumps(report, sort_keys=True))
    expected = json.loads(make_corpus.expected_path(name).read_text())

    state, asset_valid, failure_codes = VERDICTS[name]
    assert (found["manifest_state"], found["asset_valid"]) == (state, asset_valid)
    assert [status["code"] for status in found["validation_results"]["activeManifest"]["failure"]] == failure_codes
    if found != expected:
        diff = difflib.unified_diff(json.dumps(expected, indent=2, sort_keys=True).splitlines(),
                                    json.dumps(found, indent=2, sort_keys=True).splitlines(),
                                    "expected", "found", lineterm="")
        pytest.fail(f"{name}: the report differs from expected/{make_corpus.expected_path(name).name} "
                    "(python tests/python/golden/make_corpus.py --json-only rewrites it):\n" + "\n".join(diff))


def test_update_font_keeps_its_history():
    """The update manifest names the first manifest as its ingredient, and
    the report's history is that manifest, its content unchanged."""
    expected = json.loads(make_corpus.expected_path("update.ttf").read_text())
    assert expected["manifest"]["kind"] == "update"
    (first,) = expected["history"]
    assert (first["kind"], first["state"], first["content_when_used"]) == ("standard", "trusted", "unchanged")
    assert first["label"] == json.loads(make_corpus.expected_path("trusted.ttf").read_text())["manifest"]["label"]
