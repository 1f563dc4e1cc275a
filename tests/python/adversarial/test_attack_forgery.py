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
    """A careless signer lists an assertion whose box has no JUMBF content type."""
    def add(boxes):
        payload = cs.jumbf_box(b"cbor", cbor2.dumps({"note": 1}))
        description = cs.jumbf_box(b"jumd", UNKNOWN_TYPE + b"\x03com.example.note\x00")
        boxes["com.example.note"] = cs.jumbf_box(b"jumb", description + payload)
    return forge(font, *signer_of(pki), boxes=add)


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


@pytest.mark.parametrize("change, expected", [
    (lambda font, pki: font, (0, "trusted", True, [])),
    # The assertion store, the claim, the claim signature of another type after signing.
    (_retyped("c2as", "c2pa.assertions"),
     (1, "invalid", False, ["assertion.action.malformed", "assertion.missing", "claim.hardBindings.missing"])),
    (_retyped("c2cl", "c2pa.claim.v2"), (1, "invalid", False, ["claim.missing"])),
    (_retyped("c2cs", "c2pa.signature"), (1, "invalid", False, ["claimSignature.missing"])),
    # A listed assertion of an unknown type, and a listed box that is not in the assertion store.
    (_unknown_assertion, (1, "invalid", False, ["assertion.missing"])),
    (_data_box_listed_as_assertion, (1, "invalid", False, ["assertion.missing"])),
    # An unknown box with a C2PA label is ignored, not an ambiguity.
    (_decoy_signature, (0, "trusted", True, [])),
], ids=["intact", "assertion-store", "claim", "claim-signature", "unknown-assertion", "not-in-assertion-store",
        "decoy-signature"])
def test_boxes_are_found_by_type_and_label(signed, c2pa_pki, tmp_path, change, expected):
    assert verdict(tmp_path, change(signed[0], c2pa_pki), c2pa_pki.root.cert_pem) == expected
