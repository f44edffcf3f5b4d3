"""How the command line writes: JSON documents, aligned tables, one-line notices."""

from __future__ import annotations

import json
import sys
import unicodedata
from collections.abc import Sequence


def emit_json(document: object) -> None:
    # Chinese names stay readable; one document per command, nothing else on stdout.
    print(json.dumps(document, ensure_ascii=False, indent=2))


def one_line(text: str) -> str:
    # Paths and hand-edited metadata may carry line breaks; a notice must stay
    # one line so that scripts can read stderr line by line.
    return " ".join(str(text).splitlines())


def notice(text: str) -> None:
    print(f"zorvan: {one_line(text)}", file=sys.stderr)


def _width(text: str) -> int:
    # Wide (CJK) characters take two terminal columns.
    return sum(2 if unicodedata.east_asian_width(ch) in "WF" else 1 for ch in text)


def table(headers: Sequence[str], rows: Sequence[Sequence[object]]) -> str:
    cells = [[one_line(str(cell)) for cell in row] for row in [headers, *rows]]
    widths = [max(_width(row[i]) for row in cells) for i in range(len(headers))]
    lines = []
    for row in cells:
        padded = [
            cell + " " * (widths[i] - _width(cell)) for i, cell in enumerate(row[:-1])
        ]
        lines.append("  ".join([*padded, row[-1]]))
    return "\n".join(lines)
