"""Forgeries that a holder of no key, of an untrusted certificate, or a careless
signer can make, through the installed `glyphward verify`: hashed URIs outside
the claim's list of assertions (C2PA 2.2, 15.10.3.3, 15.6.2), boxes of JUMBF
types C2PA does not define where it looks (11.1.2), and the trust checks of
15.7, 15.8 and 15.11 that only a crafted credential or signature reaches.

Each test builds its hostile fonts from one font signed by the command,
rebuilding and re-signing its manifest (`forge`) where the attack needs a
signature that verifies."""
import hashlib
from datetime import datetime, timedelta, timezone

import cbor2
import pytest
from asn1crypto import cms, tsp
from asn1crypto import x509 as asn1_x509
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.serialization import Encoding
from cryptography.x509.oid import ExtendedKeyUsageOID

import c2pa_support as cs
import glyphward
from c2pa_pki import issue, key, pem
from cli_support import glyphward_command, run  # noqa: F401 (a fixture)
from conftest import DEJAVU

pytestmark = pytest.mark.usefixtures("glyphward_command")

UNKNOWN_TYPE = bytes.fromhex("0123456789ABCDEF0123456789ABCDEF")  # a JUMBF type UUID C2PA does not define


@pytest.fixture(scope="module")
def signed(glyphward_command, c2pa_pki, tmp_path_factory):
    """DejaVu signed by the command (a box hash binding), and once more over
    that (an update manifest whose parentOf ingredient is the first)."""
    directory = tmp_path_factory.mktemp("forgery")
    once, twice = directory / "once.ttf", directory / "twice.ttf"
    for source, target in ((DEJAVU, once), (once, twice)):
        result = run("sign", source, "-o", target, *cs.key_args(c2pa_pki.signer("ES256")))
        assert result.returncode == 0, result.stderr
    return once.read_bytes(), twice.read_bytes()


def forge(font, chain, private_key, *, claim=None, assertions=None, boxes=None, extra=(), protected=None,
          unprotected=None):
    """The font's one manifest rebuilt and signed with `private_key` (ES256)
    and the x5chain `chain`: `assertions(values)` may change the decoded
    assertions, `boxes(boxes)` their superboxes (label: bytes); the claim's
    list is made anew, then `claim(map)` may change the claim; `extra` are
    more children of the manifest. `protected` gives the protected header's
    bytes (else the canonical map of alg, x5chain and iat), `unprotected(
    protected, signature)` the unprotected bucket."""
    (manifest,) = cs.manifests(cs.store_of(font))
    values = {label: cbor2.loads(payload) for label, payload in manifest.assertions.items()}
    if assertions is not None:
        assertions(values)
    built = {label: cs.cbor_assertion(label, value) for label, value in values.items()}
    if boxes is not None:
        boxes(built)
    claim_map = manifest.claim_map
    claim_map["created_assertions"] = [{"url": f"self#jumbf=c2pa.assertions/{label}",
                                        "hash": hashlib.sha256(box[8:]).digest()} for label, box in built.items()]
    if claim is not None:
        claim(claim_map)
    claim_bytes = cbor2.dumps(claim_map, canonical=True)
    der = [certificate.public_bytes(Encoding.DER) for certificate in chain]
    if protected is None:
        protected = cbor2.dumps({1: -7, 33: der[0] if len(der) == 1 else der, "iat": 1700000000}, canonical=True)
    signature = cs.sign_raw(private_key, "ES256", cbor2.dumps(["Signature1", protected, b"", claim_bytes]))
    bucket = unprotected(protected, signature) if unprotected is not None else {}
    sign1 = cbor2.dumps(cbor2.CBORTag(18, [protected, bucket, None, signature]))
    store = cs.superbox("c2pa", "c2pa", [cs.superbox(manifest.kind, manifest.label, [
        cs.superbox("c2as", "c2pa.assertions", list(built.values())),
        cs.superbox("c2cl", "c2pa.claim.v2", [cs.jumbf_box(b"cbor", claim_bytes)]),
        cs.superbox("c2cs", "c2pa.signature", [cs.jumbf_box(b"cbor", sign1)]),
        *extra,
    ])])
    return glyphward.embed_manifest_store(font, store)


