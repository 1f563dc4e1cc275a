"""`glyphward sign --cert` and `glyphward verify`, end to end through the installed command
(issue 14): round trips for every algorithm and both bindings, what the manifests hold
(checked against the C2PA 2.2 CDDL and recomputed here), an independent COSE check, tampered
fonts and their failure codes, bad certificates, key commands, the caller's assertions,
hostile stores and the JSON report."""
import hashlib
import importlib.metadata
import json
import os
import re
import sys
import textwrap
import time

import cbor2
import pytest
from cryptography.hazmat.primitives import serialization
from fontTools.ttLib import TTFont

import c2pa_support as cs
import fontbuilder
import glyphward
from c2pa_pki import ALGORITHMS
from cddl_support import validate
from cli_support import glyphward_command, hash_outside, listing, run  # noqa: F401

pytestmark = pytest.mark.usefixtures("glyphward_command")

FONTS = ("DejaVuSans.ttf", "NotoColorEmoji.ttf", "NotoSansCJK.otf")
BINDINGS = ("boxes", "data")
DEJAVU = FONTS[0]
# Every font with both bindings on ES256, and DejaVu with every algorithm and both bindings.
CASES = [(font, "ES256", binding) for font in FONTS for binding in BINDINGS] + \
        [(DEJAVU, algorithm, binding) for algorithm in ALGORITHMS if algorithm != "ES256" for binding in BINDINGS]
DIGITAL_CREATION = "http://cv.iptc.org/newscodes/digitalsourcetype/digitalCreation"
ASSERTION_RULES = {"c2pa.hash.boxes": "box-map", "c2pa.hash.data": "data-hash-map",
                   "c2pa.actions.v2": "actions-map-v2", "font.info": "font-info-map"}
RECORD_KEYS = {"path", "manifest_state", "asset_valid", "remote_manifest_uri", "manifest", "history",
               "validation_results", "error", "certificate_chain", "changed_tables", "assertions", "verdict",
               "verdict_text", "accepted"}


def case_id(case):
    return "-".join(case)


def algorithm_args(algorithm):
    """RSA keys sign PS256 unless asked: the other PS algorithms are asked for."""
    return ["--alg", algorithm] if algorithm in ("PS384", "PS512") else []


def full_name(font):
    import io

    return TTFont(io.BytesIO(font), lazy=True)["name"].getDebugName(4)


@pytest.fixture(scope="module")
def originals(tmp_path_factory, dejavu, noto_emoji, cff_font):
    directory = tmp_path_factory.mktemp("originals")
    for name, data in zip(FONTS, (dejavu, noto_emoji, cff_font)):
        (directory / name).write_bytes(data)
    return {name: directory / name for name in FONTS}


@pytest.fixture(scope="module")
def signed(glyphward_command, tmp_path_factory, originals, c2pa_pki):
    """Every case of CASES signed by the command: the family with --jobs 2 in one run per
    binding, DejaVu once per further algorithm and binding. {case: path}."""
    out = tmp_path_factory.mktemp("signed")
    commands, paths = [], {}
    for binding in BINDINGS:
        directory = out / f"ES256-{binding}"
        directory.mkdir()
        commands.append(["sign", *originals.values(), "--output-dir", directory, "--binding", binding,
                         "--jobs", "2", *cs.key_args(c2pa_pki.signer("ES256"))])
        paths.update({(font, "ES256", binding): directory / font for font in FONTS})
    for font, algorithm, binding in CASES:
        if algorithm != "ES256":
            path = out / f"{algorithm}-{binding}-{font}"
            commands.append(["sign", originals[font], "-o", path, "--binding", binding,
                             *cs.key_args(c2pa_pki.signer(algorithm)), *algorithm_args(algorithm)])
            paths[(font, algorithm, binding)] = path
    started = time.time()
    for command, result in zip(commands, cs.run_all(commands)):
        assert result.returncode == 0, (command, result.stderr)
        # No warning for good certificates and clean fonts; the family's summary line.
        assert result.stderr == ("signed 3 fonts, 0 failed\n" if "--jobs" in command else ""), result.stderr
    return {"paths": paths, "started": started, "finished": time.time()}


@pytest.fixture(scope="module")
def verified(signed, c2pa_pki):
    """verify --json over every signed font, with and without the trust anchors."""
    fonts = [signed["paths"][case] for case in CASES]
    with_anchors = cs.verify_json(*fonts, options=["--trust-anchors", c2pa_pki.root.cert_pem, "--jobs", "2"])
    without = cs.verify_json(*fonts, options=["--jobs", "2"])
    return with_anchors, without


@pytest.mark.parametrize("case", CASES, ids=case_id)
def test_round_trip_verifies(case, signed, verified):
    font, algorithm, binding = case
    path = str(signed["paths"][case])
    (trusted_run, trusted), (plain_run, plain) = verified
    assert trusted_run.returncode == 0 and plain_run.returncode == 0, (trusted_run.stderr, plain_run.stderr)

    record = trusted[path]
    assert set(record) == RECORD_KEYS
    assert (record["manifest_state"], record["asset_valid"], record["error"]) == ("trusted", True, None)
    assert cs.codes(record) == []
    assert {"claimSignature.validated", "claimSignature.insideValidity", "signingCredential.trusted",
            f"assertion.{binding}Hash.match"} <= set(cs.codes(record, "success"))
    summary = record["manifest"]
    assert (summary["kind"], summary["algorithm"], summary["binding"]) == \
        ("standard", algorithm, f"c2pa.hash.{binding}")
    assert summary["signer"] == f"O=glyphward tests,CN=glyphward {algorithm} signer"

    # Without trust anchors: valid, its credential untrusted, and still exit 0.
    record = plain[path]
    assert (record["manifest_state"], record["asset_valid"]) == ("valid", True)
    assert cs.codes(record) == ["signingCredential.untrusted"]


