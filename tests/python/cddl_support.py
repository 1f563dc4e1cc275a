"""CDDL validation of C2PA structures, against the schemas published with C2PA 2.2.

``validate(rule, value_cbor)`` checks CBOR bytes against one top-level rule of the
CDDL files in ``CDDL_DIR`` (the published copy, read-only), with the CDDL engine
``cddl-verifier`` (RFC 8610 as updated by RFC 9682, with XSD regular expressions).

For each rule a schema text is assembled in memory: the file that defines the rule,
then every file that defines a name those files use, and so on. The published files
do not all load in a strict engine, so a few mechanical fixes are made to that text,
never to the files; each one is in ``_FIXES`` with what the published text says, what
the engine needs and why the meaning is the same. A fix whose published text is no
longer found raises, so a changed copy of the files is noticed.

The engine takes the rule to validate against as an argument (``root_type``), so the
rule need not be the first one of the text. Compiled schemas are cached per rule for
the session.
"""

from __future__ import annotations

import functools
import re
from pathlib import Path
from typing import Dict, FrozenSet, List, NamedTuple, Set, Tuple

from cddl_verifier import Validator

CDDL_DIR = Path("/work/shared/c2pa-2.2/cddl")

#: The top-level rules ``validate`` supports.
RULES: Tuple[str, ...] = (
    "claim-map-v2",  # C2PA 2.2, 10.2.1 (claim.cddl)
    "box-map",  # C2PA 2.2, 18.7.4 (boxes-hash.cddl)
    "data-hash-map",  # C2PA 2.2, 18.5.2 (data-hash.cddl)
    "actions-map-v2",  # C2PA 2.2, 18.14.12 (actions.cddl)
    "font-info-map",  # C2PA 2.2, 18.22.2 (font-info.cddl)
    "ingredient-map-v3",  # C2PA 2.2, 18.15.6 (ingredient.cddl)
    "validation-results-map",  # C2PA 2.2, 15.2.1 (validation-results.cddl)
    "tstContainer",  # C2PA 2.2, 10.3.2.5.4 (tstContainer.cddl)
)


class _Fix(NamedTuple):
    file: str  # stem of the published file
    published: str  # exact text in that file ("" to append to it)
    fixed: str  # the text the engine gets instead
    times: int = 1  # how many times the published text occurs in the file


def cddl_text(pattern: str) -> str:
    """``pattern`` as a CDDL text string (with the escapes RFC 9682 allows)."""
    return '"' + pattern.replace("\\", "\\\\").replace('"', '\\"') + '"'


# Regular expressions. RFC 8610, 3.8.3 makes the argument of .regexp an XSD regular
# expression (XML Schema Part 2, appendix F), which matches the whole text, and
# cddl-verifier reads it so. The C2PA 2.2 files are written in the ECMAScript / PCRE
# dialect instead: ^ and $ anchors (ordinary characters in XSD), (?:...) groups, a
# (?!...) look-ahead and \b, which XSD does not have, so the schemas do not load; and
# \w, \d, which mean [A-Za-z0-9_] and [0-9] there, while XSD's \w has no "_" (it is
# punctuation), which an example of C2PA 2.2 needs (18.14.4.7, Example 8:
# "self#jumbf=c2pa.assertions/c2pa.ingredient.v3__1"). So every pattern of the files
# a rule needs is rewritten into the XSD pattern that matches the same texts as the
# published one read as ECMAScript (no flags) against the whole text: RFC 8610 and the
# comment at jumbf-uri-type in C2PA 2.2, 8.4.2.1 ("Head (#) and tail ($) are introduced
# in regexp, so not needed explicitly") both make a pattern match the whole text.
# Rewrites, by construct:
#   ^ and $ around the pattern: dropped (XSD matches the whole text anyway);
#   (?:X): (X) (a capturing group matches the same texts);
#   \d, \w: [0-9], [A-Za-z0-9_] (inside a class, their ranges);
#   \/: / (an ECMAScript identity escape; XSD has no \/);
#   \b, (?!...): by the equivalent class or alternative, explained at the pattern.
# tests/python/test_cddl_support.py checks each rewrite against Python's re in ASCII
# mode, on texts chosen to tell the readings apart.


class Pattern(NamedTuple):
    name: str
    where: Tuple[Tuple[str, int], ...]  # (file stem, occurrences)
    published: str  # the CDDL text string in the file, quotes included
    ecmascript: str  # the pattern it carries
    xsd: str  # the XSD pattern that matches the same texts