def with_signature(store, sign1, index=-1):
    """`store` with the COSE_Sign1 of its manifest at `index` replaced by `sign1` (of any length)."""
    found = cs.manifests(store)
    wholes = [bytes(manifest.box.whole) for manifest in found]
    manifest = found[index]
    boxes = {box.label: bytes(box.whole) for box in manifest.box.superboxes()}
    wholes[index] = cs.superbox(manifest.kind, manifest.label, [
        boxes["c2pa.assertions"], boxes["c2pa.claim.v2"],
        cs.superbox("c2cs", "c2pa.signature", [cs.jumbf_box(b"cbor", sign1)])])
    return cs.superbox("c2pa", "c2pa", wholes)


def signer_of(pki):
    credential = pki.signer("ES256")
    return credential.chain, credential.key


def verify(tmp_path, font, *options):
    """`glyphward verify --json` of `font`: its exit status and record."""
    path = tmp_path / f"font-{len(list(tmp_path.iterdir()))}.ttf"
    path.write_bytes(font)
    result, records = cs.verify_json(path, options=list(options))
    return result.returncode, records[str(path)]


def verdict(tmp_path, font, anchors):
    """(exit status, manifest_state, asset_valid, failure codes) under --trust-anchors `anchors`."""
    status, record = verify(tmp_path, font, "--trust-anchors", anchors)
    return status, record["manifest_state"], record["asset_valid"], sorted(set(cs.codes(record)))


def retype(store, fourcc, label, new_type):
    """`store` with the JUMBF type UUID of the box labelled `label` (of type
    `fourcc`) replaced by `new_type`, in place."""
    old = cs.c2pa_uuid(fourcc) + b"\x03" + label.encode() + b"\x00"
    assert store.count(old) == 1
    return store.replace(old, new_type + old[16:])


# ---------------------------------------------------------------------------
# Every hashed URI (C2PA 2.2, 15.10.3.3; 15.6.2 for the claim generator's icon)

ICON = {"dc:format": "image/png", "data": b"\x89PNG icon, first"}
SWAPPED = {"dc:format": "image/png", "data": b"\x89PNG icon, other"}  # as long as ICON, to swap in place


def data_boxes(value=ICON, fourcc="c2db"):
    """A data box store (C2PA 2.2, 11.1.4.6) with one data box, c2pa.data."""
    return cs.superbox(fourcc, "c2pa.databoxes", [cs.cbor_assertion("c2pa.data", value)])


DATA_URL = "self#jumbf=c2pa.databoxes/c2pa.data"
DATA_HASH = hashlib.sha256(cs.cbor_assertion("c2pa.data", ICON)[8:]).digest()


def icon(reference):
    def edit(claim):
        claim["claim_generator_info"]["icon"] = reference
    return edit


def thumbnail(reference):
    def edit(values):
        values["c2pa.ingredient.v3"] = {"relationship": "inputTo", "dc:title": "a sketch", "thumbnail": reference}
    return edit


def agent_icon(reference):
    def edit(values):
        values["c2pa.actions.v2"]["actions"][0]["softwareAgent"] = {"name": "glyphward", "icon": reference}
    return edit


def swap_data(font):
    store = cs.store_of(font)
    old, new = cbor2.dumps(ICON, canonical=True), cbor2.dumps(SWAPPED, canonical=True)
    assert store.count(old) == 1 and len(old) == len(new)
    return cs.replace_store(font, store.replace(old, new))


GOOD = {"url": DATA_URL, "hash": DATA_HASH}


