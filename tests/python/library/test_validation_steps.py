"""The validator, step by step, in process (python-tuf's per-step tests are
the model): a font signed by the library (glyphward_c2pa.sign_font), one
field of its Manifest Store changed, the store put back together with the
library's own builders (store_parts), and the status codes that C2PA 2.2,
15 names for that step asserted exactly: the failure codes as a set (no
other failure may ride along), an informational code where the step's
outcome is one.

Each case says whether the claim's hashed URIs are made anew and the claim
signed anew after the change (the default: the change is then the only
fault, and the step that checks it is reached) or not (the change was made
after signing). No `glyphward` command is run: these also run under the
sanitizer build (scripts/test-sanitizers.sh).
"""
from __future__ import annotations

import hashlib
from dataclasses import dataclass, replace
from typing import Any, Callable, FrozenSet, Optional

import pytest
from cryptography.hazmat.primitives.serialization import Encoding

from glyphward_c2pa import KeySigner, sign_font, verify_font
from glyphward_c2pa.assertions.hash_data import hash_outside
from glyphward_c2pa.cose import IAT, X5CHAIN
from glyphward_c2pa.labels import CODESTREAM_CONTENT, HASH_BOXES, HASH_DATA, UPDATE_MANIFEST
from glyphward_c2pa import jumbf
from store_parts import Parts, store_field

ALGORITHM = "ES256"
ACTIONS = "c2pa.actions.v2"


@pytest.fixture(scope="module")
def signed(dejavu, c2pa_pki):
    """The DejaVu Sans font signed once with each binding; the data-bound one
    with room to spare in its data hash's pad, so that a store that grows a
    little still fits its exclusion range once the pad is dropped."""
    credential = c2pa_pki.signer(ALGORITHM)
    signer = KeySigner(credential.key, credential.chain, ALGORITHM)
    boxes = sign_font(dejavu, signer, binding="boxes")
    data = sign_font(dejavu, signer, binding="data", size=len(sign_font(dejavu, signer, binding="data")
                                                                 .manifest_store) + 512)
    return {"boxes": boxes.font, "data": data.font}


def parts_of(signed, c2pa_pki, binding: str) -> Parts:
    credential = c2pa_pki.signer(ALGORITHM)
    parts = Parts.of(signed[binding], credential.key, ALGORITHM)
    if binding == "data":
        bound = parts.assertion(HASH_DATA).value
        bound.pop("pad2", None)
        bound["pad"] = b""
    return parts


def failures(report) -> FrozenSet[str]:
    return frozenset(status.code for status in report.results.failure)


def informational(report) -> FrozenSet[str]:
    return frozenset(status.code for status in report.results.informational)


@dataclass(frozen=True)
class Case:
    mutate: Callable[[Parts, Any], None]        # (parts, c2pa_pki)
    failures: FrozenSet[str]                    # exactly the failure codes expected
    informational: Optional[str] = None         # an informational code expected besides
    binding: str = "boxes"
    rehash: bool = True
    resign: bool = True
    trusted: bool = True                        # validated with the test root as anchor


def case(mutate, *codes, **options) -> Case:
    return Case(mutate, frozenset(codes), **options)


# --- mutations -------------------------------------------------------------

def nothing(parts, pki):
    pass


def entry_set(field, key, value):
    """Sets `key` of the mapping `field` of the parts (claim, protected, labels, uuids)."""
    def mutate(parts, pki):
        getattr(parts, field)[key] = value
    return mutate


def entry_without(field, key):
    def mutate(parts, pki):
        del getattr(parts, field)[key]
    return mutate


def manifest_retyped(uuid):
    def mutate(parts, pki):
        parts.manifest_uuid = uuid
    return mutate




def generator_without_name(parts, pki):
    del parts.claim["claim_generator_info"]["name"]


def title_changed(parts, pki):
    parts.claim["dc:title"] = parts.claim["dc:title"].swapcase()