#: The patterns of the files, with their rewrites.
PATTERNS: Tuple[Pattern, ...] = (
    Pattern(
        "jumbf-uri-type", (("hashed-uri", 1),),
        r'"self#jumbf=[\\w\\d\/][\\w\\d\\.\/:-]+[\\w\\d]"',
        r"self#jumbf=[\w\d/][\w\d\./:-]+[\w\d]",
        r"self#jumbf=[A-Za-z0-9_/][A-Za-z0-9_./:-]+[A-Za-z0-9_]"),
    # The \b follows a letter ([a-z]{2,6}), so it holds at the end of the text or before
    # a character that is not in \w: the tail is empty or starts with one of the
    # class's characters other than [A-Za-z0-9_].
    Pattern(
        "ext-url-type", (("hashed-ext-uri", 1),),
        r'"https?:\/\/[-a-zA-Z0-9@:%._\\+~#=]{2,256}\\.[a-z]{2,6}\\b[-a-zA-Z0-9@:%_\\+.~#?&//=]*"',
        r"https?://[-a-zA-Z0-9@:%._\+~#=]{2,256}\.[a-z]{2,6}\b[-a-zA-Z0-9@:%_\+.~#?&//=]*",
        r"https?://[-a-zA-Z0-9@:%._\+~#=]{2,256}\.[a-z]{2,6}"
        r"([-@:%\+.~#?&/=][-a-zA-Z0-9@:%_\+.~#?&/=]*)?"),
    # The entity-specific labels of $action-choice and $action-reason (actions.cddl),
    # $status-code (validation-results.cddl) and $type-choice (asset-type.cddl). Valid
    # XSD as published, where \d is any Unicode decimal digit: rewritten so that all
    # patterns are read in the one dialect they are written in.
    Pattern(
        "label", (("actions", 2), ("validation-results", 1), ("asset-type", 1)),
        r'"([\\da-zA-Z_-]+\\.)+[\\da-zA-Z_-]+"',
        r"([\da-zA-Z_-]+\.)+[\da-zA-Z_-]+",
        r"([0-9a-zA-Z_-]+\.)+[0-9a-zA-Z_-]+"),
    # The version of font-info-map and asset-type-map.
    Pattern(
        "semver", (("font-info", 1), ("asset-type", 1)),
        r'"^(0|[1-9]\\d*)\\.(0|[1-9]\\d*)\\.(0|[1-9]\\d*)(?:-((?:0|[1-9]\\d*|\\d*[a-zA-Z-][0-9a-zA-Z-]*)'
        r'(?:\\.(?:0|[1-9]\\d*|\\d*[a-zA-Z-][0-9a-zA-Z-]*))*))?(?:\\+([0-9a-zA-Z-]+(?:\\.[0-9a-zA-Z-]+)*))?$"',
        r"^(0|[1-9]\d*)\.(0|[1-9]\d*)\.(0|[1-9]\d*)(?:-((?:0|[1-9]\d*|\d*[a-zA-Z-][0-9a-zA-Z-]*)"
        r"(?:\.(?:0|[1-9]\d*|\d*[a-zA-Z-][0-9a-zA-Z-]*))*))?(?:\+([0-9a-zA-Z-]+(?:\.[0-9a-zA-Z-]+)*))?$",
        r"(0|[1-9][0-9]*)\.(0|[1-9][0-9]*)\.(0|[1-9][0-9]*)(-((0|[1-9][0-9]*|[0-9]*[a-zA-Z-][0-9a-zA-Z-]*)"
        r"(\.(0|[1-9][0-9]*|[0-9]*[a-zA-Z-][0-9a-zA-Z-]*))*))?(\+([0-9a-zA-Z-]+(\.[0-9a-zA-Z-]+)*))?"),
    # The look-ahead refuses the text if any of its characters is one of []{}()<>/%,
    # and all of them are in [!-~]: so the class is [!-~] less those characters (an
    # XSD class subtraction).
    Pattern(
        "postScriptName", (("font-info", 1),),
        r'"^(?!.*[\\[\\]\\(\\)\\{\\}<>\\/%])[!-~]{1,63}$"',
        r"^(?!.*[\[\]\(\)\{\}<>\/%])[!-~]{1,63}$",
        r"[!-~-[\[\]\(\)\{\}<>/%]]{1,63}"),
    Pattern(
        "format-string", (("ingredient", 1),),
        r'"^\\w+\/[-+.\\w]+$"',
        r"^\w+/[-+.\w]+$",
        r"[A-Za-z0-9_]+/[-+.A-Za-z0-9_]+"),
    # Of cloud-data-map: cloud-data.cddl is needed for size-type.
    Pattern(
        "content_type", (("cloud-data", 1),),
        r'"^[-\\w.]+/[-+\\w.]+$"',
        r"^[-\w.]+/[-+\w.]+$",
        r"[-A-Za-z0-9_.]+/[-+A-Za-z0-9_.]+"),
    # The start and end of npt-time-map and of wall-clock-time-map (C2PA 2.2, 18.2.3)
    # are published with single backslashes, "\d" and "\.", which RFC 9682 does not
    # allow in a text string (only JSON's escapes): the pattern meant is the text
    # between the quotes.
    Pattern(
        "npt-time", (("regions-of-interest", 2),),
        r'"^(?:(?:([01]?\d|2[0-3]):)?([0-5]?\d):)?([0-5]?\d)(\.(\d{1,9}))?$"',
        r"^(?:(?:([01]?\d|2[0-3]):)?([0-5]?\d):)?([0-5]?\d)(\.(\d{1,9}))?$",
        r"((([01]?[0-9]|2[0-3]):)?([0-5]?[0-9]):)?([0-5]?[0-9])(\.([0-9]{1,9}))?"),
    Pattern(
        "wall-clock-time", (("regions-of-interest", 2),),
        r'"^(\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})(\.\d+)?(([+-]\d{2}:\d{2})|Z)$"',
        r"^(\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})(\.\d+)?(([+-]\d{2}:\d{2})|Z)$",
        r"([0-9]{4})-([0-9]{2})-([0-9]{2})T([0-9]{2}):([0-9]{2}):([0-9]{2})(\.[0-9]+)?"
        r"(([+-][0-9]{2}:[0-9]{2})|Z)"),
)