@pytest.mark.parametrize("claim, assertions, extra, after, expected", [
    # Untouched: an icon and a thumbnail in a data box, an agent's icon, an external icon (not fetched).
    (icon(GOOD), thumbnail(GOOD), [data_boxes()], None, (0, "trusted", True, [])),
    (icon({"url": "https://example.com/icon.png", "alg": "sha256", "hash": b"\0" * 32}), agent_icon(GOOD),
     [data_boxes()], None, (0, "trusted", True, [])),
    # The data box swapped after signing, under the claim's icon, an ingredient's thumbnail, an agent's icon.
    (icon(GOOD), None, [data_boxes()], swap_data, (1, "invalid", False, ["hashedURI.mismatch"])),
    (None, thumbnail(GOOD), [data_boxes()], swap_data, (1, "invalid", False, ["hashedURI.mismatch"])),
    (None, agent_icon(GOOD), [data_boxes()], swap_data, (1, "invalid", False, ["hashedURI.mismatch"])),
    # Pointing at nothing: no data box store, another label, a URI that is no JUMBF URI.
    (icon(GOOD), None, [], None, (1, "invalid", False, ["hashedURI.missing"])),
    (None, thumbnail({"url": "self#jumbf=c2pa.databoxes/c2pa.data__1", "hash": DATA_HASH}), [data_boxes()], None,
     (1, "invalid", False, ["hashedURI.missing"])),
    (icon({"url": "c2pa.databoxes/c2pa.data", "hash": DATA_HASH}), None, [data_boxes()], None,
     (1, "invalid", False, ["hashedURI.missing"])),
    # A careless signer: no hash, a hash of something else, a hash algorithm off the list (15.4).
    (icon({"url": DATA_URL}), None, [data_boxes()], None, (1, "invalid", False, ["hashedURI.mismatch"])),
    (None, agent_icon({"url": DATA_URL, "hash": hashlib.sha256(b"").digest()}), [data_boxes()], None,
     (1, "invalid", False, ["hashedURI.mismatch"])),
    (icon({"url": DATA_URL, "alg": "md5", "hash": DATA_HASH}), None, [data_boxes()], None,
     (1, "well-formed", False, ["algorithm.unsupported"])),
    # A data box store of a JUMBF type C2PA does not define is skipped (11.1.2): nothing to point at.
    (icon(GOOD), None, [data_boxes(fourcc="xxxx")], None, (1, "invalid", False, ["hashedURI.missing"])),
], ids=["intact", "intact-external-and-agent", "icon-swapped", "thumbnail-swapped", "agent-icon-swapped",
        "icon-dangling", "thumbnail-wrong-label", "icon-not-a-jumbf-uri", "icon-no-hash", "agent-icon-wrong-hash",
        "icon-md5", "data-boxes-unknown-type"])
def test_every_hashed_uri_is_resolved_and_hash_checked(signed, c2pa_pki, tmp_path, claim, assertions, extra, after,
                                                        expected):
    font = forge(signed[0], *signer_of(c2pa_pki), claim=claim, assertions=assertions, extra=extra)
    if after is not None:
        font = after(font)
    assert verdict(tmp_path, font, c2pa_pki.root.cert_pem) == expected


# ---------------------------------------------------------------------------
# JUMBF types (C2PA 2.2, 11.1.2): a box of a type C2PA does not define there is skipped

def _retyped(fourcc, label):
    def change(font, pki):
        return cs.replace_store(font, retype(cs.store_of(font), fourcc, label, UNKNOWN_TYPE))
    return change


def _unknown_assertion(font, pki):
    """An entity-specific assertion of a content type of its own (C2PA 2.2, 18.1, as ISO 19566-5,
    Table B.1 instructs): found, hash-checked and bound like any other, not decoded."""
    def add(boxes):
        payload = cs.jumbf_box(b"cbor", cbor2.dumps({"note": 1}))
        description = cs.jumbf_box(b"jumd", UNKNOWN_TYPE + b"\x03com.example.note\x00")
        boxes["com.example.note"] = cs.jumbf_box(b"jumb", description + payload)
    return forge(font, *signer_of(pki), boxes=add)


def _binding_of_unknown_type(font, pki):
    """A careless signer stores the box hash in a box of a content type of its own: it is
    found and hash-checked, but a binding that cannot be read binds nothing."""
    def change(boxes):
        boxes["c2pa.hash.boxes"] = retype(boxes["c2pa.hash.boxes"], "cbor", "c2pa.hash.boxes", UNKNOWN_TYPE)
    return forge(font, *signer_of(pki), boxes=change)


