"""accounts.json holding hostile content, or something other than a
readable file: the operations read it as the mapping it holds or as an empty
one, none crashes or hangs, and the next save loses nothing it held."""

from __future__ import annotations

import errno
import json
import os
import re
import stat
import threading
import traceback

import pytest

from permissions import needs_permissions
from platforms import mkfifo, mksocket, no_fifos, no_special_files, no_symlinks, os_error, text_mode
from zorvan.seller_sprite.domain.exceptions import InvalidCollectOptionError
from zorvan.seller_sprite.services.credarium import SellerSpriteCredarium

TIME_LIMIT = 20  # seconds for any one operation
MB = 1 << 20
SET_ASIDE = re.compile(r"accounts\.json\.unreadable-\d{8}T\d{6}\.\d{6}Z")
LOCK = "accounts.json.lock"  # made by the first save or delete, and kept
NEW = {"username": "u"}
EXAMPLE = '{"main": {"username": "seller-a"}, "店铺二": {"username": "卖家乙"}}'.encode()
DEEP = 100_000

# The bytes of accounts.json, or a function making them (to keep the big
# ones out of memory until their row runs).
CONTENTS = {
    "truncated JSON": EXAMPLE[:EXAMPLE.index(b', "')],
    "cut inside a character": EXAMPLE[:EXAMPLE.index("卖".encode()) + 1],
    "byte-order mark alone": b"\xef\xbb\xbf",
    "UTF-16 with its byte-order mark": EXAMPLE.decode().encode("utf-16"),
    "byte that is never UTF-8": EXAMPLE.replace(b"seller", b"sel\xffler"),
    "encoded lone surrogate": EXAMPLE.replace(b"seller", b"sel\xed\xa0\x80ler"),
    "overlong encoding": EXAMPLE.replace(b"seller", b"sel\xc0\xafler"),
    "NUL bytes": b"\x00" * 1000,
    "whitespace only": b" \n\t\r ",
    f"{DEEP} open brackets": b"[" * DEEP,
    f"{DEEP} brackets, closed": b"[" * DEEP + b"]" * DEEP,
    "deep nesting inside an entry": b'{"main": {"username": "u", "x": ' + b"[" * DEEP + b"]" * DEEP + b"}}",
    "integer too long to convert": b'{"main": {"username": "u", "n": ' + b"7" * 5000 + b"}}",
    "string at the top": b'"main"',
    "true at the top": b"true",
    "false at the top": b"false",
    "entries that are not objects": b'{"main": 1, "b": "u", "c": null, "d": [1], "e": true, "f": {}}',
    "escaped lone surrogate": b'{"main": {"username": "\\ud800"}}',  # reads, but cannot be written back
    "50 MB mapping": lambda: json.dumps({"main": {"username": "x" * (50 * MB)}}).encode(),
    "50 MB, cut short": lambda: json.dumps({"main": {"username": "x" * (50 * MB)}}).encode()[:-3],
}


def within_time_limit(operation, path):
    """operation()'s result, or the exception it raised, as a pair; fails the
    test when it does not finish in time."""
    outcome = []

    def run():
        try:
            outcome.append((operation(), None))
        except Exception as exc:
            outcome.append((None, exc))

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    thread.join(TIME_LIMIT)
    if thread.is_alive():
        if path.is_fifo():  # opening both ends frees a blocked open()
            for flags in (os.O_RDONLY, os.O_WRONLY):
                try:
                    os.close(os.open(path, flags | os.O_NONBLOCK))
                except OSError:
                    pass
        pytest.fail(f"still running after {TIME_LIMIT} s")
    return outcome[0]


def decoded(content):
    """The JSON object in content as the standard decoder sees it, or None
    when there is none (reading then finds an empty mapping)."""
    try:
        payload = json.loads(content.decode("utf-8"))
    except (ValueError, RecursionError):
        return None
    return payload if isinstance(payload, dict) else None


def folder_state(store):
    """Every name under the store folder but the lock file, with its mode and,
    for a link, its target, or for a regular file that can be read, its bytes."""
    state = {}
    for folder, _, files in os.walk(store.base_dir):
        state[folder] = os.lstat(folder).st_mode
        for name in set(files) - {LOCK}:
            path = os.path.join(folder, name)
            mode = os.lstat(path).st_mode
            state[path] = mode, os.readlink(path) if stat.S_ISLNK(mode) else None
            if stat.S_ISREG(mode) and os.access(path, os.R_OK):
                with open(path, "rb") as file:
                    state[path] = mode, file.read()
    return state


