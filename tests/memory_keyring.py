"""An in-memory keyring backend whose failures can be switched on at will.

Tests install it with ``keyring.set_keyring`` (see the ``memory_keyring``
fixture in conftest.py) to drive the credential store through every way a
real backend can let it down, without touching any keyring on the machine.
"""

from __future__ import annotations

from typing import NamedTuple

from keyring.backend import KeyringBackend
from keyring.compat import properties
from keyring.errors import NoKeyringError, PasswordDeleteError, PasswordSetError

FAILURES = frozenset(
    {"no_backend", "no_backend_subclass", "set_error", "bad_type"}
)

# What get_password hands back under fail="bad_type": something a real
# backend should never return, to check callers don't trust it blindly.
BAD_VALUE = b"x"


class UnavailableBackendError(NoKeyringError):
    """A backend-specific flavour of "no keyring", as third-party backends raise."""


class Call(NamedTuple):
    # Deliberately no password field: the log must be safe to print in a
    # failing assertion.
    method: str
    service: str
    username: str


class MemoryKeyring(KeyringBackend):
    """Secrets kept in a dict keyed by (service, username).

    ``fail`` selects a failure mode (None for normal operation, or one of
    FAILURES); ``calls`` records every operation attempted, in order.
    """

    @properties.classproperty
    def priority(cls) -> float:
        # Below the always-present fail backend (0) and outside the chainer
        # (> 0), so keyring's auto-detection can never pick this class, yet
        # still a number so it loads if named in PYTHON_KEYRING_BACKEND.
        return -100

    def __init__(self) -> None:
        super().__init__()
        self.secrets: dict[tuple[str, str], str] = {}
        self.calls: list[Call] = []
        self.fail: str | None = None

    def _begin(self, method: str, service: str, username: str) -> None:
        self.calls.append(Call(method, service, username))
        if self.fail is not None and self.fail not in FAILURES:
            # A typo in a test would otherwise silently mean "no failure".
            raise ValueError(f"unknown failure mode {self.fail!r}")
        if self.fail == "no_backend":
            raise NoKeyringError("no keyring backend available (simulated)")
        if self.fail == "no_backend_subclass":
            raise UnavailableBackendError("keyring backend unavailable (simulated)")

    def get_password(self, service: str, username: str) -> str | None:
        self._begin("get_password", service, username)
        if self.fail == "bad_type":
            return BAD_VALUE  # type: ignore[return-value]
        return self.secrets.get((service, username))

    def set_password(self, service: str, username: str, password: str) -> None:
        self._begin("set_password", service, username)
        if self.fail == "set_error":
            raise PasswordSetError("could not store the password (simulated)")
        self.secrets[(service, username)] = password

    def delete_password(self, service: str, username: str) -> None:
        self._begin("delete_password", service, username)
        try:
            del self.secrets[(service, username)]
        except KeyError:
            # Same contract as keyring's own backends for a missing entry.
            raise PasswordDeleteError("no such password") from None
