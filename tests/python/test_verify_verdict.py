"""verify as a person reads it (issue 20, section 3), and the typed results
and acceptance rule under it: status codes refused unless the standard's,
the verdict of `validate.acceptance.judge`, every changed table named after
subsetting, a changed assertion reported once, the time-stamp hint of an
expired certificate, --show, --verbose, the certificate chain and
--expect-signer."""
from __future__ import annotations

import io
import json
import re
from pathlib import Path

import pytest

import fontbuilder
from cryptography.hazmat.primitives import hashes

import c2pa_support as cs
from cli_support import glyphward_command, run  # noqa: F401
from glyphward_c2pa.shown import shown_value
from glyphward_c2pa.status import Code, State, Status, StatusLog
from glyphward_c2pa.validate.acceptance import Verdict, judge
from glyphward_c2pa.validate.report import CertificateSummary, ManifestSummary, ValidationReport

DEMO = Path(__file__).parents[2] / "examples" / "fonts" / "GlyphwardDemo.ttf"
UNTRUSTED = Code.SIGNING_CREDENTIAL_UNTRUSTED


# ---------------------------------------------------------------------------
# In-process: codes, the acceptance rule, bounded values

@pytest.mark.parametrize("code", ["bogus.code", "claimSignature.Validated", ""])
def test_a_status_with_an_unknown_code_is_refused_where_it_is_made(code):
    with pytest.raises(ValueError, match="not a status code"):
        Status(code, None, "x")
    log = StatusLog()
    with pytest.raises(ValueError):
        log.add(code, "x")
    assert log.codes() == []
    log.add("claimSignature.validated", "ok")  # the standard's string is its code, and prints as it
    assert log.success[0].code is Code.CLAIM_SIGNATURE_VALIDATED and f"{log.success[0].code}" == \
        "claimSignature.validated" and json.dumps(log.to_json()["success"][0]["code"]) == '"claimSignature.validated"'


def _report(state, asset_valid, failures=(), informational=(), sha256="ab" * 32, subject="CN=Foundry"):
    log = StatusLog()
    for code in failures:
        log.add(code, f"{code} happened")
    for code in informational:
        log.add(code, f"{code} noted")
    if state in (State.VALID, State.TRUSTED, State.WELL_FORMED):
        log.add(Code.CLAIM_SIGNATURE_VALIDATED, "ok")
        log.add(Code.CLAIM_SIGNATURE_INSIDE_VALIDITY, "ok")
    summary = ManifestSummary("urn:c2pa:x", "standard", None, None, subject, None, "ES256", None, None,
                              "c2pa.hash.boxes", [], [])
    return ValidationReport(state, asset_valid, summary, log,
                            certificates=[CertificateSummary(sha256, "1", subject, "CN=CA", None, None)])


@pytest.mark.parametrize("report, anchors, tolerated, expected", [
    (_report(State.TRUSTED, True), True, (), (Verdict.TRUSTED, True, "trusted")),
    (_report(State.VALID, True, [UNTRUSTED]), False, (),
     (Verdict.VALID, True, "valid, signer NOT trusted (no trust anchors given)")),
    (_report(State.VALID, True, [UNTRUSTED]), True, (), (Verdict.VALID, False, "valid, signer NOT trusted")),
    # A signer tolerates an untrusted credential, anchors or not.
    (_report(State.VALID, True, [UNTRUSTED]), True, {UNTRUSTED}, (Verdict.VALID, True, "valid, signer NOT trusted")),
    (_report(State.WELL_FORMED, False, [Code.SIGNING_CREDENTIAL_INVALID, UNTRUSTED]), True, {UNTRUSTED},
     (Verdict.NOT_VALID, False, "NOT valid: the signer's certificate is not valid for signing "
                                "(signingCredential.invalid)")),
    (_report(State.WELL_FORMED, False, [Code.SIGNING_CREDENTIAL_INVALID, UNTRUSTED]), False,
     {Code.SIGNING_CREDENTIAL_INVALID}, (Verdict.NOT_VALID, True, "NOT valid: the signer's certificate is not valid "
                                                                  "for signing (signingCredential.invalid)")),
    # Not valid with nothing but an untrusted credential to show for it: never accepted.
    (_report(State.VALID, False, [UNTRUSTED]), False, {UNTRUSTED},
     (Verdict.NOT_VALID, False, "NOT valid: the signer is not trusted (signingCredential.untrusted)")),
    (_report(State.VALID, False, [UNTRUSTED, Code.ASSERTION_DATA_HASH_MISMATCH]), False, (),
     (Verdict.NOT_VALID, False, "NOT valid: content changed")),
    (ValidationReport(State.NONE, False), False, (), (Verdict.NOT_VALID, False, "NOT valid: no C2PA manifest")),
    (ValidationReport(State.NONE, False, error="not a font"), False, (),
     (Verdict.NOT_VALID, False, "NOT valid: not a font")),
], ids=["trusted", "untrusted-no-anchors", "untrusted-anchors", "signer-tolerates", "invalid-credential",
        "tolerated-invalid", "asset-not-valid-untrusted", "content", "none", "error"])
