"""A throwaway Secret Service (D-Bus session bus + gnome-keyring-daemon).

``secret_service_env(folder)`` starts a private session bus and a keyring
daemon whose "login" collection is created and unlocked up front, with HOME
and the XDG folders pointed inside ``folder`` so the user's own keyring is
never read or written. It yields a complete environment for child processes;
the pytest fixtures in conftest.py apply the same variables in-process.

Needs the Debian packages ``dbus`` and ``gnome-keyring``, plus keyring's
``secretstorage``/``jeepney`` dependencies.
"""

from __future__ import annotations

import contextlib
import os
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time
from collections.abc import Iterator
from pathlib import Path
from xml.sax.saxutils import escape as xml_escape

# Variables that point a process at the private daemon; the fixtures set
# exactly these, and restore them afterwards.
ENV_KEYS = (
    "HOME",
    "XDG_DATA_HOME",
    "XDG_CONFIG_HOME",
    "XDG_RUNTIME_DIR",
    "DBUS_SESSION_BUS_ADDRESS",
    "PYTHON_KEYRING_BACKEND",
)
# Variables that would lead a child to some other keyring daemon or bus.
DROPPED_ENV_KEYS = ("GNOME_KEYRING_CONTROL", "DBUS_SESSION_BUS_PID")

SECRET_SERVICE_BACKEND = "keyring.backends.SecretService.Keyring"
SECRETS_BUS_NAME = "org.freedesktop.secrets"
LOGIN_COLLECTION = "/org/freedesktop/secrets/collection/login"

# Unlocks the disposable login collection only; it is fed through a pipe,
# never written anywhere.
_UNLOCK_SECRET = b"zorvan-throwaway-keyring"

# sockaddr_un holds 108 bytes including the terminating NUL.
_MAX_SOCKET_PATH = 100


class SecretServiceUnavailable(RuntimeError):
    """The daemons are not installed, or did not come up in time."""


def _bus_config(socket_path: str) -> str:
    # A minimal session bus: no service directories, so nothing on the
    # machine can be auto-started on it (in particular not a second,
    # locked keyring daemon or a graphical prompter).
    address = "unix:path=" + _dbus_escape(socket_path)
    return f"""<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>{xml_escape(address)}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""


def _dbus_escape(value: str) -> str:
    return re.sub(
        rb"[^-0-9A-Za-z_/.\\*]",
        lambda m: b"%%%02x" % m.group()[0],
        value.encode(),
    ).decode("ascii")


def _require(program: str) -> str:
    path = shutil.which(program)
    if path is None:
        raise SecretServiceUnavailable(
            f"{program} is not installed (Debian: apt-get install dbus gnome-keyring)"
        )
    return path


def _stop(process: subprocess.Popen | None) -> None:
    if process is None or process.poll() is not None:
        return
    process.terminate()
    try:
        process.wait(timeout=5)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(timeout=5)


def _read_line(process: subprocess.Popen, deadline: float) -> str:
    """First line of the process's stdout, or "" on timeout or exit."""
    assert process.stdout is not None
    fd = process.stdout.fileno()
    data = b""
    while b"\n" not in data:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            return ""
        ready, _, _ = select.select([fd], [], [], remaining)
        if ready:
            chunk = os.read(fd, 4096)
            if not chunk:
                return ""
            data += chunk
    return data.split(b"\n", 1)[0].decode()


def _log_tail(path: Path) -> str:
    try:
        text = path.read_text(errors="replace").strip()
    except OSError:
        return ""
    return f"; daemon said: {text[-2000:]}" if text else ""


def _login_ready(address: str) -> bool:
    """True once the daemon owns its bus name and the login collection is
    the unlocked default."""
    import secretstorage
    from jeepney.io.blocking import open_dbus_connection

    try:
        connection = open_dbus_connection(bus=address)
    except OSError:
        return False
    with contextlib.closing(connection):
        try:
            if not secretstorage.check_service_availability(connection):
                return False
            default = secretstorage.get_default_collection(connection)
            login = secretstorage.Collection(connection, LOGIN_COLLECTION)
            return not login.is_locked() and not default.is_locked()
        except secretstorage.exceptions.SecretStorageException:
            return False


def _service_ready(address: str) -> bool:
    """True once the daemon owns its bus name, whatever its collections."""
    import secretstorage
    from jeepney.io.blocking import open_dbus_connection

    try:
        connection = open_dbus_connection(bus=address)
    except OSError:
        return False
    with contextlib.closing(connection):
        return bool(secretstorage.check_service_availability(connection))


def lock_login(address: str) -> None:
    """Lock the login collection, as the desktop does when the screen locks;
    without a prompter on the private bus, nothing can unlock it again."""
    from jeepney import DBusAddress, new_method_call
    from jeepney.io.blocking import open_dbus_connection

    service = DBusAddress("/org/freedesktop/secrets", bus_name=SECRETS_BUS_NAME,
                          interface="org.freedesktop.Secret.Service")
    with contextlib.closing(open_dbus_connection(bus=address)) as connection:
        connection.send_and_get_reply(new_method_call(service, "Lock", "ao", ([LOGIN_COLLECTION],)))


