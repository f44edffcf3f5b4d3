"""The table both benchmark scripts print."""

from __future__ import annotations

from collections.abc import Sequence


def print_columns(headers: Sequence[str], lines: Sequence[Sequence[str]]) -> None:
    """The first column left-aligned, the others right-aligned, a rule under the headers."""
    widths = [max(len(h), *(len(line[i]) for line in lines)) for i, h in enumerate(headers)]

    def render(cells: Sequence[str]) -> str:
        first = cells[0].ljust(widths[0])
        rest = (cell.rjust(width) for cell, width in zip(cells[1:], widths[1:]))
        return "  ".join((first, *rest))

    print(render(headers))
    print("  ".join("-" * w for w in widths))
    for line in lines:
        print(render(line))
