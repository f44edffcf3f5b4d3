"""卖家精灵账号凭据存储。"""

from __future__ import annotations

import json
import stat
import threading
from pathlib import Path, PosixPath

from zorvan.config import CONFIG_DIR
from zorvan.seller_sprite.domain.exceptions import InvalidCollectOptionError, SellerSpriteDependencyError

try:
    import keyring
    import keyring.errors

    _KEYRING_AVAILABLE = True
except Exception:  # a broken keyring install must not keep the accounts file from working
    _KEYRING_AVAILABLE = False

_KEYRING_SERVICE = "zorvan-seller-sprite"


class SellerSpriteCredarium:
    """保存卖家精灵账号名与用户名，密码存入系统凭据管理器。"""

    def __init__(self, *, base_dir: Path | None = None) -> None:
        self.base_dir = Path(base_dir or CONFIG_DIR) / "seller_sprite"
        _make_folder(self.base_dir)
        self.meta_path = self.base_dir / "accounts.json"

    def save(self, *, name: str, username: str, password: str) -> dict:
        """保存命名账号。"""
        self._validate_name(name)
        if not username:
            raise InvalidCollectOptionError("必须提供卖家精灵用户名")
        _check_username(username)
        if not password:
            raise InvalidCollectOptionError("必须提供卖家精灵密码")
        with _StoreLock(self, 6 * (len(name) + len(username)) + 64):
            self._set_password(name, password)
            accounts = self._load_accounts()
            accounts[name] = {"username": username}
            self._save_accounts(accounts)
        return {"name": name, "username": username}
    def list(self) -> list[dict]:
        """列出已保存账号，不返回密码。"""
        accounts = self._load_accounts()
        return [{"name": name, "username": item.get("username")} for name, item in accounts.items()]

    def delete(self, *, name: str) -> bool:
        """删除命名账号。"""
        self._validate_name(name)
        with _StoreLock(self):
            accounts = self._load_accounts()
            existed = name in accounts
            if existed:
                del accounts[name]
                self._save_accounts(accounts)
            self._delete_password(name)
        return existed
    def get(self, *, name: str) -> dict:
        """读取命名账号和密码。"""
        self._validate_name(name)
        accounts = self._load_accounts()
        account = accounts.get(name)
        if not account:
            raise InvalidCollectOptionError(f"卖家精灵账号 `{name}` 不存在，请先执行 account save")
        password = self._get_password(name)
        if not password:
            raise InvalidCollectOptionError(f"卖家精灵账号 `{name}` 缺少密码，请重新执行 account save")

        return {
            "name": name, "username": account.get("username"),
            "password": password,
        }

    def _load_accounts(self) -> dict:
        """读取账号元数据。"""
        if not self.meta_path.exists():
            return {}
        try:
            payload = _read_payload(self.meta_path)
        except Exception:  # an unreadable or malformed file reads as no accounts at all
            return {}
        return payload if isinstance(payload, dict) else {}

    def _save_accounts(self, accounts: dict) -> None:
        """保存账号元数据。"""
        written = _write_file(self.meta_path, json.dumps(accounts, ensure_ascii=False, indent=2))
        _set_mode(self.meta_path, written, stat.S_IRUSR | stat.S_IWUSR)

    def _validate_name(self, name: str) -> None:
        """校验账号别名。"""
        if not name or not name.replace("-", "").replace("_", "").isalnum():
            raise InvalidCollectOptionError("账号名称只能包含字母、数字、下划线和中划线")

    def _keyring_account(self, name: str) -> str:
        """生成 keyring account。"""
        return f"account:{name}"

    def _require_keyring(self):
        """获取 keyring 模块。"""
        if not _KEYRING_AVAILABLE:
            raise SellerSpriteDependencyError("当前环境缺少 keyring，无法安全保存卖家精灵密码")
        return keyring

    def _set_password(self, name: str, password: str) -> None:
        """写入系统凭据管理器。"""
        kr = self._require_keyring()
        try:
            kr.set_password(_KEYRING_SERVICE, self._keyring_account(name), password)
        except keyring.errors.NoKeyringError as exc:
            raise SellerSpriteDependencyError("当前系统 keyring 不可用，无法安全保存卖家精灵密码") from exc

    def _get_password(self, name: str) -> str | None:
        """读取系统凭据管理器密码。"""
        kr = self._require_keyring()
        try:
            return kr.get_password(_KEYRING_SERVICE, self._keyring_account(name))
        except keyring.errors.NoKeyringError as exc:
            raise SellerSpriteDependencyError("当前系统 keyring 不可用，无法读取卖家精灵密码") from exc

    def _delete_password(self, name: str) -> None:
        """删除系统凭据管理器密码。"""
        if not _KEYRING_AVAILABLE:
            return
        try:
            keyring.delete_password(_KEYRING_SERVICE, self._keyring_account(name))
        except Exception:  # deleting is best effort: a missing entry or backend is not an error
            pass