def _plug(name: str) -> str:
    return f"\n${name} /= {name}\n"


# The fixes, file by file. "Published" is the exact text of the file; "engine" what
# cddl-verifier needs and gets instead; "meaning" why C2PA 2.2 says the same either way.
_FIXES: Tuple[_Fix, ...] = (
    # Published: each pattern of PATTERNS. Engine: an XSD pattern. Meaning: the XSD
    # pattern matches the same texts (see above).
    *(_Fix(stem, p.published, cddl_text(p.xsd), count) for p in PATTERNS for stem, count in p.where),
    # Published: assertion-metadata-common.cddl defines "$localization-data-entry /= {...}"
    # and uses "[1* localization-data-entry]", a name no file defines. Engine: an
    # undefined name does not load. Meaning: the socket defined in the same file under
    # that name, the only candidate.
    _Fix("assertion-metadata-common", "[1* localization-data-entry]", "[1* $localization-data-entry]"),
    # Published: action-item-map-v2 and action-template-map-v2 list
    # "action-common-map-v2," among their members, and action-common-map-v2 is a map
    # ({...}). Engine: a type among the members of a map needs a key ("'b' is a type, so
    # it needs a key in a map"); the unwrap operator "~" (RFC 8610, 3.7) puts the map's
    # members there instead. Meaning: the members of action-common-map-v2 ("now
    # additional common items") are members of the action and of the template.
    _Fix("actions", "  action-common-map-v2, ; now additional common items",
         "  ~action-common-map-v2, ; now additional common items"),
    _Fix("actions", "  action-common-map-v2,       ; additional common items",
         "  ~action-common-map-v2,       ; additional common items"),
    # Published: "templateParameters": parameters-common-map-v2, where
    # parameters-common-map-v2 is a group, ( * tstr => any ). Engine: a group is not a
    # type ("'g' is a group and cannot be used as a type; wrap it as '{ g }'"), and
    # "{ parameters-common-map-v2 }" is the map of that group. Meaning: a map of any
    # further keys, as C2PA 2.2, 18.14.6.1 describes ("allows the inclusion of any
    # other keys (and their associated values)").
    _Fix("actions", '"templateParameters": parameters-common-map-v2',
         '"templateParameters": { parameters-common-map-v2 }'),
    # Published: names used as type sockets ("$generator-info-map") that no file plugs,
    # while a rule of the same name without "$" is defined ("generator-info-map = {...}").
    # Engine: a socket without plugs has no alternatives, so no value matches it, and
    # claim-map-v2, for one, would refuse every claim. The fix plugs each such socket
    # with its rule, "$X /= X", appended to the file that defines X. Meaning: the rule
    # of that name is what C2PA 2.2 describes for the field (e.g. 10.2.3.2 for
    # claim_generator_info), and other structures can still plug the socket.
    # The group socket $$language-string of $localization-data-entry (and
    # $$time-stamp-entry, in no rule here) is left as published: no plug of it is
    # mechanical, so only an empty localization dictionary is accepted (C2PA 2.2,
    # 18.3.7.2 describes a map of maps of texts, which the CDDL does not say).
    _Fix("claim", "", _plug("generator-info-map")),
    _Fix("hashed-uri", "", _plug("jumbf-uri-type")),
    _Fix("asset-type", "", _plug("asset-type-map")),
    _Fix("actions", "", _plug("action-template-map-v2")),
    *(_Fix("validation-results", "", _plug(name)) for name in (
        "status-map", "status-codes-map", "ingredient-delta-validation-result-map",
        "validation-results-map")),
    *(_Fix("regions-of-interest", "", _plug(name)) for name in (
        "region-map", "range-map", "coordinate-map", "shape-map", "time-map", "frame-map",
        "text-selector-map", "text-selector-range-map", "text-map", "item-map")),
)

