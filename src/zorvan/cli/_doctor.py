"""`zorvan account doctor`: what the account store and the credential manager
look like, and whether they work.

It changes nothing on disk. In the credential manager it writes, reads back
and removes one probe entry of its own, because only a real round trip shows
a locked, uninitialised or dropping backend: many of them load fine and
fail, or do nothing, only when used.
"""

from __future__ import annotations

import argparse
import errno
import os
import stat
from collections.abc import Callable
from pathlib import Path
from typing import Any

from keyring.backend import KeyringBackend

from zorvan.cli._accounts_file import AccountsFile, accounts_path, unwritable_message
from zorvan.cli._errors import CredentialManagerFailure
from zorvan.cli._failures import credential_manager_line
from zorvan.cli._keyring import PROBE_ACCOUNT, GuardedKeyring, backend_name, guard, listed_accounts
from zorvan.cli._output import emit_json, say, table, visible
from zorvan.config import PLATFORM
from zorvan.seller_sprite.domain.exceptions import InvalidCollectOptionError
from zorvan.seller_sprite.services import credarium
from zorvan.seller_sprite.services.credarium import SellerSpriteCredarium

# Exit status per kind of problem; the first kind found in this order wins,
# since a broken backend also explains missing passwords.
EXIT_STATUS = {"backend": 3, "file": 1, "account": 2}

# Records one problem: its kind (a key of EXIT_STATUS) and its message.
Report = Callable[[str, str], None]

# Windows has no group or other that could write a folder, only the
# read-only attribute, and os.stat shows every folder as 0777 there: the
# bits are judged only elsewhere, and the text shows them only elsewhere.
# The JSON keeps "mode" everywhere, as os.stat gives it.
_POSIX_MODES = PLATFORM != "windows"

# What people call the credential managers that keyring talks to.
_KNOWN_BACKENDS = {
    "keyring.backends.Windows.WinVaultKeyring": "Windows 凭据管理器",
    "keyring.backends.macOS.Keyring": "macOS 钥匙串",
    "keyring.backends.SecretService.Keyring": "Secret Service",
    "keyring.backends.libsecret.Keyring": "Secret Service",
    "keyring.backends.kwallet.DBusKeyring": "KDE 钱包",
}


def doctor(args: argparse.Namespace) -> int:
    meta_path = accounts_path(args.config_dir)
    store_dir = meta_path.parent
    problems: list[dict[str, str]] = []

    def problem(kind: str, message: str) -> None:
        problems.append({"kind": kind, "message": visible(message)})

    folder = _describe(store_dir, problem)
    accounts_file = _describe(meta_path, problem)
    if folder["exists"]:
        _check_folder(store_dir, problem)
    backend, chained, guarded, round_trip = _inspect_backend(problem)
    accounts: list[dict[str, Any]] = []
    unlisted: list[str] | None = None
    if folder["exists"] and folder["is_dir"]:
        # The folder exists, so building the store creates nothing.
        store = SellerSpriteCredarium(base_dir=args.config_dir)
        names = _inspect_accounts(store, meta_path, guarded, accounts, problem)
        # Passwords no account of this folder owns: another folder's accounts
        # of the same name, or what a save stopped half-way left behind.
        if guarded is not None and names is not None:
            held = listed_accounts(guarded, credarium._KEYRING_SERVICE, store._keyring_account(""))
            unlisted = None if held is None else [n for n in held if n not in names]

    status = next((EXIT_STATUS[k] for k in EXIT_STATUS if any(p["kind"] == k for p in problems)), 0)
    if args.json:
        emit_json({
            "store_dir": _public(folder),
            "accounts_file": _public(accounts_file),
            "backend": backend,
            **({"chained_backends": chained} if chained is not None else {}),
            "round_trip": round_trip,
            "accounts": accounts,
            "unlisted_passwords": unlisted,
            "problems": problems,
            "ok": not problems,
        })
    else:
        _print_report(folder, accounts_file, backend, round_trip, chained, accounts, unlisted, problems)
    return status