@pytest.mark.parametrize("case", CASES, ids=case_id)
def test_manifest_holds_what_the_issue_asks(case, signed, originals, c2pa_pki):
    """The store walked independently: one standard manifest whose claim, signature and
    assertions match the C2PA 2.2 CDDL and what is recomputed here from the font."""
    font_name, algorithm, binding = case
    signed_font = signed["paths"][case].read_bytes()
    original = originals[font_name].read_bytes()
    store = cs.store_of(signed_font)
    (manifest,) = cs.manifests(store)
    assert manifest.kind == "c2ma" and re.fullmatch(r"urn:c2pa:[0-9a-f-]{36}", manifest.label)

    # The store takes exactly its room: the C2PA table's manifestStoreLength is the JUMBF box's.
    assert cs.c2pa_table_store_length(signed_font) == len(store) == len(glyphward.read_manifest_store(signed_font))

    # The claim (C2PA 2.2, 10.2.1).
    validate("claim-map-v2", manifest.claim)
    claim = manifest.claim_map
    assert claim["claim_generator_info"]["name"] == "glyphward"
    assert claim["claim_generator_info"]["version"] == importlib.metadata.version("glyphward")
    assert re.fullmatch(r"urn:uuid:[0-9a-f-]{36}", claim["instanceID"])
    assert claim["dc:title"] == full_name(original)
    assert claim["signature"] == "self#jumbf=c2pa.signature"
    alg = claim.get("alg", "sha256")
    assert sorted(claim["created_assertions"], key=lambda uri: uri["url"]) == [
        {"url": f"self#jumbf=c2pa.assertions/{label}", "hash": hashlib.new(alg, manifest.hashed[label]).digest()}
        for label in sorted(manifest.assertions)]
    binding_label = f"c2pa.hash.{binding}"
    assert set(manifest.assertions) == {binding_label, "c2pa.actions.v2", "font.info"}
    for label, rule in ASSERTION_RULES.items():
        if label in manifest.assertions:
            validate(rule, manifest.assertions[label])

    # The hard binding, recomputed from the signed font's own tables and bytes.
    value = manifest.decoded(binding_label)
    if binding == "boxes":
        expected = []
        for tag, _, offset, length in cs.table_records(signed_font):  # table-directory order
            data = bytearray(signed_font[offset:offset + length])
            if tag == b"head":
                data[8:12] = bytes(4)  # checkSumAdjustment as zero (C2PA 2.2, 18.7.3.6)
            digest = b"\x00" if tag == b"C2PA" else hashlib.new(value["alg"], data).digest()
            expected.append({"names": [tag.decode("latin-1").rstrip(" ")], "hash": digest, "pad": b""})
        assert value == {"alg": "sha256", "boxes": expected}
    else:
        ranges = glyphward.data_hash_ranges(signed_font)
        assert (signed_font.index(store), len(store)) in ranges
        assert value["exclusions"] == [{"start": start, "length": length} for start, length in ranges]
        assert value["hash"].hex() == hash_outside(signed_font, ranges, value["alg"])
        assert set(value) <= {"exclusions", "alg", "hash", "pad", "pad2", "name"}
    # Signing changed no table but added C2PA (head: checkSumAdjustment only).
    before = dict(cs.tables_of(original))
    after = dict(cs.tables_of(signed_font))
    assert set(after) == set(before) | {b"C2PA"}
    for tag, data in before.items():
        if tag == b"head":
            data, after[tag] = data[:8] + data[12:], after[tag][:8] + after[tag][12:]
        assert after[tag] == data, tag

    assert manifest.decoded("c2pa.actions.v2") == {
        "actions": [{"action": "c2pa.created", "digitalSourceType": DIGITAL_CREATION}]}
    info = manifest.decoded("font.info")
    names = TTFont(originals[font_name], lazy=True)
    assert (info["fullName"], info["postScriptName"], info["weight"]["value"]) == \
        (names["name"].getDebugName(4), names["name"].getDebugName(6), names["OS/2"].usWeightClass)

    # The claim signature (C2PA 2.2, 13.2): COSE_Sign1_Tagged, detached, alg and x5chain protected.
    sign1 = cbor2.loads(manifest.signature)
    assert sign1.tag == 18
    protected_bytes, unprotected, payload, signature = sign1.value
    protected = cbor2.loads(protected_bytes)
    credential = c2pa_pki.signer(algorithm)
    assert payload is None and signature
    assert protected[1] == cs.COSE_IDS[algorithm]
    assert protected[33] == [certificate.public_bytes(serialization.Encoding.DER) for certificate in credential.chain]
    assert signed["started"] - 2 <= protected["iat"] <= signed["finished"] + 2
    assert set(protected) == {1, 33, "iat"} and dict(unprotected) == {}