def _data_box_listed_as_assertion(font, pki):
    """The claim lists a data box, which is not in the assertion store, as an assertion (its hash matches)."""
    def add(claim):
        claim["created_assertions"].append({"url": DATA_URL, "hash": DATA_HASH})
    return forge(font, *signer_of(pki), extra=[data_boxes()], claim=add)


def _decoy_signature(font, pki):
    """A box of an unknown type labelled c2pa.signature beside the real one, added after signing."""
    store = cs.store_of(font)
    (manifest,) = cs.manifests(store)
    decoy = cs.jumbf_box(b"jumb", cs.jumbf_box(b"jumd", UNKNOWN_TYPE + b"\x03c2pa.signature\x00"))
    whole = bytes(manifest.box.whole)
    rebuilt = cs.jumbf_box(b"jumb", whole[8:] + decoy)
    return glyphward.embed_manifest_store(font, cs.jumbf_box(b"jumb", store[8:store.index(whole)] + rebuilt))


def _compressed_with_absolute_uris(font, pki):
    """The manifest stored compressed (C2PA 2.2, 11.2.4), its claim naming its boxes by absolute URIs,
    which name a compressed manifest as if it were not (8.4.1)."""
    import brotli

    label = cs.active(font).label

    def absolute(claim):
        for reference in claim["created_assertions"]:
            reference["url"] = reference["url"].replace("self#jumbf=", f"self#jumbf=/c2pa/{label}/")
        claim["signature"] = f"self#jumbf=/c2pa/{label}/c2pa.signature"
    whole = bytes(cs.active(forge(font, *signer_of(pki), claim=absolute)).box.whole)
    return glyphward.embed_manifest_store(font, cs.superbox("c2pa", "c2pa", [
        cs.superbox("c2cm", label, [cs.jumbf_box(b"brob", brotli.compress(whole))])]))


@pytest.mark.parametrize("change, expected", [
    (lambda font, pki: font, (0, "trusted", True, [])),
    (_compressed_with_absolute_uris, (0, "trusted", True, [])),
    # The assertion store, the claim, the claim signature of another type after signing.
    (_retyped("c2as", "c2pa.assertions"),
     (1, "invalid", False, ["assertion.action.malformed", "assertion.missing", "claim.hardBindings.missing"])),
    (_retyped("c2cl", "c2pa.claim.v2"), (1, "invalid", False, ["claim.missing"])),
    (_retyped("c2cs", "c2pa.signature"), (1, "invalid", False, ["claimSignature.missing"])),
    # A listed assertion of a content type of its own, and a listed box that is not in the assertion store.
    (_unknown_assertion, (0, "trusted", True, [])),
    (_binding_of_unknown_type, (1, "invalid", False, ["assertion.boxesHash.malformed"])),
    (_data_box_listed_as_assertion, (1, "invalid", False, ["assertion.missing"])),
    # The claim's signature URI names a box of the manifest that is not a claim signature (15.7).
    (lambda font, pki: forge(font, *signer_of(pki), claim=lambda claim: claim.update(
        signature="self#jumbf=c2pa.claim.v2")), (1, "invalid", False, ["claimSignature.missing"])),
    # An unknown box with a C2PA label is ignored, not an ambiguity.
    (_decoy_signature, (0, "trusted", True, [])),
], ids=["intact", "compressed-absolute-uris", "assertion-store", "claim", "claim-signature", "unknown-assertion",
        "binding-of-unknown-type", "not-in-assertion-store", "signature-names-the-claim", "decoy-signature"])
def test_boxes_are_found_by_type_and_label(signed, c2pa_pki, tmp_path, change, expected):
    assert verdict(tmp_path, change(signed[0], c2pa_pki), c2pa_pki.root.cert_pem) == expected


# ---------------------------------------------------------------------------
# The COSE protected header is verified as its bytes (RFC 9052, 4.4; C2PA 2.2, 13.2)

def _non_canonical_header(chain):
    """A protected header that is valid CBOR no re-encoder would write: iat first, then alg with
    its key in a two-byte head (0x18 0x01), then x5chain."""
    der = [certificate.public_bytes(Encoding.DER) for certificate in chain]
    return (b"\xa3" + cbor2.dumps("iat") + cbor2.dumps(1700000000) + b"\x18\x01" + cbor2.dumps(-7) +
            cbor2.dumps(33) + cbor2.dumps(der))


