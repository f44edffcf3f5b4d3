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

import sys
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
        # Whether a write was asked for, and whether one returned: a save
        # that fails after that has left a password behind.
        self.write_started = False
        self.write_done = False

    def get_password(self, service: str, username: str) -> str | None:
        value: object = self._call("read", self.inner.get_password, service, username)
        if value is not None and type(value) is not str:
            raise CredentialManagerFailure(
                "read", self.inner_name, problem=f"读取密码时返回了 {type(value).__name__}，而不是文本"
            )
        return value

    def set_password(self, service: str, username: str, password: str) -> None:
        self.write_started = True
        self._call("write", self.inner.set_password, service, username, password)
        self.write_done = True

    def delete_password(self, service: str, username: str) -> None:
        self.delete_failure = None
        try:
            self._call("delete", self.inner.delete_password, service, username)
        except CredentialManagerFailure as failure:
            self.delete_failure = failure
            raise

    def _call(self, action: str, method: Any, *args: str) -> Any:
        waiting = _tell_when_slow(action)
        try:
            return method(*args)
        except NoKeyringError:
            raise  # the store words this one itself
        except Exception as exc:  # noqa: BLE001  (any backend, any error)
            # `from None`: the original may quote the password; only its
            # class (and, for reads and deletes, its words) are kept.
            raise CredentialManagerFailure(action, self.inner_name, error=exc) from None
        finally:
            if waiting is not None:
                waiting.cancel()

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


# How long a call may take before the person at the terminal is told why
# nothing happens; an unlock prompt can wait for them without any limit.
SLOW_SECONDS = 1.0
_VERBS = {"load": "加载", "write": "保存密码", "read": "读取密码", "delete": "删除密码"}
# What a credential manager that does not answer is most likely waiting for.
_WAITING_FOR = {
    "posix": "它可能在等你解锁密钥环（请看桌面上是否弹出了解锁窗口）",
    "macos": "它可能在等你在弹出的窗口中允许访问钥匙串",
    "windows": "它可能在等你回应弹出的窗口",
}


def _tell_when_slow(action: str) -> Any:
    """A timer that says, after SLOW_SECONDS, what the command waits for;
    None when stderr is no terminal, where nobody would read it."""
    if sys.stderr is None or not sys.stderr.isatty():
        return None
    import threading

    from zorvan.config import PLATFORM

    line = f"正在等待系统凭据管理器{_VERBS[action]}……{_WAITING_FOR[PLATFORM]}；按 Ctrl-C 可以取消"
    timer = threading.Timer(SLOW_SECONDS, _notice_quietly, [line])
    timer.daemon = True
    timer.start()
    return timer


def _notice_quietly(line: str) -> None:
    from contextlib import suppress

    from zorvan.cli._output import notice

    # A notice that cannot be written must not end in a traceback from its thread.
    with suppress(Exception):
        notice(line)


def listed_accounts(guarded: GuardedKeyring, service: str, prefix: str) -> list[str] | None:
    """The names of the accounts whose passwords the credential manager holds
    under `service` (their entries' account part starts with `prefix`), where
    it can be searched: the Secret Service can. None where it cannot be
    searched, or the search failed."""
    members = [guarded.inner, *(getattr(guarded.inner, "backends", None) or [])]
    for backend in members:
        if backend_name(backend) != "keyring.backends.SecretService.Keyring":
            continue
        from contextlib import closing

        try:
            collection = backend.get_preferred_collection()
            # Searched by the backend's own attribute names (its scheme).
            query = backend._query(service)
            key = backend.schemes[backend.scheme]["username"]
            with closing(collection.connection):
                found = [item.get_attributes().get(key, "") for item in collection.search_items(query)]
        except Exception:  # noqa: BLE001  (a search that fails only means no list)
            return None
        return sorted(name[len(prefix):] for name in found if name.startswith(prefix))
    return None


def guard() -> GuardedKeyring:
    """The active backend behind a GuardedKeyring, installed as keyring's own.

    Loading the backend runs whatever PYTHON_KEYRING_BACKEND or keyringrc
    names; any error of that becomes a failure of action "load".
    """
    waiting = _tell_when_slow("load")
    try:
        active = keyring.get_keyring()
    except Exception as exc:  # noqa: BLE001  (whatever the named module raises)
        raise CredentialManagerFailure("load", None, error=exc) from None
    finally:
        if waiting is not None:
            waiting.cancel()
    if isinstance(active, GuardedKeyring):
        return active
    guarded = GuardedKeyring(active)
    keyring.set_keyring(guarded)
    return guarded