def test_info_shows_the_store_and_the_manifest(signed, tmp_path, dejavu):
    """info tells a signed store (with the manifest's state and summary) from a reserved
    placeholder that was never filled."""
    path = signed["paths"][(DEJAVU, "ES256", "data")]
    font = path.read_bytes()
    placeholder = tmp_path / "reserved.ttf"
    placeholder.write_bytes(glyphward.reserve_manifest_placeholder(dejavu, 4000))
    result = run("info", path, placeholder, "--json")
    assert result.returncode == 0, result.stderr
    record, reserved = json.loads(result.stdout)
    assert (record["c2pa_table"], record["compliant"], record["error"], record["store"]) == \
        (True, True, None, "manifest store")
    assert record["manifest_store_length"] == len(cs.store_of(font))
    assert record["exclusion_ranges"] == [list(pair) for pair in glyphward.data_hash_ranges(font)]
    assert record["manifest_state"] == "valid"  # as verify finds it without trust anchors
    assert (record["manifest"]["title"], record["manifest"]["signer"], record["manifest"]["binding"]) == \
        ("DejaVu Sans", "O=glyphward tests,CN=glyphward ES256 signer", "c2pa.hash.data")
    assert (reserved["store"], reserved["manifest"], reserved["manifest_store_length"]) == ("placeholder", None, 4000)
    text = run("info", path, placeholder).stdout.decode()
    first, second = text.split("\n\n")
    assert re.search(r"^  manifest: +valid\b", first, re.MULTILINE) and "glyphward ES256 signer" in first
    assert re.search(r"^  manifest store: +4000 bytes, .*placeholder.*never filled", second, re.MULTILINE), second


@pytest.mark.parametrize("algorithm", ALGORITHMS)
def test_pycose_verifies_the_claim_signature(algorithm, signed):
    """An independent COSE implementation checks the signature over the detached claim."""
    from cryptography import x509
    from pycose.headers import Algorithm, X5chain
    from pycose.keys import CoseKey
    from pycose.messages import Sign1Message

    manifest = cs.active(signed["paths"][(DEJAVU, algorithm, "boxes")].read_bytes())
    tag = cbor2.loads(manifest.signature)
    assert tag.tag == Sign1Message.cbor_tag
    protected, unprotected, payload, signature = tag.value
    # pycose 1.1 wants lists and dicts where cbor2 gives tuples and frozen dicts inside a tag.
    message = Sign1Message.from_cose_obj([protected, dict(unprotected), payload, signature], True)
    assert message.payload is None  # detached: given to verify_signature as detached_payload
    assert message.get_attr(Algorithm).fullname == {"Ed25519": "EDDSA"}.get(algorithm, algorithm)
    chain = message.phdr[X5chain]
    certificate = x509.load_der_x509_certificate(chain[0] if isinstance(chain, list) else chain)
    message.key = CoseKey.from_pem_public_key(certificate.public_key().public_bytes(
        serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo).decode())
    assert message.verify_signature(detached_payload=manifest.claim)
    assert not message.verify_signature(detached_payload=manifest.claim.replace(b"glyphward", b"glyphwarf"))


# ---------------------------------------------------------------------------
# Tampered fonts

def _swap_exclusions(values):
    exclusions = values["c2pa.hash.data"]["exclusions"]
    exclusions[0], exclusions[1] = exclusions[1], exclusions[0]


# name: (the binding of the ES256 DejaVu it starts from, how, the failures with --trust-anchors, the state)
TAMPERING = {
    "outline-byte-boxes": ("boxes", lambda font, pki: cs.change_outline_byte(font),
                           ["assertion.boxesHash.mismatch"], "trusted"),
    "outline-byte-data": ("data", lambda font, pki: cs.change_outline_byte(font),
                          ["assertion.dataHash.mismatch"], "trusted"),
    "table-added": ("boxes", lambda font, pki: cs.add_table(font), ["assertion.boxesHash.unknownBox"], "trusted"),
    "tables-reordered": ("boxes", lambda font, pki: cs.swap_directory_records(font),
                         ["assertion.boxesHash.mismatch"], "trusted"),
    "assertion-changed": ("boxes", lambda font, pki: cs.change_assertion(font, "font.info"),
                          ["assertion.hashedURI.mismatch"], "invalid"),
    "claim-changed-boxes": ("boxes", lambda font, pki: cs.change_claim(font), ["claimSignature.mismatch"],
                            "well-formed"),
    "claim-changed-data": ("data", lambda font, pki: cs.change_claim(font), ["claimSignature.mismatch"],
                           "well-formed"),
    "signature-changed": ("boxes", lambda font, pki: cs.change_signature(font), ["claimSignature.mismatch"],
                          "well-formed"),
    "malformed-exclusions": ("data", lambda font, pki: cs.resign(font, pki.signer("ES256"),
                                                                 assertions=_swap_exclusions),
                             ["assertion.dataHash.malformed"], "invalid"),
    # RS256 (RSASSA-PKCS1-v1_5) is a COSE algorithm C2PA 2.2, 13.2.1 does not allow.
    "unsupported-algorithm": ("boxes", lambda font, pki: cs.resign(font, pki.signer("PS256"), algorithm="RS256"),
                              ["algorithm.unsupported"], "well-formed"),
    "untrusted-root": (None, None, ["signingCredential.untrusted"], "valid"),
    "expired-certificate": (None, None, ["claimSignature.outsideValidity"], "well-formed"),
}
CONTENT_FAILURES = {"assertion.boxesHash.mismatch", "assertion.boxesHash.unknownBox", "assertion.dataHash.mismatch"}


def _expired_but_signed_in_time(original, pki):
    """Signed (with the API) while the certificate was valid; verified after it expired."""
    from glyphward_c2pa import KeySigner, sign_font

    credential = pki.bad("expired")
    signer = KeySigner.from_pem(credential.cert_pem.read_bytes(), credential.key_pem.read_bytes())
    begins = max(certificate.not_valid_before_utc for certificate in credential.chain)
    ends = min(certificate.not_valid_after_utc for certificate in credential.chain)
    return sign_font(original, signer, now=begins + (ends - begins) / 2).font


