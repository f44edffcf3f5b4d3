"""`zorvan account save|list|get|delete`, over SellerSpriteCredarium.

Handlers print results and raise failures; `_failures.describe` words them.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any

from zorvan.cli._accounts_file import (
    AccountsFile,
    bad_entries_message,
    not_objects,
    set_aside_copies,
    unwritable_message,
)
from zorvan.cli._errors import AccountsFileError, CliInputError, CredentialManagerFailure
from zorvan.cli._keyring import GuardedKeyring, guard
from zorvan.cli._output import emit_exact, emit_json, notice, say, table, visible
from zorvan.seller_sprite.services import credarium
from zorvan.seller_sprite.services.credarium import SellerSpriteCredarium

PROMPT = "卖家精灵密码："
CONFIRM_PROMPT = "再次输入密码："
ATTEMPTS = 3

# The longest password every credential manager keeps whole: Windows keeps
# at most 2,560 bytes of it, as UTF-16.
MAX_PASSWORD_UNITS = 1280
# --password-stdin reads at most this much: the longest password as UTF-8
# (three bytes per UTF-16 unit at most), its line break, and one byte more
# to tell a longer one.
STDIN_LIMIT = 3 * MAX_PASSWORD_UNITS + len("\r\n") + 1
TOO_LONG = (f"密码过长：最多 {MAX_PASSWORD_UNITS} 个字符（Windows 凭据管理器的上限；表情等少数字符按 2 个计），"
            "账号未保存")

# The terminal a prompt talks to: getpass opens the controlling terminal on
# POSIX, and reads the console through msvcrt on Windows.
_TERMINAL_IN, _TERMINAL_OUT = ("CONIN$", "CONOUT$") if os.name == "nt" else ("/dev/tty", "/dev/tty")
_NO_CTTY = getattr(os, "O_NOCTTY", 0)  # opening the terminal must not make it ours


class Saving:
    """How far a save has come, for the line of a failure or a Ctrl-C that
    stops it (see `_failures`)."""

    def __init__(self, name: str, guarded: GuardedKeyring) -> None:
        self.name = name
        self.guarded = guarded
        self.new = True  # the name is not in accounts.json yet
        self.held = False  # the credential manager held a password for the name
        self.done = False  # the store's save returned


def open_store(args: argparse.Namespace) -> tuple[SellerSpriteCredarium, GuardedKeyring]:
    # The backend is loaded first: when it cannot be, nothing is created.
    guarded = guard()
    return SellerSpriteCredarium(base_dir=args.config_dir), guarded


def stored_password(
    store: SellerSpriteCredarium, guarded: GuardedKeyring, name: str
) -> tuple[str | None, CredentialManagerFailure | None]:
    """The account's password as the credential manager holds it now, or why
    that cannot be known; never raises."""
    return guarded.check(credarium._KEYRING_SERVICE, store._keyring_account(name))


def _usable_accounts(store: SellerSpriteCredarium, names: list[str] | None = None) -> dict[str, Any]:
    """The accounts, refusing a damaged file, or entries among `names` (all
    by default) that are not objects."""
    accounts = AccountsFile(store.meta_path).usable()
    bad = not_objects(accounts, names)
    if bad:
        raise AccountsFileError(bad_entries_message(store.meta_path, bad))
    return accounts


def check_name(name: str) -> None:
    """The store's check of an account name, before any store is opened."""
    SellerSpriteCredarium.__new__(SellerSpriteCredarium)._validate_name(name)


