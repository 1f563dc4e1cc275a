"""Validating the hashed URIs a manifest holds besides its list of
assertions (C2PA 2.2, 15.10.3.3): the claim generator's icon (15.6.2), and
every hashed URI in the fields of its assertions (15.10.3.2): thumbnails and
data of ingredients, icons of software agents and action templates,
references of assertion metadata, wherever they sit.

The claim and each assertion whose hash matched and whose CBOR or JSON
decoded are walked for maps shaped like a hashed-uri-map (8.4.2.1): a text
`url`, an optional `alg`, a `hash`, and no other key. A `url` that is an
http or https URL makes it a hashed-ext-uri-map, whose resource validation
does not retrieve (15.10.4.1). Not walked again: the claim's lists of
assertions (15.10.3.1 checks them) and an ingredient's links to its own
manifest, `activeManifest` (or `c2pa_manifest`) and `claimSignature`, which
15.11.3 checks with its own codes.

For each one: a destination that cannot be found is hashedURI.missing; no
allowed hash algorithm (its `alg`, the nearest enclosing `alg`, the
claim's: 15.4.1) algorithm.unsupported; a `hash` that is absent or differs
from the hash of the box (8.4.2.3) hashedURI.mismatch. The walk is
iterative and bounded: a manifest with more values than `MAX_VALUES` is
refused rather than partly checked.
"""
from __future__ import annotations

from collections.abc import Mapping
from typing import Any, FrozenSet, Iterator, List, Optional, Tuple

import cbor2

from ..labels import HASH_ALGORITHMS, INGREDIENT_LABELS, base_label
from ..shown import shown
from ..uris import PREFIX, resolve
from .context import Manifest

# Values walked in one manifest (its claim and assertions) at most.
MAX_VALUES = 1 << 20
# Failures recorded for one manifest: at this many the manifest is already
# refused, and the walk stops.
MAX_FAILURES = 64

_HASHED_URI_KEYS = frozenset({"url", "alg", "hash"})
_EXTERNAL = ("http://", "https://")
# The claim's lists of assertions, by claim version (C2PA 2.2, 15.10.3.1).
_ASSERTION_LISTS = {1: frozenset({"assertions"}), 2: frozenset({"created_assertions", "gathered_assertions"})}
# An ingredient's links to its manifest (C2PA 2.2, 15.11.3.3).
_INGREDIENT_LINKS = frozenset({"activeManifest", "c2pa_manifest", "claimSignature"})
_ABSENT = object()
_SCALARS = frozenset({str, bytes, int, float, bool, type(None)})

# Where a value sits, for messages: (key or index, the parent's place).
_Place = Optional[Tuple[Any, Any]]
# A container being walked: its remaining (key, value) pairs, the hash
# algorithm its hashed URIs inherit, its place.
_Frame = Tuple[Iterator[Tuple[Any, Any]], Any, _Place]


class _Stop(Exception):
    """The walk stops at a bound."""


def is_hashed_uri(value: Any) -> bool:
    """Whether `value` is shaped like a hashed-uri-map (C2PA 2.2, 8.4.2.1)
    rather than a hashed-ext-uri-map: a text `url` that is not http(s), no
    keys but url, alg and hash, and a `hash` or a self#jumbf `url`."""
    if not isinstance(value, Mapping) or "url" not in value or not isinstance(value["url"], str):
        return False
    url = value["url"]
    if url.startswith(_EXTERNAL) or len(value) > 3 or not all(key in _HASHED_URI_KEYS for key in value):
        return False
    return "hash" in value or url.startswith(PREFIX)


def _where(place: _Place) -> str:
    """`place` as a path such as claim_generator_info.icon, shortened."""
    parts: List[str] = []
    while place is not None and len(parts) < 8:
        key, place = place
        if isinstance(key, int) and not isinstance(key, bool):
            parts.append(f"[{shown(key)}]")
        else:
            readable = isinstance(key, str) and key.isprintable() and len(key) <= 40
            parts.append("." + (key if readable else shown(key, 40)))
    text = "".join(reversed(parts)).lstrip(".")
    return ("..." if place is not None else "") + text


