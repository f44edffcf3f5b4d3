"""What the native sources may ask of CPython, checked as text.

Every difference between interpreter releases lives in
native/frame/python_compat.hpp: no other file may call a private `_Py`
function or test the interpreter's version, and every call outside the
documented, stable API must be listed in that header with its reason.
"""

from __future__ import annotations

import re
from pathlib import Path

import pytest

NATIVE = Path(__file__).resolve().parents[1] / "native"
COMPAT = NATIVE / "frame" / "python_compat.hpp"
SOURCES = sorted(path for path in NATIVE.rglob("*") if path.suffix in {".cpp", ".hpp"} and path != COMPAT)

# Uses that only the compatibility header may make.
FORBIDDEN = {
    "a private CPython name": re.compile(r"\b_Py[A-Za-z]\w*"),
    "a test of the interpreter's version": re.compile(r"^\s*#\s*(el)?if.*\bPY_(VERSION_HEX|MAJOR_VERSION|MINOR_VERSION)\b"),
}
# Calls and fields outside the stable, documented API: each must be listed
# (by this name) in the header's comment, with why it is needed.
UNSTABLE = re.compile(r"\bPyUnstable_\w+|\bd_method\b|\btp_version_tag\b|\bPyFrame_New\b")


def code_of(path: Path) -> list[tuple[int, str]]:
    """The lines of a C++ file without its comments and string literals."""
    text = path.read_text(encoding="utf-8")
    text = re.sub(r"/\*.*?\*/", lambda m: "\n" * m.group().count("\n"), text, flags=re.S)
    lines = []
    for number, line in enumerate(text.splitlines(), 1):
        line = re.sub(r'"(\\.|[^"\\])*"', '""', line)
        lines.append((number, line.split("//", 1)[0]))
    return lines


def listed_in_compat() -> set[str]:
    comment = "\n".join(line for line in COMPAT.read_text(encoding="utf-8").splitlines() if line.startswith("//"))
    return set(UNSTABLE.findall(comment)) | set(re.findall(r"::(\w+)", comment))


@pytest.mark.parametrize("rule", FORBIDDEN)
def test_only_the_compatibility_header_knows_interpreter_internals(rule):
    found = [f"{path.relative_to(NATIVE)}:{number}: {line.strip()}"
             for path in SOURCES for number, line in code_of(path) if FORBIDDEN[rule].search(line)]
    assert not found, f"{rule} outside {COMPAT.name}:\n" + "\n".join(found)


def test_every_call_outside_the_stable_api_is_listed_with_its_reason():
    listed = listed_in_compat()
    used = {name for path in SOURCES for _, line in code_of(path) for name in UNSTABLE.findall(line)}
    assert used, "the pattern no longer finds anything: check it against the sources"
    assert used <= listed, f"not listed in {COMPAT.name}: {sorted(used - listed)}"