def claim_not_cbor(parts, pki):
    parts.claim_raw = b"\xa1\x61"  # a map whose first key is cut short


def second_claim(parts, pki):
    parts.extra_boxes.append(jumbf.superbox(parts.uuids["claim"], parts.labels["claim"],
                                            [jumbf.box(jumbf.CBOR, b"\xa0")]).data)






def alg_unprotected(parts, pki):
    parts.unprotected[1] = parts.protected.pop(1)


def x5chain_without(parts, pki):
    del parts.protected[X5CHAIN]


def x5chain_in_both(parts, pki):
    parts.unprotected[X5CHAIN] = parts.protected[X5CHAIN]


def x5chain_reversed(parts, pki):
    parts.protected[X5CHAIN] = list(reversed(parts.protected[X5CHAIN]))


def x5chain_leaf_damaged(parts, pki):
    leaf = parts.protected[X5CHAIN][0]
    parts.protected[X5CHAIN][0] = leaf[:-40]


def x5chain_leaf_alone(parts, pki):
    parts.protected[X5CHAIN] = parts.protected[X5CHAIN][:1]


def signed_by(kind):
    """The claim signed by one of the test PKI's bad signers, its chain in x5chain."""
    def mutate(parts, pki):
        credential = pki.bad(kind)
        parts.key = credential.key
        parts.protected[X5CHAIN] = [certificate.public_bytes(Encoding.DER) for certificate in credential.chain]
    return mutate


def signature_flipped(parts, pki):
    parts.signature = parts.signature[:-1] + bytes([parts.signature[-1] ^ 1])


def iat_later(parts, pki):
    parts.protected[IAT] += 1


def iat_far_ahead(parts, pki):
    parts.protected[IAT] = 4102444800  # 2100-01-01, after the signer's certificate expires


def assertion_changed(label):
    def mutate(parts, pki):
        value = parts.assertion(label).value
        key = sorted(value)[0]
        value[key] = value[key] + "!" if isinstance(value[key], str) else [value[key]]
    return mutate


def hashed_uri(label, **changes):
    def mutate(parts, pki):
        (reference,) = [reference for reference in parts.claim["created_assertions"]
                        if reference["url"].endswith("/" + label)]
        for name, value in changes.items():
            reference[name] = value(reference[name]) if callable(value) else value
    return mutate


def unlisted(label):
    def mutate(parts, pki):
        parts.claim["created_assertions"] = [reference for reference in parts.claim["created_assertions"]
                                             if not reference["url"].endswith("/" + label)]
    return mutate


def assertion_raw(label, raw):
    def mutate(parts, pki):
        parts.assertion(label).raw = raw
    return mutate


def assertion_retyped(label, uuid):
    def mutate(parts, pki):
        parts.assertion(label).uuid = uuid
    return mutate


def assertion_dropped(label):
    def mutate(parts, pki):
        parts.assertions = [assertion for assertion in parts.assertions if assertion.label != label]
    return mutate


def data_hash_added(parts, pki):
    parts.assertions.append(replace(parts.assertion(HASH_BOXES), label=HASH_DATA,
                                    value={"exclusions": [], "hash": bytes(32)}))


def first_action(name):
    def mutate(parts, pki):
        parts.assertion(ACTIONS).value["actions"][0]["action"] = name
    return mutate


def self_redacted(parts, pki):
    parts.claim["redacted_assertions"] = ["self#jumbf=c2pa.assertions/font.info"]


def box_hash(index_or_name, **changes):
    def mutate(parts, pki):
        boxes = parts.assertion(HASH_BOXES).value["boxes"]
        index = index_or_name if isinstance(index_or_name, int) else \
            [box["names"] for box in boxes].index([index_or_name])
        for name, value in changes.items():
            if value is None:
                del boxes[index][name]
            else:
                boxes[index][name] = value(boxes[index][name]) if callable(value) else value
    return mutate


def box_hash_without_boxes(parts, pki):
    del parts.assertion(HASH_BOXES).value["boxes"]


