"""The font information assertion, `font.info` (C2PA 2.2, 18.22), made from
the font's own `name`, `OS/2` and `head` tables with fontTools."""
from __future__ import annotations

import io
import re
from typing import Any, Dict, List, Mapping, Optional, Tuple, Union

# font-info.cddl: the patterns some fields must match.
_SEMVER = re.compile(r"(0|[1-9]\d*)\.(0|[1-9]\d*)\.(0|[1-9]\d*)(?:-((?:0|[1-9]\d*|\d*[a-zA-Z-][0-9a-zA-Z-]*)"
                     r"(?:\.(?:0|[1-9]\d*|\d*[a-zA-Z-][0-9a-zA-Z-]*))*))?(?:\+([0-9a-zA-Z-]+(?:\.[0-9a-zA-Z-]+)*))?")
_POSTSCRIPT = re.compile(r"(?!.*[\[\]\(\)\{\}<>/%])[!-~]{1,63}")
_URL = re.compile(r"https?://[-a-zA-Z0-9@:%._+~#=]{2,256}\.[a-z]{2,6}\b[-a-zA-Z0-9@:%_+.~#?&/=]*")

# OpenType's names for the weight classes of OS/2 usWeightClass, all of them
# $font-weight-class values.
_WEIGHT_CLASSES = {100: "Thin", 200: "ExtraLight", 300: "Light", 350: "SemiLight", 400: "Regular",
                   450: "Book", 500: "Medium", 600: "SemiBold", 700: "Bold", 800: "ExtraBold", 900: "Black"}

# name table IDs.
COPYRIGHT, FAMILY, UNIQUE_ID, FULL_NAME, VERSION, POSTSCRIPT = 0, 1, 3, 4, 5, 6
MANUFACTURER, DESIGNER, VENDOR_URL, DESIGNER_URL, TYPOGRAPHIC_FAMILY = 8, 9, 11, 12, 16


def weight_class(value: int) -> str:
    """The class name of a usWeightClass: the nearest named weight."""
    return _WEIGHT_CLASSES[min(_WEIGHT_CLASSES, key=lambda named: (abs(named - value), named))]


def build(font: Union[bytes, memoryview], given: Optional[Mapping[str, Any]] = None
          ) -> Tuple[Optional[Dict[str, Any]], List[str], Optional[str]]:
    """The assertion's value, or None with the reasons when a field the
    assertion requires cannot be filled from the font or from `given`; and
    the font's full name (name ID 4), or None. Fields the font lacks and
    that are optional are left out.

    `given` holds fields the caller supplies (a foundry's release date,
    copyright holder, designers...); it is checked against font-info.cddl
    (SigningError when it does not fit). A field the font's tables supply
    too is taken from `given` when it is one a foundry knows better
    (designers, foundries, version, identifier), and must agree with the
    font otherwise (its names, style, weight and format)."""
    extra = dict(given or {})
    if extra:
        problems = check(extra, partial=True)
        if problems:
            from ..signing.result import SigningError

            raise SigningError("the font.info fields given do not fit C2PA 2.2, 18.22: " + "; ".join(problems))
    info, missing, full = _from_tables(font)
    fallback = info is None
    if info is None:
        if not extra:
            return None, missing, full
        # Fields the font lacks may come from `given`.
        info, missing, full = _from_tables(font, extra)
        if info is None:
            return None, missing, full
    for key, value in extra.items():
        if not fallback and key in _FROM_FONT and info[key] != value:
            from ..signing.result import SigningError

            raise SigningError(f"the font.info field {key} given ({value!r}) is not the font's ({info[key]!r})")
        info[key] = value
    problems = check(info)
    if problems:
        return None, problems, full
    return info, [], full


# The fields the font's own tables decide.
_FROM_FONT = ("fullName", "familyName", "style", "weight", "postScriptName", "format")