@pytest.fixture(scope="module")
def tampered(signed, originals, c2pa_pki, tmp_path_factory, dejavu):
    """Every case of TAMPERING as a font, verified together with --trust-anchors."""
    directory = tmp_path_factory.mktemp("tampered")
    paths = {}
    for name, (binding, how, _, _) in TAMPERING.items():
        paths[name] = directory / f"{name}.ttf"
        if how is not None:
            base = signed["paths"][(DEJAVU, "ES256", binding)].read_bytes()
            paths[name].write_bytes(how(base, c2pa_pki))
    result = run("sign", originals[DEJAVU], "-o", paths["untrusted-root"], *cs.key_args(c2pa_pki.bad("unknown-root")))
    assert result.returncode == 0 and result.stderr == "", result.stderr
    paths["expired-certificate"].write_bytes(_expired_but_signed_in_time(dejavu, c2pa_pki))
    return paths, cs.verify_json(*paths.values(), options=["--trust-anchors", c2pa_pki.root.cert_pem])


@pytest.mark.parametrize("name", TAMPERING)
def test_tampered_font_fails_with_the_standards_code(name, tampered):
    paths, (result, records) = tampered
    _, _, failures, state = TAMPERING[name]
    record = records[str(paths[name])]
    assert result.returncode == 1
    assert record["error"] is None
    assert (cs.codes(record), record["manifest_state"]) == (failures, state)
    # C2PA 2.2, 14.3.3: a valid asset is unchanged content under a valid or trusted manifest.
    assert record["asset_valid"] is (state in ("valid", "trusted") and not set(failures) & CONTENT_FAILURES)
    assert result.stderr == f"verified 0 fonts, {len(TAMPERING)} failed\n"
    validate("validation-results-map", cbor2.dumps(record["validation_results"]))


def test_untrusted_root_is_valid_without_anchors(tampered):
    paths, _ = tampered
    result, records = cs.verify_json(paths["untrusted-root"])
    record = records[str(paths["untrusted-root"])]
    assert result.returncode == 0
    assert (record["manifest_state"], record["asset_valid"]) == ("valid", True)


def test_tampered_fonts_stay_readable(tampered):
    """The tampered fonts stay fonts the module reads: each case is what it says."""
    paths, _ = tampered
    for name in ("table-added", "tables-reordered", "outline-byte-boxes"):
        font = paths[name].read_bytes()
        assert cs.active(font).label  # the store is still found where it was
        assert glyphward.read_manifest_store(font)


# ---------------------------------------------------------------------------
# Certificates at signing

@pytest.mark.parametrize("kind", ["expired", "not-yet-valid"])
def test_sign_refuses_a_certificate_outside_its_validity(kind, tmp_path, originals, c2pa_pki):
    """sign validates the signed font before writing it: claimSignature.outsideValidity
    keeps it from being written (exit 1); --strict refuses earlier, for the same reason."""
    credential = c2pa_pki.bad(kind)
    output = tmp_path / "out.ttf"
    plain, strict = cs.run_all([["sign", originals[DEJAVU], "-o", output, *cs.key_args(credential), *extra]
                                for extra in ([], ["--strict"])])
    assert plain.returncode == 1 and strict.returncode == 1
    assert "claimSignature.outsideValidity" in plain.stderr and "not written" in plain.stderr
    assert "--strict" in strict.stderr and "is not valid now" in strict.stderr
    assert listing(tmp_path) == []


BAD_PROBLEMS = {
    "ca": "basic constraints assert cA",
    "no-digital-signature": "key usage does not assert digitalSignature",
    "wrong-eku": "extended key usage lists none of",
    "any-eku": "anyExtendedKeyUsage",
    "no-eku": "no extended key usage extension",
}

STRICT_KINDS = ("ca", "no-eku")  # --strict is one check for every kind: two of them stand for all


@pytest.fixture(scope="module")
def bad_signed(tmp_path_factory, originals, c2pa_pki):
    """DejaVu signed with each bad certificate, with and without --strict; and the fonts such a
    signer would make with another tool (the library with its own checks turned off), verified."""
    import glyphward_c2pa
    from glyphward_c2pa.signing import credential, generator

    directory = tmp_path_factory.mktemp("bad")
    commands = []
    cases = [(kind, False) for kind in BAD_PROBLEMS] + [(kind, True) for kind in STRICT_KINDS]
    for kind, strict in cases:
        output = directory / f"{kind}{'-strict' if strict else ''}.ttf"
        commands.append(["sign", originals[DEJAVU], "-o", output, *cs.key_args(c2pa_pki.bad(kind)),
                         *(["--strict"] if strict else [])])
    results = dict(zip(cases, cs.run_all(commands)))
    font = originals[DEJAVU].read_bytes()
    checks = (credential.check_credential, generator.refusal, generator.check_credential)
    generator.check_credential = lambda *args: None
    generator.refusal = lambda *args: None
    try:
        for kind in BAD_PROBLEMS:
            bad = c2pa_pki.bad(kind)
            signer = glyphward_c2pa.KeySigner.from_pem(bad.cert_pem.read_bytes(), bad.key_pem.read_bytes())
            (directory / f"{kind}-forged.ttf").write_bytes(glyphward_c2pa.sign_font(font, signer).font)
    finally:
        credential.check_credential, generator.refusal, generator.check_credential = checks
    fonts = [directory / f"{kind}-forged.ttf" for kind in BAD_PROBLEMS]
    return directory, results, cs.verify_json(*fonts, options=["--trust-anchors", c2pa_pki.root.cert_pem])