def test_the_acceptance_rule(report, anchors, tolerated, expected):
    acceptance = judge(report, anchors_given=anchors, tolerated=frozenset(tolerated))
    assert (acceptance.verdict, acceptance.accepted, acceptance.words) == expected


@pytest.mark.parametrize("expected, subject, accepted", [
    (["AB:" * 31 + "AB"], "CN=Foundry", True),      # a fingerprint, with colons, in capitals
    (["cd" * 32], "CN=Foundry", False),
    (["CN=Other", "CN=Foundry"], "CN=Foundry", True),  # any of several
    (["CN=Foundry"], "CN=Foundry,O=x", False),          # a subject is matched whole
])
def test_expected_signers(expected, subject, accepted):
    acceptance = judge(_report(State.TRUSTED, True, subject=subject), anchors_given=True, expected_signers=expected)
    assert (acceptance.accepted, acceptance.expected_signer) == (accepted, accepted)
    assert acceptance.words == "trusted" + ("" if accepted else ", and NOT an expected signer")


def test_shown_values_are_bounded_and_never_raise():
    import cbor2

    value = {"text": "x" * 5000, "bytes": b"\xff" * 500, "deep": [[[[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]]]],
             "many": list(range(10_000)), 7: float("nan"), "big": 1 << 200, "tag": cbor2.CBORTag(32, "https://x"),
             "map": {str(index): index for index in range(1000)}}
    shown = shown_value(value)
    assert len(json.dumps(shown, allow_nan=False)) < 20_000
    assert shown["text"].endswith("... (5000 characters)") and shown["bytes"].endswith("... (500 bytes)")
    assert shown["many"][-1] == "(and 9900 more items)" and shown["7"] is None and shown["tag"] == "https://x"
    assert shown["map"]["..."] == "(and 900 more entries)" and "bits" in shown["big"]
    assert shown_value(b"\x00\x01") == "AAE"  # RFC 8949, 6.1: base64url without padding
    # However wide, at most VALUES_LIMIT values in all.
    assert len(json.dumps(shown_value([list(range(100))] * 100))) < 30_000


# ---------------------------------------------------------------------------
# The command (the tests above run without it, under the sanitizer build too)

command = pytest.mark.usefixtures("glyphward_command")


def _first_lines(listing: bytes):
    return [line for line in listing.decode().splitlines() if line and not line.startswith(" ")]


def _subset(font: bytes) -> bytes:
    # passthrough_tables keeps the C2PA table, as a careless subsetter would.
    return fontbuilder.subset_font(font, "AB", passthrough_tables=True)


