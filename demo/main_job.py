"""The main job, end to end, through the installed `zorvan` command.

Saves two Seller Sprite accounts (one with a Chinese name), lists them, shows
one, checks the store, deletes one, lists again, and prints a product address
on every storefront, echoing each command line before its output.

Everything runs against a throwaway configuration folder and a throwaway
credential manager: a private Secret Service daemon where gnome-keyring is
installed, the Windows Credential Manager of tools/wine's private Wine prefix
there, otherwise a plain-text file backend inside the throwaway folder (also
chosen by --file-keyring). HOME, the XDG folders and APPDATA of the commands
point into that folder, so the user's own keyring and configuration are never
read or written.

This module is also imported by the commands it starts, as
``main_job.PlaintextFileKeyring`` through PYTHON_KEYRING_BACKEND, which is why
the demo itself only runs under ``__main__``.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import shlex
import subprocess
import sys
import sysconfig
import tempfile
from collections.abc import Iterator
from pathlib import Path

from keyring.backend import KeyringBackend
from keyring.compat import properties
from keyring.errors import KeyringError, PasswordDeleteError

DEMO_DIR = Path(__file__).resolve().parent
TESTS_DIR = DEMO_DIR.parent / "tests"
# The launcher pip installed with this interpreter: bin/zorvan, or Scripts\zorvan.exe.
ZORVAN = Path(sysconfig.get_path("scripts")) / ("zorvan.exe" if sys.platform == "win32" else "zorvan")

KEYRING_FILE_VARIABLE = "ZORVAN_DEMO_KEYRING_FILE"
# Set by tools/wine: the Windows Credential Manager there is a throwaway one.
PRIVATE_WINDOWS_VARIABLE = "ZORVAN_PRIVATE_CREDENTIAL_MANAGER"
FILE_BACKEND = "main_job.PlaintextFileKeyring"
# Variables that could lead the commands to the user's own keyring or config.
DROPPED_VARIABLES = (
    "DBUS_SESSION_BUS_ADDRESS", "DBUS_SESSION_BUS_PID", "GNOME_KEYRING_CONTROL",
    "ZORVAN_CONFIG_DIR", "PYTHON_KEYRING_BACKEND", KEYRING_FILE_VARIABLE,
)
ASIN = "B0EXAMPLE1"
# Throwaway credentials for throwaway keyrings.
ACCOUNTS = (
    ("main", "seller@example.com", "demo-password-1"),
    ("欧洲店", "eu-seller@example.com", "演示密码-2"),
)


class PlaintextFileKeyring(KeyringBackend):
    """Passwords in plain text in the JSON file named by $ZORVAN_DEMO_KEYRING_FILE.

    Only for throwaway folders; "Plaintext" in the name is what makes
    `zorvan account doctor` warn about it.
    """

    @properties.classproperty
    def priority(cls) -> float:
        # Negative: keyring's auto-detection never picks it, but it still
        # loads when named in PYTHON_KEYRING_BACKEND.
        return -100

    def _path(self) -> Path:
        value = os.environ.get(KEYRING_FILE_VARIABLE)
        if not value:
            raise KeyringError(f"{KEYRING_FILE_VARIABLE} does not name a file")
        return Path(value)

    def _load(self) -> dict[str, dict[str, str]]:
        try:
            return json.loads(self._path().read_text(encoding="utf-8"))
        except FileNotFoundError:
            return {}

    def _dump(self, secrets: dict[str, dict[str, str]]) -> None:
        path = self._path()
        temporary = path.with_name(path.name + ".tmp")
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        with open(fd, "w", encoding="utf-8") as stream:
            json.dump(secrets, stream, ensure_ascii=False)
        os.replace(temporary, path)

    def get_password(self, service: str, username: str) -> str | None:
        return self._load().get(service, {}).get(username)

    def set_password(self, service: str, username: str, password: str) -> None:
        secrets = self._load()
        secrets.setdefault(service, {})[username] = password
        self._dump(secrets)

    def delete_password(self, service: str, username: str) -> None:
        secrets = self._load()
        try:
            del secrets[service][username]
        except KeyError:
            raise PasswordDeleteError("no such password") from None
        self._dump(secrets)


def _throwaway_home(folder: Path) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if k not in DROPPED_VARIABLES}
    for key, name in (("HOME", "home"), ("XDG_CONFIG_HOME", "config"), ("XDG_DATA_HOME", "data"),
                      ("XDG_CACHE_HOME", "cache"), ("XDG_STATE_HOME", "state"),
                      ("XDG_RUNTIME_DIR", "runtime"), ("APPDATA", "appdata")):
        path = folder / name
        path.mkdir(mode=0o700, parents=True, exist_ok=True)
        env[key] = str(path)
    return env


def file_keyring_env(folder: Path) -> dict[str, str]:
    """Environment for commands that keep passwords in a file inside ``folder``."""
    env = _throwaway_home(folder)
    env["PYTHON_KEYRING_BACKEND"] = FILE_BACKEND
    env[KEYRING_FILE_VARIABLE] = str(folder / "keyring.json")
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(DEMO_DIR), os.environ.get("PYTHONPATH")]))
    return env


@contextlib.contextmanager
def credential_manager(folder: Path, *, force_file: bool) -> Iterator[tuple[dict[str, str], bool]]:
    """(environment for the commands, whether the backend keeps secrets safely)."""
    if not force_file and os.environ.get(PRIVATE_WINDOWS_VARIABLE) == "1":
        env = _throwaway_home(folder)
        env["PYTHON_KEYRING_BACKEND"] = "keyring.backends.Windows.WinVaultKeyring"
        print("凭据管理器：Windows 凭据管理器（tools/wine 私有的 Wine 前缀），演示结束即删除演示账号。")
        try:
            yield env, True
        finally:
            for account, _, _ in ACCOUNTS:
                subprocess.run([str(ZORVAN), "account", "delete", "--name", account], env=env, capture_output=True)
        return
    if not force_file:
        sys.path.insert(0, str(TESTS_DIR))
        from secret_service import ENV_KEYS, SecretServiceUnavailable, secret_service_env

        root = folder / "secret-service"
        try:
            with secret_service_env(root) as service_env:
                env = _throwaway_home(root)
                env.update({key: service_env[key] for key in ENV_KEYS})
                print("凭据管理器：临时启动的私有 Secret Service（gnome-keyring-daemon），演示结束即关闭。")
                yield env, True
                return
        except SecretServiceUnavailable as exc:
            print(f"注意：无法启动私有 Secret Service（{exc}）。")
    print(
        "注意：本次演示的凭据管理器是临时目录里的明文文件（demo/main_job.py 中的 "
        "PlaintextFileKeyring），只用于演示；account doctor 会为此发出警告。"
    )
    yield file_keyring_env(folder), False


def run(args: list[str], env: dict[str, str], *, password: str | None = None, expect: int = 0) -> None:
    shown = shlex.join(["zorvan", *args])
    if password is not None:
        shown += "   # 密码从标准输入读入"
    print(f"\n$ {shown}", flush=True)
    result = subprocess.run(
        [str(ZORVAN), *args],
        env=env,
        input=None if password is None else password + "\n",
        stdin=subprocess.DEVNULL if password is None else None,
        text=True,
        encoding="utf-8",
    )
    if result.returncode != expect:
        raise SystemExit(f"demo: `{shown}` 的退出状态是 {result.returncode}，应为 {expect}")


def main() -> int:
    parser = argparse.ArgumentParser(description="演示 zorvan 的主要用法")
    parser.add_argument("--file-keyring", action="store_true",
                        help="不启动 Secret Service，改用临时目录里的明文文件保存密码")
    options = parser.parse_args()
    if not ZORVAN.exists():
        print(f"demo: 找不到 {ZORVAN}，请先执行 make venv 安装 zorvan", file=sys.stderr)
        return 1

    from zorvan.amazon_rufus.runtime.regionet import _MARKETPLACES
    from zorvan.config import _config_dir

    with tempfile.TemporaryDirectory(prefix="zorvan-demo-") as name:
        folder = Path(name)
        with credential_manager(folder, force_file=options.file_keyring) as (env, safe):
            print(f"配置目录：{_config_dir(environ=env)}（临时目录，演示结束即删除）")
            for account, username, password in ACCOUNTS:
                run(["account", "save", "--name", account, "--username", username, "--password-stdin"],
                    env, password=password)
            run(["account", "list"], env)
            run(["account", "get", "--name", ACCOUNTS[1][0]], env)
            run(["account", "doctor"], env, expect=0 if safe else 3)
            run(["account", "delete", "--name", ACCOUNTS[0][0]], env)
            run(["account", "list"], env)
            run(["marketplace", "list"], env)
            for country in _MARKETPLACES:
                run(["marketplace", "url", ASIN, "--country", country.lower()], env)
    return 0


if __name__ == "__main__":
    sys.exit(main())
