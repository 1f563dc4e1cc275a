"""The assertions glyphward writes and the checks it makes of them, one
module each: the two hard bindings (`hash_boxes`, `hash_data`), `actions`,
`font_info` and `ingredient`."""