# Kept below the class so that the methods above stay on the same lines as in
# the native module, whose tracebacks quote them (save and delete each take
# one line more, for their lock).
def _is_plain(path) -> bool:
    """Whether the store does the file work itself: for any other path object
    it calls exactly the methods it is asked for. (The native module also
    checks that none of pathlib's methods has been replaced.)"""
    return type(path) is PosixPath


def _check_username(username: str) -> None:
    """A username that accounts.json cannot hold (a lone surrogate) is
    refused before the password is written."""
    if not username.isascii():
        try:
            username.encode("utf-8")
        except UnicodeEncodeError:
            raise InvalidCollectOptionError("卖家精灵用户名包含无法写入账号文件的字符（单独的代理码位）") from None


def _make_folder(folder) -> None:
    if _is_plain(folder):
        folder.mkdir(mode=0o700, parents=True, exist_ok=True)  # private when new
    else:
        folder.mkdir(parents=True, exist_ok=True)


def _read_payload(path):
    """The decoded JSON of the file; for a plain path, None when it is not a
    regular file (a FIFO would block)."""
    if not _is_plain(path):
        return json.loads(path.read_text(encoding="utf-8"))
    import os

    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    with open(fd, "rb") as file:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            return None
        return json.loads(file.read().decode("utf-8"))


def _write_file(path, text: str):
    """Writes the file; for a plain path, through a temporary file renamed over
    it, giving back the new file's descriptor, still open."""
    if not _is_plain(path):
        path.write_text(text, encoding="utf-8")
        return None
    return _replace_file(path, text)


def _set_mode(path, written, mode: int) -> None:
    """Sets the new file's mode: through its descriptor, so that whatever
    stands at the path by then is never changed."""
    import os

    if written is None:
        path.chmod(mode)
        return
    try:
        os.fchmod(written, mode)
    finally:
        os.close(written)


class _StoreLock:
    """The store's lock for one change: an exclusive advisory lock on
    "accounts.json.lock" beside the file, for plain paths only. Threads
    exclude each other as processes do; a thread that already holds it (a
    change re-entered from a callback) goes on. For a save (`extra_bytes`
    given), the new file's temporary file is then created with room for the
    file and `extra_bytes` more, before the password is written.

    The native lock also keeps a waiting line in memory mapped from the lock
    file, served in turn with atomic operations, which pure Python has not:
    this one polls, as the native one does when the line cannot be mapped."""

    WAIT_SECONDS = 10.0
    TIMEOUT_MESSAGE = "另一个进程正在修改卖家精灵账号，等待 10 秒后仍未完成"
    _held = threading.local()

    def __init__(self, store, extra_bytes=None) -> None:
        self.path = None
        self.fd = None
        self.extra_bytes = extra_bytes
        try:
            meta_path = store.meta_path
        except Exception:  # the store's own steps meet this failure where they always did
            return
        if _is_plain(meta_path):
            self.meta_path = meta_path
            self.path = f"{meta_path}.lock"

    def __enter__(self) -> None:
        import errno
        import fcntl
        import os
        import time

        if self.path is None:
            return
        held = self._held.__dict__.setdefault("files", set())
        deadline = time.monotonic() + self.WAIT_SECONDS
        pause = 20e-6
        flags = os.O_CREAT | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC
        while True:
            try:
                fd = os.open(self.path, os.O_RDWR | flags, 0o600)
            except OSError as exc:
                if exc.errno not in (errno.EACCES, errno.EROFS, errno.EPERM):
                    raise
                fd = os.open(self.path, os.O_RDONLY | flags, 0o600)
            try:
                opened = os.fstat(fd)
                key = (opened.st_dev, opened.st_ino)
                if key in held:
                    os.close(fd)
                    return
                while True:
                    try:
                        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                        break
                    except BlockingIOError:
                        if time.monotonic() >= deadline:
                            raise TimeoutError(errno.ETIMEDOUT, self.TIMEOUT_MESSAGE, self.path) from None
                        time.sleep(pause)
                        pause = min(pause * 2, 5e-3)
                    except OSError as exc:
                        if exc.errno in (errno.ENOLCK, errno.EOPNOTSUPP):
                            os.close(fd)
                            return self._reserve()
                        raise
                try:
                    current = os.lstat(self.path)
                except OSError:
                    current = None
            except BaseException:
                os.close(fd)
                raise
            if current is not None and (current.st_dev, current.st_ino) == key:
                self.fd, self.key = fd, key
                held.add(key)
                try:
                    return self._reserve()
                except BaseException:
                    self.__exit__()
                    raise
            os.close(fd)  # replaced while waiting: lock the file that stands there now

    def _reserve(self) -> None:
        if self.extra_bytes is not None:
            self.reservation = _reserve(self.meta_path, self.extra_bytes)

    def __exit__(self, *exc_info) -> None:
        import os

        reservation = getattr(self, "reservation", None)
        if reservation is not None and reservation in _reservations():  # not used by a write
            _reservations().remove(reservation)
            os.close(reservation[1])
            os.unlink(reservation[2])
        if self.fd is not None:
            self._held.files.discard(self.key)
            os.close(self.fd)


