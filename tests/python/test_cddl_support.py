"""The CDDL harness (cddl_support) accepts the examples of C2PA 2.2 and refuses faults."""

from __future__ import annotations

import base64
import json
import re
from typing import Any, Callable, Dict, List, Tuple

import cbor2
import pytest
from cddl_support import PATTERNS, RULES, Pattern, cddl_text, validate
from cddl_verifier import Validator

SIG = "self#jumbf=/c2pa/urn:c2pa:5E7B01FC-4932-4BAB-AB32-D4F12A8AA322/c2pa.signature"
ACTIVE = "self#jumbf=/c2pa/urn:c2pa:5E7B01FC-4932-4BAB-AB32-D4F12A8AA322"
#: Stands for the examples' b64'...', which leave the hash out.
HASH = bytes(range(32))
AGENT = {"name": "Joe's Photo Editor", "version": "2.0", "operating_system": "Windows 10"}


def b64(text: str) -> bytes:
    return base64.b64decode(text)


def tdate(text: str) -> cbor2.CBORTag:
    """A date as C2PA 2.2, 6.9 writes it: CBOR tag 0 on the text (RFC 8949, 3.4.1)."""
    return cbor2.CBORTag(0, text)


def status(code: str, url: str) -> Dict[str, str]:
    return {"code": code, "url": url}