def _describe(path: Path, problem: Report) -> dict[str, Any]:
    info: dict[str, Any] = {"path": str(path), "exists": False, "mode": None, "is_dir": False}
    try:
        st = path.stat()
    except FileNotFoundError:
        # Where POSIX says "not a directory" for a file in place of a folder
        # above, Windows says the path is not found; both are told alike.
        if _under_a_file(path):
            problem("file", f"无法查看 {path}：{os.strerror(errno.ENOTDIR)}")
        return info
    except OSError as exc:
        problem("file", f"无法查看 {path}：{exc.strerror or exc}")
        return info
    info.update(exists=True, mode=f"{stat.S_IMODE(st.st_mode):04o}", is_dir=stat.S_ISDIR(st.st_mode))
    return info


def _under_a_file(path: Path) -> bool:
    """Whether the nearest of path's folders that exists is not a folder."""
    for parent in path.parents:
        try:
            return not stat.S_ISDIR(parent.stat().st_mode)
        except OSError:
            continue
    return False


def _public(info: dict[str, Any]) -> dict[str, Any]:
    return {k: v for k, v in info.items() if k != "is_dir"}


def _check_folder(store_dir: Path, problem: Report) -> None:
    st = store_dir.stat()
    if not stat.S_ISDIR(st.st_mode):
        problem("file", f"存储目录 {store_dir} 应当是目录")
        return
    if not os.access(store_dir, os.W_OK | os.X_OK):
        problem("file", f"存储目录 {store_dir} 不可写，账号无法保存或删除")
    if _POSIX_MODES and st.st_mode & (stat.S_IWGRP | stat.S_IWOTH):
        problem(
            "file",
            f"存储目录 {store_dir} 可被其他用户写入（权限 {stat.S_IMODE(st.st_mode):04o}），"
            f"别人可以替换其中的账号文件；请执行 chmod go-w {store_dir}",
        )


def _inspect_backend(
    problem: Report,
) -> tuple[str | None, list[str] | None, GuardedKeyring | None, bool | None]:
    """(class name, names of chained backends or None, the backend when its
    round trip worked well enough for reading passwords, whether the round
    trip passed, None when no backend could be loaded)."""
    try:
        guarded = guard()
    except CredentialManagerFailure as failure:
        problem("backend", credential_manager_line(failure))
        return None, None, None, None
    backend = guarded.inner
    name = guarded.inner_name
    members: list[KeyringBackend] | None = (
        getattr(backend, "backends", None) if name.endswith(".ChainerBackend") else None
    )
    chained = None if members is None else [backend_name(b) for b in members]
    if members is not None and not members:
        problem("backend", f"凭据管理器 {name} 没有可以串联的凭据管理器，密码无法保存")
    for member in [backend, *(members or [])]:
        if _stores_plain_text(member):
            problem(
                "backend",
                f"凭据管理器 {backend_name(member)} 把密码以明文写在文件里，"
                "能读这个文件的人就能看到密码；请改用系统凭据管理器",
            )
    found: list[str] = []
    reads_work = _round_trip(guarded, lambda kind, message: found.append(message))
    for message in found:
        problem("backend", message)
    return name, chained, guarded if reads_work else None, not found


def _round_trip(guarded: GuardedKeyring, problem: Report) -> bool:
    """Writes, reads back and removes the probe entry; whether reads work."""
    service, token = credarium._KEYRING_SERVICE, os.urandom(12).hex()
    failure = guarded.attempt("write", lambda: guarded.set_password(service, PROBE_ACCOUNT, token))
    if failure is not None:
        problem("backend", credential_manager_line(failure))
        # A backend that cannot write may still read; a locked one reads nothing.
        return guarded.check(service, PROBE_ACCOUNT)[1] is None
    found, failure = guarded.check(service, PROBE_ACCOUNT)
    if failure is not None:
        problem("backend", credential_manager_line(failure))
        return False
    if found != token:
        state = "不存在" if found is None else "内容不一致"
        problem(
            "backend",
            f"凭据管理器 {guarded.inner_name} 不保存密码：写入的测试条目读回时{state}，保存的账号将无法使用",
        )
    failure = guarded.attempt("delete", lambda: guarded.delete_password(service, PROBE_ACCOUNT))
    if failure is not None:
        problem("backend", credential_manager_line(failure))
    elif guarded.check(service, PROBE_ACCOUNT)[0] is not None:
        problem("backend", f"凭据管理器 {guarded.inner_name} 删除测试条目后，它仍然在里面：删除的账号会留下密码")
    return True