def box_dropped(name):
    def mutate(parts, pki):
        value = parts.assertion(HASH_BOXES).value
        value["boxes"] = [box for box in value["boxes"] if box["names"] != [name]]
    return mutate


def boxes_swapped(first, second):
    def mutate(parts, pki):
        boxes = parts.assertion(HASH_BOXES).value["boxes"]
        names = [box["names"] for box in boxes]
        a, b = names.index([first]), names.index([second])
        boxes[a], boxes[b] = boxes[b], boxes[a]
    return mutate


def box_hash_alg(alg):
    def mutate(parts, pki):
        parts.assertion(HASH_BOXES).value["alg"] = alg
    return mutate


def flip(value: bytes) -> bytes:
    return value[:-1] + bytes([value[-1] ^ 1])


def data_hash(**changes):
    def mutate(parts, pki):
        value = parts.assertion(HASH_DATA).value
        for name, change in changes.items():
            if change is None:
                del value[name]
            else:
                value[name] = change(value[name]) if callable(change) else change
    return mutate


def exclusion(index, **changes):
    def mutate(parts, pki):
        exclusions = parts.assertion(HASH_DATA).value["exclusions"]
        for name, change in changes.items():
            exclusions[index][name] = change(exclusions[index][name]) if callable(change) else change
    return mutate


def exclusion_added(where: Callable[[bytes], int], length: int, rehash_content: bool = False):
    """One more exclusion range, kept in order; with `rehash_content`, the
    data hash made anew over the font outside the ranges (the store field is
    excluded, so the hash does not depend on what the store will hold)."""
    def mutate(parts, pki):
        value = parts.assertion(HASH_DATA).value
        start = where(parts.font)
        value["exclusions"] = sorted(value["exclusions"] + [{"start": start, "length": length}],
                                     key=lambda entry: entry["start"])
        if rehash_content:
            value["hash"] = hash_outside(parts.font, [(entry["start"], entry["length"])
                                                      for entry in value["exclusions"]], value.get("alg", "sha256"))
    return mutate


def table_offset(tag: bytes, plus: int = 0) -> Callable[[bytes], int]:
    def where(font: bytes) -> int:
        import struct

        (count,) = struct.unpack_from(">H", font, 4)
        for index in range(count):
            found, _, offset, _ = struct.unpack_from(">4sIII", font, 12 + 16 * index)
            if found == tag:
                return offset + plus
        raise AssertionError(tag)
    return where


