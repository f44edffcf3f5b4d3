"""`zorvan account doctor`: what the account store and the credential manager
look like, read without changing anything."""

from __future__ import annotations

import argparse
import json
import stat
from collections.abc import Callable
from pathlib import Path
from typing import Any

from keyring.backend import KeyringBackend

from zorvan.cli._account import active_backend, backend_name
from zorvan.cli._output import emit_json, table
from zorvan.config import CONFIG_DIR
from zorvan.seller_sprite.domain.exceptions import (
    InvalidCollectOptionError,
    SellerSpriteDependencyError,
)
from zorvan.seller_sprite.services.credarium import SellerSpriteCredarium

# Where SellerSpriteCredarium keeps its files under the configuration folder.
# Named here rather than read off a store because building a store creates its
# folder, and the doctor must leave a machine as it found it.
STORE_FOLDER = "seller_sprite"
ACCOUNTS_FILE = "accounts.json"

# Exit status per kind of problem; the first kind found in this order wins,
# since a broken backend also explains missing passwords.
EXIT_STATUS = {"backend": 3, "file": 1, "account": 2}

# Records one problem: its kind (a key of EXIT_STATUS) and its message.
Report = Callable[[str, str], None]


def doctor(args: argparse.Namespace) -> int:
    store_dir = (args.config_dir or CONFIG_DIR) / STORE_FOLDER
    meta_path = store_dir / ACCOUNTS_FILE
    problems: list[dict[str, str]] = []

    def problem(kind: str, message: str) -> None:
        problems.append({"kind": kind, "message": message})

    folder = _describe(store_dir, stat.S_ISDIR, "目录", problem)
    accounts_file = _describe(meta_path, stat.S_ISREG, "普通文件", problem)
    backend, chained, can_read = _inspect_backend(problem)
    accounts = []
    if folder["exists"] and folder["kind_ok"]:
        accounts = _inspect_accounts(args.config_dir, meta_path, accounts_file, can_read, problem)

    status = next((EXIT_STATUS[k] for k in EXIT_STATUS if any(p["kind"] == k for p in problems)), 0)
    if args.json:
        emit_json({
            "store_dir": _public(folder),
            "accounts_file": _public(accounts_file),
            "backend": backend,
            **({"chained_backends": chained} if chained is not None else {}),
            "accounts": accounts,
            "problems": problems,
            "ok": not problems,
        })
    else:
        _print_report(folder, accounts_file, backend, chained, accounts, problems)
    return status


def _describe(path: Path, is_kind: Callable[[int], bool], kind_name: str, problem: Report) -> dict[str, Any]:
    info: dict[str, Any] = {"path": str(path), "exists": False, "mode": None, "kind_ok": True}
    try:
        st = path.stat()
    except FileNotFoundError:
        return info
    except OSError as exc:
        problem("file", f"无法查看 {path}：{exc.strerror or exc}")
        return info
    info.update(exists=True, mode=f"{stat.S_IMODE(st.st_mode):04o}", kind_ok=bool(is_kind(st.st_mode)))
    if not info["kind_ok"]:
        problem("file", f"{path} 应当是{kind_name}")
    return info


def _public(info: dict[str, Any]) -> dict[str, Any]:
    return {k: v for k, v in info.items() if k != "kind_ok"}


def _inspect_backend(problem: Report) -> tuple[str | None, list[str] | None, bool]:
    """(class name, names of chained backends or None, whether reads can work)."""
    try:
        backend = active_backend()
    except SellerSpriteDependencyError as exc:
        problem("backend", str(exc))
        return None, None, False
    name = backend_name(backend)
    members = getattr(backend, "backends", None) if name.endswith(".ChainerBackend") else None
    chained = None if members is None else [backend_name(b) for b in members]
    if name == "keyring.backends.fail.Keyring":
        problem("backend", f"凭据管理器 {name} 不可用：没有找到任何系统凭据管理器，密码无法保存")
        return name, chained, False
    if name == "keyring.backends.null.Keyring":
        problem("backend", f"凭据管理器 {name} 不保存任何密码：写入看似成功，读回却是空的")
    if members is not None and not members:
        problem("backend", f"凭据管理器 {name} 没有可以串联的凭据管理器，密码无法保存")
    for member in [backend, *(members or [])]:
        if _stores_plain_text(member):
            problem(
                "backend",
                f"凭据管理器 {backend_name(member)} 把密码以明文写在文件里，"
                "能读这个文件的人就能看到密码；请改用系统凭据管理器",
            )
    return name, chained, True


