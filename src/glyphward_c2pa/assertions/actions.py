"""The actions assertion, `c2pa.actions.v2` (C2PA 2.2, 18.14; validated as
15.10.1.2 and 15.10.3.2.2 say)."""
from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple, Union

from ..labels import DIGITAL_CREATION as DIGITAL_CREATION
from ..status import StatusLog

CREATED = "c2pa.created"
OPENED = "c2pa.opened"
PLACED = "c2pa.placed"
REMOVED = "c2pa.removed"
REDACTED = "c2pa.redacted"
TRANSCODED = "c2pa.transcoded"
REPACKAGED = "c2pa.repackaged"


# C2PA 2.2, 18.14.1, Table 9: the font actions.
FONT_ACTIONS = (
    "font.charactersAdded", "font.charactersDeleted", "font.charactersModified", "font.createdFromVariableFont",
    "font.edited", "font.hinted", "font.merged", "font.openTypeFeatureAdded", "font.openTypeFeatureModified",
    "font.openTypeFeatureRemoved", "font.subset",
)


# C2PA 2.2, 18.14.1, Table 8, less what a signer cannot record by name
# alone: c2pa.created and c2pa.opened, which glyphward records itself
# (18.14.2: one of them begins the actions); c2pa.placed and c2pa.removed,
# which name a componentOf ingredient, and c2pa.redacted, which names the
# assertion it redacted (15.10.3.2.2); and c2pa.color_adjustments,
# deprecated (Table 8 and 18.14.11, whose list "shall no longer be written").
C2PA_ACTIONS = (
    "c2pa.addedText", "c2pa.adjustedColor", "c2pa.changedSpeed", "c2pa.converted", "c2pa.cropped",
    "c2pa.deleted", "c2pa.drawing", "c2pa.dubbed", "c2pa.edited", "c2pa.edited.metadata", "c2pa.enhanced",
    "c2pa.filtered", "c2pa.orientation", "c2pa.published", "c2pa.repackaged", "c2pa.resized",
    "c2pa.transcoded", "c2pa.translated", "c2pa.trimmed", "c2pa.unknown", "c2pa.watermarked",
)
# C2PA 2.2, 6.2.1: an entity's namespace begins with its Internet domain
# name, reversed as Java packages are (com.litware). An action of one's own
# is that namespace followed by its name: at least three components
# (com.example.thing), so that a bare "bogus.action" is no entity's action.
_ENTITY_ACTION = re.compile(r"[A-Za-z0-9][A-Za-z0-9_-]*(?:\.[A-Za-z0-9][A-Za-z0-9_-]*){2,}")
# The namespaces the standard keeps for itself: c2pa (6.2.1) and font
# (18.14.1; c2pa.font, its deprecated prefix, is under c2pa).
_RESERVED_NAMESPACES = ("c2pa", "font")
# The actions whose parameter is a font-parameter-unicode-ranges-map
# (font-actions.cddl).
CHARACTER_ACTIONS = ("font.subset", "font.charactersAdded", "font.charactersDeleted", "font.charactersModified")

Action = Union[str, Tuple[str, Mapping[str, Any]]]


def name_of(action: Action) -> str:
    """The name of an action given as a name or a (name, parameters) pair."""
    return action if isinstance(action, str) else action[0] if isinstance(action, tuple) and action else ""


def check_action(name: object) -> None:
    """Raises SigningError unless `name` is an action of C2PA 2.2 that a
    signer may record by name alone (18.14.1, Tables 8 and 9), or an
    entity's own action under a reverse domain name (6.2.1)."""
    from ..signing.result import SigningError

    if not isinstance(name, str):
        raise SigningError(f"{name!r} is not an action name")
    if name in C2PA_ACTIONS or name in FONT_ACTIONS:
        return
    namespace = name.split(".", 1)[0].lower()
    if namespace in _RESERVED_NAMESPACES:
        if name in (CREATED, OPENED):
            raise SigningError(f"the action {name} is recorded by glyphward itself")
        if name in (PLACED, REMOVED, REDACTED):
            raise SigningError(f"the action {name} needs parameters (an ingredient, a redacted assertion) that "
                               "a name alone cannot give")
        raise SigningError(f"{name!r} is not an action of C2PA 2.2 that can be recorded (18.14.1: "
                           f"{', '.join(FONT_ACTIONS[:3])}, ..., {', '.join(C2PA_ACTIONS[:3])}, ...)")
    if not _ENTITY_ACTION.fullmatch(name):
        raise SigningError(f"{name!r} is not an action name: one of C2PA 2.2 (font.subset, c2pa.edited, ...) "
                           "or your own under a reverse domain name (com.example.thing)")


def recorded(given: Sequence[Action], font: bytes, parent: Optional[bytes]) -> List[Dict[str, Any]]:
    """The action entries for `given`, in order. The character actions get
    their Unicode ranges (font-parameter-unicode-ranges-map) unless the
    caller gave parameters: font.subset the characters the font maps (the
    sub-group it was stripped down to), the others what the font maps and
    its `parent` (the font it was made from) does not, or the reverse, or
    both; without a parent they get none."""
    from . import unicode_ranges

    entries: List[Dict[str, Any]] = []
    for action in given:
        name = name_of(action)  # checked with check_action by the caller
        entry: Dict[str, Any] = {"action": name}
        if isinstance(action, tuple):
            entry["parameters"] = dict(action[1])
        elif name in CHARACTER_ACTIONS:
            ranges = unicode_ranges.for_action(name, font, parent)
            if ranges:
                entry["parameters"] = {"ranges": ranges}
        entries.append(entry)
    return entries