def _from_tables(font: Union[bytes, memoryview], given: Optional[Mapping[str, Any]] = None
                 ) -> Tuple[Optional[Dict[str, Any]], List[str], Optional[str]]:
    given = given or {}
    from fontTools.ttLib import TTFont

    try:
        ttfont = TTFont(io.BytesIO(font if isinstance(font, bytes) else bytes(font)), lazy=True)
        names = ttfont["name"] if "name" in ttfont else None
        os2 = ttfont["OS/2"] if "OS/2" in ttfont else None
        head = ttfont["head"] if "head" in ttfont else None
        is_cff = "CFF " in ttfont or "CFF2" in ttfont
    except Exception as error:  # fontTools raises many kinds on damaged tables
        return None, [f"fontTools cannot read the font's name, OS/2 and head tables ({error})"], None

    def name(name_id: int) -> Optional[str]:
        text = names.getDebugName(name_id) if names is not None else None
        text = text.strip() if isinstance(text, str) else None
        return text or None

    missing: List[str] = []
    full_name = name(FULL_NAME) or given.get("fullName")
    family = name(TYPOGRAPHIC_FAMILY) or name(FAMILY) or given.get("familyName")
    postscript = name(POSTSCRIPT) or given.get("postScriptName")
    copyright_notice = name(COPYRIGHT) or given.get("copyrightNotice")
    for field, value in (("fullName (name ID 4)", full_name), ("familyName (name ID 16 or 1)", family),
                         ("copyrightNotice (name ID 0)", copyright_notice)):
        if value is None:
            missing.append(f"the font has no {field}")
    if postscript is None:
        missing.append("the font has no postScriptName (name ID 6)")
    elif not _POSTSCRIPT.fullmatch(postscript):
        missing.append(f"its PostScript name {postscript!r} is not one C2PA 2.2, 18.22 admits")
    weight = getattr(os2, "usWeightClass", None)
    if not isinstance(weight, int) and isinstance(given.get("weight"), dict):
        weight = given["weight"].get("value")
    if not isinstance(weight, int) or not 1 <= weight <= 1000:
        missing.append("the font has no OS/2 usWeightClass from 1 to 1000")
    if os2 is None and head is None and "style" not in given:
        missing.append("the font has neither an OS/2 nor a head table to tell its style")
    if missing:
        return None, missing, name(FULL_NAME)

    assert isinstance(weight, int)
    info: Dict[str, Any] = {
        "fullName": full_name,
        "familyName": family,
        "style": _style(os2, head) if os2 is not None or head is not None else given["style"],
        "weight": {"class": weight_class(weight), "value": weight},
        "postScriptName": postscript,
        # OpenType fonts with CFF outlines are "OpenType", those with
        # TrueType outlines "TrueType".
        "format": "OpenType" if is_cff else "TrueType",
        "copyrightNotice": copyright_notice,
    }
    version = _semantic_version(name(VERSION))
    if version is not None:
        info["version"] = version
    designer = name(DESIGNER)
    if designer is not None:
        info["designers"] = [{"person": _entity(designer, name(DESIGNER_URL))}]
    foundry = name(MANUFACTURER)
    if foundry is not None:
        info["designFoundry"] = _entity(foundry, name(VENDOR_URL))
    identifier = name(UNIQUE_ID)
    if identifier is not None:
        info["identifier"] = identifier
    return info, [], name(FULL_NAME)


def _style(os2: Any, head: Any) -> str:
    selection = getattr(os2, "fsSelection", None)
    if isinstance(selection, int):
        if selection & (1 << 9):
            return "Oblique"
        if selection & 1:
            return "Italic"
        return "Regular"
    return "Italic" if getattr(head, "macStyle", 0) & 2 else "Regular"


def _semantic_version(text: Optional[str]) -> Optional[str]:
    """A semantic version that the name table's version string spells out
    (e.g. "Version 7.0.4"); None when it holds none (a "2.37" is left out
    rather than guessed at)."""
    if text is None:
        return None
    for word in re.split(r"[\s;,]+", text):
        if _SEMVER.fullmatch(word):
            return word
    return None


def _entity(name: str, url: Optional[str]) -> Dict[str, str]:
    entity = {"name": name}
    if url is not None and _URL.fullmatch(url):
        entity["url"] = url
    return entity


# font-info.cddl, field by field: what each value must be.
_STYLES = ("Normal", "Italic", "Oblique", "Roman", "Regular")
_WEIGHT_NAMES = ("Microline", "Hairline", "UltraThin", "ExtraThin", "Thin", "UltraLight", "ExtraLight", "Light",
                 "SemiLight", "Book", "Normal", "Regular", "Medium", "DemiBold", "SemiBold", "Bold", "Heavy",
                 "ExtraBold", "UltraBold", "SemiBlack", "Black", "ExtraBlack", "UltraBlack", "MegaBlack")
