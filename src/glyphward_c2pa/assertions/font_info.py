"""The font information assertion, `font.info` (C2PA 2.2, 18.22), made from
the font's own `name`, `OS/2` and `head` tables with fontTools."""
from __future__ import annotations

import io
import re
from typing import Any, Dict, List, Optional, Tuple, Union

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


def build(font: Union[bytes, memoryview]) -> Tuple[Optional[Dict[str, Any]], List[str]]:
    """The assertion's value, or None with the reasons when a field the
    assertion requires cannot be filled from the font. Fields the font lacks
    and that are optional are left out."""
    from fontTools.ttLib import TTFont

    try:
        ttfont = TTFont(io.BytesIO(font if isinstance(font, bytes) else bytes(font)), lazy=True)
        names = ttfont["name"] if "name" in ttfont else None
        os2 = ttfont["OS/2"] if "OS/2" in ttfont else None
        head = ttfont["head"] if "head" in ttfont else None
        is_cff = "CFF " in ttfont or "CFF2" in ttfont
    except Exception as error:  # fontTools raises many kinds on damaged tables
        return None, [f"fontTools cannot read the font's name, OS/2 and head tables ({error})"]

    def name(name_id: int) -> Optional[str]:
        text = names.getDebugName(name_id) if names is not None else None
        text = text.strip() if isinstance(text, str) else None
        return text or None

    missing: List[str] = []
    full_name = name(FULL_NAME)
    family = name(TYPOGRAPHIC_FAMILY) or name(FAMILY)
    postscript = name(POSTSCRIPT)
    copyright_notice = name(COPYRIGHT)
    for field, value in (("fullName (name ID 4)", full_name), ("familyName (name ID 16 or 1)", family),
                         ("copyrightNotice (name ID 0)", copyright_notice)):
        if value is None:
            missing.append(f"the font has no {field}")
    if postscript is None:
        missing.append("the font has no postScriptName (name ID 6)")
    elif not _POSTSCRIPT.fullmatch(postscript):
        missing.append(f"its PostScript name {postscript!r} is not one C2PA 2.2, 18.22 admits")
    weight = getattr(os2, "usWeightClass", None)
    if not isinstance(weight, int) or not 1 <= weight <= 1000:
        missing.append("the font has no OS/2 usWeightClass from 1 to 1000")
    if os2 is None and head is None:
        missing.append("the font has neither an OS/2 nor a head table to tell its style")
    if missing:
        return None, missing

    assert isinstance(weight, int)
    info: Dict[str, Any] = {
        "fullName": full_name,
        "familyName": family,
        "style": _style(os2, head),
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
    return info, []


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