def created(digital_source_type: str, then: Sequence[Dict[str, Any]] = ()) -> Dict[str, Any]:
    """The assertion of a new standard manifest for an asset without a
    parent: a `c2pa.created` action first, with its digital source type
    (C2PA 2.2, 18.14.2), then the actions done since (18.14.1)."""
    return {"actions": [{"action": CREATED, "digitalSourceType": digital_source_type}] + list(then)}


def opened(ingredient: Dict[str, Any], then: Sequence[Dict[str, Any]] = ()) -> Dict[str, Any]:
    """The assertion of a standard manifest whose asset has a parent: a
    `c2pa.opened` action naming the parentOf ingredient first (C2PA 2.2,
    18.14.2 and 18.15.3), then the actions done to it."""
    return {"actions": [{"action": OPENED, "parameters": {"ingredients": [ingredient]}}] + list(then)}


@dataclass
class ActionsAssertion:
    label: str
    url: str
    value: Any


# Resolves a hashed URI to an ingredient assertion of the manifest being
# validated: its relationship, or None when it does not resolve or match.
IngredientLookup = Callable[[Any], Optional[str]]


def validate(assertions: Sequence[ActionsAssertion], ingredient: IngredientLookup, standard: bool,
             log: StatusLog, claim_url: str) -> bool:
    """Checks the manifest's actions assertions, in the claim's order
    (C2PA 2.2, 15.10.3.2.2, and for a standard manifest 15.10.1.2, item 3);
    True when nothing failed."""
    ok = True

    def fail(code: str, why: str, url: str) -> None:
        nonlocal ok
        log.add(code, why, url)
        ok = False

    beginnings = 0
    for position, assertion in enumerate(assertions):
        actions = assertion.value.get("actions") if isinstance(assertion.value, dict) else None
        if not isinstance(actions, list) or not actions:
            fail("assertion.action.malformed", "the actions assertion has no list of actions", assertion.url)
            continue
        for index, action in enumerate(actions):
            name = action.get("action") if isinstance(action, dict) else None
            if not isinstance(name, str):
                fail("assertion.action.malformed", f"action {index} has no action name", assertion.url)
                continue
            parameters = action.get("parameters")
            if name in (CREATED, OPENED):
                beginnings += 1
                if position != 0 or index != 0:
                    fail("assertion.action.malformed", f"{name} is not the first action of the first actions "
                         "assertion", assertion.url)
            if name in (OPENED, PLACED, REMOVED):
                _check_ingredients(name, parameters, assertion, ingredient, fail)
            elif name in (TRANSCODED, REPACKAGED) and isinstance(parameters, dict) and "ingredients" in parameters:
                references = parameters["ingredients"]
                if not isinstance(references, list) or any(ingredient(ref) != "parentOf" for ref in references):
                    fail("assertion.action.ingredientMismatch",
                         f"{name} names an ingredient that is not this manifest's parentOf ingredient", assertion.url)
            elif name == REDACTED and not (isinstance(parameters, dict) and isinstance(parameters.get("redacted"), str)):
                fail("assertion.action.redactionMismatch", "c2pa.redacted names no redacted assertion",
                     assertion.url)
    if standard and beginnings != 1:
        fail("assertion.action.malformed",
             "no actions assertion begins with c2pa.created or c2pa.opened" if beginnings == 0 else
             "more than one c2pa.created or c2pa.opened action", claim_url)
    return ok


def _check_ingredients(name: str, parameters: Any, assertion: ActionsAssertion, ingredient: IngredientLookup,
                       fail: Callable[[str, str, str], None]) -> None:
    references = parameters.get("ingredients", parameters.get("ingredient")) if isinstance(parameters, dict) else None
    if isinstance(references, dict):  # v1 actions name a single ingredient
        references = [references]
    if not isinstance(references, list) or not references:
        fail("assertion.action.ingredientMismatch", f"{name} names no ingredient", assertion.url)
        return
    if name == OPENED:
        if len(references) != 1 or ingredient(references[0]) != "parentOf":
            fail("assertion.action.ingredientMismatch",
                 "c2pa.opened does not name exactly one parentOf ingredient of this manifest", assertion.url)
    elif name == PLACED:
        if any(ingredient(reference) != "componentOf" for reference in references):
            fail("assertion.action.ingredientMismatch",
                 "c2pa.placed names an ingredient that is not a componentOf ingredient of this manifest",
                 assertion.url)


def names(value: Any) -> List[str]:
    """The action names of an actions assertion, for display."""
    actions = value.get("actions") if isinstance(value, dict) else None
    if not isinstance(actions, list):
        return []
    return [action["action"] for action in actions if isinstance(action, dict) and isinstance(action.get("action"), str)]
