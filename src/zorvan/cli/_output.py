"""How the command line writes: JSON documents, aligned tables, one-line notices.

Everything meant for a person passes through `visible`, so that a name,
username or path holding terminal control sequences is shown, not obeyed,
and is written in the stream's own encoding, with a backslash escape for
what that encoding cannot show (`use_streams`). What a program reads (JSON,
--password-only) is UTF-8 whatever the code page, and exact. A stream that
cannot be written raises OutputFailure, so that the failure is reported as
the output's, never as the store's.
"""

from __future__ import annotations

import io
import os
import sys

from zorvan.cli._errors import OutputFailure

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence
    from typing import TextIO

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
    emit_exact(text)


def emit_exact(text: str) -> None:
    """`text` and a line break on stdout as UTF-8, for a program to read."""
    out = sys.stdout
    buffer = getattr(out, "buffer", None)
    if buffer is None:  # a stream of text only (an embedding program's)
        _write(out, "stdout", text + "\n")
        return
    try:
        out.flush()
        buffer.write(text.encode("utf-8") + b"\n")
    except BrokenPipeError:
        raise
    except OSError as exc:
        raise OutputFailure("stdout", exc) from None


def say(text: str) -> None:
    """One or more lines for a person on stdout."""
    _write(sys.stdout, "stdout", text + "\n")


def notice(text: str, *, fresh_line: bool = False) -> None:
    # One line on stderr, whatever the message quotes, so that scripts can
    # read it line by line.
    start = "\n" if fresh_line else ""
    _write(sys.stderr, "stderr", f"{start}zorvan: {visible(text)}\n", flush=True)


def _write(stream: TextIO | None, name: str, text: str, *, flush: bool = False) -> None:
    if stream is None:  # no such stream at all (pythonw.exe on Windows)
        return
    try:
        stream.write(text)
        if flush:
            stream.flush()
    except BrokenPipeError:
        raise  # the reader went away: nothing to report, and no one to report it to
    except OSError as exc:
        raise OutputFailure(name, exc) from None


def use_streams() -> None:
    """Human text in each stream's own encoding: what it cannot encode is
    written as a backslash escape instead of failing the command."""
    # The interpreter's own defaults both fail on a character the encoding
    # lacks: "strict", and "surrogateescape", which Windows' streams and the
    # C locale get and which helps only with surrogates (`visible` has
    # already escaped them). A handler someone chose is left alone.
    for stream in (sys.stdout, sys.stderr):
        if isinstance(stream, io.TextIOWrapper) and stream.errors in ("strict", "surrogateescape"):
            stream.reconfigure(errors="backslashreplace")


def finish_output() -> None:
    """Writes out what stdout still holds, so that a failure to do so is
    reported like any other rather than at exit."""
    _write(sys.stdout, "stdout", "", flush=True)


def discard(name: str) -> None:
    """Points a stream that failed at the null device: Python flushes it
    again at exit, and that flush must not fail a second time."""
    stream = getattr(sys, name)
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, stream.fileno())
        os.close(devnull)
    except (AttributeError, OSError, ValueError):
        pass


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
