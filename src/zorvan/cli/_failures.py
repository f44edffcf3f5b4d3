"""The one place where a failure becomes the line the user reads and the
exit status scripts test: 1 file system or output, 2 bad input, 3
credential manager, 130 Ctrl-C.

Handlers raise; they never print errors or pick exit statuses themselves.
Only the error path imports this module.
"""

from __future__ import annotations

import os
import sys
from argparse import Namespace
from pathlib import Path

from zorvan.cli._errors import AccountsFileError, CliInputError, CredentialManagerFailure, OutputFailure, UsageError
from zorvan.errors import ZorvanError

TYPE_CHECKING = False
if TYPE_CHECKING:
    from zorvan.cli._account import Saving

EXIT_FILES = 1
EXIT_INPUT = 2
EXIT_KEYRING = 3

_VERBS = {"write": "保存密码", "read": "读取密码", "delete": "删除密码"}


def describe(exc: BaseException, args: Namespace | None) -> tuple[int, str] | None:
    """(exit status, one line) for a failure the command line knows, else None."""
    described = _describe(exc, args)
    if described is None or described[0] == EXIT_KEYRING:
        return described
    # A save that failed after its password was written says so: the
    # credential manager then holds a password the file does not list.
    return described[0], described[1] + _written_note(args)


def _describe(exc: BaseException, args: Namespace | None) -> tuple[int, str] | None:
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
    if isinstance(exc, OutputFailure):
        return EXIT_FILES, f"无法写出输出：{exc}"
    if isinstance(exc, OSError):
        return EXIT_FILES, _os_error_line(exc, args)
    if isinstance(exc, UnicodeEncodeError):  # the store writing accounts.json back
        from zorvan.cli._accounts_file import UNWRITABLE, UNWRITABLE_ADVICE

        return EXIT_FILES, f"账号文件{UNWRITABLE}，无法写回；{UNWRITABLE_ADVICE}"
    if isinstance(exc, (AccountsFileError, ZorvanError)):
        return EXIT_FILES, str(exc)
    return None


def interrupted_line(args: Namespace | None) -> str:
    """The line for Ctrl-C: what a save had done by then."""
    saving: Saving | None = getattr(args, "saving", None)
    if saving is None:
        return "已取消"
    if not saving.guarded.write_started:
        return "已取消：没有写入任何内容"
    return "已取消：密码可能已经写入系统凭据管理器；重新执行这条 account save 命令即可修复这个账号"


def _written_note(args: Namespace | None) -> str:
    saving: Saving | None = getattr(args, "saving", None)
    if saving is None or saving.done or not saving.guarded.write_done:
        return ""
    written = "新密码已经替换了系统凭据管理器中原来的密码" if saving.held else "密码已经写入系统凭据管理器"
    if not saving.new:
        return f"；{written}，accounts.json 保持原样；问题解决后重新执行这条 account save 命令即可"
    note = f"；{written}，但 accounts.json 中没有账号 `{saving.name}`；问题解决后重新执行这条 account save 命令"
    if not saving.held:
        note += f"，或执行 zorvan account delete --name {saving.name} 删除这个密码"
    return note


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


# gnome-keyring-daemon --unlock reads the password up to the end of its
# input, a final line break included, and does nothing at all when a daemon
# is running already (a keyring call starts one through D-Bus); --replace
# takes the running one's place, unlocking or creating the login keyring.
_REPLACE_DAEMON = 'read -rs p && printf %s "$p" | gnome-keyring-daemon --replace --unlock --components=secrets'
_NO_NEWLINE = "（交给守护进程的密码不能带最后的换行，所以用 printf %s，不要用 echo）"

# Advice by kind of error, then by platform: the Secret Service's errors
# come from Linux and the other Unix systems, a refused keychain from macOS.
_ADVICE = {
    "locked": {
        "posix": "密钥环已锁定：请在桌面的密钥环程序（如“密码和密钥”）中解锁；没有桌面时（如通过 SSH 登录）"
        f"执行 {_REPLACE_DAEMON}，输入密钥环密码后回车，然后重试{_NO_NEWLINE}",
        "macos": "钥匙串已锁定或拒绝了访问：请在弹出的窗口中允许访问，或执行 security unlock-keychain "
        "解锁登录钥匙串，然后重试",
    },
    "uninitialised": {
        "posix": "Secret Service 没有可用的默认密钥环（守护进程启动时没有登录密码，通过 SSH 登录时常见）："
        f"请在桌面的密钥环程序中创建默认密钥环；没有桌面时执行 {_REPLACE_DAEMON}，"
        f"输入一个新密码后回车，创建并解锁 login 密钥环，然后重试{_NO_NEWLINE}",
    },
    "missing": {
        "posix": "请安装并解锁 Secret Service（例如 gnome-keyring，Debian/Ubuntu 可执行 "
        "apt-get install gnome-keyring），然后运行 zorvan account doctor 检查",
        "macos": "请确认 macOS 钥匙串可以使用（“钥匙串访问”中的登录钥匙串存在并已解锁），"
        "然后运行 zorvan account doctor 检查",
        "windows": "请确认 Windows 凭据管理器可以使用，并且安装了 keyring 在 Windows 上需要的 pywin32-ctypes，"
        "然后运行 zorvan account doctor 检查",
    },
}
_DOCTOR_ADVICE = "可用 zorvan account doctor 检查"


def _platform_advice(kind: str) -> str:
    from zorvan.config import PLATFORM

    return _ADVICE[kind].get(PLATFORM, _DOCTOR_ADVICE)


def _advice(failure: CredentialManagerFailure) -> str:
    kind = (failure.error_type or "").rpartition(".")[2]
    if kind in ("KeyringLocked", "LockedException"):
        return _platform_advice("locked")
    if kind == "InitError":
        return _platform_advice("uninitialised")
    if _without_session_bus() and _needs_session_bus(failure):
        return _NO_BUS_ADVICE
    return _DOCTOR_ADVICE


def _needs_session_bus(failure: CredentialManagerFailure) -> bool:
    # The Secret Service backends, and keyring finding no backend at all,
    # which on Linux usually means that the Secret Service was not reachable.
    names = f"{failure.backend} {failure.error_type}"
    return any(word in names for word in ("SecretService", "libsecret", "secretstorage", "jeepney", "NoKeyringError"))


_NO_BUS_ADVICE = (
    "当前没有 D-Bus 会话（没有图形界面的服务器或 SSH 登录时常见），Secret Service 无法使用："
    "请在 dbus-run-session 启动的会话中先解锁密钥环，再运行 zorvan，例如 dbus-run-session -- bash -c "
    "'read -rsp 密钥环密码： p && printf %s \"$p\" | gnome-keyring-daemon --unlock --components=secrets && zorvan …'"
    + _NO_NEWLINE
)


def _without_session_bus() -> bool:
    return sys.platform.startswith("linux") and not os.environ.get("DBUS_SESSION_BUS_ADDRESS")


def _missing_backend_advice() -> str:
    if _without_session_bus():
        return _NO_BUS_ADVICE
    return _platform_advice("missing")


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