def _expected_changes(signed: bytes, subset: bytes):
    """What changed, table by table, read with fontTools (not the validator's code)."""
    from fontTools.ttLib import TTFont

    before, after = TTFont(io.BytesIO(signed)).reader, TTFont(io.BytesIO(subset)).reader
    tags = [record[0].decode("latin-1") for record in cs.table_records(subset) if record[0] != b"C2PA"]

    def data(reader, tag):
        raw = bytes(reader[tag])
        return raw[:8] + raw[12:] if tag == "head" else raw  # checkSumAdjustment is not hashed

    changed = [tag.rstrip() for tag in tags if tag in before and data(before, tag) != data(after, tag)]
    removed = [tag.rstrip() for tag in before.keys() if tag not in after and tag != "C2PA"]
    added = [tag.rstrip() for tag in tags if tag not in before]
    return changed, sorted(removed), added


@command
@pytest.mark.parametrize("kind", ["TrueType", "CFF"])
def test_after_subsetting_every_changed_table_is_named(kind, tmp_path, cff_font, c2pa_pki):
    original = DEMO.read_bytes() if kind == "TrueType" else cff_font
    (tmp_path / "in.ttf").write_bytes(original)
    assert run("sign", tmp_path / "in.ttf", "-o", tmp_path / "signed.ttf",
               *cs.key_args(c2pa_pki.signer("ES256"))).returncode == 0
    signed = (tmp_path / "signed.ttf").read_bytes()
    (tmp_path / "subset.ttf").write_bytes(_subset(signed))
    changed, removed, added = _expected_changes(signed, (tmp_path / "subset.ttf").read_bytes())
    assert len(changed) > 8  # more than the failure lines list
    listing = run("verify", tmp_path / "subset.ttf")
    parts = [", ".join(changed)] + (["removed: " + ", ".join(removed)] if removed else []) + \
        (["added: " + ", ".join(added)] if added else [])
    assert listing.returncode == 1
    assert _first_lines(listing.stdout) == [f"{tmp_path / 'subset.ttf'}: NOT valid: content changed "
                                            f"({'; '.join(parts)})"]
    _, records = cs.verify_json(tmp_path / "subset.ttf")
    record = records[str(tmp_path / "subset.ttf")]
    assert record["changed_tables"] == {"changed": changed, "removed": removed, "added": added, "reordered": False}
    assert (record["verdict"], record["accepted"]) == ("not valid", False)


@command
@pytest.mark.parametrize("label", ["c2pa.hash.boxes", "font.info"])
def test_a_changed_assertion_is_reported_once_as_changed(label, tmp_path, c2pa_pki):
    (tmp_path / "in.ttf").write_bytes(DEMO.read_bytes())
    assert run("sign", tmp_path / "in.ttf", "-o", tmp_path / "signed.ttf",
               *cs.key_args(c2pa_pki.signer("ES256"))).returncode == 0
    changed = tmp_path / "changed.ttf"
    changed.write_bytes(cs.change_assertion((tmp_path / "signed.ttf").read_bytes(), label))
    result, records = cs.verify_json(changed, options=["--trust-anchors", c2pa_pki.root.cert_pem])
    assert (result.returncode, cs.codes(records[str(changed)])) == (1, ["assertion.hashedURI.mismatch"])
    assert records[str(changed)]["verdict_text"] == f"NOT valid: assertion changed ({label})"


@command
def test_an_expired_certificate_without_a_time_stamp_says_what_would_have_kept_it(tmp_path, dejavu, c2pa_pki):
    from glyphward_c2pa import KeySigner, sign_font

    credential = c2pa_pki.bad("expired")
    signer = KeySigner.from_pem(credential.cert_pem.read_bytes(), credential.key_pem.read_bytes())
    begins = max(certificate.not_valid_before_utc for certificate in credential.chain)
    ends = min(certificate.not_valid_after_utc for certificate in credential.chain)
    font = tmp_path / "expired.ttf"
    font.write_bytes(sign_font(dejavu, signer, now=begins + (ends - begins) / 2).font)
    listing = run("verify", font, "--trust-anchors", c2pa_pki.root.cert_pem)
    assert listing.returncode == 1
    assert _first_lines(listing.stdout)[0] == (
        f"{font}: NOT valid: the signer's certificate is no longer valid, and no time-stamp shows that the font "
        "was signed while it was (claimSignature.outsideValidity); a time-stamp at signing (glyphward sign --tsa "
        "URL) would have kept the font valid")