_REQUIRED = ("fullName", "familyName", "style", "weight", "postScriptName", "format", "copyrightNotice")
_DATE = re.compile(r"\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}(\.\d+)?(Z|[+-]\d{2}:\d{2})")  # RFC 3339 (tdate)


def check(value: Mapping[str, Any], partial: bool = False) -> List[str]:
    """Where `value` does not fit font-info-map (C2PA 2.2, 18.22,
    font-info.cddl), one line each; [] when it fits. `partial` checks the
    fields present only."""
    problems: List[str] = []

    def text(field: str, item: Any) -> bool:
        if not isinstance(item, str) or not item:
            problems.append(f"{field} is not a non-empty string")
            return False
        return True

    def url(field: str, item: Any) -> None:
        if text(field, item) and not re.fullmatch(r"https?://\S+", item):
            problems.append(f"{field} is not an http or https URL")

    def date(field: str, item: Any) -> None:
        if text(field, item) and not _DATE.fullmatch(item):
            problems.append(f"{field} is not an RFC 3339 date and time (e.g. 2026-01-31T00:00:00Z)")

    def entity(field: str, item: Any) -> None:
        if not isinstance(item, dict) or set(item) - {"name", "url"} or "name" not in item:
            problems.append(f"{field} is not a map of name and, optionally, url")
            return
        text(f"{field}.name", item["name"])
        if "url" in item:
            url(f"{field}.url", item["url"])

    if not isinstance(value, Mapping):
        return ["font.info is not a map"]
    if not partial:
        problems.extend(f"{field} is missing" for field in _REQUIRED if field not in value)
    for field, item in value.items():
        if field in ("fullName", "familyName", "copyrightNotice", "identifier"):
            text(field, item)
        elif field == "version":
            if text(field, item) and not _SEMVER.fullmatch(item):
                problems.append("version is not a semantic version")
        elif field == "postScriptName":
            if text(field, item) and not _POSTSCRIPT.fullmatch(item):
                problems.append("postScriptName has characters C2PA 2.2, 18.22 does not admit")
        elif field == "versionUrl":
            url(field, item)
        elif field == "releaseDate":
            date(field, item)
        elif field == "style":
            if item not in _STYLES:
                problems.append(f"style is not one of {', '.join(_STYLES)}")
        elif field == "format":
            if item not in ("TrueType", "OpenType"):
                problems.append("format is not TrueType or OpenType")
        elif field == "weight":
            if not isinstance(item, dict) or set(item) != {"class", "value"} or item["class"] not in _WEIGHT_NAMES \
                    or not isinstance(item["value"], int) or isinstance(item["value"], bool) \
                    or not 1 <= item["value"] <= 1000:
                problems.append("weight is not a map of class (a weight name) and value (1 to 1000)")
        elif field in ("copyrightHolder", "designFoundry", "sourceFoundry"):
            entity(field, item)
        elif field == "copyrightYears":
            if not isinstance(item, list) or not item or not all(
                    isinstance(year, int) and not isinstance(year, bool) and 1 <= year <= 9999 for year in item):
                problems.append("copyrightYears is not a list of years from 1 to 9999")
        elif field == "designers":
            if not isinstance(item, list) or not item:
                problems.append("designers is not a non-empty list")
                continue
            for index, designer in enumerate(item):
                where = f"designers[{index}]"
                if not isinstance(designer, dict) or "person" not in designer or set(designer) - {
                        "person", "foundry", "contribution", "startDate", "endDate"}:
                    problems.append(f"{where} is not a map of person and, optionally, foundry, contribution, "
                                    "startDate and endDate")
                    continue
                entity(f"{where}.person", designer["person"])
                if "foundry" in designer:
                    entity(f"{where}.foundry", designer["foundry"])
                if "contribution" in designer:
                    text(f"{where}.contribution", designer["contribution"])
                for moment in ("startDate", "endDate"):
                    if moment in designer:
                        date(f"{where}.{moment}", designer[moment])
        else:
            problems.append(f"{field} is not a field of font.info")
    return problems