def _changed_iat(font):
    store = cs.store_of(font)
    old, new = cbor2.dumps("iat") + cbor2.dumps(1700000000), cbor2.dumps("iat") + cbor2.dumps(1700000001)
    assert store.count(old) == 1 and len(old) == len(new)
    return cs.replace_store(font, store.replace(old, new))


def _canonical_header(font):
    """The same header re-encoded in the deterministic order (what a re-encoder would verify)."""
    store = cs.store_of(font)
    (manifest,) = cs.manifests(store)
    protected = cbor2.loads(manifest.signature).value[0]
    canonical = cbor2.dumps(cbor2.loads(protected), canonical=True)
    assert canonical != protected and cbor2.loads(canonical) == cbor2.loads(protected)
    return glyphward.embed_manifest_store(font, with_signature(store, manifest.signature.replace(
        cbor2.dumps(protected), cbor2.dumps(canonical))))


@pytest.mark.parametrize("change, expected", [
    (None, (0, "trusted", True, [])),
    (_changed_iat, (1, "well-formed", False, ["claimSignature.mismatch"])),
    (_canonical_header, (1, "well-formed", False, ["claimSignature.mismatch"])),
], ids=["signed-bytes", "iat-changed", "re-encoded"])
def test_the_protected_header_is_verified_as_its_bytes(signed, c2pa_pki, tmp_path, change, expected):
    chain, private_key = signer_of(c2pa_pki)
    font = forge(signed[0], chain, private_key, protected=_non_canonical_header(chain))
    if change is not None:
        font = change(font)
    status, record = verify(tmp_path, font, "--trust-anchors", c2pa_pki.root.cert_pem)
    assert (status, record["manifest_state"], record["asset_valid"], sorted(set(cs.codes(record)))) == expected
    assert ("claimSignature.validated" in cs.codes(record, "success")) == (change is None)


# ---------------------------------------------------------------------------
# Certification paths (C2PA 2.2, 14.5.1.2 and 15.8.2)

def _expired_intermediate(pki):
    """A signer valid today under an intermediate that expired yesterday."""
    now = datetime.now(timezone.utc)
    intermediate_key = key("forgery-intermediate", "P-256")
    intermediate = issue("forgery expired intermediate CA", intermediate_key, pki.root, ca=True, path_length=0,
                         not_before=now - timedelta(days=30), not_after=now - timedelta(days=1))
    signer_key = key("forgery-signer", "P-256")
    signer = issue("forgery signer", signer_key, (intermediate.subject, intermediate_key))
    return [signer, intermediate], signer_key, [pki.root.cert]


def _anchor_not_a_ca(pki):
    """An anchor whose basic constraints say cA false (with keyCertSign) issues the signer."""
    anchor_key = key("forgery-anchor", "P-256")
    anchor = issue("forgery end-entity anchor", anchor_key, None, ca=False,
                   key_usage=frozenset({"key_cert_sign", "crl_sign", "digital_signature"}), eku=None)
    signer_key = key("forgery-signer", "P-256")
    return [issue("forgery signer", signer_key, (anchor.subject, anchor_key))], signer_key, [anchor]


def _intermediate_not_a_ca(pki):
    """An intermediate whose basic constraints say cA false issues the signer."""
    intermediate_key = key("forgery-intermediate", "P-256")
    intermediate = issue("forgery end-entity intermediate", intermediate_key, pki.root, ca=False,
                         key_usage=frozenset({"key_cert_sign", "crl_sign"}), eku=None)
    signer_key = key("forgery-signer", "P-256")
    signer = issue("forgery signer", signer_key, (intermediate.subject, intermediate_key))
    return [signer, intermediate], signer_key, [pki.root.cert]


def _anchor_name_other_key(pki):
    """A signer naming the trust anchor as its issuer, signed by another key."""
    signer_key = key("forgery-signer", "P-256")
    signer = issue("forgery signer", signer_key, (pki.root.name, key("forgery-rogue", "P-384")))
    return [signer], signer_key, [pki.root.cert]


