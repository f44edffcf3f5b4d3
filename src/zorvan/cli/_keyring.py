"""The credential manager as the command line sees it.

The store talks to whatever backend `keyring` chose. The command line puts a
`GuardedKeyring` in front of that backend, so that every failure of the
backend reaches the command line as a `CredentialManagerFailure` that says
what was being done (write, read, delete) and by which backend, without the
backend's own words where they could hold the password. The store's
behaviour is unchanged: it still sees `NoKeyringError` as it is, and turns it
into its own error.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import keyring
from keyring.backend import KeyringBackend
from keyring.compat import properties
from keyring.errors import NoKeyringError

from zorvan.cli._errors import CredentialManagerFailure

# The account part of the entry that `doctor` writes and removes, under the
# store's service. The store's entries all start with "account:", so this
# one can never be an account's.
PROBE_ACCOUNT = "zorvan-doctor-probe"


def backend_name(backend: object) -> str:
    cls = type(backend)
    return f"{cls.__module__}.{cls.__qualname__}"


class GuardedKeyring(KeyringBackend):
    """Passes every call to `inner` and tags its failures."""

    @properties.classproperty
    def priority(cls) -> float:
        # Never a candidate when keyring looks for a backend of its own.
        raise RuntimeError("only wraps the backend that keyring chose")

    def __init__(self, inner: KeyringBackend) -> None:
        # No KeyringBackend.__init__: it reads backend properties from the
        # environment, which the inner backend has done already.
        self.inner = inner
        self.inner_name = backend_name(inner)
        # The store ignores every error of a delete; it is kept here so that
        # the command line can still tell why a password outlived it.
        self.delete_failure: CredentialManagerFailure | None = None

    def get_password(self, service: str, username: str) -> str | None:
        value: object = self._call("read", self.inner.get_password, service, username)
        if value is not None and type(value) is not str:
            raise CredentialManagerFailure(
                "read", self.inner_name, problem=f"读取密码时返回了 {type(value).__name__}，而不是文本"
            )
        return value

    def set_password(self, service: str, username: str, password: str) -> None:
        self._call("write", self.inner.set_password, service, username, password)

    def delete_password(self, service: str, username: str) -> None:
        self.delete_failure = None
        try:
            self._call("delete", self.inner.delete_password, service, username)
        except CredentialManagerFailure as failure:
            self.delete_failure = failure
            raise

    def _call(self, action: str, method: Any, *args: str) -> Any:
        try:
            return method(*args)
        except NoKeyringError:
            raise  # the store words this one itself
        except Exception as exc:  # noqa: BLE001  (any backend, any error)
            # `from None`: the original may quote the password; only its
            # class (and, for reads and deletes, its words) are kept.
            raise CredentialManagerFailure(action, self.inner_name, error=exc) from None

    def check(self, service: str, username: str) -> tuple[str | None, CredentialManagerFailure | None]:
        """(the password or None, the failure) of a read that never raises."""
        try:
            return self.get_password(service, username), None
        except CredentialManagerFailure as failure:
            return None, failure
        except NoKeyringError as exc:
            return None, CredentialManagerFailure("read", self.inner_name, error=exc)

    def attempt(self, action: str, call: Callable[[], object]) -> CredentialManagerFailure | None:
        """Runs `call` (which uses this backend) and returns its failure
        instead of raising it, NoKeyringError included."""
        try:
            call()
        except CredentialManagerFailure as failure:
            return failure
        except NoKeyringError as exc:
            return CredentialManagerFailure(action, self.inner_name, error=exc)
        return None


def guard() -> GuardedKeyring:
    """The active backend behind a GuardedKeyring, installed as keyring's own.

    Loading the backend runs whatever PYTHON_KEYRING_BACKEND or keyringrc
    names; any error of that becomes a failure of action "load".
    """
    try:
        active = keyring.get_keyring()
    except Exception as exc:  # noqa: BLE001  (whatever the named module raises)
        raise CredentialManagerFailure("load", None, error=exc) from None
    if isinstance(active, GuardedKeyring):
        return active
    guarded = GuardedKeyring(active)
    keyring.set_keyring(guarded)
    return guarded

