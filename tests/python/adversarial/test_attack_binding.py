"""Attacks on the content binding (C2PA 2.2, 15.12): fonts whose manifest
still validates, and is trusted, while a renderer would read bytes the
signer never bound.

Each case builds its hostile font here, from a font glyphward_c2pa signed.
An attacker without the key changes only what the binding leaves open (the
table directory, bytes no box covers); a careless signer's generator is
modelled by re-signing with the test PKI (c2pa_support.resign), with a
binding that a validator must refuse. Every case asserts the verdict: the
manifest's state, whether the asset is valid, and the failure code.
"""
from __future__ import annotations

import hashlib
import struct
from dataclasses import dataclass
from typing import Callable, Dict, List, Tuple

import pytest

import c2pa_support as cs
from cli_support import glyphward_command, hash_outside  # noqa: F401 (a fixture)
import glyphward
import glyphward_c2pa
from glyphward_c2pa.assertions import hash_boxes
from glyphward_c2pa.sfnt import read_tables
from glyphward_c2pa.status import StatusLog

# What any one explanation may grow to, whatever the font or manifest holds.
EXPLANATION_LIMIT = 500

# The boxes of the grouped font: a middle box and the last one of several tables each.
MIDDLE_GROUP = (b"cvt ", b"fpgm", b"gasp", b"glyf", b"head", b"hhea")
LAST_GROUP = (b"maxp", b"name", b"post", b"prep")

Change = Callable[[Dict[str, object], bytes], None]


# ---------------------------------------------------------------------------
# Fonts

@pytest.fixture(scope="module")
def credential(c2pa_pki):
    return c2pa_pki.signer("ES256")


@pytest.fixture(scope="module")
def signed(dejavu, credential):
    """DejaVu Sans signed by glyphward_c2pa, with each binding."""
    signer = glyphward_c2pa.KeySigner.from_pem(credential.cert_pem.read_bytes(), credential.key_pem.read_bytes())
    return {binding: glyphward_c2pa.sign_font(dejavu, signer, binding=binding).font for binding in ("boxes", "data")}


@pytest.fixture(scope="module")
def grouped(signed, credential, c2pa_pki):
    """The box-bound font re-signed with MIDDLE_GROUP and LAST_GROUP each in one
    box (C2PA 2.2, 18.7.3.6 leaves the grouping to the generator): valid as made."""
    font = resigned(signed["boxes"], credential, grouping(MIDDLE_GROUP, LAST_GROUP))
    assert verdict(font, c2pa_pki)[:3] == ("trusted", True, [])
    return font


def verdict(font: bytes, pki) -> Tuple[str, bool, List[str], List[str], List[str]]:
    """(manifest state, asset valid, failure codes, informational codes, explanations)."""
    report = glyphward_c2pa.verify_font(font, trust_anchors=[pki.root.cert])
    results = report.results
    return (report.manifest_state, report.asset_valid, [status.code for status in results.failure],
            [status.code for status in results.informational],
            [status.explanation for status in results.failure + results.informational])


def resigned(font: bytes, credential, change: Change, between: Callable[[bytes], bytes] = lambda font: font) -> bytes:
    """`font` re-signed by a careless generator: `change(values, target)` edits
    the decoded assertions that will bind `target`. Done twice: the first
    store, of another length, is embedded anew and moves the tables; the
    second, as long, replaces it in place, so the binding describes the
    font it ends up in. `between` changes the font between the two, in
    place (embedding would lay the tables out anew)."""
    first = between(cs.resign(font, credential, assertions=lambda values: change(values, font)))
    second = cs.resign(first, credential, assertions=lambda values: change(values, first))
    assert [entry[2:] for entry in cs.table_records(second)] == [entry[2:] for entry in cs.table_records(first)]
    return second


def records(font: bytes) -> Dict[bytes, Tuple[int, int, int]]:
    """tag: (directory index, offset, length)."""
    return {tag: (index, offset, length) for index, (tag, _, offset, length) in enumerate(cs.table_records(font))}


def with_record(font: bytes, tag: bytes, offset: int = -1, length: int = -1) -> bytes:
    """The font with one table record's offset and/or length rewritten (only the directory changes)."""
    index, old_offset, old_length = records(font)[tag]
    data = bytearray(font)
    struct.pack_into(">II", data, 12 + 16 * index + 8, old_offset if offset < 0 else offset,
                     old_length if length < 0 else length)
    return bytes(data)


