"""`zorvan account save|list|get|delete`, over SellerSpriteCredarium."""

from __future__ import annotations

import argparse
import getpass
import os
import sys

from keyring.backend import KeyringBackend

from zorvan.cli._errors import CliInputError
from zorvan.cli._output import emit_json, notice, table
from zorvan.seller_sprite.domain.exceptions import (
    InvalidCollectOptionError,
    SellerSpriteDependencyError,
)
from zorvan.seller_sprite.services.credarium import SellerSpriteCredarium

PROMPT = "卖家精灵密码："
CONFIRM_PROMPT = "再次输入密码："
ATTEMPTS = 3


def active_backend() -> KeyringBackend:
    """keyring's backend, or SellerSpriteDependencyError when none can be loaded."""
    try:
        import keyring

        return keyring.get_keyring()
    except Exception as exc:
        # A backend named in PYTHON_KEYRING_BACKEND or keyringrc that cannot be
        # imported or built fails here with whatever its module raises; to the
        # user it is the same thing as having no credential manager.
        raise SellerSpriteDependencyError(
            f"无法加载系统凭据管理器（{type(exc).__name__}: {exc}）"
        ) from exc


def backend_name(backend: KeyringBackend) -> str:
    cls = type(backend)
    return f"{cls.__module__}.{cls.__qualname__}"


def open_store(args: argparse.Namespace, *, needs_keyring: bool = True) -> SellerSpriteCredarium:
    if needs_keyring:
        active_backend()
    return SellerSpriteCredarium(base_dir=args.config_dir)


def save(args: argparse.Namespace) -> int:
    store = open_store(args)
    # A bad name is reported before anyone types a password for it.
    store._validate_name(args.name)
    password = _read_password(from_stdin=args.password_stdin)
    record = store.save(name=args.name, username=args.username, password=password)
    # Some backends accept a secret and keep nothing; only reading it back
    # tells a saved account from one that cannot log in.
    kept = _read_back(store, args.name) == password
    if args.json:
        emit_json({**record, "password_stored": kept})
    elif kept:
        print(
            f"已保存卖家精灵账号 `{record['name']}`（用户名 {record['username']}），"
            "密码已存入系统凭据管理器。"
        )
    if not kept:
        notice(
            f"警告：账号 `{record['name']}` 的名称和用户名已写入，但系统凭据管理器 "
            f"{backend_name(active_backend())} 没有保存密码（读回时不存在或不一致），"
            "这个账号暂时无法使用；请换用能保存密码的凭据管理器后重新执行 account save，"
            "可用 zorvan account doctor 检查"
        )
        return 3
    return 0


def list_accounts(args: argparse.Namespace) -> int:
    accounts = open_store(args, needs_keyring=False).list()
    if args.json:
        emit_json(accounts)
    elif accounts:
        print(table(["名称", "用户名"], [[a["name"], a["username"]] for a in accounts]))
    else:
        print("还没有保存任何卖家精灵账号，请先执行 account save。")
    return 0


def get(args: argparse.Namespace) -> int:
    store = open_store(args)
    problem: InvalidCollectOptionError | None = None
    password: str | None = None
    try:
        account = store.get(name=args.name)
        record: dict[str, object] = {"name": account["name"], "username": account["username"]}
        password = account["password"]
    except InvalidCollectOptionError as exc:
        # The store refuses accounts whose password is gone; the metadata is
        # still worth showing, together with the store's own explanation.
        missing = _account_without_password(store, args.name)
        if missing is None:
            raise
        record, problem = missing, exc
    if args.json:
        document = {**record, "password_stored": password is not None}
        if password is not None and args.show_password:
            document["password"] = password
        emit_json(document)
    else:
        if password is None:
            secret = "未保存"
        elif args.show_password:
            secret = password
        else:
            secret = "已保存（加 --show-password 显示）"
        print(f"名称：{record['name']}\n用户名：{record['username']}\n密码：{secret}")
    if problem is not None:
        notice(str(problem))
        return 2
    return 0


def delete(args: argparse.Namespace) -> int:
    existed = open_store(args).delete(name=args.name)
    if args.json:
        emit_json({"name": args.name, "existed": existed})
    elif existed:
        print(f"已删除卖家精灵账号 `{args.name}` 及其密码。")
    else:
        print(f"卖家精灵账号 `{args.name}` 不存在，没有删除任何内容。")
    return 0


def _read_back(store: SellerSpriteCredarium, name: str) -> str | None:
    try:
        return store.get(name=name)["password"]
    except InvalidCollectOptionError:
        return None


def _account_without_password(store: SellerSpriteCredarium, name: str) -> dict[str, object] | None:
    """Name and username of an account that has metadata but no password."""
    entry = store._load_accounts().get(name)
    if not isinstance(entry, dict) or store._get_password(name) is not None:
        return None
    return {"name": name, "username": entry.get("username")}


def _read_password(*, from_stdin: bool) -> str:
    if from_stdin:
        return _password_from_stdin()
    if not _terminal_available():
        raise CliInputError("没有可以输入密码的终端；请使用 --password-stdin 从标准输入读取密码")
    try:
        for _ in range(ATTEMPTS):
            password = getpass.getpass(PROMPT)
            if not password:
                return password  # the store rejects it with its own message
            if getpass.getpass(CONFIRM_PROMPT) == password:
                return password
            print("两次输入的密码不一致，请重新输入。", file=sys.stderr, flush=True)
    except EOFError:
        raise CliInputError("没有读到密码，账号未保存") from None
    raise CliInputError(f"连续 {ATTEMPTS} 次两次输入的密码不一致，账号未保存")


def _password_from_stdin() -> str:
    if sys.stdin is None:
        return ""
    line = sys.stdin.buffer.readline()
    try:
        text = line.decode("utf-8")
    except UnicodeDecodeError:
        # `from None`: the decode error would quote the bytes of the password.
        raise CliInputError("标准输入中的密码不是有效的 UTF-8 文本，账号未保存") from None
    if text.endswith("\n"):
        text = text[:-1]
        if text.endswith("\r"):  # a line written on Windows
            text = text[:-1]
    return text


def _terminal_available() -> bool:
    # getpass prompts on the controlling terminal even when stdin is
    # redirected, and falls back to stdin only if that is a terminal itself.
    try:
        fd = os.open("/dev/tty", os.O_RDWR | os.O_NOCTTY)
    except OSError:
        return sys.stdin is not None and sys.stdin.isatty()
    os.close(fd)
    return True