CASES = {
    "unchanged, re-assembled": case(nothing),
    # The checksum fields (the C2PA table record's, head.checkSumAdjustment) are excluded too (9.2.5).
    "unchanged, data-bound": case(nothing, informational="assertion.dataHash.additionalExclusionsPresent",
                                  binding="data"),
    # C2PA 2.2, 15.5: locating the store and the active manifest.
    "store label": case(entry_set("labels", "store", "c2pb"), "general.error"),
    "store type": case(entry_set("uuids", "store", b"c2pb" + bytes(12)), "general.error"),
    "manifest of an unknown type": case(manifest_retyped(b"c2mz" + bytes(12)), "claim.missing"),
    # 15.6: the claim.
    "claim label": case(entry_set("labels", "claim", "c2pa.claim.v3"), "claim.missing"),
    "claim type": case(entry_set("uuids", "claim", b"c2cz" + bytes(12)), "claim.missing"),
    "second claim box": case(second_claim, "claim.multiple"),
    "claim not CBOR": case(claim_not_cbor, "claim.cbor.invalid"),
    "claim without instanceID": case(entry_without("claim", "instanceID"), "claim.malformed"),
    "claim without signature": case(entry_without("claim", "signature"), "claim.malformed"),
    "claim without created_assertions": case(entry_without("claim", "created_assertions"), "claim.malformed",
                                              rehash=False),
    "claim without claim_generator_info": case(entry_without("claim", "claim_generator_info"), "claim.malformed"),
    "claim_generator_info without name": case(generator_without_name, "claim.malformed"),
    "v2 claim labelled as a v1 claim": case(entry_set("labels", "claim", "c2pa.claim"), "claim.malformed"),
    # 15.7: the claim signature.
    "signature URI names no box": case(entry_set("claim", "signature", "self#jumbf=c2pa.nothing"), "claimSignature.missing"),
    "signature label": case(entry_set("labels", "signature", "c2pa.signature.v2"), "claimSignature.missing"),
    "signature type": case(entry_set("uuids", "signature", b"c2cz" + bytes(12)), "claimSignature.missing"),
    "title changed after signing": case(title_changed, "claimSignature.mismatch", resign=False),
    "signature byte flipped": case(signature_flipped, "claimSignature.mismatch", resign=False),
    "iat changed after signing": case(iat_later, "claimSignature.mismatch", resign=False),
    "alg not on the allowed list": case(entry_set("protected", 1, -257), "algorithm.unsupported"),
    "alg in the unprotected bucket": case(alg_unprotected, "algorithm.unsupported"),
    "alg of another key type": case(entry_set("protected", 1, -37), "signingCredential.invalid"),
    "no x5chain": case(x5chain_without, "signingCredential.invalid"),
    "x5chain in both buckets": case(x5chain_in_both, "signingCredential.invalid"),
    "x5chain leaf truncated": case(x5chain_leaf_damaged, "signingCredential.invalid"),
    "x5chain issuer first": case(x5chain_reversed, "signingCredential.invalid", "claimSignature.mismatch",
                                 "signingCredential.untrusted"),
    "x5chain without its intermediate": case(x5chain_leaf_alone, "signingCredential.untrusted"),
    "signer under another root": case(signed_by("unknown-root"), "signingCredential.untrusted"),
    "validated without anchors": case(nothing, "signingCredential.untrusted", trusted=False),
    # A certificate outside the profile of 14.5.1 is invalid, and no path to an anchor is built through it.
    "signer without EKU": case(signed_by("no-eku"), "signingCredential.invalid", "signingCredential.untrusted"),
    "signer a CA": case(signed_by("ca"), "signingCredential.invalid", "signingCredential.untrusted"),
    "signer expired": case(signed_by("expired"), "claimSignature.outsideValidity",
                           informational="timeOfSigning.outsideValidity"),
    # 15.8.3: the claimed time of signing.
    "iat after the certificate's end": case(iat_far_ahead, informational="timeOfSigning.outsideValidity"),
    # 15.10: the assertions.
    "assertion changed after signing": case(assertion_changed("font.info"), "assertion.hashedURI.mismatch",
                                            rehash=False, resign=False),
    "hashed URI's hash": case(hashed_uri("font.info", hash=flip), "assertion.hashedURI.mismatch", rehash=False),
    "hashed URI's alg": case(hashed_uri("font.info", alg="md5"), "algorithm.unsupported", rehash=False),
    "hashed URI to no assertion": case(hashed_uri("font.info", url="self#jumbf=c2pa.assertions/no.such"),
                                       "assertion.missing", "assertion.undeclared", rehash=False),
    "hashed URI to another manifest": case(
        hashed_uri("font.info",
                   url="self#jumbf=/c2pa/urn:c2pa:00000000-0000-4000-8000-000000000000/c2pa.assertions/font.info"),
        "assertion.outsideManifest", "assertion.undeclared", rehash=False),
    # A changed assertion is reported as changed, and only so: the binding
    # and the actions it held are present (15.10.1.2 asks for their
    # presence), merely altered (issue 20, section 3).
    "hashed URI's hash of the hard binding": case(hashed_uri(HASH_BOXES, hash=flip), "assertion.hashedURI.mismatch",
                                                  rehash=False),
    "hashed URI's hash of the actions": case(hashed_uri(ACTIONS, hash=flip), "assertion.hashedURI.mismatch",
                                             rehash=False),
    "assertion not listed": case(unlisted("font.info"), "assertion.undeclared", rehash=False),
    # No assertion store: no hard binding and no actions are present at all.
    "assertion store label": case(entry_set("labels", "assertions", "c2pa.assertions.v2"), "assertion.missing",
                                  "claim.hardBindings.missing", "assertion.action.malformed"),
    "assertion not CBOR": case(assertion_raw("font.info", b"\xa1\x61"), "assertion.cbor.invalid"),
    "assertion of the codestream type": case(assertion_retyped("font.info", CODESTREAM_CONTENT), "assertion.missing"),
    "hard binding dropped": case(assertion_dropped(HASH_BOXES), "claim.hardBindings.missing"),
    "second hard binding": case(data_hash_added, "assertion.multipleHardBindings"),
    "no created action": case(first_action("c2pa.edited"), "assertion.action.malformed"),
    "own assertion redacted": case(self_redacted, "assertion.selfRedacted"),
    "standard manifest typed as an update manifest": case(manifest_retyped(UPDATE_MANIFEST),
                                                          "manifest.update.wrongParents", "manifest.update.invalid",
                                                          "claim.hardBindings.missing"),
    # 15.12.3 with 15.12.3.2: the box hash.
    "box hash of glyf": case(box_hash("glyf", hash=flip), "assertion.boxesHash.mismatch"),
    "box hash without boxes": case(box_hash_without_boxes, "assertion.boxesHash.malformed"),
    "box without names": case(box_hash("glyf", names=None), "assertion.boxesHash.malformed"),
    "box without hash": case(box_hash("glyf", hash=None), "assertion.boxesHash.mismatch"),
    "boxes out of order": case(boxes_swapped("glyf", "head"), "assertion.boxesHash.mismatch"),
    "a table no box names": case(box_dropped("GSUB"), "assertion.boxesHash.unknownBox"),
    "glyf marked excluded": case(box_hash("glyf", hash=flip, excluded=True), "assertion.boxesHash.mismatch"),
    "box hash alg": case(box_hash_alg("md5"), "algorithm.unsupported"),
    # 15.12.1: the data hash.
    "data hash": case(data_hash(hash=flip), "assertion.dataHash.mismatch", binding="data"),
    "data hash without hash": case(data_hash(hash=None), "assertion.dataHash.mismatch", binding="data"),
    "data hash alg": case(data_hash(alg="md5"), "algorithm.unsupported", binding="data"),
    "exclusion negative": case(exclusion(0, start=-1), "assertion.dataHash.malformed", binding="data"),
    "exclusions overlapping": case(exclusion_added(lambda font: 0, 1 << 20), "assertion.dataHash.malformed",
                                   binding="data"),
    "exclusion beyond the font": case(exclusion_added(len, 4), "assertion.dataHash.mismatch", binding="data"),
    "store exclusion shortened": case(exclusion(1, length=lambda length: length - 600),
                                      "assertion.dataHash.mismatch", binding="data"),
    "glyf excluded": case(exclusion_added(table_offset(b"glyf"), 64, rehash_content=True),
                          "assertion.dataHash.mismatch", binding="data"),
}


@pytest.mark.parametrize("chosen", list(CASES.values()),
                         ids=list(CASES))
def test_one_field_changed_gives_the_step_code(chosen, signed, c2pa_pki):
    parts = parts_of(signed, c2pa_pki, chosen.binding)
    chosen.mutate(parts, c2pa_pki)
    font = parts.font_with(rehash=chosen.rehash, resign=chosen.resign)
    anchors = [c2pa_pki.root.cert] if chosen.trusted else []
    report = verify_font(font, trust_anchors=anchors)

    assert failures(report) == chosen.failures, report.results.to_json()
    if chosen.informational is not None:
        assert chosen.informational in informational(report), report.results.to_json()
    if not chosen.failures:
        assert report.manifest_state == "trusted" and report.asset_valid
    elif chosen.failures == {"signingCredential.untrusted"}:
        assert report.manifest_state == "valid" and report.asset_valid
    else:
        assert not report.asset_valid
