"""Attacks on an update manifest's lineage (C2PA 2.2, 15.12, 15.11.3.3.1,
14.3.3): a font signed and signed again unchanged carries an update manifest
that leaves the hard binding to its parent. An attacker without any key
changes the font, rewrites the parent's binding and the parent claim's hashed
URI for it, and keeps the parent's signature box, which the update manifest's
ingredient hashes. The parent's claim signature then no longer verifies, and
its binding must not make the asset valid."""
import hashlib

import cbor2
import pytest

import c2pa_support as cs
from cli_support import glyphward_command, run  # noqa: F401 (a fixture)

pytestmark = pytest.mark.usefixtures("glyphward_command")

DEJAVU = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"


def _flip_name_byte(font: bytes) -> bytes:
    """One byte of the `name` table's string storage changed; nothing else fixed."""
    for tag, _, offset, length in cs.table_records(font):
        if tag == b"name":
            position = offset + length - 2
            return font[:position] + bytes([font[position] ^ 0x20]) + font[position + 1:]
    raise AssertionError("no name table")


def _box(fourcc: str, label: str, payload: bytes) -> bytes:
    return cs.superbox(fourcc, label, [cs.jumbf_box(b"cbor", payload)])


def _forge_binding(font: bytes) -> bytes:
    """The attack: the font's `name` changed, the standard manifest's hard binding
    and its claim's hashed URI to it rewritten for the new bytes, its signature box
    kept as it was; every other manifest kept byte for byte."""
    font = _flip_name_byte(font)
    found = cs.manifests(cs.store_of(font))
    rebuilt = []
    for manifest in found:
        if manifest.kind != "c2ma":
            rebuilt.append(bytes(manifest.box.whole))
            continue
        assertions = dict(manifest.assertions)
        label = "c2pa.hash.boxes"
        value = cbor2.loads(assertions[label])
        tables = {tag: (offset, length) for tag, _, offset, length in cs.table_records(font)}
        offset, length = tables[b"name"]
        (box,) = [box for box in value["boxes"] if box["names"] == ["name"]]
        box["hash"] = hashlib.new(value.get("alg", manifest.claim_map["alg"]), font[offset:offset + length]).digest()
        assertions[label] = cbor2.dumps(value, canonical=True)
        assert len(assertions[label]) == len(manifest.assertions[label])
        boxes = {name: _box("cbor", name, payload) for name, payload in assertions.items()}
        claim = manifest.claim_map
        for key in ("created_assertions", "gathered_assertions"):
            for reference in claim.get(key, []):
                name = reference["url"].rpartition("/")[2]
                reference["hash"] = hashlib.new(claim["alg"], boxes[name][8:]).digest()
        rebuilt.append(cs.superbox("c2ma", manifest.label, [
            cs.superbox("c2as", "c2pa.assertions", list(boxes.values())),
            _box("c2cl", "c2pa.claim.v2", cbor2.dumps(claim, canonical=True)),
            _box("c2cs", "c2pa.signature", manifest.signature),
        ]))
    return cs.replace_store(font, cs.superbox("c2pa", "c2pa", rebuilt))


@pytest.mark.parametrize("updates", [1, 2])
def test_a_parent_binding_whose_claim_signature_fails_never_makes_the_asset_valid(c2pa_pki, tmp_path, updates):
    credential = cs.key_args(c2pa_pki.signer("ES256"))
    anchors = ["--trust-anchors", c2pa_pki.root.cert_pem]
    paths = [tmp_path / f"signed-{index}.ttf" for index in range(updates + 1)]
    result = run("sign", DEJAVU, *credential, "-o", paths[0])
    assert result.returncode == 0, result.stderr
    for source, target in zip(paths, paths[1:]):
        result = run("sign", source, *credential, *anchors, "-o", target)
        assert result.returncode == 0, result.stderr
    signed = paths[-1]
    forged = tmp_path / "forged.ttf"
    forged.write_bytes(_forge_binding(signed.read_bytes()))

    result, records = cs.verify_json(signed, forged, options=anchors)
    honest, attacked = records[str(signed)], records[str(forged)]
    assert (honest["manifest_state"], honest["asset_valid"], honest["manifest"]["kind"]) == ("trusted", True, "update")
    # The update manifests and the ingredient links all check out; the parent's claim does not.
    assert attacked["history"][-1]["state"] == "well-formed"
    assert attacked["asset_valid"] is False and result.returncode == 1
    assert attacked["manifest_state"] == "invalid"
    assert "claim.hardBindings.missing" in cs.codes(attacked)
    assert not {"assertion.boxesHash.match", "assertion.dataHash.match"} & set(cs.codes(attacked, "success"))
    listing = run("verify", *anchors, forged)
    assert listing.returncode == 1 and "asset:           NOT valid" in listing.stdout.decode()
