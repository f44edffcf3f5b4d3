"""accounts.json as the command line checks it before the store reads it.

The store reads a file it cannot use (unreadable, not UTF-8, not JSON, not
an object) as holding no accounts, and its next save sets that file aside.
That is right for the store, but a person asking for the list must not be
told there are no accounts when the file is merely damaged; so `list`, `get`
and `delete` look first, and `doctor` reports what they would find.
"""

from __future__ import annotations

import json
import os
import stat
from pathlib import Path
from typing import Any

from zorvan.cli._errors import AccountsFileError
from zorvan.cli._output import visible

# Where SellerSpriteCredarium keeps its files under the configuration folder.
STORE_FOLDER = "seller_sprite"
ACCOUNTS_FILE = "accounts.json"
# The store sets an unusable file aside as accounts.json.unreadable-<time>.
SET_ASIDE_PREFIX = ACCOUNTS_FILE + ".unreadable-"

# Descriptors are never inherited (PEP 446); O_NONBLOCK exists only on
# POSIX, and Windows needs O_BINARY to read the bytes as they are.
_READ_FLAGS = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0)

_JSON_TYPES = {list: "数组", str: "字符串", int: "数字", float: "数字", bool: "true 或 false", type(None): "null"}


class AccountsFile:
    """What stands at accounts.json: `accounts` when the store can read it,
    else `problem`, why it would read as empty (None when it is missing)."""

    def __init__(self, path: Path) -> None:
        self.path = path
        self.exists = False
        self.regular = True
        self.accounts: dict[str, Any] | None = None
        self.problem: str | None = None
        self._read()

    def _read(self) -> None:
        # Non-blocking and checked with fstat, so that a FIFO put in the
        # file's place cannot hang the command.
        try:
            fd = os.open(self.path, _READ_FLAGS)
        except FileNotFoundError:
            return
        except OSError as exc:
            self.exists = True
            # Windows refuses to open a folder at all (access denied), and
            # POSIX a socket (no such device), where fstat below tells the
            # rest; the store refuses to write over either.
            self.regular = _is_regular(self.path)
            self.problem = f"无法读取（{exc.strerror or exc}）" if self.regular else "不是普通文件"
            return
        self.exists = True
        try:
            if not stat.S_ISREG(os.fstat(fd).st_mode):
                self.regular = False
                self.problem = "不是普通文件"
                return
            data = _read_all(fd)
        except OSError as exc:
            self.problem = f"无法读取（{exc.strerror or exc}）"
            return
        finally:
            os.close(fd)
        self.problem, self.accounts = _decode(data)

    def damage(self) -> str:
        """The one-line explanation of `problem`."""
        where = visible(self.path)
        if not self.regular:
            return f"账号文件 {where} 不是普通文件，账号存储无法使用它；请移走它"
        return (
            f"账号文件 {where} {self.problem}，账号存储会把它当作没有任何账号；"
            f"下次 account save 会先把它另存为 {ACCOUNTS_FILE}.unreadable-<时间>，再写入新文件"
        )

    def usable(self) -> dict[str, Any]:
        """The accounts, or AccountsFileError when the file is damaged."""
        if self.problem is not None:
            raise AccountsFileError(self.damage())
        return self.accounts or {}


def _is_regular(path: Path) -> bool:
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return True  # nothing else is known: the open's own error says more


def _read_all(fd: int) -> bytes:
    chunks = []
    while chunk := os.read(fd, 1 << 16):
        chunks.append(chunk)
    return b"".join(chunks)


def _decode(data: bytes) -> tuple[str | None, dict[str, Any] | None]:
    """(why the store would read `data` as empty, None) or (None, the accounts)."""
    # The same tests, in the same order, as the store's own reading.
    if data.startswith(b"\xef\xbb\xbf"):
        return "以 UTF-8 字节顺序标记（BOM）开头", None
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        return "不是 UTF-8 文本", None
    try:
        payload = json.loads(text)
    except ValueError as exc:
        where = f"（第 {exc.lineno} 行第 {exc.colno} 列）" if isinstance(exc, json.JSONDecodeError) else ""
        return f"不是有效的 JSON{where}", None
    if not isinstance(payload, dict):
        return f"不是 JSON 对象（而是{_JSON_TYPES.get(type(payload), type(payload).__name__)}）", None
    return None, payload


def not_objects(accounts: dict[str, Any], names: list[str] | None = None) -> list[str]:
    """The names among `names` (all by default) whose entry is not an object."""
    return [n for n in (accounts if names is None else names) if n in accounts and not isinstance(accounts[n], dict)]


def bad_entries_message(path: Path, names: list[str]) -> str:
    quoted = "、".join(f"`{visible(n)}`" for n in names)
    return (
        f"账号文件 {visible(path)} 中账号 {quoted} 的内容不是 JSON 对象；"
        "请修正这个文件，或用 account delete --name 删除这样的账号"
    )


# JSON's escapes can carry a lone surrogate into the file by hand; UTF-8
# cannot write it back, so every save and delete that rewrites the file fails.
UNWRITABLE = "中有无法写回文件的字符（单独的代理码位，多为手工编辑所致）"
UNWRITABLE_ADVICE = "请修正这个文件，或用 account delete --name 删除含这种字符的账号"


def unwritable_message(path: Path, accounts: dict[str, Any]) -> str | None:
    """Why the store could not write these accounts back, else None."""
    try:
        json.dumps(accounts, ensure_ascii=False).encode()
    except UnicodeEncodeError:
        return f"账号文件 {visible(path)}{UNWRITABLE}，保存会失败；{UNWRITABLE_ADVICE}"
    return None


def accounts_path(config_dir: Path | None) -> Path:
    if config_dir is None:
        from zorvan.config import CONFIG_DIR

        config_dir = CONFIG_DIR
    return Path(config_dir) / STORE_FOLDER / ACCOUNTS_FILE


def set_aside_copies(folder: Path) -> set[str]:
    try:
        return {name for name in os.listdir(folder) if name.startswith(SET_ASIDE_PREFIX)}
    except OSError:
        return set()
