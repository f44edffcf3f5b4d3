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
# Windows' Credential Manager compares entry names regardless of case.
CASE_BLIND_CREDENTIALS = WINDOWS
# The status of a child that Popen.kill() ended: SIGKILL, or TerminateProcess(1).
KILLED = 1 if WINDOWS else -getattr(signal, "SIGKILL", 9)
# What open() of accounts.json may meet while another process replaces it:
# on Windows the old file, on its way out, refuses to open for a moment.
REPLACED_WHILE_OPENING: tuple[type[OSError], ...] = (PermissionError,) if WINDOWS else ()


def text_mode[Text: (str, bytes)](content: Text) -> Text:
    """`content` with each "\n" written as text mode writes it here."""
    if not WINDOWS:
        return content
    return content.replace(b"\n", b"\r\n") if isinstance(content, bytes) else content.replace("\n", "\r\n")


def os_error(errno_: int, winerror: int, filename: str | Path) -> tuple[type[OSError], str]:
    """The type and text of the OSError raised for one failure: errno_ on
    POSIX, the Win32 error on Windows (whose text loses its closing dot)."""
    if WINDOWS:
        import ctypes

        error = OSError(None, re.sub(r"[\s.]+$", "", ctypes.FormatError(winerror)), str(filename), winerror)
    else:
        error = OSError(errno_, os.strerror(errno_), str(filename))
    return type(error), str(error)


def mode(posix_mode: int, *, folder: bool = False) -> int:
    """The permission bits stat shows for `posix_mode`: Windows has only the
    read-only attribute, from the owner-write bit."""
    if not WINDOWS:
        return posix_mode
    return (0o666 if posix_mode & 0o200 else 0o444) | (0o111 if folder else 0)


def command(name: str) -> Path:
    """The launcher pip installed for a command: bin/name, or Scripts\\name.exe."""
    return Path(sysconfig.get_path("scripts")) / (f"{name}.exe" if WINDOWS else name)


def address(obj: object) -> str:
    """id(obj) as %p shows it in a repr: padded and in capitals on Windows."""
    return f"0x{id(obj):016X}" if WINDOWS else f"{id(obj):#x}"


def utf8_pipes() -> dict:
    """subprocess arguments for a child Python printing Chinese: a Windows
    pipe takes the ANSI code page (1252 under Wine), which has none."""
    return {"env": {**os.environ, "PYTHONIOENCODING": "utf-8"}, "encoding": "utf-8"}


# What only POSIX has; rows about it are skipped elsewhere, with the reason.
mkfifo = getattr(os, "mkfifo", None)


def mksocket(path: Path) -> None:
    """A Unix socket's file at `path`, left there once the socket is closed."""
    import socket

    # Bound by its bare name: a full path can be longer than a socket's.
    with socket.socket(socket.AF_UNIX) as bound:
        folder = os.getcwd()
        os.chdir(path.parent)
        try:
            bound.bind(path.name)
        finally:
            os.chdir(folder)


no_fifos = pytest.mark.skipif(WINDOWS, reason="FIFOs: Windows has no named pipes in folders")
no_special_files = pytest.mark.skipif(
    WINDOWS, reason="sockets and device nodes: Python on Windows makes neither in folders"
)
no_symlinks = pytest.mark.skipif(WINDOWS, reason="symbolic links: Windows needs a privilege, and Wine 8 makes none")
no_fork = pytest.mark.skipif(not hasattr(os, "fork"), reason="fork(): Windows starts processes afresh")
no_rlimits = pytest.mark.skipif(WINDOWS, reason="RLIMIT_FSIZE: Windows has no file-size limit to cut a write")