class _Walk:
    def __init__(self, manifest: Manifest):
        self.manifest = manifest
        self.values = 0
        self.failures = 0

    def fail(self, code: str, explanation: str, url: str) -> None:
        self.failures += 1
        self.manifest.log.add(code, explanation, url)
        if self.failures >= MAX_FAILURES:
            raise _Stop

    def check(self, reference: Any, alg: Any, place: _Place, url: str) -> None:
        """C2PA 2.2, 15.10.3.3 for one hashed URI."""
        manifest = self.manifest
        where = _where(place)
        found = resolve(reference["url"], manifest.store, manifest.box)
        if found.box is None:
            self.fail("hashedURI.missing", f"the hashed URI at {where} names {shown(reference['url'])}, which is not "
                      f"in the Manifest Store: {found.problem}", url)
            return
        alg = reference.get("alg", alg)
        if not isinstance(alg, str) or alg not in HASH_ALGORITHMS:
            self.fail("algorithm.unsupported", f"the hashed URI at {where} has no allowed hash algorithm "
                      f"({shown(None if alg is _ABSENT else alg)})", url)
            return
        expected = reference.get("hash")
        if not isinstance(expected, bytes):
            self.fail("hashedURI.mismatch", f"the hashed URI at {where} has no hash", url)
        elif manifest.digest(found.box, alg) != expected:
            self.fail("hashedURI.mismatch", f"the box {shown(reference['url'])} named at {where} does not match "
                      "its hash: it is not the box that was signed", url)

    def enter(self, value: Any, alg: Any, here: _Place, url: str) -> Optional[_Frame]:
        """The frame that walks a container's children; a hashed URI is
        checked instead, a scalar has none. Raises _Stop past MAX_VALUES."""
        while isinstance(value, cbor2.CBORTag):  # a tag's content is walked as if untagged
            value = value.value
        kind = type(value)
        if kind is list or kind is tuple:
            children: Iterator[Tuple[Any, Any]] = enumerate(value)
        elif kind is dict or isinstance(value, Mapping):
            if is_hashed_uri(value):
                self.check(value, alg, here, url)
                return None
            alg = value.get("alg", alg)
            children = iter(value.items())
        else:
            return None
        self.values += len(value)
        if self.values > MAX_VALUES:
            self.manifest.log.add("general.error", f"the claim and assertions hold more than {MAX_VALUES} values: "
                                  "their hashed URIs are not checked", self.manifest.claim_url)
            raise _Stop
        return children, alg, here

    def walk(self, root: Any, skip: FrozenSet[str], alg: Any, url: str) -> bool:
        """Checks every hashed URI in `root` (its top-level keys in `skip`
        left out), depth first with one frame per open container; False
        when the walk stops at a bound."""
        if isinstance(root, Mapping) and skip:
            root = {key: value for key, value in root.items() if key not in skip}
        try:
            first = self.enter(root, alg, None, url)
            frames = [first] if first is not None else []
            while frames:
                children, alg, here = frames[-1]
                for key, item in children:
                    if type(item) not in _SCALARS:  # scalars hold no hashed URI
                        frame = self.enter(item, alg, (key, here), url)
                        if frame is not None:
                            frames.append(frame)
                            break
                else:
                    frames.pop()
        except _Stop:
            return False
        return True


def validate_references(manifest: Manifest) -> None:
    """C2PA 2.2, 15.6.2 and 15.10.3.3 for the claim and the assertions of
    `manifest` that were found, hash-checked and decoded."""
    claim = manifest.claim
    if claim is None:
        return
    walk = _Walk(manifest)
    claim_alg = claim.value.get("alg", _ABSENT)
    if not walk.walk(claim.value, _ASSERTION_LISTS.get(claim.version, frozenset()), _ABSENT, manifest.claim_url):
        return
    for assertion in manifest.assertions:
        if assertion.value is None:
            continue
        skip = _INGREDIENT_LINKS if base_label(assertion.label) in INGREDIENT_LABELS else frozenset()
        if not walk.walk(assertion.value, skip, claim_alg, assertion.url):
            return
