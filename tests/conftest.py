from __future__ import annotations

import contextlib
import os
import signal
import subprocess

import keyring
import keyring.core
import pytest

from memory_keyring import MemoryKeyring
from platforms import WINDOWS
from secret_service import (
    DROPPED_ENV_KEYS,
    ENV_KEYS,
    SecretServiceUnavailable,
    clear_items,
    secret_service_env,
)


# A child that a fatal signal ends (a failed assertion of a debug build of the
# interpreter aborts it) fails the test that started it, even one that only
# reads its output or ends it anyway.
FATAL_SIGNALS = {signal.SIGABRT, signal.SIGSEGV, signal.SIGILL, signal.SIGFPE}
_crashed: list[str] = []


class _WatchedPopen(subprocess.Popen):
    _status = None

    @property
    def returncode(self):
        return self._status

    @returncode.setter
    def returncode(self, status):
        self._status = status
        if status is not None and -status in FATAL_SIGNALS:
            _crashed.append(f"{str(self.args)[:200]} died of {signal.Signals(-status).name}")


subprocess.Popen = _WatchedPopen


@pytest.fixture(autouse=True)
def _no_child_crashed():
    _crashed.clear()
    yield
    if _crashed:
        pytest.fail("; ".join(_crashed), pytrace=False)


@pytest.fixture
def _restore_keyring():
    # Read the module global rather than keyring.get_keyring(): the getter
    # would run backend detection first (probing the developer's desktop
    # keyring), and a test run that had chosen no backend should end that way.
    previous = keyring.core._keyring_backend
    yield
    keyring.core._keyring_backend = previous


@pytest.fixture
def memory_keyring(_restore_keyring) -> MemoryKeyring:
    """A fresh MemoryKeyring installed as keyring's backend for one test."""
    backend = MemoryKeyring()
    keyring.set_keyring(backend)
    return backend


@pytest.fixture(scope="session")
def _secret_service_daemon(tmp_path_factory):
    with contextlib.ExitStack() as stack:
        try:
            env = stack.enter_context(
                secret_service_env(tmp_path_factory.mktemp("secret-service"))
            )
        except SecretServiceUnavailable as exc:
            pytest.skip(f"no private Secret Service: {exc}")
        yield env


@pytest.fixture
def secret_service(_secret_service_daemon, _restore_keyring, monkeypatch):
    """keyring's Secret Service backend, talking to a private, unlocked
    gnome-keyring-daemon for this test; yields the environment that child
    processes need to reach the same daemon. The keyring starts empty."""
    from keyring.backends import SecretService

    env = _secret_service_daemon
    for key in ENV_KEYS:
        monkeypatch.setenv(key, env[key])
    for key in DROPPED_ENV_KEYS:
        monkeypatch.delenv(key, raising=False)
    keyring.set_keyring(SecretService.Keyring())
    yield env
    clear_items(env["DBUS_SESSION_BUS_ADDRESS"])


def _clear_windows_credentials():
    from win32ctypes.pywin32 import pywintypes, win32cred

    with contextlib.suppress(pywintypes.error):  # ERROR_NOT_FOUND: there are none
        for credential in win32cred.CredEnumerate():
            win32cred.CredDelete(credential["TargetName"], credential["Type"])


@pytest.fixture
def credential_manager(request, _restore_keyring):
    """This platform's own credential manager, private to the tests and empty
    at the start of each: `secret_service` on Linux; on Windows the Credential
    Manager, but only in tools/wine's Wine prefix (a user's holds real
    passwords). Yields the environment for child processes."""
    if not WINDOWS:
        yield request.getfixturevalue("secret_service")
        return
    if os.environ.get("ZORVAN_PRIVATE_CREDENTIAL_MANAGER") != "1":
        pytest.skip("the Windows Credential Manager here is the user's own: tests use it only under tools/wine")
    from keyring.backends.Windows import WinVaultKeyring

    _clear_windows_credentials()
    keyring.set_keyring(WinVaultKeyring())
    yield {**os.environ, "PYTHON_KEYRING_BACKEND": "keyring.backends.Windows.WinVaultKeyring"}
    _clear_windows_credentials()