@pytest.mark.parametrize("kind", BAD_PROBLEMS)
def test_bad_certificate_refused_by_sign_reported_by_verify(kind, bad_signed):
    """A signing certificate whose signatures no validator accepts (signingCredential.invalid) is
    refused like an expired one, with or without --strict: one line, exit 1, nothing written. A font
    signed with one elsewhere is reported by verify."""
    directory, results, (verify_run, records) = bad_signed
    problem = BAD_PROBLEMS[kind]
    for strict in (False, True) if kind in STRICT_KINDS else (False,):
        run_result = results[(kind, strict)]
        assert run_result.returncode == 1, run_result.stderr
        (line,) = run_result.stderr.splitlines()
        assert "signingCredential.invalid" in line and problem in line, line
        assert not (directory / f"{kind}{'-strict' if strict else ''}.ttf").exists()
    record = records[str(directory / f"{kind}-forged.ttf")]
    assert verify_run.returncode == 1
    assert (record["manifest_state"], record["asset_valid"]) == ("well-formed", False)
    assert cs.codes(record) == ["signingCredential.invalid", "signingCredential.untrusted"]
    assert problem in record["validation_results"]["activeManifest"]["failure"][0]["explanation"]


@pytest.mark.parametrize("cert, key, alg, expected", [
    ("PS256", "PS256", "ES256", "ES256 needs an elliptic-curve key, not a 2048-bit RSA key"),
    ("ES256", "bad", None, "the private key does not belong to the signing certificate"),
    ("ES256", "ES256", "ES384", None),  # C2PA 2.2, 13.2.1: any of P-256, P-384, P-521 for every ES algorithm
])
def test_the_key_must_fit_the_algorithm(cert, key, alg, expected, tmp_path, originals, c2pa_pki):
    key_pem = c2pa_pki.bad("ca").key_pem if key == "bad" else c2pa_pki.signer(key).key_pem
    output = tmp_path / "out.ttf"
    result = run("sign", originals[DEJAVU], "-o", output, "--cert", c2pa_pki.signer(cert).cert_pem, "--key", key_pem,
                 *(["--alg", alg] if alg else []))
    if expected is not None:  # not a usage error: one line
        assert result.returncode == 1 and expected in result.stderr, result.stderr
        assert result.stderr.startswith("glyphward: error: ") and len(result.stderr.splitlines()) == 1
        assert listing(tmp_path) == []
    else:
        assert result.returncode == 0, result.stderr
        result, records = cs.verify_json(output, options=["--trust-anchors", c2pa_pki.root.cert_pem])
        assert result.returncode == 0 and records[str(output)]["manifest"]["algorithm"] == alg


def test_warnings_for_dsig_and_a_font_without_font_info(tmp_path, dejavu, c2pa_pki):
    """A DSIG table gets a warning; a font without the name fields font.info needs is signed
    without it, with a note; both verify."""
    with_dsig, bare, out = tmp_path / "dsig.ttf", tmp_path / "bare.ttf", tmp_path / "out"
    with_dsig.write_bytes(cs.add_table(dejavu))
    bare.write_bytes(fontbuilder.simple_font())
    out.mkdir()
    result = run("sign", with_dsig, bare, "--output-dir", out, *cs.key_args(c2pa_pki.signer("ES256")))
    assert result.returncode == 0, result.stderr
    lines = result.stderr.splitlines()
    assert any(re.fullmatch(rf"glyphward: {re.escape(str(with_dsig))}: warning: .*DSIG.*", line) for line in lines)
    assert any(re.fullmatch(rf"glyphward: {re.escape(str(bare))}: warning: font.info left out: .*name.*", line)
               for line in lines), lines
    assert set(cs.active((out / "bare.ttf").read_bytes()).assertions) == {"c2pa.hash.boxes", "c2pa.actions.v2"}
    result, records = cs.verify_json(out / "dsig.ttf", out / "bare.ttf")
    assert result.returncode == 0 and all(record["asset_valid"] for record in records.values())


# ---------------------------------------------------------------------------
# --key-command

KEY_COMMAND = """
    import os, subprocess, sys, time
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec, ed25519, padding, rsa
    from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature

    mode, key_path, expected, algorithm = sys.argv[1:]
    if algorithm != expected:  # the algorithm's name comes last
        sys.exit(f"key command: got algorithm {algorithm!r}")
    data = sys.stdin.buffer.read()
    if mode == "hang":
        with open(key_path, "w") as file:  # the pids, for the test to check that they were killed
            file.write(f"{os.getpid()} ")
            file.flush()
            child = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
            file.write(f"{child.pid}")
        time.sleep(60)
    if mode == "garbage":
        sys.stdout.buffer.write(os.urandom(64))
        sys.exit(0)
    key = serialization.load_pem_private_key(open(key_path, "rb").read(), None)
    if isinstance(key, ec.EllipticCurvePrivateKey):
        r, s = decode_dss_signature(key.sign(data, ec.ECDSA(hashes.SHA256())))
        sys.stdout.buffer.write(r.to_bytes(32, "big") + s.to_bytes(32, "big"))
    elif isinstance(key, rsa.RSAPrivateKey):
        sys.stdout.buffer.write(key.sign(data, padding.PSS(padding.MGF1(hashes.SHA256()), 32), hashes.SHA256()))
    else:
        sys.stdout.buffer.write(key.sign(data))
"""


def _pids(path):
    """The pids a hanging key command wrote (none if it was killed before it could)."""
    return path.read_text().split() if path.exists() else []


