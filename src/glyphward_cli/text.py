"""Text a font supplies, made safe to print: on a terminal, where a control
character could move the cursor and make a title print "asset: valid" over
"asset: NOT valid", and in JSON, which must be strict RFC 8259 text that any
parser accepts.

- `for_terminal(value)`: every string in `value` (a record: dicts and lists
  of strings, numbers, ...) with each character that `str.isprintable()`
  refuses written as Python writes it in a string literal: `\\t`, `\\n`,
  `\\r`, `\\xNN`, `\\uNNNN` or `\\UNNNNNNNN`. These are the C0 and C1 controls
  (ESC, CR, LF, ...), DEL, the format characters (the bidi embeddings,
  overrides and isolates U+202A to U+202E and U+2066 to U+2069, the marks
  U+200E, U+200F and U+061C, zero-width characters), the line and paragraph
  separators, spaces other than U+0020, unassigned code points, private use
  characters and lone surrogates. Other backslashes are left as they are.
- `json_text(records)`: the records as JSON, ASCII only (`ensure_ascii`: any
  other character is a `\\uNNNN` escape, a pair of them beyond U+FFFF), with
  every lone surrogate in a string (a JSON assertion's `"\\udc80"`, an
  undecodable byte in a file name) replaced by U+FFFD, so that the text
  decodes to well-formed Unicode.
- `escape_unencodable`: the error handler of standard output and error: an
  undecodable byte of a file name given on the command line (a surrogate
  from the file system's encoding) is written back as that byte, and a
  character the stream's encoding lacks (in a Latin-1 locale, say) as an
  escape, where Python would raise UnicodeEncodeError.

- `path_text(path)`: a file name as a listing or a message shows it: a
  valid UTF-8 name as it is, but for the characters `terminal_text` escapes,
  and each undecodable byte (a surrogate from the file system's encoding)
  as `\\xNN`. File names often come from whoever sent the fonts (a
  downloaded archive verified with `glyphward verify *.ttf`): a name holding
  a newline or ESC could otherwise print forged lines before its record.

Every string from a font (a title, a signer's name, an action, a status's
explanation, a remote manifest URI) goes through `for_terminal`, every file
name through `path_text`, before it is printed; JSON keeps the exact path.
"""
from __future__ import annotations

import codecs
from typing import Any, Tuple

ERRORS = "glyphward.escape"
# The help of the --json options.
JSON_HELP = ("print one JSON array (RFC 8259, ASCII only: other characters as \\u escapes; a lone surrogate "
             "in a font's text, or an undecodable byte in a file name, as U+FFFD)")


def _escaped(character: str) -> str:
    point = ord(character)
    if character in "\t\n\r":
        return {"\t": "\\t", "\n": "\\n", "\r": "\\r"}[character]
    if point < 0x100:
        return f"\\x{point:02x}"
    if point < 0x10000:
        return f"\\u{point:04x}"
    return f"\\U{point:08x}"


def terminal_text(text: str) -> str:
    """`text` with every character `str.isprintable()` refuses escaped."""
    if text.isprintable():
        return text
    return "".join(character if character.isprintable() else _escaped(character) for character in text)


def path_text(path: str) -> str:
    """`path` with every character `str.isprintable()` refuses escaped, an
    undecodable byte (surrogateescape's U+DC80 to U+DCFF) as `\\xNN`."""
    if path.isprintable():
        return path
    return "".join(f"\\x{ord(character) - 0xdc00:02x}" if "\udc80" <= character <= "\udcff"
                   else terminal_text(character) for character in path)


def for_terminal(value: Any) -> Any:
    """`value` with `terminal_text` applied to every string in it (dict keys
    included); other values as they are."""
    if isinstance(value, str):
        return terminal_text(value)
    if isinstance(value, dict):
        return {for_terminal(key): for_terminal(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [for_terminal(item) for item in value]
    return value


def _well_formed(text: str) -> str:
    try:
        text.encode("utf-8")
        return text
    except UnicodeEncodeError:
        return "".join("\ufffd" if "\ud800" <= character <= "\udfff" else character for character in text)


def for_json(value: Any) -> Any:
    """`value` with every lone surrogate in its strings (dict keys included)
    replaced by U+FFFD."""
    if isinstance(value, str):
        return _well_formed(value)
    if isinstance(value, dict):
        return {for_json(key) if isinstance(key, str) else key: for_json(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [for_json(item) for item in value]
    return value


def _unexpected(value: Any) -> str:
    """What JSON shows of a value it has no form for: never an exception."""
    from glyphward_c2pa.shown import shown

    return shown(value)


def json_text(value: Any, indent: int = 2) -> str:
    """`value` as strict RFC 8259 JSON, ASCII only (see the module's
    docstring); a value JSON has no form for is shown as a short string."""
    import json

    return json.dumps(for_json(value), indent=indent, ensure_ascii=True, allow_nan=False, default=_unexpected)


def escape_unencodable(error: UnicodeError) -> Tuple[str, int]:
    """A surrogate that stands for an undecodable byte is written as that
    byte (surrogateescape); any other character the encoding lacks as a
    backslash escape (backslashreplace)."""
    if not isinstance(error, UnicodeEncodeError):
        raise error
    try:
        return codecs.lookup_error("surrogateescape")(error)  # type: ignore[return-value]
    except UnicodeError:
        return codecs.lookup_error("backslashreplace")(error)  # type: ignore[return-value]


def protect_streams() -> None:
    """Standard output and error write with `escape_unencodable` instead of
    raising UnicodeEncodeError."""
    import io
    import sys

    try:
        codecs.lookup_error(ERRORS)
    except LookupError:
        codecs.register_error(ERRORS, escape_unencodable)
    for stream in (sys.stdout, sys.stderr):
        if isinstance(stream, io.TextIOWrapper):
            stream.reconfigure(errors=ERRORS)