def flipped(font: bytes, position: int) -> bytes:
    return font[:position] + bytes([font[position] ^ 0x01]) + font[position + 1:]


def glyf_changed(font: bytes) -> bytes:
    """One byte in the middle of the glyph outlines flipped."""
    offset, length = records(font)[b"glyf"][1:]
    return flipped(font, offset + length // 2)


def moved_out(font: bytes, tag: bytes, at: int = -1) -> bytes:
    """The table's bytes, one of them (at `at`, default the middle) changed,
    appended after the last table, and its record pointed at them."""
    _, offset, length = records(font)[tag]
    copy = flipped(font[offset:offset + length], length // 2 if at < 0 else at)
    padded = font + bytes(-len(font) % 4)
    return with_record(padded + copy, tag, offset=len(padded))


def shortened(font: bytes, tag: bytes, by: int) -> bytes:
    """The table's record `by` bytes shorter, and those bytes zeroed."""
    _, offset, length = records(font)[tag]
    end = offset + length
    return with_record(font[:end - by] + bytes(by) + font[end:], tag, length=length - by)


def every_table_changed(font: bytes) -> bytes:
    """One byte flipped in each table but the C2PA table."""
    for tag, (_, offset, length) in records(font).items():
        if tag != b"C2PA" and length:
            font = flipped(font, offset + length // 2)
    return font


def swapped_places(font: bytes, first: bytes, second: bytes) -> bytes:
    """Two records exchange offsets and lengths: directory order kept, each table reads the other's bytes."""
    _, offset_a, length_a = records(font)[first]
    _, offset_b, length_b = records(font)[second]
    return with_record(with_record(font, first, offset_b, length_b), second, offset_a, length_a)


def with_tables(font: bytes, extra: List[Tuple[bytes, bytes]]) -> bytes:
    """The font rebuilt with more tables, in tag order (each table's bytes and padding kept)."""
    return cs.rebuild(font, sorted(cs.tables_of(font) + extra, key=lambda item: item[0]))


# ---------------------------------------------------------------------------
# What a careless generator binds

def span_digest(font: bytes, tags: Tuple[bytes, ...], alg: str) -> bytes:
    """The hash of a box of several tables, computed here: from the first's
    start to the last's end, checkSumAdjustment zeroed (C2PA 2.2, 15.12.3, 18.7.3.6)."""
    found = records(font)
    start = found[tags[0]][1]
    end = found[tags[-1]][1] + found[tags[-1]][2]
    data = bytearray(font[start:end])
    if b"head" in tags:
        field = found[b"head"][1] + 8 - start
        data[field:field + 4] = bytes(4)
    return hashlib.new(alg, bytes(data)).digest()


def grouping(*groups: Tuple[bytes, ...], edit: Callable[[List[Dict[str, object]]], None] = lambda boxes: None
             ) -> Change:
    """A box hash with each of `groups` in one box and every other table in its own; `edit` then changes the boxes."""
    def change(values, target):
        box_map = values["c2pa.hash.boxes"]
        tags = [entry[0] for entry in cs.table_records(target)]
        boxes, index = [], 0
        while index < len(tags):
            group = next((group for group in groups if group[0] == tags[index]), (tags[index],))
            assert tuple(tags[index:index + len(group)]) == group
            digest = b"\x00" if group == (b"C2PA",) else span_digest(target, group, box_map["alg"])
            boxes.append({"names": [tag.decode("latin-1").rstrip(" ") for tag in group], "hash": digest, "pad": b""})
            index += len(group)
        edit(boxes)
        box_map["boxes"] = boxes
    return change


def box_edit(name: str, **fields: object) -> Callable[[List[Dict[str, object]]], None]:
    """An `edit` that sets fields of the box whose first name is `name` (None: removes the field)."""
    def edit(boxes):
        box = next(box for box in boxes if box["names"][0] == name)
        for key, value in fields.items():
            if value is None:
                del box[key]
            else:
                box[key] = value(box[key]) if callable(value) else value
    return edit


def exclusions(make: Callable[[bytes], List[Tuple[int, int]]]) -> Change:
    """A data hash whose exclusions are `make(target)`, its hash right for them."""
    def change(values, target):
        data_map = values["c2pa.hash.data"]
        ranges = make(target)
        data_map["exclusions"] = [{"start": start, "length": length} for start, length in ranges]
        data_map["hash"] = bytes.fromhex(hash_outside(target, ranges, data_map["alg"]))
    return change


def table_range(font: bytes, tag: bytes) -> Tuple[int, int]:
    """(offset, length)."""
    return records(font)[tag][1:]


# ---------------------------------------------------------------------------
# 1. Boxes of several tables, and tables no box covers: an attacker without the key

MISMATCH = ["assertion.boxesHash.mismatch"]
UNKNOWN = ["assertion.boxesHash.unknownBox"]
NO_KEY = {
    # 18.7.3.6 grouping: the span is hashed, the directory is not.
    "middle-table-moved-out": (lambda font: moved_out(font, b"glyf"), MISMATCH),
    "middle-table-moved-inside-its-box": (
        lambda font: with_record(font, b"gasp", offset=records(font)[b"glyf"][1] + 1000), MISMATCH),
    "middle-tables-swapped-in-file": (lambda font: swapped_places(font, b"fpgm", b"gasp"), MISMATCH),
    "middle-table-stretched-over-the-next": (
        lambda font: with_record(font, b"fpgm", length=records(font)[b"fpgm"][2] + 4), MISMATCH),
    "last-box-middle-table-moved-out": (lambda font: moved_out(font, b"name"), MISMATCH),
    "last-box-last-table-changed": (lambda font: flipped(font, sum(table_range(font, b"prep")) - 3), MISMATCH),
    # Each box that does not match has a status, up to 8 of them, and one more tells how many others.
    "every-table-changed": (every_table_changed, MISMATCH * 9),
    # 15.12.3.2: every table covered by a box, counted one by one.
    "table-added-at-the-end": (lambda font: with_tables(font, [(b"vhea", bytes(36))]), UNKNOWN),
    "table-added-in-the-middle": (cs.add_table, UNKNOWN),
    "second-glyf-record": (lambda font: with_tables(font, [(b"glyf", bytes(64))]), UNKNOWN),
    "hundreds-of-tables-added": (lambda font: with_tables(font, [(b"z%03d" % number, b"") for number in range(300)]),
                                 UNKNOWN),
    # The directory's sfntVersion is not hashed, but must fit the outlines (a renderer refuses it otherwise).
    "sfnt-version-says-cff": (lambda font: b"OTTO" + font[4:], MISMATCH),
    "sfnt-version-true": (lambda font: b"true" + font[4:], []),
    # No record points at bytes after the last table: no renderer reads them.
    "bytes-appended-after-the-last-table": (lambda font: font + b"\xff" * 4096, []),
}


@pytest.mark.parametrize("case", NO_KEY)
def test_a_grouped_box_font_tampered_without_the_key_is_not_a_valid_asset(case, grouped, c2pa_pki):
    tamper, expected = NO_KEY[case]
    state, asset_valid, failures, _, explanations = verdict(tamper(grouped), c2pa_pki)
    assert (state, asset_valid, failures) == ("trusted", not expected, expected)
    assert all(len(explanation) <= EXPLANATION_LIMIT for explanation in explanations), explanations


def test_the_command_refuses_each_font_tampered_without_the_key(grouped, c2pa_pki, tmp_path, glyphward_command):
    paths = []
    for case, (tamper, _) in NO_KEY.items():
        paths.append(tmp_path / f"{case}.ttf")
        paths[-1].write_bytes(tamper(grouped))
    (tmp_path / "grouped.ttf").write_bytes(grouped)
    run, found = cs.verify_json(tmp_path / "grouped.ttf", *paths,
                                options=["--trust-anchors", c2pa_pki.root.cert_pem])
    assert run.returncode == 1
    assert (found[str(tmp_path / "grouped.ttf")]["manifest_state"], found[str(tmp_path / "grouped.ttf")]["asset_valid"]
            ) == ("trusted", True)
    for path, (_, expected) in zip(paths, NO_KEY.values()):
        record = found[str(path)]
        assert (record["manifest_state"], record["asset_valid"], cs.codes(record)) == (
            "trusted", not expected, expected), path


# ---------------------------------------------------------------------------
# 2. A careless generator's box hash

@dataclass
class Careless:
    change: Change                                  # the box hash the generator writes
    expected: List[str]                             # the failure codes
    before: Callable[[bytes], bytes] = lambda font: font   # the font it signs, from the signed one
    between: Callable[[bytes], bytes] = lambda font: font  # see resigned
    after: Callable[[bytes], bytes] = lambda font: font    # an attacker's change afterwards


CARELESS_BOXES = {
    "box-without-hash": Careless(grouping(edit=box_edit("glyf", hash=None)), MISMATCH),
    "empty-hash": Careless(grouping(edit=box_edit("glyf", hash=b"")), MISMATCH),
    "one-byte-hash": Careless(grouping(edit=box_edit("glyf", hash=lambda digest: digest[:1])), MISMATCH),
    "last-box-one-byte-hash": Careless(grouping(LAST_GROUP, edit=box_edit("maxp", hash=lambda digest: digest[:1])),
                                       MISMATCH),
    # C2PA 2.2, 9.2.5: only asset metadata may be excluded; glyphs are not.
    "glyf-excluded": Careless(grouping(edit=box_edit("glyf", excluded=True, hash=b"\x00")), MISMATCH,
                              after=glyf_changed),
    "group-excluded": Careless(grouping(MIDDLE_GROUP, edit=box_edit("cvt", excluded=True, hash=b"\x00")), MISMATCH,
                               after=lambda font: moved_out(font, b"glyf")),
    # A DSIG table signs the font after its C2PA table: excluded, it may change.
    "dsig-excluded": Careless(grouping(edit=box_edit("DSIG", excluded=True, hash=b"\x00")), [], before=cs.add_table,
                              after=lambda font: flipped(font, sum(table_range(font, b"DSIG")) - 1)),
    # Inside a box: its tables and at most their alignment padding, of zeros.
    "hidden-byte-between-grouped-tables": Careless(  # fpgm is 171 bytes: one byte of padding follows
        grouping(MIDDLE_GROUP), MISMATCH, between=lambda font: flipped(font, sum(table_range(font, b"fpgm")))),
    "other-table-inside-a-grouped-span": Careless(
        grouping(MIDDLE_GROUP), MISMATCH, between=lambda font: with_record(font, b"OS/2",
                                                                           offset=records(font)[b"glyf"][1])),
    "zeros-wider-than-alignment-between-grouped-tables": Careless(
        grouping(MIDDLE_GROUP), MISMATCH, between=lambda font: shortened(font, b"cvt ", 8)),
    "two-grouped-boxes-on-the-same-bytes": Careless(  # the second box no longer than its tables were
        grouping((b"hmtx", b"kern"), (b"loca", b"maxp")), MISMATCH,
        between=lambda font: with_record(with_record(font, b"loca", *table_range(font, b"hmtx")), b"maxp",
                                         records(font)[b"kern"][1], 32)),
    # Tables of a box each may share bytes, but not hash the font over and over.
    "tables-sharing-more-than-the-font": Careless(
        grouping(), MISMATCH, between=lambda font: with_record(with_record(font, b"loca", *table_range(font, b"glyf")),
                                                               b"post", *table_range(font, b"glyf"))),
}


@pytest.mark.parametrize("case", CARELESS_BOXES)
def test_a_box_hash_that_leaves_tables_unbound_is_refused(case, signed, credential, c2pa_pki):
    careless = CARELESS_BOXES[case]
    font = careless.after(resigned(careless.before(signed["boxes"]), credential, careless.change, careless.between))
    state, asset_valid, failures, _, _ = verdict(font, c2pa_pki)
    assert (state, asset_valid, failures) == ("trusted", not careless.expected, careless.expected)


# ---------------------------------------------------------------------------
# 3. Data-hash exclusions (C2PA 2.2, 15.12.1.1, 9.2.5)

Ranges = List[Tuple[int, int]]


def standard(font: bytes, store_from: int = 0, adjustment: Tuple[int, int] = (0, 4)) -> Ranges:
    """glyphward.data_hash_ranges(font): the C2PA record's checksum, the store
    (starting `store_from` bytes early) and head.checkSumAdjustment (its
    `adjustment` part: offset into it, length)."""
    checksum, (start, length), (field, _) = glyphward.data_hash_ranges(font)
    return [checksum, (start - store_from, length + store_from), (field + adjustment[0], adjustment[1])]


def standard_and(extra: Callable[[bytes], Tuple[int, int]]) -> Callable[[bytes], Ranges]:
    return lambda font: sorted(standard(font) + [extra(font)])


MISMATCHED = ["assertion.dataHash.mismatch"]
CARELESS_DATA = {
    # (exclusions, tampering afterwards, expected failure codes, expected informational codes)
    "glyf-excluded": (standard_and(lambda font: table_range(font, b"glyf")), glyf_changed, MISMATCHED, []),
    "glyf-record-excluded": (standard_and(lambda font: (12 + 16 * records(font)[b"glyf"][0] + 8, 8)), None,
                             MISMATCHED, []),
    "more-than-checkSumAdjustment": (lambda font: standard(font, adjustment=(0, 8)), None, MISMATCHED, []),
    "store-exclusion-starts-4-bytes-early": (lambda font: standard(font, store_from=4), None, MISMATCHED, []),
    "store-exclusion-starts-1-byte-early": (lambda font: standard(font, store_from=1), None, MISMATCHED, []),
    # What the font's format allows to change after signing stays allowed.
    "store-only": (lambda font: standard(font)[1:2], None, [], []),
    "half-of-checkSumAdjustment": (lambda font: standard(font, adjustment=(2, 2))[1:],
                                   lambda font: flipped(font, standard(font)[2][0] + 3), [],
                                   ["assertion.dataHash.additionalExclusionsPresent"]),
}


@pytest.mark.parametrize("case", CARELESS_DATA)
def test_a_data_hash_may_exclude_only_the_store_and_the_checksums(case, signed, credential, c2pa_pki):
    make, tamper, failures, informational = CARELESS_DATA[case]
    font = resigned(signed["data"], credential, exclusions(make))
    if tamper is not None:
        font = tamper(font)
    state, asset_valid, found, notes, _ = verdict(font, c2pa_pki)
    assert (state, asset_valid, found) == ("trusted", not failures, failures)
    assert [note for note in notes if note.startswith("assertion.")] == informational


# ---------------------------------------------------------------------------
# 4. Cost: a box hash is judged in time linear in the font's table count

class Counted(list):
    """A list that counts the items read from it."""
    read = 0

    def __iter__(self):
        for item in super().__iter__():
            self.read += 1
            yield item

    def __getitem__(self, index):
        found = super().__getitem__(index)
        self.read += len(found) if isinstance(index, slice) else 1
        return found


def _many_boxes(count: int) -> Counted:
    return Counted([{"names": ["glyf"], "hash": bytes(32), "pad": b""}] * count)


def _many_names(count: int) -> Counted:
    return Counted([{"names": Counted(["glyf"] * count), "hash": bytes(32), "pad": b""}])


@pytest.mark.parametrize("make", [_many_boxes, _many_names], ids=["a million boxes", "a million names"])
def test_a_box_list_longer_than_the_font_is_refused_unread(make, signed):
    tables = read_tables(signed["boxes"])
    boxes = make(1_000_000)
    log = StatusLog()
    assert not hash_boxes.validate({"alg": "sha256", "boxes": boxes}, signed["boxes"], tables, None, log, "url")
    assert log.codes() == ["assertion.boxesHash.mismatch"]
    assert len(log.failure[0].explanation) <= EXPLANATION_LIMIT
    read = boxes.read + sum(box["names"].read for box in list.__iter__(boxes) if isinstance(box["names"], Counted))
    assert read <= 1


def test_the_command_answers_a_box_list_of_a_hundred_thousand_names_briefly(signed, credential, c2pa_pki, tmp_path,
                                                                            glyphward_command):
    def change(values):
        values["c2pa.hash.boxes"]["boxes"] += [{"names": [f"x{number}"], "hash": b"", "pad": b""}
                                               for number in range(100_000)]

    path = tmp_path / "long.ttf"
    path.write_bytes(cs.resign(signed["boxes"], credential, assertions=change))
    run, found = cs.verify_json(path, options=["--trust-anchors", c2pa_pki.root.cert_pem])
    record = found[str(path)]
    # Refused as it is decoded: its decoded form would cost more than a small multiple of its bytes.
    assert (run.returncode, record["manifest_state"], record["asset_valid"], cs.codes(record)) == (
        1, "invalid", False, ["assertion.cbor.invalid"])
    assert len(run.stdout) < 20_000
