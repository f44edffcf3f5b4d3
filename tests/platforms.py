"""What the tests expect that differs between Windows and POSIX, kept as data
here so that one test covers both."""

from __future__ import annotations

import os
import re
import signal
import sys
import sysconfig
from pathlib import Path

import pytest

WINDOWS = sys.platform == "win32"

# Text mode writes each "\n" as the platform's line break: accounts.json,
# and what a child prints.
LINE_BREAK = "\r\n" if WINDOWS else "\n"
# Windows' Credential Manager compares entry names regardless of case.
CASE_BLIND_CREDENTIALS = WINDOWS
# The status of a child that Popen.kill() ended: SIGKILL, or TerminateProcess(1).
KILLED = 1 if WINDOWS else -getattr(signal, "SIGKILL", 9)


def text_mode[Text: (str, bytes)](content: Text) -> Text:
    """`content`, written with "\n" for line breaks, as text mode writes it here."""
    if isinstance(content, bytes):
        return content.replace(b"\n", LINE_BREAK.encode())
    return content.replace("\n", LINE_BREAK)


def os_error(errno_: int, winerror: int, filename: str | Path) -> tuple[type[OSError], str]:
    """The type and text of the OSError this platform's calls raise for one
    failure: errno_ on POSIX, the Win32 error on Windows."""
    if WINDOWS:
        import ctypes

        # CPython drops the message's closing dot and whitespace.
        message = re.sub(r"[\s.]+$", "", ctypes.FormatError(winerror))
        error = OSError(None, message, str(filename), winerror)
    else:
        error = OSError(errno_, os.strerror(errno_), str(filename))
    return type(error), str(error)


def mode(posix_mode: int, *, folder: bool = False) -> int:
    """The permission bits stat shows for a file made with `posix_mode`:
    Windows keeps only the read-only attribute (from the owner-write bit)."""
    if not WINDOWS:
        return posix_mode
    bits = 0o666 if posix_mode & 0o200 else 0o444
    return bits | 0o111 if folder else bits


def command(name: str) -> Path:
    """The launcher pip installed for a package's command, in the scripts
    folder of this interpreter: bin/ on POSIX, Scripts\\ with .exe on Windows."""
    return Path(sysconfig.get_path("scripts")) / (f"{name}.exe" if WINDOWS else name)


def address(obj: object) -> str:
    """id(obj) as a repr shows it: CPython's %p is the C library's, padded
    and in capitals on Windows."""
    return f"0x{id(obj):016X}" if WINDOWS else f"{id(obj):#x}"


def utf8_pipes(env: dict[str, str] | None = None) -> dict:
    """subprocess arguments for a child Python whose pipes carry UTF-8, as
    they do on Linux: on Windows a pipe takes the ANSI code page (1252 under
    Wine), which has no Chinese."""
    return {"env": {**(os.environ if env is None else env), "PYTHONIOENCODING": "utf-8"}, "encoding": "utf-8"}


# What only POSIX has; rows about it are skipped elsewhere, with the reason.
mkfifo = getattr(os, "mkfifo", None)
no_fifos = pytest.mark.skipif(WINDOWS, reason="FIFOs: Windows has no named pipes in folders")
no_symlinks = pytest.mark.skipif(
    WINDOWS, reason="symbolic links: Windows needs a privilege for them, and Wine 8 makes none")
no_rlimits = pytest.mark.skipif(WINDOWS, reason="RLIMIT_FSIZE: Windows has no file-size limit to cut a write")

# What a plain open() of accounts.json may meet while another process moves a
# new file over it: nothing on POSIX; on Windows the old file is on its way
# out and refuses to open (ERROR_ACCESS_DENIED) for a moment.
REPLACED_WHILE_OPENING: tuple[type[OSError], ...] = (PermissionError,) if WINDOWS else ()