def _stores_plain_text(backend: KeyringBackend) -> bool:
    cls = type(backend)
    return "plaintext" in cls.__qualname__.lower() or cls.__module__.startswith("keyrings.alt.file")


def _inspect_accounts(
    store: SellerSpriteCredarium,
    meta_path: Path,
    guarded: GuardedKeyring | None,
    accounts: list[dict[str, Any]],
    problem: Report,
) -> set[str] | None:
    """Adds each account to `accounts`, with whether its password is there;
    the names in the file, or None when it cannot be read."""
    file = AccountsFile(meta_path)
    if file.problem is not None:
        problem("file", file.damage())
        return None
    unwritable = unwritable_message(meta_path, file.accounts or {})
    if unwritable is not None:
        problem("file", unwritable)
    for name, entry in (file.accounts or {}).items():
        if not isinstance(entry, dict):
            problem("file", f"{meta_path} 中账号 `{name}` 的内容不是 JSON 对象")
            continue
        username = entry.get("username")
        if not isinstance(username, str) or not username:
            problem("file", f"{meta_path} 中账号 `{name}` 没有用户名")
        password_stored = None
        refused = _refused(store, name)
        if refused is not None:
            # Only a hand-edited file holds such a name; the credential
            # manager is not asked about it (it may not take the name at all).
            problem("file", f"{meta_path} 中的账号名称 `{name}` 无效（{refused}），无法使用；请修正这个文件")
        elif guarded is not None:
            found, failure = guarded.check(credarium._KEYRING_SERVICE, store._keyring_account(name))
            if failure is not None:
                problem("backend", credential_manager_line(failure))
                guarded = None  # one line for the backend is enough
            else:
                password_stored = found is not None
                if not password_stored:
                    problem(
                        "account",
                        f"账号 `{name}` 有账号信息，但系统凭据管理器中没有它的密码；"
                        f"请重新执行 account save --name {name}",
                    )
        accounts.append({"name": name, "username": username, "password_stored": password_stored})
    return set(file.accounts or {})


def _refused(store: SellerSpriteCredarium, name: str) -> str | None:
    """Why the store refuses the account name, or None."""
    try:
        store._validate_name(name)
    except InvalidCollectOptionError as exc:
        return str(exc)
    return None


def _mode(info: dict[str, Any]) -> str:
    if not info["exists"]:
        return "（不存在）"
    return f"（权限 {info['mode']}）" if _POSIX_MODES else ""


def _print_report(
    folder: dict[str, Any],
    accounts_file: dict[str, Any],
    backend: str | None,
    round_trip: bool | None,
    chained: list[str] | None,
    accounts: list[dict[str, Any]],
    unlisted: list[str] | None,
    problems: list[dict[str, str]],
) -> None:
    trip = {True: "（测试条目写入、读回、删除都正常）", False: "（测试条目没有通过，见下面的问题）", None: ""}
    lines = [
        f"存储目录：{visible(folder['path'])}{_mode(folder)}",
        f"账号文件：{visible(accounts_file['path'])}{_mode(accounts_file)}",
        f"凭据管理器：{visible(_known_as(backend) or '（无法加载）')}{trip[round_trip]}",
    ]
    if chained:
        lines += [f"  串联：{visible(name)}" for name in chained]
    if accounts:
        marks = {True: "已保存", False: "缺失", None: "未检查"}
        rows = [[a["name"], "（未记录）" if a["username"] is None else a["username"], marks[a["password_stored"]]]
                for a in accounts]
        lines += ["账号：", *("  " + row for row in table(["名称", "用户名", "密码"], rows).splitlines())]
    else:
        lines.append("账号：（无）")
    if unlisted:
        lines += [
            "凭据管理器中没有账号信息的密码（可能属于另一个配置目录中的同名账号；"
            "不再需要时可用 zorvan account delete --name <名称> 删除）：",
            *(f"  {visible(name)}" for name in unlisted),
        ]
    if problems:
        lines.append(f"发现 {len(problems)} 个问题：")
        lines += [f"  - {p['message']}" for p in problems]
    else:
        lines.append("未发现问题。")
    say("\n".join(lines))


def _known_as(backend: str | None) -> str | None:
    known = _KNOWN_BACKENDS.get(backend or "")
    return f"{known}（{backend}）" if known else backend
