"""The actions assertion, `c2pa.actions.v2` (C2PA 2.2, 18.14; validated as
15.10.1.2 and 15.10.3.2.2 say)."""
from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Sequence

from ..status import StatusLog

CREATED = "c2pa.created"
OPENED = "c2pa.opened"
PLACED = "c2pa.placed"
REMOVED = "c2pa.removed"
REDACTED = "c2pa.redacted"
TRANSCODED = "c2pa.transcoded"
REPACKAGED = "c2pa.repackaged"

# The digital source type of a font drawn by people with digital tools: the
# IPTC term "digitalCreation" (C2PA 2.2, 18.14.4.5 takes the IPTC terms).
DIGITAL_CREATION = "http://cv.iptc.org/newscodes/digitalsourcetype/digitalCreation"

# C2PA 2.2, 18.14.1, Table 9: the font actions.
FONT_ACTIONS = (
    "font.charactersAdded", "font.charactersDeleted", "font.charactersModified", "font.createdFromVariableFont",
    "font.edited", "font.hinted", "font.merged", "font.openTypeFeatureAdded", "font.openTypeFeatureModified",
    "font.openTypeFeatureRemoved", "font.subset",
)


def created(digital_source_type: str) -> Dict[str, Any]:
    """The assertion of a new standard manifest for an asset without a
    parent: a `c2pa.created` action first, with its digital source type
    (C2PA 2.2, 18.14.2)."""
    return {"actions": [{"action": CREATED, "digitalSourceType": digital_source_type}]}


def opened(ingredient: Dict[str, Any], then: Sequence[str] = ()) -> Dict[str, Any]:
    """The assertion of a standard manifest whose asset has a parent: a
    `c2pa.opened` action naming the parentOf ingredient first (C2PA 2.2,
    18.14.2 and 18.15.3), then the actions done to it."""
    return {"actions": [{"action": OPENED, "parameters": {"ingredients": [ingredient]}}] +
            [{"action": action} for action in then]}


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