def save(args: argparse.Namespace) -> int:
    name, username = args.name, args.username
    # Bad input is reported before the credential manager is asked anything
    # and before anyone types a password for it.
    check_name(name)
    if any(ord(ch) < 0x20 or 0x7F <= ord(ch) < 0xA0 for ch in username):
        raise CliInputError("用户名不能包含控制字符（换行、制表符、ESC 等）")
    if any(0xD800 <= ord(ch) < 0xE000 for ch in username):
        # Bytes that are not UTF-8 on the command line arrive as these.
        raise CliInputError("用户名包含无法写入账号文件的字符（不是 UTF-8 的字节，或单独的代理码位）")
    store, guarded = open_store(args)
    args.saving = saving = Saving(name, guarded)
    file = AccountsFile(store.meta_path)
    if not file.regular:
        raise AccountsFileError(file.damage())
    accounts = file.accounts or {}
    # Refused before the password: it would be stored for an account the
    # file then cannot take.
    unwritable = unwritable_message(store.meta_path, accounts)
    if unwritable is not None:
        raise AccountsFileError(unwritable)
    previous, replacing = accounts.get(name), name in accounts
    # Passwords are kept by account name alone, shared by every store folder;
    # read before writing, so that a locked keyring stops the save here too.
    held = store._get_password(name)
    saving.new, saving.held = not replacing, held is not None
    # (With a damaged file there is no telling whether the name is new here.)
    if held is not None and not replacing and file.problem is None:
        notice(
            f"注意：系统凭据管理器中已经有账号名称 `{name}` 的密码（可能属于另一个配置目录中的同名账号）；"
            "密码按账号名称共用，保存后那个账号也会使用新密码"
        )
    password = _read_password(from_stdin=args.password_stdin)

    before = set_aside_copies(store.base_dir) if file.problem is not None else set()
    record = store.save(name=name, username=username, password=password)
    saving.done = True
    set_aside = sorted(set_aside_copies(store.base_dir) - before) if file.problem is not None else []
    aside_path = str(store.base_dir / set_aside[-1]) if set_aside else None
    # Some backends accept a secret and keep nothing; only reading it back
    # tells a saved account from one that cannot log in.
    stored, failure = stored_password(store, guarded, name)
    args.saving = None

    if aside_path is not None:
        notice(f"注意：原来的账号文件{file.problem}，已原样另存为 {aside_path}")
    kept = failure is None and stored == password
    if args.json:
        emit_json({**record, "password_stored": kept, "replaced": replacing, "set_aside": aside_path})
    elif kept:
        say(visible(_saved_line(name, username, replacing, previous, held, password)))
    done = f"账号 `{name}` 的名称和用户名已写入"
    if failure is not None:
        failure.done = done
        raise failure
    if not kept:
        raise CredentialManagerFailure(
            "write", guarded.inner_name, done=done,
            problem="没有保存密码（读回时不存在或不一致），这个账号暂时无法使用",
            advice="请换用能保存密码的凭据管理器后重新执行 account save，可用 zorvan account doctor 检查",
        )
    return 0


def _saved_line(name: str, username: str, replacing: bool, previous: object, held: str | None, password: str) -> str:
    if not replacing:
        return f"已保存卖家精灵账号 `{name}`（用户名 {username}），密码已存入系统凭据管理器。"
    old = previous.get("username") if isinstance(previous, dict) else None
    changes = [f"用户名由 {old} 改为 {username}" if old != username else f"用户名 {username} 不变"]
    if held is None:
        changes.append("补上了缺失的密码")
    else:
        changes.append("密码已更换" if held != password else "密码不变")
    return f"已更新卖家精灵账号 `{name}`（{'，'.join(changes)}），密码已存入系统凭据管理器。"


def list_accounts(args: argparse.Namespace) -> int:
    # Listing needs no credential manager: no backend is loaded.
    store = SellerSpriteCredarium(base_dir=args.config_dir)
    _usable_accounts(store)
    accounts = store.list()
    if args.json:
        emit_json(accounts)
    elif accounts:
        say(table(["名称", "用户名"], [[a["name"], _username(a["username"])] for a in accounts]))
    else:
        say("还没有保存任何卖家精灵账号，请先执行 account save。")
    return 0


def _username(value: object) -> str:
    return "（未记录）" if value is None else str(value)


def get(args: argparse.Namespace) -> int:
    check_name(args.name)
    store, _ = open_store(args)
    entry = _usable_accounts(store, [args.name]).get(args.name)
    password = store._get_password(args.name) if entry else None
    if entry and password:
        _show_account(args, args.name, entry.get("username"), password)
        return 0
    if entry:
        # The metadata is worth showing, above the store's explanation.
        _show_account(args, args.name, entry.get("username"), None)
    # The store words both a missing account and a missing password (and
    # should the file have changed meanwhile, its answer is the one shown).
    account = store.get(name=args.name)
    _show_account(args, args.name, account["username"], account["password"])
    return 0


def _show_account(args: argparse.Namespace, name: str, username: object, password: str | None) -> None:
    if args.password_only:
        if password is not None:
            emit_exact(password)
    elif args.json:
        document: dict[str, object] = {"name": name, "username": username, "password_stored": password is not None}
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
        lines = [f"名称：{name}", f"用户名：{_username(username)}", f"密码：{secret}"]
        say("\n".join(visible(line) for line in lines))