def _alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as file:
            return file.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def key_command(tmp_path, mode, key_path, algorithm):
    script = tmp_path / "key_command.py"
    script.write_text(textwrap.dedent(KEY_COMMAND))
    return " ".join(map(str, [sys.executable, script, mode, key_path, algorithm]))


@pytest.mark.parametrize("algorithm", ["ES256", "PS256"])
def test_key_command_round_trip(algorithm, tmp_path, originals, c2pa_pki):
    credential = c2pa_pki.signer(algorithm)
    output = tmp_path / "out.ttf"
    result = run("sign", originals[DEJAVU], "-o", output, "--cert", credential.cert_pem, "--key-command",
                 key_command(tmp_path, "sign", credential.key_pem, algorithm))
    assert result.returncode == 0, result.stderr
    result, records = cs.verify_json(output, options=["--trust-anchors", c2pa_pki.root.cert_pem])
    assert result.returncode == 0
    assert records[str(output)]["manifest"]["algorithm"] == algorithm


def test_key_command_writing_garbage_fails_the_font(tmp_path, originals, c2pa_pki):
    credential = c2pa_pki.signer("ES256")
    output = tmp_path / "out.ttf"
    result = run("sign", originals[DEJAVU], "-o", output, "--cert", credential.cert_pem, "--key-command",
                 key_command(tmp_path, "garbage", credential.key_pem, "ES256"))
    assert result.returncode == 1
    assert "the signature does not verify with the signing certificate's key" in result.stderr, result.stderr
    assert not output.exists()


def test_key_command_that_hangs_is_killed(tmp_path, originals, c2pa_pki):
    credential = c2pa_pki.signer("ES256")
    output, pids = tmp_path / "out.ttf", tmp_path / "pids"
    started = time.monotonic()
    try:
        result = run("sign", originals[DEJAVU], "-o", output, "--cert", credential.cert_pem, "--signer-timeout",
                     "1", "--key-command", key_command(tmp_path, "hang", pids, "ES256"), timeout=30)
        assert time.monotonic() - started < 20
        assert result.returncode == 1
        assert "did not finish within 1 second" in result.stderr and "killed" in result.stderr, result.stderr
        assert not output.exists()
        time.sleep(0.2)
        assert not any(_alive(pid) for pid in _pids(pids))  # the key command and its child
    finally:  # the processes this test started, if the command left them
        import signal

        for pid in _pids(pids):
            try:
                os.kill(int(pid), signal.SIGKILL)
            except ProcessLookupError:
                pass


# ---------------------------------------------------------------------------
# --assertion, --title, --digital-source-type

LICENSE = {"name": "SIL Open Font License", "version": 1.1, "url": "https://openfontlicense.org",
           "reserved": ["Bitstream", "DejaVu"], "embeddable": True, "notes": None, "year": 2004,
           "holders": [{"name": "Bitstream, Inc.", "since": 2003}], "text": "Schriftgießerei ✓"}


def test_assertion_title_and_source_type_round_trip(tmp_path, originals, c2pa_pki):
    (tmp_path / "license.json").write_text(json.dumps(LICENSE), encoding="utf-8")
    (tmp_path / "empty.json").write_text("{}")
    output = tmp_path / "out.ttf"
    source = "http://cv.iptc.org/newscodes/digitalsourcetype/algorithmicMedia"
    result = run("sign", originals[DEJAVU], "-o", output, *cs.key_args(c2pa_pki.signer("ES256")),
                 "--assertion", f"com.example.license={tmp_path / 'license.json'}",
                 "--assertion", f"org.example.empty-thing={tmp_path / 'empty.json'}",
                 "--title", "Specimen ✓", "--digital-source-type", source)
    assert result.returncode == 0 and result.stderr == "", result.stderr
    manifest = cs.active(output.read_bytes())
    assert manifest.decoded("com.example.license") == LICENSE  # the JSON, as CBOR
    assert manifest.decoded("org.example.empty-thing") == {}
    assert manifest.claim_map["dc:title"] == "Specimen ✓"
    assert manifest.decoded("c2pa.actions.v2")["actions"][0]["digitalSourceType"] == source
    assert {uri["url"] for uri in manifest.claim_map["created_assertions"]} >= {
        "self#jumbf=c2pa.assertions/com.example.license", "self#jumbf=c2pa.assertions/org.example.empty-thing"}
    result, records = cs.verify_json(output, options=["--trust-anchors", c2pa_pki.root.cert_pem])
    assert result.returncode == 0
    assert {"com.example.license", "org.example.empty-thing"} <= set(records[str(output)]["manifest"]["assertions"])


@pytest.mark.parametrize("specs, expected, status", [
    (["c2pa.hash.data=GOOD"], "one glyphward writes itself", 2),
    (["license=GOOD"], "is not an assertion label", 2),
    (["com.example"], "expected LABEL=FILE.json", 2),
    (["com.example=MISSING"], "cannot read", 1),
    (["com.example=NOT_JSON"], "is not JSON", 1),
    (["com.example=GOOD", "com.example=GOOD"], "is given twice", 2),
], ids=["reserved", "no-namespace", "no-file", "missing", "not-json", "twice"])
def test_bad_assertions_are_refused(specs, expected, status, tmp_path, originals, c2pa_pki):
    """A malformed option is a usage error (2); a file that cannot be read or is
    not JSON is one line, 'glyphward: error: ...' (1)."""
    (tmp_path / "good.json").write_text('{"a": 1}')
    (tmp_path / "bad.json").write_text('{"a": ')
    files = {"GOOD": tmp_path / "good.json", "NOT_JSON": tmp_path / "bad.json", "MISSING": tmp_path / "none.json"}
    args = []
    for spec in specs:
        for placeholder, path in files.items():
            spec = spec.replace(placeholder, str(path))
        args += ["--assertion", spec]
    result = run("sign", originals[DEJAVU], "-o", tmp_path / "out.ttf", *cs.key_args(c2pa_pki.signer("ES256")),
                 *args)
    assert result.returncode == status and expected in result.stderr.splitlines()[-1], result.stderr
    assert result.stderr.startswith("usage: " if status == 2 else "glyphward: error: --assertion com.example=")
    assert not (tmp_path / "out.ttf").exists()


