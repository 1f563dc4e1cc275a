"""Which action names `sign --action` records (C2PA 2.2, 18.14.1).

Held here until the library's own check lands
(glyphward_c2pa.assertions.actions.check_action, raising SigningError as
this one does); arguments.action_name then imports that one instead.
"""
from __future__ import annotations

import re

# C2PA 2.2, 18.14.1, Table 8, less what --action cannot record: c2pa.created
# and c2pa.opened, which glyphward records itself (18.14.2: one of them
# begins the actions); c2pa.placed and c2pa.removed, which name a componentOf
# ingredient, and c2pa.redacted, which names the assertion it redacted
# (15.10.3.2.2): an action given by name alone would not validate; and
# c2pa.color_adjustments, deprecated (in Table 8 and 18.14.11, whose list
# "shall no longer be written").
C2PA_ACTIONS = (
    "c2pa.addedText", "c2pa.adjustedColor", "c2pa.changedSpeed", "c2pa.converted", "c2pa.cropped",
    "c2pa.deleted", "c2pa.drawing", "c2pa.dubbed", "c2pa.edited", "c2pa.edited.metadata", "c2pa.enhanced",
    "c2pa.filtered", "c2pa.orientation", "c2pa.published", "c2pa.repackaged", "c2pa.resized",
    "c2pa.transcoded", "c2pa.translated", "c2pa.trimmed", "c2pa.unknown", "c2pa.watermarked",
)
# C2PA 2.2, 18.14.1, Table 9: the font actions.
FONT_ACTIONS = (
    "font.charactersAdded", "font.charactersDeleted", "font.charactersModified", "font.createdFromVariableFont",
    "font.edited", "font.hinted", "font.merged", "font.openTypeFeatureAdded", "font.openTypeFeatureModified",
    "font.openTypeFeatureRemoved", "font.subset",
)
# C2PA 2.2, 6.2.1: an entity's namespace begins with its Internet domain
# name, reversed as Java packages are (com.litware); its components follow
# the ABNF's entity-component. An action of one's own is that namespace
# followed by its name: at least three components (com.example.thing), so
# that a bare "bogus.action" is no entity's action.
_ENTITY_ACTION = re.compile(r"[A-Za-z0-9][A-Za-z0-9_-]*(?:\.[A-Za-z0-9][A-Za-z0-9_-]*){2,}")
# The namespaces the standard keeps for itself: c2pa (6.2.1), font (18.14.1),
# and c2pa.font, the font actions' deprecated prefix.
_RESERVED_NAMESPACES = ("c2pa", "font")


def check_action(name: str) -> None:
    """Raises SigningError unless `name` is an action of C2PA 2.2 that a
    signer may record by name alone, or an entity's own action."""
    from glyphward_c2pa.signing import SigningError

    if name in C2PA_ACTIONS or name in FONT_ACTIONS:
        return
    namespace = name.split(".", 1)[0].lower()
    if namespace in _RESERVED_NAMESPACES:
        if name in ("c2pa.created", "c2pa.opened"):
            raise SigningError(f"{name} is recorded by glyphward itself")
        if name in ("c2pa.placed", "c2pa.removed", "c2pa.redacted"):
            raise SigningError(f"{name} needs parameters (an ingredient, a redacted assertion) that "
                               "--action cannot give")
        raise SigningError(f"{name!r} is not an action of C2PA 2.2 that can be recorded (18.14.1: "
                           f"{', '.join(FONT_ACTIONS[:3])}, ..., {', '.join(C2PA_ACTIONS[:3])}, ...)")
    if not _ENTITY_ACTION.fullmatch(name):
        raise SigningError(f"{name!r} is not an action name: one of C2PA 2.2 (font.subset, c2pa.edited, ...) "
                           "or your own under a reverse domain name (com.example.thing)")