def delete(args: argparse.Namespace) -> int:
    name = args.name
    check_name(name)
    store, guarded = open_store(args)
    # A damaged file would read as empty: nothing to delete, and a false
    # "does not exist". Entries that are not objects may be deleted, though.
    AccountsFile(store.meta_path).usable()
    # Read first: the store's delete removes a password whether or not the
    # file lists the account, and says nothing about it.
    held = store._get_password(name)
    existed = store.delete(name=name)
    # The store ignores every error of the credential manager when deleting;
    # only reading back tells whether the password is really gone.
    remaining, failure = stored_password(store, guarded, name)
    if args.json:
        emit_json({"name": name, "existed": existed, "password_existed": held is not None,
                   "password_remaining": None if failure is not None else remaining is not None})
    done = f"已从 accounts.json 删除账号 `{name}`" if existed else f"账号 `{name}` 原本就不在 accounts.json 中"
    if failure is not None or remaining is not None:
        # The delete's own error says why; the read only shows that it failed.
        failure = guarded.delete_failure or failure or CredentialManagerFailure(
            "delete", guarded.inner_name, problem="删除密码后，密码仍然在里面",
        )
        failure.done = done
        raise failure
    if not args.json:
        say(visible(_deleted_line(name, existed, held is not None)))
    return 0


def _deleted_line(name: str, existed: bool, had_password: bool) -> str:
    if existed:
        kept = " 及其密码" if had_password else "（系统凭据管理器中原本就没有它的密码）"
        return f"已删除卖家精灵账号 `{name}`{kept}。"
    if had_password:
        return (f"accounts.json 中没有账号 `{name}`，但系统凭据管理器中有这个名称的密码"
                "（没有账号信息的遗留密码），已删除这个密码。")
    return f"卖家精灵账号 `{name}` 不存在，没有删除任何内容。"


def _read_password(*, from_stdin: bool) -> str:
    password = _password_from_stdin() if from_stdin else _password_from_terminal()
    if len(password.encode("utf-16-le", "surrogatepass")) > 2 * MAX_PASSWORD_UNITS:
        raise CliInputError(TOO_LONG)
    return password


def _password_from_terminal() -> str:
    if not _terminal_available():
        raise CliInputError("没有可以输入密码的终端；请使用 --password-stdin 从标准输入读取密码")
    for _ in range(ATTEMPTS):
        password = _prompt(PROMPT)
        if not password:
            return password  # the store rejects it with its own message
        if _prompt(CONFIRM_PROMPT) == password:
            return password
        notice("两次输入的密码不一致，请重新输入。")
    raise CliInputError(f"连续 {ATTEMPTS} 次两次输入的密码不一致，账号未保存")


def _prompt(text: str) -> str:
    import getpass

    try:
        return getpass.getpass(text)
    except EOFError:
        # The cursor is still after the prompt; the error starts a line.
        _end_terminal_line()
        raise CliInputError("没有读到密码，账号未保存") from None
    except KeyboardInterrupt:
        # getpass leaves the cursor after its prompt on the terminal. When
        # stderr is that terminal, the notice starts a fresh line itself.
        if not sys.stderr.isatty():
            _end_terminal_line()
        raise


def _end_terminal_line() -> None:
    try:
        fd = os.open(_TERMINAL_OUT, os.O_WRONLY | _NO_CTTY)
    except OSError:
        return
    try:
        os.write(fd, b"\n")
    except OSError:
        pass
    finally:
        os.close(fd)


def _password_from_stdin() -> str:
    if sys.stdin is None:
        return ""
    # Bounded: a file or stream without line breaks must not be read whole.
    line = sys.stdin.buffer.readline(STDIN_LIMIT)
    if len(line) == STDIN_LIMIT and not line.endswith(b"\n"):
        raise CliInputError(TOO_LONG)
    try:
        text = line.decode("utf-8")
    except UnicodeDecodeError:
        # `from None`: the decode error would quote the bytes of the password.
        raise CliInputError("标准输入中的密码不是有效的 UTF-8 文本，账号未保存") from None
    if text.endswith("\n"):
        text = text[:-1].removesuffix("\r")  # "\r\n": a line written on Windows
    return text


def _terminal_available() -> bool:
    # getpass prompts on the terminal even when stdin is redirected, and on
    # POSIX falls back to stdin only if that is a terminal itself.
    try:
        fd = os.open(_TERMINAL_IN, os.O_RDWR | _NO_CTTY)
    except OSError:
        return sys.stdin is not None and sys.stdin.isatty()
    os.close(fd)
    return True
