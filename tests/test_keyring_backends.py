"""The test keyring backends behave as the credential-store tests rely on."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import keyring
import pytest
from keyring.errors import NoKeyringError, PasswordDeleteError, PasswordSetError

from memory_keyring import UnavailableBackendError
from platforms import WINDOWS

SERVICE = "zorvan-seller-sprite"
ACCOUNT = "account:店铺二"


def test_credential_manager_round_trip_in_and_across_processes(credential_manager):
    keyring.set_password(SERVICE, ACCOUNT, "s3cret-店")
    assert keyring.get_password(SERVICE, ACCOUNT) == "s3cret-店"

    # The yielded environment alone must let a child reach the same store.
    child = subprocess.run(
        [sys.executable, "-c",
         "import sys, keyring; "
         "sys.stdout.buffer.write(keyring.get_password(*sys.argv[1:]).encode())",
         SERVICE, ACCOUNT],
        env=credential_manager, capture_output=True, timeout=60,
    )
    assert child.returncode == 0, child.stderr.decode(errors="replace")
    assert child.stdout.decode() == "s3cret-店"

    # Stored in the throwaway data folder, not in the user's keyring (on
    # Windows the whole Wine prefix is the tests' own).
    assert WINDOWS or (Path(credential_manager["XDG_DATA_HOME"]) / "keyrings" / "login.keyring").exists()

    keyring.delete_password(SERVICE, ACCOUNT)
    assert keyring.get_password(SERVICE, ACCOUNT) is None
    with pytest.raises(PasswordDeleteError):
        keyring.delete_password(SERVICE, ACCOUNT)


@pytest.mark.parametrize("run", [1, 2])
def test_credential_manager_starts_empty_for_each_test(credential_manager, run):
    # Whichever run comes second sees what the first left behind unless the
    # fixture clears the shared daemon between tests.
    assert keyring.get_password(SERVICE, ACCOUNT) is None
    keyring.set_password(SERVICE, ACCOUNT, "left behind")


OPERATIONS = {
    "get_password": lambda: keyring.get_password(SERVICE, ACCOUNT),
    "set_password": lambda: keyring.set_password(SERVICE, ACCOUNT, "pw"),
    "delete_password": lambda: keyring.delete_password(SERVICE, ACCOUNT),
}


@pytest.mark.parametrize(
    "fail, method, expected",
    [
        *(("no_backend", m, NoKeyringError) for m in OPERATIONS),
        *(("no_backend_subclass", m, UnavailableBackendError) for m in OPERATIONS),
        ("set_error", "set_password", PasswordSetError),
    ],
)
def test_memory_keyring_failure_raises_and_records(memory_keyring, fail, method, expected):
    memory_keyring.fail = fail
    with pytest.raises(expected) as caught:
        OPERATIONS[method]()
    # The subclass mode exists to check callers catch NoKeyringError broadly,
    # so the two modes must stay distinct.
    assert type(caught.value) is expected
    assert isinstance(caught.value, NoKeyringError) or expected is PasswordSetError
    assert memory_keyring.calls == [(method, SERVICE, ACCOUNT)]
    assert memory_keyring.secrets == {}


def test_memory_keyring_modes_that_keep_working(memory_keyring):
    memory_keyring.fail = "set_error"
    with pytest.raises(PasswordSetError):
        keyring.set_password(SERVICE, ACCOUNT, "pw")
    assert keyring.get_password(SERVICE, ACCOUNT) is None

    memory_keyring.fail = None
    keyring.set_password(SERVICE, ACCOUNT, "hunter2-zv")
    memory_keyring.fail = "bad_type"
    value = keyring.get_password(SERVICE, ACCOUNT)
    assert value is not None and not isinstance(value, str)

    memory_keyring.fail = None
    keyring.delete_password(SERVICE, ACCOUNT)
    assert keyring.get_password(SERVICE, ACCOUNT) is None
    assert "hunter2-zv" not in repr(memory_keyring.calls)
    assert [c.method for c in memory_keyring.calls] == [
        "set_password", "get_password", "set_password", "get_password",
        "delete_password", "get_password",
    ]