def _stores_plain_text(backend: KeyringBackend) -> bool:
    cls = type(backend)
    return "plaintext" in cls.__qualname__.lower() or cls.__module__.startswith("keyrings.alt.file")


def _inspect_accounts(
    config_dir: Path | None, meta_path: Path, accounts_file: dict[str, Any], can_read: bool, problem: Report
) -> list[dict[str, Any]]:
    if accounts_file["exists"] and accounts_file["kind_ok"]:
        _check_readable_json(meta_path, problem)
    # The folder exists, so building the store creates nothing.
    store = SellerSpriteCredarium(base_dir=config_dir)
    try:
        entries = store._load_accounts()
    except OSError as exc:
        problem("file", f"无法读取 {exc.filename or meta_path}：{exc.strerror or exc}")
        return []
    accounts = []
    for name, entry in entries.items():
        if not isinstance(entry, dict):
            problem("file", f"{meta_path} 中账号 `{name}` 的内容格式不正确")
            continue
        password_stored = None
        if can_read:
            password_stored, can_read = _has_password(store, name, problem)
        accounts.append({"name": name, "username": entry.get("username"), "password_stored": password_stored})
    return accounts


def _check_readable_json(meta_path: Path, problem: Report) -> None:
    # The store treats a file it cannot parse as holding no accounts; the
    # doctor says so, because the next save would set that content aside.
    try:
        payload = json.loads(meta_path.read_text(encoding="utf-8"))
    except OSError as exc:
        problem("file", f"无法读取 {meta_path}：{exc.strerror or exc}")
        return
    except ValueError:
        payload = None
    if not isinstance(payload, dict):
        problem("file", f"{meta_path} 不是有效的账号文件（应为 JSON 对象），账号存储会把它当作空的")


def _has_password(store: SellerSpriteCredarium, name: str, problem: Report) -> tuple[bool | None, bool]:
    """(whether the account's password is there, whether reads still work)."""
    try:
        present = store._get_password(name) is not None
    except SellerSpriteDependencyError as exc:
        problem("backend", str(exc))
        return None, False
    except InvalidCollectOptionError as exc:
        problem("account", str(exc))
        return None, True
    if not present:
        problem(
            "account",
            f"账号 `{name}` 有账号信息，但系统凭据管理器中没有它的密码；"
            f"请重新执行 account save --name {name}",
        )
    return present, True


def _mode(info: dict[str, Any]) -> str:
    if not info["exists"]:
        return "（不存在）"
    return f"（权限 {info['mode']}）"


def _print_report(
    folder: dict[str, Any],
    accounts_file: dict[str, Any],
    backend: str | None,
    chained: list[str] | None,
    accounts: list[dict[str, Any]],
    problems: list[dict[str, str]],
) -> None:
    lines = [
        f"存储目录：{folder['path']}{_mode(folder)}",
        f"账号文件：{accounts_file['path']}{_mode(accounts_file)}",
        f"凭据管理器：{backend or '（无法加载）'}",
    ]
    if chained:
        lines += [f"  串联：{name}" for name in chained]
    if accounts:
        marks = {True: "已保存", False: "缺失", None: "未检查"}
        rows = [[a["name"], a["username"], marks[a["password_stored"]]] for a in accounts]
        lines += ["账号：", *("  " + row for row in table(["名称", "用户名", "密码"], rows).splitlines())]
    else:
        lines.append("账号：（无）")
    if problems:
        lines.append(f"发现 {len(problems)} 个问题：")
        lines += [f"  - {p['message']}" for p in problems]
    else:
        lines.append("未发现问题。")
    print("\n".join(lines))