# ---------------------------------------------------------------------------
# Fonts from other signers, and hostile stores

def _spaced_names(values):
    """Box names padded to four characters, as the table tags are ("cvt ")."""
    for box in values["c2pa.hash.boxes"]["boxes"]:
        box["names"] = [name.ljust(4) for name in box["names"]]


def _excluded_c2pa_box(values):
    """The C2PA table's box excluded rather than given the hash 0x00."""
    for box in values["c2pa.hash.boxes"]["boxes"]:
        if box["names"] == ["C2PA"]:
            box["excluded"] = True


def _store_then_zeros(signed_font, original, pki):
    """The signed store in a larger reservation: zeros follow it in the C2PA table."""
    store = cs.store_of(signed_font)
    font = glyphward.fill_manifest_store(glyphward.reserve_manifest_placeholder(original, len(store) + 999), store)
    assert cs.c2pa_table_store_length(font) == len(store) + 999
    return font


VARIANTS = {
    "spaced-names": lambda font, original, pki: cs.resign(font, pki.signer("ES256"), assertions=_spaced_names),
    "excluded-c2pa-box": lambda font, original, pki: cs.resign(font, pki.signer("ES256"),
                                                                assertions=_excluded_c2pa_box),
    "store-then-zeros": _store_then_zeros,
}


@pytest.mark.parametrize("variant", VARIANTS)
def test_reads_what_other_signers_write(variant, tmp_path, signed, dejavu, c2pa_pki):
    output = tmp_path / f"{variant}.ttf"
    base = signed["paths"][(DEJAVU, "ES256", "boxes")].read_bytes()
    output.write_bytes(VARIANTS[variant](base, dejavu, c2pa_pki))
    validate("box-map", cs.active(output.read_bytes()).assertions["c2pa.hash.boxes"])
    result, records = cs.verify_json(output, options=["--trust-anchors", c2pa_pki.root.cert_pem])
    record = records[str(output)]
    assert result.returncode == 0, cs.codes(record)
    assert (record["manifest_state"], record["asset_valid"]) == ("trusted", True)
    assert "assertion.boxesHash.match" in cs.codes(record, "success")


def test_size_is_a_floor(tmp_path, originals, c2pa_pki):
    """--size 20000: the store fills it exactly, with either binding (their pad fields)."""
    fonts = {binding: tmp_path / f"{binding}.ttf" for binding in BINDINGS}
    for result in cs.run_all([["sign", originals[DEJAVU], "-o", path, "--binding", binding, "--size", "20000",
                               *cs.key_args(c2pa_pki.signer("ES256"))] for binding, path in fonts.items()]):
        assert result.returncode == 0, result.stderr
    for path in fonts.values():
        font = path.read_bytes()
        assert len(cs.store_of(font)) == cs.c2pa_table_store_length(font) == 20000
    result, records = cs.verify_json(*fonts.values(), options=["--trust-anchors", c2pa_pki.root.cert_pem])
    assert result.returncode == 0 and all(record["manifest_state"] == "trusted" for record in records.values())


def test_encrypted_key_with_its_passphrase(tmp_path, originals, c2pa_pki):
    credential = c2pa_pki.signer("ES256")
    encrypted = tmp_path / "encrypted.key"
    encrypted.write_bytes(credential.key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                                       serialization.BestAvailableEncryption(b"open sesame")))
    output = tmp_path / "out.ttf"
    base = ["sign", originals[DEJAVU], "-o", output, "--cert", credential.cert_pem, "--key", encrypted]
    env = dict(os.environ, GOOD_PASSPHRASE="open sesame", WRONG_PASSPHRASE="open sesame!")
    good, missing, wrong = cs.run_all([base + ["--key-password-env", "GOOD_PASSPHRASE"], base,
                                       base + ["--key-password-env", "WRONG_PASSPHRASE"]], env=env)
    assert good.returncode == 0, good.stderr
    assert missing.returncode == 1 and "the key is encrypted: give its passphrase" in missing.stderr
    assert wrong.returncode == 1 and "the wrong passphrase" in wrong.stderr
    for result in (missing, wrong):  # not usage errors: one line each
        assert result.stderr.startswith("glyphward: error: --key: ") and len(result.stderr.splitlines()) == 1
    assert cs.active(output.read_bytes()).label  # signed (and validated by sign before it was written)


def _hostile(dejavu, store):
    import struct

    reserved = glyphward.reserve_manifest_placeholder(dejavu, 4000)
    return {
        "zeros": reserved,  # a reserved placeholder that was never filled
        "garbage": glyphward.fill_manifest_store(reserved, b"\x00\x00\x00\x18jumbnot a JUMBF description"),
        # The store cut short: its boxes declare more than the C2PA table holds.
        "truncated": glyphward.fill_manifest_store(glyphward.reserve_manifest_placeholder(dejavu, len(store) - 100),
                                                   store[:-100]),
        "huge-length": glyphward.fill_manifest_store(reserved, struct.pack(">I4sQ", 1, b"jumb", 1 << 62) + store[8:]),
        "not-a-store": glyphward.fill_manifest_store(reserved, cs.superbox("c2ma", "c2pa", [store[8:]])),
    }