def examples() -> Dict[str, Any]:
    """The example of each rule in C2PA 2.2, from its diagnostic notation (a new copy)."""
    # 18.15.6, the validationResults of the example ingredient.
    validation_results = {
        "activeManifest": {
            "success": [
                status("claimSignature.validated", SIG),
                status("signingCredential.trusted", SIG),
                status("timeStamp.validated", SIG),
                status("timeStamp.trusted", SIG),
                status("assertion.hashedURI.match", ACTIVE + "/c2pa.assertions/c2pa.ingredient.v3"),
            ],
            "informational": [status("signingCredential.ocsp.skipped", SIG)],
            "failure": [],
        },
        "ingredientDeltas": [
            {
                "ingredientAssertionURI": ACTIVE + "/c2pa.assertions/c2pa.ingredient.v3",
                "validationDeltas": {"success": [], "informational": [], "failure": [status(
                    "assertion.hashedURI.mismatch",
                    "self#jumbf=/c2pa/urn:c2pa:F095F30E-6CD5-4BF7-8C44-CE8420CA9FB7/c2pa.assertions/c2pa.metadata")]},
            },
            {
                "ingredientAssertionURI":
                    "self#jumbf=/c2pa/urn:c2pa:F095F30E-6CD5-4BF7-8C44-CE8420CA9FB7/c2pa.assertions/c2pa.ingredient.v3",
                "validationDeltas": {"success": [], "informational": [], "failure": [status(
                    "signingCredential.untrusted",
                    "self#jumbf=/c2pa/urn:c2pa:72C28A7C-7F5B-4301-B373-3183C10AF7C5/c2pa.signature")]},
            },
        ],
    }

    return {
        # 10.2.1, with an instanceID, which the example leaves out though claim-map-v2 and
        # 10.2.2 require it (the example as published is among the faults below).
        "claim-map-v2": {
            "instanceID": "xmp:iid:7b57930e-2f23-47fc-affe-0400d70b738d",
            "alg": "sha256",
            "claim_generator_info": dict(AGENT),
            "signature": "self#jumbf=c2pa.signature",
            "created_assertions": [
                {"url": "self#jumbf=c2pa.assertions/c2pa.hash.data",
                 "hash": b64("U9Gyz05tmpftkoEYP6XYNsMnUbnS/KcktAg2vv7n1n8=")},
                {"url": "self#jumbf=c2pa.assertions/c2pa.thumbnail.claim",
                 "hash": b64("G5hfJwYeWTlflxOhmfCO9xDAK52aKQ+YbKNhRZeq92c=")},
                {"url": "self#jumbf=c2pa.assertions/c2pa.ingredient.v3",
                 "hash": b64("Yzag4o5jO4xPyfANVtw7ETlbFSWZNfeM78qbSi8Abkk=")},
            ],
            "redacted_assertions": [ACTIVE + "/c2pa.assertions/c2pa.metadata"],
        },
        # 18.7.4, the TTF example.
        "box-map": {
            "alg": "sha256",
            "boxes": [{"names": ["C2PA"], "hash": b64("AA=="), "pad": b""}] + [
                {"names": [name], "hash": HASH, "pad": b""}
                for name in ("PCLT", "cmap", "cvt", "fpgm", "gasp", "glyf", "head", "hhea", "hmtx",
                             "loca", "maxp", "name", "post", "prep")],
        },
        # 18.5.2: the hash and pad are written '...', byte strings of those characters.
        "data-hash-map": {
            "alg": "sha256",
            "pad": b"0000",
            "hash": b"Auxjtmax46cC2N3Y9aFmBO9Jfay8LEwJWzBUtZ0sUM8gA=",
            "name": "JUMBF manifest",
            "exclusions": [{"start": 9960, "length": 4213}],
        },
        # 18.14.12, Example 11.
        "actions-map-v2": {
            "actions": [
                {"action": "c2pa.filtered",
                 "when": tdate("2020-02-11T09:00:00Z"),
                 "parameters": {"instanceID": cbor2.CBORTag(37, bytes.fromhex("ed610ae51f604002be3dbf0c589a2f1f"))},
                 "softwareAgent": dict(AGENT)},
                {"action": "c2pa.cropped", "when": tdate("2020-02-11T09:30:00Z")},
            ],
            "metadata": {
                "dateTime": tdate("2021-06-28T16:34:11.457Z"),
                "reviewRatings": [{"value": 1, "explanation": "Content bindings did not validate"}],
            },
        },
        # 18.22.2, the extended example.
        "font-info-map": {
            "fullName": "Example Font Bold Italic",
            "version": "7.0.4-beta",
            "versionUrl": "https://fabrikam.example.com/release/efbi/7.0",
            "familyName": "ExampleFont",
            "style": "Italic",
            "weight": {"class": "Bold", "value": 700},
            "postScriptName": "ExampleFont-BoldItalic",
            "format": "OpenType",
            "copyrightNotice": "\u00a9 2017 Fabrikam, Inc. All Rights Reserved.",
            "copyrightHolder": {"name": "Fabrikam Inc."},
            "copyrightYears": [1982, 2017],
            "designers": [
                {"person": {"name": "John Doe", "url": "https://fabrikam.example.com/browse/designers/john-doe"},
                 "foundry": {"name": "Fabrikam Fonts"},
                 "contribution": "Ligatures."},
                {"person": {"name": "Jane Doe"},
                 "foundry": {"name": "Fabrikam Fonts"},
                 "contribution": "All characters."},
            ],
            "designFoundry": {"name": "Fabrikam Fonts", "url": "https://fabrikam.example.com"},
            "sourceFoundry": {"name": "Fonts Direct 2 U", "url": "https://fd2u.example.com"},
            "identifier": "ExampleFont Bold Italic (Fabrikam)",
        },
        # 18.15.6.
        "ingredient-map-v3": {
            "dc:title": "image 1.jpg",
            "metadata": {
                "dateTime": tdate("2021-06-28T16:49:32.874Z"),
                "reviewRatings": [{"value": 5, "explanation": "Content bindings validated"}],
            },
            "dc:format": "image/jpeg",
            "thumbnail": {"url": "self#jumbf=c2pa.assertions/c2pa.thumbnail.ingredient",
                          "hash": b64("UjRAYWiAq4lfCRDmksWAlDJN/XtHHFFwMWymsZsm3j8=")},
            "relationship": "parentOf",
            "activeManifest": {"url": ACTIVE, "hash": b64("1kjJTO108b71cL95UxgfHD3eDgk9VrCedW8n3fYTRMk=")},
            "claimSignature": {"url": SIG, "hash": b64("85KAvU3+3YgtIjj6IV0fzKwj8si/85+gevVSK2Iw+S0=")},
            "validationResults": validation_results,
        },
        # 18.15.6, the validationResults of the ingredient.
        "validation-results-map": validation_results,
        # 10.3.2.5.4 gives the CDDL but no example: one time-stamp token, as sigTst2 holds it.
        "tstContainer": {"tstTokens": [{"val": bytes.fromhex("3082") + HASH}]},
    }


EXAMPLES = examples()


def _drop(*path: Any) -> Callable[[Any], None]:
    def change(value: Any) -> None:
        for key in path[:-1]:
            value = value[key]
        del value[path[-1]]
    return change


def _set(*path: Any) -> Callable[[Any], None]:
    def change(value: Any) -> None:
        for key in path[:-2]:
            value = value[key]
        value[path[-2]] = path[-1]
    return change