_ID = r"[$@_A-Za-z](?:[-.]*[$@_A-Za-z0-9])*"  # RFC 8610, appendix B
_DEFINITION = re.compile(r"^(" + _ID + r")\s*(?://=|/=|=)", re.M)
# Comments, text strings and byte strings, leftmost first, so that a quote in a comment
# or a semicolon in a string is read as what it is.
_LEXEMES = re.compile(r""";[^\n]*|"(?:[^"\\]|\\.)*"|'(?:[^'\\]|\\.)*'""")
_TAG = re.compile(r"#\d+(?:\.\d+)?")
_REGEXP = re.compile(r'\.regexp\s*("(?:[^"\\]|\\.)*")')


def _without_comments(text: str) -> str:
    return _LEXEMES.sub(lambda m: "" if m.group(0).startswith(";") else m.group(0), text)


class _File(NamedTuple):
    text: str
    defines: FrozenSet[str]
    uses: FrozenSet[str]


def _fixed_text(stem: str) -> str:
    text = (CDDL_DIR / f"{stem}.cddl").read_text(encoding="utf-8")
    for fix in _FIXES:
        if fix.file != stem:
            continue
        if fix.published == "":
            text += fix.fixed
            continue
        found = text.count(fix.published)
        if found != fix.times:
            raise RuntimeError(f"{stem}.cddl has {found} times, not {fix.times}, the text "
                               f"the harness fixes: {fix.published!r}")
        text = text.replace(fix.published, fix.fixed)
    return text


@functools.lru_cache(maxsize=None)
def _files() -> Dict[str, _File]:
    if not CDDL_DIR.is_dir():
        raise RuntimeError(f"{CDDL_DIR} is missing: the C2PA 2.2 CDDL files are needed")
    files = {}
    for path in sorted(CDDL_DIR.glob("*.cddl")):
        text = _fixed_text(path.stem)
        bare = _TAG.sub(" ", _LEXEMES.sub(" ", text))
        defines = frozenset(_DEFINITION.findall(bare))
        uses = frozenset(re.findall(_ID, _DEFINITION.sub(" ", bare)))
        files[path.stem] = _File(text, defines, uses)
    return files


def _schema_text(rule: str) -> str:
    """The text of the file that defines *rule* and of the files it needs, in that order."""
    files = _files()

    def definers(name: str) -> List[str]:
        return [stem for stem, f in files.items() if name in f.defines]

    found = definers(rule)
    if len(found) != 1:
        raise ValueError(f"{rule!r} is defined in {len(found)} of the C2PA 2.2 CDDL files")
    chosen: List[str] = [found[0]]
    defined: Set[str] = set(files[found[0]].defines)
    pending = list(files[found[0]].uses)
    while pending:
        name = pending.pop()
        if name in defined:
            continue
        stems = definers(name)
        if not stems:
            continue  # the prelude (tstr, tdate...), a control name, or an empty socket
        if len(stems) > 1:
            raise ValueError(f"{name!r}, needed by {rule!r}, is defined in {stems}")
        chosen.append(stems[0])
        defined |= files[stems[0]].defines
        pending.extend(files[stems[0]].uses)
    unplugged = sorted(name for stem in chosen for name in files[stem].uses
                       if name.startswith("$") and not name.startswith("$$") and name not in defined)
    if unplugged:
        raise RuntimeError(f"{rule} needs type sockets that nothing plugs: {unplugged}")
    rewritten = {cddl_text(p.xsd) for p in PATTERNS}
    for stem in chosen:
        for literal in _REGEXP.findall(_without_comments(files[stem].text)):
            if literal not in rewritten:
                raise RuntimeError(f"{stem}.cddl has a .regexp pattern the harness does not "
                                   f"rewrite: {literal}")
    return "\n".join(f"; ---- {stem}.cddl\n{files[stem].text}\n" for stem in chosen)


@functools.lru_cache(maxsize=None)
def _validator(rule: str) -> Validator:
    if rule not in RULES:
        raise ValueError(f"unsupported rule {rule!r}: one of {', '.join(RULES)}")
    return Validator(_schema_text(rule), strict_modules=True)


def validate(rule: str, value_cbor: bytes) -> None:
    """Raise AssertionError, with the engine's findings, unless *value_cbor* matches *rule*."""
    result = _validator(rule).validate(value_cbor, root_type=rule)
    if not result.valid:
        raise AssertionError(f"CBOR does not match {rule} of C2PA 2.2:\n"
                             + result.format(verbose=True))