def clear_items(address: str) -> None:
    """Delete every secret in the login collection of the daemon at ``address``,
    so tests sharing one daemon start from an empty keyring."""
    import secretstorage
    from jeepney.io.blocking import open_dbus_connection

    with contextlib.closing(open_dbus_connection(bus=address)) as connection:
        login = secretstorage.Collection(connection, LOGIN_COLLECTION)
        for item in list(login.get_all_items()):
            item.delete()


@contextlib.contextmanager
def secret_service_env(
    folder: str | os.PathLike[str], timeout: float = 15.0, *, login: bool = True
) -> Iterator[dict[str, str]]:
    """Run a private bus and keyring daemon under ``folder``.

    Yields a full environment (a copy of os.environ with ENV_KEYS pointed at
    the daemon) suitable for ``subprocess.run(..., env=...)``. Both daemons
    are stopped on exit, including when start-up fails. Raises
    SecretServiceUnavailable if a daemon is missing or not ready within
    ``timeout`` seconds.

    With ``login=False`` the daemon starts without a login password, as it
    does over SSH or on a headless server: it then has no collection at all,
    and no default one to store secrets in.
    """
    if sys.platform == "win32":
        raise SecretServiceUnavailable("the Secret Service is a Linux desktop's; Windows has its Credential Manager")
    dbus_daemon = _require("dbus-daemon")
    keyring_daemon = _require("gnome-keyring-daemon")
    try:
        import jeepney  # noqa: F401
        import secretstorage  # noqa: F401
    except ImportError as exc:
        raise SecretServiceUnavailable(f"keyring's D-Bus client is missing: {exc}")

    root = Path(folder).absolute()
    dirs = {
        "HOME": root / "home",
        "XDG_DATA_HOME": root / "data",
        "XDG_CONFIG_HOME": root / "config",
        "XDG_RUNTIME_DIR": root / "runtime",
    }
    for path in dirs.values():
        path.mkdir(parents=True, exist_ok=True)
        path.chmod(0o700)

    short_dir = None
    socket_path = str(dirs["XDG_RUNTIME_DIR"] / "bus")
    if len(socket_path.encode()) > _MAX_SOCKET_PATH:
        short_dir = tempfile.mkdtemp(prefix="zv-bus-")
        socket_path = os.path.join(short_dir, "bus")
    config = root / "session-bus.conf"
    config.write_text(_bus_config(socket_path))

    env = {k: v for k, v in os.environ.items() if k not in DROPPED_ENV_KEYS}
    env.update({key: str(path) for key, path in dirs.items()})
    env["PYTHON_KEYRING_BACKEND"] = SECRET_SERVICE_BACKEND

    deadline = time.monotonic() + timeout
    bus = daemon = None
    try:
        bus = subprocess.Popen(
            [dbus_daemon, f"--config-file={config}", "--nofork", "--nopidfile",
             "--print-address=1"],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            env=env,
            close_fds=True,
        )
        # The bus prints its address only once it is listening.
        address = _read_line(bus, deadline)
        if not address:
            raise SecretServiceUnavailable(
                f"dbus-daemon did not start within {timeout}s "
                f"(exit status {bus.poll()})"
            )
        env["DBUS_SESSION_BUS_ADDRESS"] = address

        log = root / "gnome-keyring-daemon.log"
        with open(log, "wb") as log_file:
            # --unlock reads the login password from stdin and, in an empty
            # data folder, creates the "login" collection with it, unlocked
            # and set as default; no prompt, so it works headless.
            daemon = subprocess.Popen(
                [keyring_daemon, "--foreground", *(["--unlock"] if login else []), "--components=secrets",
                 f"--control-directory={dirs['XDG_RUNTIME_DIR'] / 'keyring'}"],
                stdin=subprocess.PIPE,
                stdout=log_file,
                stderr=log_file,
                env=env,
                close_fds=True,
            )
        assert daemon.stdin is not None
        # A daemon that died at once closes the pipe; the exit-status check
        # below then reports it with its log.
        with contextlib.suppress(BrokenPipeError):
            daemon.stdin.write(_UNLOCK_SECRET)
        with contextlib.suppress(BrokenPipeError):
            daemon.stdin.close()

        while not (_login_ready(address) if login else _service_ready(address)):
            if daemon.poll() is not None:
                raise SecretServiceUnavailable(
                    f"gnome-keyring-daemon exited with status {daemon.returncode}"
                    + _log_tail(log)
                )
            if time.monotonic() > deadline:
                raise SecretServiceUnavailable(
                    f"gnome-keyring-daemon was not ready within {timeout}s"
                    + _log_tail(log)
                )
            time.sleep(0.05)

        yield env
    finally:
        _stop(daemon)
        _stop(bus)
        if bus is not None and bus.stdout is not None:
            bus.stdout.close()
        if short_dir is not None:
            shutil.rmtree(short_dir, ignore_errors=True)
