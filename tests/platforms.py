"""What the tests expect that differs between Windows and POSIX, kept as data
here so that one test covers both."""

from __future__ import annotations

import os
import sys

WINDOWS = sys.platform == "win32"


def address(obj: object) -> str:
    """id(obj) as a repr shows it: CPython's %p is the C library's, padded
    and in capitals on Windows."""
    return f"0x{id(obj):016X}" if WINDOWS else f"{id(obj):#x}"


def utf8_pipes(env: dict[str, str] | None = None) -> dict:
    """subprocess arguments for a child Python whose pipes carry UTF-8, as
    they do on Linux: on Windows a pipe takes the ANSI code page (1252 under
    Wine), which has no Chinese."""
    return {"env": {**(os.environ if env is None else env), "PYTHONIOENCODING": "utf-8"}, "encoding": "utf-8"}