#: (rule, what is wrong, the change to its example)
FAULTS: List[Tuple[str, str, Callable[[Any], None]]] = [
    ("claim-map-v2", "no instanceID (the example as published)", _drop("instanceID")),
    ("claim-map-v2", "an assertion URI outside the manifest",
     _set("created_assertions", 0, "url", "https://example.com/c2pa.hash.data")),
    ("box-map", "a box hash as text", _set("boxes", 1, "hash", HASH.hex())),
    ("data-hash-map", "no pad", _drop("pad")),
    ("data-hash-map", "an exclusion start as text", _set("exclusions", 0, "start", "9960")),
    ("actions-map-v2", "a time without tag 0", _set("actions", 1, "when", "2020-02-11T09:30:00Z")),
    ("actions-map-v2", "an action that is not a label", _set("actions", 0, "action", "filtered")),
    ("font-info-map", "no familyName", _drop("familyName")),
    ("font-info-map", "a PostScript name with a /", _set("postScriptName", "ExampleFont/BoldItalic")),
    ("font-info-map", "a version that is not semver", _set("version", "7.0")),
    ("ingredient-map-v3", "no relationship", _drop("relationship")),
    ("validation-results-map", "a status code list missing", _drop("activeManifest", "failure")),
    ("tstContainer", "no token", _set("tstTokens", [])),
]


@pytest.mark.parametrize("rule", RULES)
def test_example_is_accepted(rule: str) -> None:
    validate(rule, cbor2.dumps(EXAMPLES[rule]))


@pytest.mark.parametrize("rule, fault, change", FAULTS, ids=[f"{r}: {f}" for r, f, _ in FAULTS])
def test_fault_is_refused(rule: str, fault: str, change: Callable[[Any], None]) -> None:
    value = examples()[rule]
    change(value)
    with pytest.raises(AssertionError, match=f"does not match {rule} "):
        validate(rule, cbor2.dumps(value))


def test_unknown_rule_is_an_error() -> None:
    with pytest.raises(ValueError, match="unsupported rule"):
        validate("claim-map-v3", cbor2.dumps({}))


#: Texts on which the published patterns (ECMAScript) and their XSD rewrites are compared.
PROBES = [
    "", "^", "$", "a", "a.b", "a..b", "a.b.", "c2pa.hash.data", "com.litware.blur",
    "\u0661\u0662.abc",  # Arabic-Indic digits: \d in XSD, not in ECMAScript
    "self#jumbf=c2pa.signature", "self#jumbf=/c2pa/urn:c2pa:5E7B01FC-4932/c2pa.signature",
    "self#jumbf=c2pa.assertions/c2pa.ingredient.v3__1", "self#jumbf=c2pa.signature.",
    "self#jumbf=c\u00e9", "self#jumbf=ab", "self#jumbf=a b", "^self#jumbf=ab$",
    "https://fd2u.example.com", "https://fabrikam.example.com/release/efbi/7.0",
    "http://a.io/x?y=1&z=2#f", "https://example.com_x", "https://example.comx/", "https://ab.cdefghi",
    "https://example.com.", "https://example.c", "ftp://example.com",
    "0.0.0", "7.0.4-beta", "1.0.0-alpha.1+build.5", "01.0.0", "1.0", "1.0.0-", "1.0.0-01",
    "1.0.0+", "\u0661.0.0",
    "Example-Two-Italic", "ExampleFont/BoldItalic", "a b", "(x)", "a%", "~" * 63, "~" * 64,
    "image/jpeg", "image/svg+xml", "application/vnd.ms-opentype", "a_b/c", "-x/y", "font/",
    "12:34:56.789", "1:2:3", "59", "24:00:00", "23:59:59.1234567890", ":12",
    "2020-02-11T09:00:00Z", "2020-02-11T09:00:00.5+01:00", "2020-02-11T09:00:00", "2020-2-11T09:00:00Z",
    "abc\n", "1.0.0\n",
]


@pytest.mark.parametrize("pattern", PATTERNS, ids=[p.name for p in PATTERNS])
def test_pattern_rewrite_keeps_the_meaning(pattern: Pattern) -> None:
    try:
        carried = json.loads(pattern.published)  # RFC 9682: the escapes of JSON
    except json.JSONDecodeError:
        carried = pattern.published[1:-1]  # "\d" published where "\\d" is meant
    assert carried == pattern.ecmascript
    ecmascript = re.compile(pattern.ecmascript, re.ASCII)
    xsd = Validator(f"text = tstr .regexp {cddl_text(pattern.xsd)}")
    expected = [ecmascript.fullmatch(probe) is not None for probe in PROBES]
    assert any(expected) and not all(expected)
    found = [xsd.validate(cbor2.dumps(probe)).valid for probe in PROBES]
    assert [p for p, e, f in zip(PROBES, expected, found) if e != f] == []