def check_reading(store, accounts):
    """list, get and delete treat the file as holding `accounts`, and
    change nothing on disk."""
    before = folder_state(store)
    result, error = within_time_limit(store.list, store.meta_path)
    odd = [entry for entry in accounts.values() if not isinstance(entry, dict)]
    if odd:
        message = f"'{type(odd[0]).__name__}' object has no attribute 'get'"
        assert (type(error), str(error)) == (AttributeError, message)
    else:
        assert error is None and result == [{"name": k, "username": v.get("username")} for k, v in accounts.items()]

    _, error = within_time_limit(lambda: store.get(name="main"), store.meta_path)
    problem = "缺少密码，请重新执行" if accounts.get("main") else "不存在，请先执行"  # no password was ever saved
    assert (type(error), str(error)) == (InvalidCollectOptionError, f"卖家精灵账号 `main` {problem} account save")
    assert within_time_limit(lambda: store.delete(name="absent"), store.meta_path) == (False, None)
    assert folder_state(store) == before


def save_new(store):
    return within_time_limit(lambda: store.save(name="new", username="u", password="pw"), store.meta_path)


def aside_names(store):
    return [name for name in os.listdir(store.base_dir) if SET_ASIDE.fullmatch(name)]


@pytest.fixture
def store(tmp_path):
    return SellerSpriteCredarium(base_dir=tmp_path)


@pytest.mark.parametrize("content", CONTENTS.values(), ids=CONTENTS.keys())
def test_hostile_content_reads_as_its_mapping_or_as_empty_and_survives_the_next_save(store, memory_keyring, content):
    content = content() if callable(content) else content
    store.meta_path.write_bytes(content)
    accounts = decoded(content)
    check_reading(store, accounts or {})

    result, error = save_new(store)
    try:
        data = text_mode(json.dumps({**(accounts or {}), "new": NEW}, ensure_ascii=False, indent=2).encode())
    except UnicodeEncodeError as exc:  # a value the file cannot hold: the save fails, the file stays
        assert (type(error), str(error)) == (UnicodeEncodeError, str(exc))
        assert sorted(os.listdir(store.base_dir)) == ["accounts.json", LOCK]
        assert store.meta_path.read_bytes() == content
        return
    assert (result, error) == ({"name": "new", "username": "u"}, None)
    assert store.meta_path.read_bytes() == data
    names = aside_names(store)
    if accounts is None:
        assert len(names) == 1 and (store.base_dir / names[0]).read_bytes() == content
    else:  # everything it held is in the new file
        assert names == []
    assert sorted(os.listdir(store.base_dir)) == sorted(["accounts.json", LOCK, *names])


def make_directory(path):
    path.mkdir()
    (path / "inside").write_bytes(EXAMPLE)


def make_unreadable(path):
    path.write_bytes(EXAMPLE)
    path.chmod(0o200)


def make_device(path):
    try:
        os.mknod(path, stat.S_IFCHR | 0o600, os.makedev(1, 3))  # /dev/null's numbers
    except PermissionError:
        pytest.skip("a device node needs CAP_MKNOD")


# What stands at accounts.json; the error a save then fails with before the
# password (errno, Win32 error), or None; what a successful save set aside.
@pytest.mark.parametrize("make, save_error, aside", [
    pytest.param(make_directory, (errno.EISDIR, 5), None, id="directory"),
    pytest.param(mkfifo, (errno.ENOTSUP, 0), None, id="FIFO", marks=no_fifos),
    pytest.param(mksocket, (errno.ENOTSUP, 0), None, id="socket", marks=no_special_files),
    pytest.param(make_device, (errno.ENOTSUP, 0), None, id="device", marks=no_special_files),
    pytest.param(lambda path: os.symlink(path.name, path), None, "accounts.json", id="symlink to itself",
                 marks=no_symlinks),
    pytest.param(lambda path: os.symlink("elsewhere", path), None, None, id="dangling symlink", marks=no_symlinks),
    pytest.param(lambda path: (mkfifo(path.with_name("fifo")), os.symlink("fifo", path)), None, None,
                 id="symlink to a FIFO", marks=no_symlinks),
    pytest.param(make_unreadable, None, EXAMPLE, id="no read permission", marks=needs_permissions),
])
def test_something_other_than_a_readable_file_reads_as_empty_and_is_not_lost(store, memory_keyring, make,
                                                                             save_error, aside):
    make(store.meta_path)
    check_reading(store, {})
    before = folder_state(store)

    result, error = save_new(store)
    if save_error:  # nothing can take its place: the save fails before the password and leaves it alone
        assert (type(error), str(error)) == os_error(*save_error, store.meta_path)
        assert traceback.extract_tb(error.__traceback__)[-1].lineno == 39
        assert (folder_state(store), memory_keyring.secrets) == (before, {})
        return
    assert (result, error) == ({"name": "new", "username": "u"}, None)
    assert json.loads(store.meta_path.read_text(encoding="utf-8")) == {"new": NEW}
    names = aside_names(store)
    if aside is None:  # nothing there to keep: a link is replaced itself, its target left alone
        assert names == []
    else:  # moved aside as it was: a link keeps its target, a file its bytes
        assert len(names) == 1
        kept = store.base_dir / names[0]
        assert (os.readlink(kept) if kept.is_symlink() else kept.read_bytes()) == aside
