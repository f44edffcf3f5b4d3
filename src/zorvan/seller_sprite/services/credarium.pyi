"""卖家精灵账号凭据存储。"""

# The module is compiled, so type checkers and editors read its signatures
# from here. The imports below are names its namespace really holds at run
# time; they are re-exported because tests and callers reach (and patch) them
# through the module, e.g. `credarium.keyring` or `credarium.CONFIG_DIR`.
import builtins
import json as json
import stat as stat
import types
from pathlib import Path as Path
from typing import Any, TypedDict

# Missing from the namespace when `import keyring` failed at load time; then
# _KEYRING_AVAILABLE is false and the store never reads it.
import keyring as keyring

from zorvan.config import CONFIG_DIR as CONFIG_DIR
from zorvan.seller_sprite.domain.exceptions import InvalidCollectOptionError as InvalidCollectOptionError
from zorvan.seller_sprite.domain.exceptions import SellerSpriteDependencyError as SellerSpriteDependencyError

_KEYRING_AVAILABLE: bool
_KEYRING_SERVICE: str

# doctest's table of extra tests; the module sets it to an empty dict once its
# body has run.
__test__: dict[str, object]

# The results are plain dicts at run time. These shapes exist for type
# checkers only (there is nothing to import from the module at run time), so
# they carry a leading underscore; name them under `if TYPE_CHECKING:`.
#
# `username` is read back from accounts.json: the store only ever writes a
# str there, and an entry without one reads as None. A file edited by hand can
# hold any JSON value instead; the store passes it through unchecked.

class _SavedAccount(TypedDict):
    name: str
    username: str

class _AccountSummary(TypedDict):
    name: str
    username: str | None

class _Account(TypedDict):
    name: str
    username: str | None
    password: str

class SellerSpriteCredarium:
    """保存卖家精灵账号名与用户名，密码存入系统凭据管理器。"""

    # <base_dir or CONFIG_DIR>/seller_sprite, created by __init__.
    base_dir: Path
    # base_dir / "accounts.json"; it need not exist yet.
    meta_path: Path

    def __init__(self, *, base_dir: Path | None = None) -> None: ...
    def save(self, *, name: str, username: str, password: str) -> _SavedAccount:
        """保存命名账号。"""
    # `builtins.list` below because, inside this class, `list` is this method.
    def list(self) -> builtins.list[_AccountSummary]:
        """列出已保存账号，不返回密码。"""
    def delete(self, *, name: str) -> bool:
        """删除命名账号。"""
    def get(self, *, name: str) -> _Account:
        """读取命名账号和密码。"""

    # Private helpers: declared so that code calling them directly (the
    # tests do) is checked against their real call shapes.
    def _load_accounts(self) -> dict[str, Any]:
        """读取账号元数据。"""
    def _save_accounts(self, accounts: dict[str, Any]) -> None:
        """保存账号元数据。"""
    def _validate_name(self, name: str) -> None:
        """校验账号别名。"""
    def _keyring_account(self, name: str) -> str:
        """生成 keyring account。"""
    def _require_keyring(self) -> types.ModuleType:
        """获取 keyring 模块。"""
    def _set_password(self, name: str, password: str) -> None:
        """写入系统凭据管理器。"""
    def _get_password(self, name: str) -> str | None:
        """读取系统凭据管理器密码。"""
    def _delete_password(self, name: str) -> None:
        """删除系统凭据管理器密码。"""