@pytest.mark.parametrize("make, expected_state, code", [
    (_expired_intermediate, "well-formed", "claimSignature.outsideValidity"),
    # Valid, not trusted: the asset is valid, and verify --trust-anchors fails it.
    (_anchor_not_a_ca, "valid", "signingCredential.untrusted"),
    (_intermediate_not_a_ca, "valid", "signingCredential.untrusted"),
    (_anchor_name_other_key, "valid", "signingCredential.untrusted"),
], ids=["expired-intermediate", "anchor-not-a-ca", "intermediate-not-a-ca", "anchor-name-other-key"])
def test_every_certificate_of_the_path_is_checked(signed, c2pa_pki, tmp_path, make, expected_state, code):
    chain, private_key, anchors = make(c2pa_pki)
    anchors_pem = tmp_path / "anchors.pem"
    anchors_pem.write_bytes(pem(anchors))
    font = forge(signed[0], chain, private_key)
    assert verdict(tmp_path, font, anchors_pem) == (1, expected_state, expected_state == "valid", [code])


# ---------------------------------------------------------------------------
# Time-stamp authorities are trusted through their own anchors only (C2PA 2.2, 14.4.2, 15.8.2)

def _time_stamp_token(message, certificate, private_key, gen_time):
    """An RFC 3161 TimeStampToken over `message` (SHA-256), signed (ECDSA) by `certificate`."""
    info = tsp.TSTInfo({
        "version": "v1", "policy": "1.3.6.1.4.1.4146.555.1", "serial_number": 7, "gen_time": gen_time,
        "message_imprint": {"hash_algorithm": {"algorithm": "sha256"},
                            "hashed_message": hashlib.sha256(message).digest()},
    })
    attributes = cms.CMSAttributes([
        {"type": "content_type", "values": ["tst_info"]},
        {"type": "message_digest", "values": [hashlib.sha256(info.dump()).digest()]},
    ])
    tsa = asn1_x509.Certificate.load(certificate.public_bytes(Encoding.DER))
    signer = cms.SignerInfo({
        "version": "v1",
        "sid": {"issuer_and_serial_number": {"issuer": tsa.issuer, "serial_number": tsa.serial_number}},
        "digest_algorithm": {"algorithm": "sha256"}, "signed_attrs": attributes,
        "signature_algorithm": {"algorithm": "sha256_ecdsa"},
        "signature": private_key.sign(attributes.dump(), ec.ECDSA(hashes.SHA256())),
    })
    signed_data = cms.SignedData({
        "version": "v3", "digest_algorithms": [{"algorithm": "sha256"}],
        "encap_content_info": {"content_type": "tst_info", "content": info},
        "certificates": [tsa], "signer_infos": [signer],
    })
    return cms.ContentInfo({"content_type": "signed_data", "content": signed_data}).dump()


@pytest.fixture(scope="module")
def backdated(signed, c2pa_pki):
    """A font signed by a certificate that expired yesterday, with a time-stamp of 36 hours ago (when
    it and the test PKI's root, made two days ago, were valid) from a TSA whose certificate the claim
    signers' root issued."""
    now = datetime.now(timezone.utc).replace(microsecond=0)
    tsa_key = key("forgery-tsa", "P-256")
    tsa = issue("forgery TSA under the claim root", tsa_key, c2pa_pki.root, eku=[ExtendedKeyUsageOID.TIME_STAMPING],
                eku_critical=True, not_before=now - timedelta(days=60))

    def stamped(protected, signature):
        message = cbor2.dumps(["CounterSignature", protected, b"", cbor2.dumps(signature)])
        return {"sigTst2": {"tstTokens": [{"val": _time_stamp_token(message, tsa, tsa_key,
                                                                     now - timedelta(hours=36))}]}}

    expired = c2pa_pki.bad("expired")
    return forge(signed[0], expired.chain, expired.key, unprotected=stamped)