@command
def test_show_verbose_chain_and_expected_signers(tmp_path, c2pa_pki):
    license_ = {"licence": "OFL-1.1", "url": "https://example.com/\u202eofl", "seats": [1, 2]}
    (tmp_path / "license.json").write_text(json.dumps(license_), encoding="utf-8")
    (tmp_path / "in.ttf").write_bytes(DEMO.read_bytes())
    credential = c2pa_pki.signer("ES256")
    font = tmp_path / "signed.ttf"
    assert run("sign", tmp_path / "in.ttf", "-o", font, *cs.key_args(credential),
               "--assertion", f"com.example.license={tmp_path / 'license.json'}").returncode == 0
    anchors = ["--trust-anchors", c2pa_pki.root.cert_pem]

    plain, verbose = run("verify", font, *anchors), run("verify", font, *anchors, "--verbose", "--show")
    assert _first_lines(plain.stdout) == [f"{font}: trusted"] and plain.returncode == verbose.returncode == 0
    assert "timeOfSigning.insideValidity" not in plain.stdout.decode() and "content of" not in plain.stdout.decode()
    text = verbose.stdout.decode()
    assert "  note:            timeOfSigning.insideValidity: " in text
    assert "  success:         claimSignature.validated: " in text
    # The foundry's JSON, font.info and the actions, escaped for the terminal.
    assert '"url": "https://example.com/\\u202eofl"' in text and '"licence": "OFL-1.1"' in text
    assert '"action": "c2pa.created"' in text and re.search(r"\n    font\.info:\n", text)

    _, records = cs.verify_json(font, options=[*anchors, "--show"])
    record = records[str(font)]
    assert {"label": "com.example.license", "content": license_} in record["assertions"]
    chain = record["certificate_chain"]
    signer = credential.chain[0]
    assert chain[0]["sha256"] == signer.fingerprint(hashes.SHA256()).hex()
    assert (chain[0]["serial"], len(chain)) == (format(signer.serial_number, "x"), len(credential.chain))
    assert chain[0]["not_after"] == signer.not_valid_after_utc.isoformat().replace("+00:00", "Z")
    assert cs.verify_json(font)[1][str(font)]["assertions"] is None  # only with --show
    # C2PA 2.2, 15.3: what a font that is not valid says is shown with a warning.
    changed = tmp_path / "changed.ttf"
    changed.write_bytes(cs.change_outline_byte(font.read_bytes()))
    assert "  content of the assertions (as signed, but the font is NOT a valid asset):\n" in \
        run("verify", changed, "--show").stdout.decode()
    forged = tmp_path / "forged.ttf"
    forged.write_bytes(cs.change_signature(font.read_bytes()))
    assert "  content of the assertions (UNVERIFIED: the manifest is well-formed; do not attribute it to the " \
        "signer):\n" in run("verify", forged, "--show").stdout.decode()

    fingerprint = ":".join(f"{byte:02X}" for byte in signer.fingerprint(hashes.SHA256()))
    other = c2pa_pki.signer("ES384").chain[0].fingerprint(hashes.SHA256()).hex()
    subject = chain[0]["subject"]
    for options, status, first in [
            (["--expect-signer", fingerprint], 0, "trusted"),
            (["--expect-signer", other], 1, "trusted, and NOT an expected signer"),
            (["--expect-signer", other, "--expect-signer", subject, *anchors], 0, "trusted"),
            (["--expect-signer", "CN=Someone Else", *anchors], 1, "trusted, and NOT an expected signer")]:
        result = run("verify", font, *(anchors if "--trust-anchors" not in options else []), *options)
        assert (result.returncode, _first_lines(result.stdout)) == (status, [f"{font}: {first}"]), options
    # A subject alone, without anchors, is anyone's to claim: a usage error.
    refused = run("verify", font, "--expect-signer", subject)
    assert refused.returncode == 2 and "--trust-anchors" in refused.stderr