_local = threading.local()


def _reservations() -> list:
    """This thread's unused reserved temporary files, the most recent last:
    [path they will replace, descriptor, name]."""
    return _local.__dict__.setdefault("reserved", [])


def _reserve(path: Path, extra_bytes: int):
    """A new private temporary file next to `path`, given the disk space of
    the file and `extra_bytes` more, listed for the write. A folder or disk
    that cannot take the write fails here, naming `path`."""
    import os
    import tempfile

    try:
        fd, name = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.", suffix=".tmp")
    except OSError as exc:
        raise OSError(exc.errno, exc.strerror, str(path)) from None
    try:
        try:
            size = os.stat(path).st_size
        except OSError:
            size = 0
        os.posix_fallocate(fd, 0, size + extra_bytes)
    except OSError as exc:
        os.close(fd)
        os.unlink(name)
        raise OSError(exc.errno, exc.strerror, str(path)) from None
    reservation = [str(path), fd, name]
    _reservations().append(reservation)
    return reservation


def _keep_unreadable(path: Path) -> None:
    """Copy aside content that reading ignores, before a write replaces it."""
    import os
    import time

    try:
        with open(path, "rb", opener=lambda p, f: os.open(p, f | os.O_NONBLOCK)) as old:
            if not stat.S_ISREG(os.fstat(old.fileno()).st_mode):
                return
            content = old.read()
    except FileNotFoundError:
        return
    try:
        if isinstance(json.loads(content.decode("utf-8")), dict):
            return
    except Exception:
        pass
    now = time.time()
    aside = f"{path}.unreadable-{time.strftime('%Y%m%dT%H%M%S', time.gmtime(now))}.{int(now % 1 * 1e6):06d}Z"
    fd = os.open(aside, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with open(fd, "wb") as copy:
        copy.write(content)
        copy.flush()
        os.fsync(copy.fileno())


def _replace_file(path: Path, text: str) -> None:
    """Replace `path` with `text` so that a reader sees the old file or the new one, never a mix.

    The temporary file is created with mode 0600, so the accounts never sit in a
    file that others may read, not even for a moment.
    """
    import os
    import tempfile  # only writers need it, and it pulls in random and shutil

    _keep_unreadable(path)
    reserved = [r for r in _reservations() if r[0] == str(path)]
    if reserved:
        _reservations().remove(reserved[-1])
        fd, tmp_name = reserved[-1][1:]
    else:
        fd, tmp_name = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.", suffix=".tmp")
    try:
        data = text.encode("utf-8")
        os.lseek(fd, 0, os.SEEK_SET)
        size = len(data)
        while data:
            data = data[os.write(fd, data):]
        os.ftruncate(fd, size)  # a reservation may have made it longer
        os.fsync(fd)
        os.replace(tmp_name, path)
        return fd
    except BaseException:
        os.close(fd)
        try:
            os.unlink(tmp_name)
        except OSError:
            pass
        raise