@pytest.mark.parametrize("tsa_anchors, expected", [
    (None, (1, "well-formed", False, ["claimSignature.outsideValidity"], "timeStamp.untrusted")),
    ("tsa", (1, "well-formed", False, ["claimSignature.outsideValidity"], "timeStamp.untrusted")),
    ("root", (0, "trusted", True, [], "timeStamp.trusted")),  # the token itself is good
], ids=["no-tsa-anchors", "other-tsa-anchors", "claim-root-as-tsa-anchor"])
def test_a_time_stamp_is_not_trusted_through_the_claim_anchors(backdated, c2pa_pki, tsa, tmp_path, tsa_anchors,
                                                               expected):
    options = ["--trust-anchors", c2pa_pki.root.cert_pem]
    if tsa_anchors is not None:
        options += ["--tsa-trust-anchors", tsa.anchor_pem if tsa_anchors == "tsa" else c2pa_pki.root.cert_pem]
    status, record = verify(tmp_path, backdated, *options)
    found = cs.codes(record, "informational") + cs.codes(record, "success")
    assert (status, record["manifest_state"], record["asset_valid"], cs.codes(record)) == expected[:4]
    assert expected[4] in found


# ---------------------------------------------------------------------------
# An ingredient's claim signature is compared with its hash (C2PA 2.2, 15.11.3.3.1)

def test_a_changed_ingredient_claim_signature_is_a_mismatch(signed, c2pa_pki, tmp_path):
    font = signed[1]
    store = cs.store_of(font)
    first = cs.manifests(store)[0]
    tag = cbor2.loads(first.signature)
    protected, unprotected, payload, signature = tag.value
    # Only the unprotected bucket changes: the ingredient's own signature still verifies.
    changed = cbor2.dumps(cbor2.CBORTag(18, [protected, dict(unprotected, pad=b"\0" * 9), payload, signature]))
    results = {}
    for name, candidate in (("kept", font), ("changed", glyphward.embed_manifest_store(
            font, with_signature(store, changed, index=0)))):
        status, record = verify(tmp_path, candidate, "--trust-anchors", c2pa_pki.root.cert_pem)
        results[name] = (status, record["manifest_state"], record["asset_valid"], sorted(set(cs.codes(record))),
                         [step["state"] for step in record["history"]])
    assert results["kept"] == (0, "trusted", True, [], ["trusted"])
    # Not hashedURI.mismatch for the ingredient's links as well: 15.11.3 checks them, once.
    assert results["changed"] == (1, "invalid", False,
                                  ["claim.hardBindings.missing", "ingredient.claimSignature.mismatch"], [])


# ---------------------------------------------------------------------------
# The walk for hashed URIs is bounded, and deep nesting does not hide one

def _nested(depth, reference):
    value = reference
    for _ in range(depth):
        value = [value]
    return value


@pytest.mark.parametrize("values, bound, expected", [
    # A swapped data box under 50 levels of arrays (the CBOR decoder takes 64 in all) is found.
    ([_nested(50, GOOD)], None, ("invalid", ["hashedURI.mismatch"])),
    # 200 dangling hashed URIs: the first 64 reported, then the walk stops.
    ([{"url": f"self#jumbf=c2pa.databoxes/c2pa.data__{index}", "hash": DATA_HASH} for index in range(200)], None,
     ("invalid", ["hashedURI.missing"] * 64)),
    # More values than the bound: refused rather than checked in part.
    (list(range(50)) + [GOOD], 40, ("invalid", ["general.error"])),
], ids=["deep", "many-failures", "over-the-bound"])
def test_the_walk_is_bounded(signed, c2pa_pki, monkeypatch, values, bound, expected):
    from glyphward_c2pa import verify_font
    from glyphward_c2pa.validate import hashed_uris

    if bound is not None:
        monkeypatch.setattr(hashed_uris, "MAX_VALUES", bound)

    def add(assertions):
        assertions["com.example.references"] = values
    font = swap_data(forge(signed[0], *signer_of(c2pa_pki), assertions=add, extra=[data_boxes()]))
    report = verify_font(font, trust_anchors=[c2pa_pki.root.cert])
    assert (report.manifest_state, [status.code for status in report.results.failure]) == expected
