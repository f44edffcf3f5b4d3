"""The one place where a failure becomes the line the user reads and the
exit status scripts test: 1 file system, 2 bad input, 3 credential manager.

Handlers raise; they never print errors or pick exit statuses themselves.
Only the error path imports this module.
"""

from __future__ import annotations

import os
import sys
from argparse import Namespace
from pathlib import Path

from zorvan.cli._errors import AccountsFileError, CliInputError, CredentialManagerFailure, UsageError
from zorvan.errors import ZorvanError

EXIT_FILES = 1
EXIT_INPUT = 2
EXIT_KEYRING = 3

_VERBS = {"write": "保存密码", "read": "读取密码", "delete": "删除密码"}


def describe(exc: BaseException, args: Namespace | None) -> tuple[int, str] | None:
    """(exit status, one line) for a failure the command line knows, else None."""
    # The store's and the map's errors are matched by class; their modules
    # are loaded already whenever one of their errors is here.
    from zorvan.amazon_rufus.domain.exceptions import UnsupportedMarketplaceError
    from zorvan.seller_sprite.domain.exceptions import (
        InvalidCollectOptionError,
        SellerSpriteDependencyError,
    )

    if isinstance(exc, CredentialManagerFailure):
        return EXIT_KEYRING, credential_manager_line(exc)
    if isinstance(exc, SellerSpriteDependencyError):
        return EXIT_KEYRING, f"{exc}。{_missing_backend_advice()}"
    if isinstance(exc, UsageError):
        return EXIT_INPUT, f"{exc}；运行 `{exc.command} --help` 查看用法"
    if isinstance(exc, UnsupportedMarketplaceError):
        return EXIT_INPUT, str(exc) + _country_hint(getattr(args, "country", ""))
    if isinstance(exc, (CliInputError, InvalidCollectOptionError)):
        return EXIT_INPUT, str(exc)
    if isinstance(exc, OSError):
        return EXIT_FILES, _os_error_line(exc, args)
    if isinstance(exc, (AccountsFileError, ZorvanError)):
        return EXIT_FILES, str(exc)
    return None


def credential_manager_line(failure: CredentialManagerFailure) -> str:
    if failure.action == "load":
        return _load_line(failure)
    verb = _VERBS[failure.action]
    if failure.problem is not None:
        what = f"系统凭据管理器 {failure.backend} {failure.problem}"
    elif failure.error_message is None:
        # A failed write never shows the backend's words: a backend may
        # build them from its arguments, and one of them is the password.
        what = f"系统凭据管理器 {failure.backend} {verb}失败（{failure.error_type}；为免泄露密码，不显示它的说明）"
    else:
        what = f"系统凭据管理器 {failure.backend} {verb}失败（{failure.error_type}: {failure.error_message}）"
    lead = f"{failure.done}，但" if failure.done else ""
    return f"{lead}{what}；{failure.advice or _advice(failure)}"


def _load_line(failure: CredentialManagerFailure) -> str:
    cause = f"（{failure.error_type}: {failure.error_message}）"
    variable = os.environ.get("PYTHON_KEYRING_BACKEND")
    if variable and _without_session_bus() and "DBUS" in (failure.error_message or "").upper():
        return f"环境变量 PYTHON_KEYRING_BACKEND 指定的 `{variable}` 无法使用{cause}；{_NO_BUS_ADVICE}"
    if variable:
        return (
            f"环境变量 PYTHON_KEYRING_BACKEND 的值 `{variable}` 无法作为凭据管理器加载{cause}；"
            "请改正这个变量，或删除它让 keyring 自动选择"
        )
    return f"无法加载系统凭据管理器{cause}；{_missing_backend_advice()}"


def _advice(failure: CredentialManagerFailure) -> str:
    kind = (failure.error_type or "").rpartition(".")[2]
    if kind in ("KeyringLocked", "LockedException"):
        return (
            "密钥环已锁定：请在桌面的密钥环程序（如“密码和密钥”）中解锁，"
            "或执行 gnome-keyring-daemon --unlock 并输入密钥环密码，然后重试"
        )
    if kind == "InitError":
        return (
            "Secret Service 没有可用的默认密钥环（守护进程启动时没有登录密码，或通过 SSH 登录时常见）："
            "请在桌面的密钥环程序中创建默认密钥环，或执行 gnome-keyring-daemon --unlock "
            "并输入新密码，创建并解锁 login 密钥环，然后重试"
        )
    if _without_session_bus() and _needs_session_bus(failure):
        return _NO_BUS_ADVICE
    return "可用 zorvan account doctor 检查"


def _needs_session_bus(failure: CredentialManagerFailure) -> bool:
    # The Secret Service backends, and keyring finding no backend at all,
    # which on Linux usually means that the Secret Service was not reachable.
    names = f"{failure.backend} {failure.error_type}"
    return any(word in names for word in ("SecretService", "libsecret", "secretstorage", "jeepney", "NoKeyringError"))


_NO_BUS_ADVICE = (
    "当前没有 D-Bus 会话（没有图形界面的服务器或 SSH 登录时常见），Secret Service 无法使用："
    "请在 dbus-run-session 启动的会话中先执行 gnome-keyring-daemon --unlock，再运行 zorvan，"
    "例如 dbus-run-session -- sh -c 'gnome-keyring-daemon --unlock --components=secrets; zorvan …'"
)


def _without_session_bus() -> bool:
    return sys.platform.startswith("linux") and not os.environ.get("DBUS_SESSION_BUS_ADDRESS")


def _missing_backend_advice() -> str:
    if _without_session_bus():
        return _NO_BUS_ADVICE
    return (
        "请安装并解锁系统凭据管理器：macOS 钥匙串、Windows 凭据管理器，"
        "或 Linux 上的 Secret Service（例如 gnome-keyring，Debian/Ubuntu 可执行 "
        "apt-get install gnome-keyring），然后运行 zorvan account doctor 检查"
    )


def _country_hint(country: object) -> str:
    # ISO 3166 gives the United Kingdom "GB"; the map knows it as "UK".
    if isinstance(country, str) and country.strip().upper() == "GB":
        return "；英国站点的代码是 UK"
    return ""


def _os_error_line(exc: OSError, args: Namespace | None) -> str:
    paths = [os.fsdecode(p) for p in (exc.filename, exc.filename2) if isinstance(p, (str, bytes, os.PathLike))]
    if isinstance(exc, TimeoutError):
        # The store waits a while for the lock beside accounts.json that
        # another process holds, then gives up with the lock file's name.
        lock = f"锁文件 {paths[0]}" if paths else str(exc) or "锁文件 accounts.json.lock"
        return f"另一个 zorvan 进程一直占用着账号存储（{lock}），等待超时；请等它结束后重试"
    # The path is what the user can act on; the store's errors usually carry
    # it, and the configuration folder is the best guess when they don't.
    where = " → ".join(paths) if paths else str(_config_root(args))
    return f"无法读写 {where}：{exc.strerror or exc}"


def _config_root(args: Namespace | None) -> Path:
    root: Path | None = getattr(args, "config_dir", None)
    if root is None:
        from zorvan.config import CONFIG_DIR

        root = CONFIG_DIR
    return root
