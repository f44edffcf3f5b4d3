"""How the command line writes: JSON documents, aligned tables, one-line notices.

Everything meant for a person passes through `visible`, so that a name,
username or path holding terminal control sequences is shown, not obeyed.
"""

from __future__ import annotations

import sys

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence

# Characters a terminal acts on instead of showing, or that reorder the text
# around them: C0 controls, DEL, C1 controls, the bidirectional marks,
# embeddings, overrides and isolates, and the Unicode line and paragraph
# separators; and lone surrogates (a hand-edited file can hold "\ud800"),
# which cannot be written out as UTF-8 at all.
_UNSAFE = frozenset(
    [*range(0x00, 0x20), *range(0x7F, 0xA0), 0x061C, 0x200E, 0x200F,
     *range(0x2028, 0x202F), *range(0x2066, 0x206A), *range(0xD800, 0xE000)]
)
# The JSON encoder escapes the C0 controls itself.
_UNSAFE_IN_JSON = frozenset(code for code in _UNSAFE if code >= 0x7F)


_SHORT_ESCAPES = {"\t": "\\t", "\n": "\\n", "\r": "\\r"}


def _escape(ch: str) -> str:
    code = ord(ch)
    if ch in _SHORT_ESCAPES:
        return _SHORT_ESCAPES[ch]
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def visible(text: object) -> str:
    """`text` with every character of _UNSAFE written as a backslash escape."""
    text = str(text)
    if not any(ord(ch) in _UNSAFE for ch in text):
        return text
    return "".join(_escape(ch) if ord(ch) in _UNSAFE else ch for ch in text)


def emit_json(document: object) -> None:
    import json

    # Chinese names stay readable; one document per command, nothing else on
    # stdout. The encoder passes DEL, C1 and the bidirectional controls
    # through raw; outside strings JSON has none of them, so escaping them in
    # the text still gives the exact same values.
    text = json.dumps(document, ensure_ascii=False, indent=2)
    if any(ord(ch) in _UNSAFE_IN_JSON for ch in text):
        text = "".join(f"\\u{ord(ch):04x}" if ord(ch) in _UNSAFE_IN_JSON else ch for ch in text)
    print(text)


def notice(text: str, *, fresh_line: bool = False) -> None:
    # One line on stderr, whatever the message quotes, so that scripts can
    # read it line by line.
    start = "\n" if fresh_line else ""
    print(f"{start}zorvan: {visible(text)}", file=sys.stderr, flush=True)


def _width(text: str) -> int:
    import unicodedata

    # Wide (CJK) characters take two terminal columns.
    return sum(2 if unicodedata.east_asian_width(ch) in "WF" else 1 for ch in text)


def table(headers: Sequence[str], rows: Sequence[Sequence[object]]) -> str:
    cells = [[visible(cell) for cell in row] for row in [headers, *rows]]
    widths = [max(_width(row[i]) for row in cells) for i in range(len(headers))]
    lines = []
    for row in cells:
        padded = [
            cell + " " * (widths[i] - _width(cell)) for i, cell in enumerate(row[:-1])
        ]
        lines.append("  ".join([*padded, row[-1]]))
    return "\n".join(lines)