@pytest.fixture(scope="module")
def hostile(tmp_path_factory, dejavu, signed):
    directory = tmp_path_factory.mktemp("hostile")
    store = cs.store_of(signed["paths"][(DEJAVU, "ES256", "boxes")].read_bytes())
    paths = {}
    for name, font in _hostile(dejavu, store).items():
        paths[name] = directory / f"{name}.ttf"
        paths[name].write_bytes(font)
    return paths, cs.verify_json(*paths.values()), run("verify", *paths.values()), run("info", *paths.values())


@pytest.mark.parametrize("name", ["zeros", "garbage", "truncated", "huge-length", "not-a-store"])
def test_hostile_store_is_a_failure_code_not_a_traceback(name, hostile):
    paths, (json_run, records), text_run, info_run = hostile
    record = records[str(paths[name])]
    assert json_run.returncode == 1 and text_run.returncode == 1
    assert (record["manifest_state"], record["asset_valid"], record["manifest"]) == ("invalid", False, None)
    failures = record["validation_results"]["activeManifest"]["failure"]
    assert [status["code"] for status in failures] == ["general.error"] and failures[0]["explanation"]
    validate("validation-results-map", cbor2.dumps(record["validation_results"]))
    assert re.search(rf"^{re.escape(str(paths[name]))}: NOT valid: general\.error: .+\n  manifest: +invalid\n"
                     rf"  asset: +NOT valid\n  failure: +general\.error: ", text_run.stdout.decode(), re.MULTILINE)
    assert info_run.returncode == 0, info_run.stderr  # info reads the C2PA table, not the JUMBF
    if name == "zeros":
        assert "placeholder" in failures[0]["explanation"]


# ---------------------------------------------------------------------------
# A family with --jobs, and the JSON report

def test_verify_jobs_over_a_family_and_the_json_shape(signed, originals, c2pa_pki, tmp_path):
    family = [signed["paths"][(font, "ES256", "boxes")] for font in FONTS]
    changed = tmp_path / "changed.ttf"
    changed.write_bytes(cs.change_outline_byte(family[0].read_bytes()))
    fonts = family + [originals[DEJAVU], changed, tmp_path / "missing.ttf"]
    result = run("verify", *fonts, "--json", "--jobs", "2", "--trust-anchors", c2pa_pki.root.cert_pem)
    assert result.returncode == 1
    records = json.loads(result.stdout)
    assert [record["path"] for record in records] == [str(font) for font in fonts]  # input order
    assert result.stderr.splitlines()[-1] == "verified 3 fonts, 3 failed"
    for record in records[:-1]:
        assert set(record) == RECORD_KEYS
        validate("validation-results-map", cbor2.dumps(record["validation_results"]))
        for kind in ("success", "informational", "failure"):
            for status in record["validation_results"].get("activeManifest", {}).get(kind, []):
                assert set(status) == {"code", "url", "explanation"}, status
                assert status["url"].startswith("self#jumbf=/c2pa/urn:c2pa:") and status["explanation"]
    assert [(record["manifest_state"], record["asset_valid"]) for record in records[:-1]] == \
        [("trusted", True)] * 3 + [("none", False), ("trusted", False)]
    unsigned, missing = records[3], records[5]
    assert (unsigned["manifest"], unsigned["error"]) == (None, None)
    assert (missing["manifest_state"], missing["asset_valid"], missing["manifest"]) == ("none", False, None)
    assert "No such file" in missing["error"]


def test_verify_usage_errors_exit_2(signed, tmp_path):
    font = signed["paths"][(DEJAVU, "ES256", "boxes")]
    for args in (["--trust-anchors", tmp_path / "none.pem"], ["--manifest", font, "--fetch"]):
        result = run("verify", font, *args)
        assert result.returncode == 2, (args, result.stderr)
        assert result.stdout == b""


FAULTY_MODULE = """
    def _flip(font):  # one byte of the 'glyf' table, which every binding covers
        data = bytearray(font)
        count = int.from_bytes(data[4:6], "big")
        for record in range(12, 12 + 16 * count, 16):
            if data[record:record + 4] == b"glyf":
                data[int.from_bytes(data[record + 8:record + 12], "big") + 40] ^= 1
        return bytes(data)

    def embed_manifest_store(font, store):
        return _flip(_real.embed_manifest_store(font, store))

    def fill_manifest_store(reserved, store):
        return _flip(_real.fill_manifest_store(reserved, store))
"""


@pytest.mark.parametrize("binding", ["boxes", "data"])
def test_sign_does_not_write_a_font_the_module_wrote_wrongly(tmp_path, c2pa_pki, binding):
    """sign validates what it is about to write against the bytes it hashed:
    a module that changed a table while writing is caught, the font not written."""
    from cli_support import shim
    from conftest import DEJAVU as dejavu_path

    env = shim(tmp_path, FAULTY_MODULE)
    out = tmp_path / "out.ttf"
    result = run("sign", dejavu_path, "-o", out, "--binding", binding, *cs.key_args(c2pa_pki.signer("ES256")), env=env)
    assert result.returncode == 1
    code = "assertion.boxesHash.mismatch" if binding == "boxes" else "assertion.dataHash.mismatch"
    assert f"does not validate ({code}" in result.stderr and result.stderr.rstrip().endswith("not written")
    assert not out.exists()
