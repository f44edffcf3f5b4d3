"""Credential managers that misbehave in ways a real one can't be made to on
demand, for the command line's child processes (named in
PYTHON_KEYRING_BACKEND as ``faulty_keyring.<Class>``).

A locked or uninitialised keyring is not here: the tests make those real,
with gnome-keyring (see secret_service.py).
"""

from __future__ import annotations

import sys
import time

from keyring.backend import KeyringBackend
from keyring.compat import properties
from keyring.errors import PasswordSetError

from main_job import PlaintextFileKeyring


class _TestOnly(KeyringBackend):
    @properties.classproperty
    def priority(cls) -> float:
        # Never chosen by keyring's own detection, still loadable by name.
        return -100


class RaisingKeyring(_TestOnly):
    """Fails every call with an error of its own, worded from its arguments:
    the password among them when it is asked to store one."""

    def get_password(self, service: str, username: str) -> str | None:
        raise RuntimeError(f"backend broke reading {username}")

    def set_password(self, service: str, username: str, password: str) -> None:
        raise RuntimeError(f"backend broke storing {password!r} for {username}")

    def delete_password(self, service: str, username: str) -> None:
        raise RuntimeError(f"backend broke deleting {username}")


class RefusingKeyring(PlaintextFileKeyring):
    """The demo's file keyring, except that it refuses to store anything,
    quoting the password in its error as a careless backend might."""

    def set_password(self, service: str, username: str, password: str) -> None:
        raise PasswordSetError(f"refused to store {password!r} for {username}")


class BytesKeyring(_TestOnly):
    """Accepts everything and hands back bytes instead of a str."""

    def get_password(self, service: str, username: str) -> str | None:
        return b"not text"  # type: ignore[return-value]

    def set_password(self, service: str, username: str, password: str) -> None:
        pass

    def delete_password(self, service: str, username: str) -> None:
        pass


class KeepingKeyring(PlaintextFileKeyring):
    """The demo's file keyring, except that deleting does nothing."""

    def delete_password(self, service: str, username: str) -> None:
        pass


class SlowKeyring(PlaintextFileKeyring):
    """Says on stderr what it is asked to do, and takes its time storing,
    so that a test can interrupt a save before or in the middle of it."""

    def get_password(self, service: str, username: str) -> str | None:
        print("looking up", file=sys.stderr, flush=True)
        return super().get_password(service, username)

    def set_password(self, service: str, username: str, password: str) -> None:
        print("storing", file=sys.stderr, flush=True)
        time.sleep(60)
        super().set_password(service, username, password)


class FileLimitKeyring(PlaintextFileKeyring):
    """Stores the password, then lets the process write no file longer than
    one byte: the store's write of accounts.json then fails part-way, after
    the password, as on a disk that fills up meanwhile."""

    def set_password(self, service: str, username: str, password: str) -> None:
        import resource

        super().set_password(service, username, password)
        resource.setrlimit(resource.RLIMIT_FSIZE, (1, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
