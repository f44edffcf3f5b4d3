"""The store folder and accounts.json: where they live, how the file is read,
its exact bytes and mode, the account-name rule, and that a write never
destroys the old file, not even one whose content could not be read."""

from __future__ import annotations

import contextlib
import datetime
import errno
import json
import os
import pathlib
import re
import stat
import subprocess
import sys
import textwrap
import threading
import traceback

import pytest

from permissions import needs_permissions
from platforms import CASE_BLIND_CREDENTIALS, mkfifo, mode, no_fifos, no_rlimits, no_symlinks, os_error, text_mode
from zorvan.seller_sprite.domain.exceptions import InvalidCollectOptionError
from zorvan.seller_sprite.services import credarium
from zorvan.seller_sprite.services.credarium import SellerSpriteCredarium

SOURCE = "zorvan/seller_sprite/services/credarium"
METHOD = "zorvan.seller_sprite.services.credarium.SellerSpriteCredarium."
SHOP, SELLER = "店铺二", "卖家乙"
EXAMPLE = {"main": {"username": "seller-a"}, SHOP: {"username": SELLER}}
EXAMPLE_BYTES = text_mode((
    '{\n  "main": {\n    "username": "seller-a"\n  },\n'
    f'  "{SHOP}": {{\n    "username": "{SELLER}"\n  }}\n}}'
).encode())
SET_ASIDE = re.compile(r"accounts\.json\.unreadable-(\d{8}T\d{6}\.\d{6}Z)")

# Content that reads as an empty mapping and that a write must keep.
MALFORMED = {
    "array": b'[{"username": "u"}]',
    "null": b"null",
    "number": b"42",
    "byte-order mark": b'\xef\xbb\xbf{"main": {"username": "u"}}',
    "syntax error": b'{"main": {"username": "u"},}',
    "invalid utf-8": b'{"m\xffin": {"username": "u"}}',
    "empty": b"",
}


def entries(exc):
    return [(e.lineno, e.name.removeprefix(METHOD))
            for e in traceback.extract_tb(exc.__traceback__) if e.filename == SOURCE]


def mode_of(path):
    return stat.S_IMODE(path.stat().st_mode)


def folder_names(store):
    return sorted(p.name for p in store.base_dir.iterdir())


def finishes(call, path):
    """Runs call() in a thread; False if it blocked on the FIFO at `path`."""
    thread = threading.Thread(target=call, daemon=True)
    thread.start()
    thread.join(10)
    if thread.is_alive():  # open both ends so the blocked open() returns
        for flags in (os.O_RDONLY, os.O_WRONLY):
            try:
                os.close(os.open(path, flags | os.O_NONBLOCK))
            except OSError:
                pass
        return False
    return True


@pytest.fixture
def store(tmp_path):
    return SellerSpriteCredarium(base_dir=tmp_path)


@pytest.fixture
def umask_zero():
    # With no umask, a mode tighter than 0666 must have been asked for.
    previous = os.umask(0)
    yield
    os.umask(previous)


@pytest.mark.parametrize("given, expected", [
    (None, "config"), ("", "config"), ("a/b", "a/b"), ("path a/b", "a/b"),
    ("张三/文档", "张三/文档"),  # a profile folder as on a Chinese Windows: wide paths there
])
def test_store_folder_is_the_base_dir_joined_with_seller_sprite(tmp_path, monkeypatch, memory_keyring, given,
                                                                 expected):
    monkeypatch.setattr(credarium, "CONFIG_DIR", tmp_path / "config")
    if given and given.startswith("path "):
        given = tmp_path / given.removeprefix("path ")
    elif given:
        given = str(tmp_path / given)
    store = SellerSpriteCredarium(base_dir=given)
    assert store.base_dir == tmp_path / expected / "seller_sprite"
    assert store.meta_path == store.base_dir / "accounts.json"
    assert store.base_dir.is_dir() and folder_names(store) == []  # the file comes with the first write
    assert SellerSpriteCredarium(base_dir=given).base_dir == store.base_dir  # an existing folder is fine
    store.save(name="main", username="u", password="pw")
    assert (store.list(), folder_names(store)) == ([{"name": "main", "username": "u"}], ["accounts.json",
                                                                                      "accounts.json.lock"])


def test_regular_file_at_the_store_folder_fails_construction(tmp_path):
    (tmp_path / "seller_sprite").write_text("in the way")
    with pytest.raises(FileExistsError) as caught:
        SellerSpriteCredarium(base_dir=tmp_path)
    assert (type(caught.value), str(caught.value)) == os_error(errno.EEXIST, 183, tmp_path / "seller_sprite")
    assert entries(caught.value) == [(29, "__init__")]


def test_missing_file_reads_as_empty_and_creates_nothing(store):
    assert store._load_accounts() == {}
    assert folder_names(store) == []


@pytest.mark.parametrize("content", MALFORMED.values(), ids=MALFORMED.keys())
def test_malformed_file_reads_as_empty_and_is_left_alone(store, content):
    store.meta_path.write_bytes(content)
    assert store._load_accounts() == {}
    assert store.meta_path.read_bytes() == content
    assert folder_names(store) == ["accounts.json"]


@pytest.mark.parametrize("make", [pytest.param(mkfifo, marks=no_fifos), os.mkdir], ids=["fifo", "directory"])
def test_something_other_than_a_file_reads_as_empty_without_blocking(store, make):
    make(store.meta_path)
    result = []
    assert finishes(lambda: result.append(store._load_accounts()), store.meta_path)
    assert result == [{}]


@no_fifos
def test_write_over_a_fifo_neither_blocks_nor_replaces_it(store):
    os.mkfifo(store.meta_path)
    errors = []
    assert finishes(lambda: errors.append(pytest.raises(OSError, store._save_accounts, EXAMPLE).value),
                    store.meta_path)
    assert [(type(e), str(e)) for e in errors] == [os_error(errno.ENOTSUP, 0, store.meta_path)]
    assert entries(errors[0]) == [(89, "_save_accounts")]
    assert store.meta_path.is_fifo() and folder_names(store) == ["accounts.json"]


@pytest.mark.parametrize("accounts, content", [
    ({}, b"{}"),
    (EXAMPLE, EXAMPLE_BYTES),
    ({'q"\\\n\x01': {"username": "é"}}, text_mode('{\n  "q\\"\\\\\\n\\u0001": {\n    "username": "é"\n  }\n}'.encode())),
], ids=["empty", "two accounts", "escapes"])
def test_file_holds_exactly_the_indented_json(store, accounts, content):
    assert store._save_accounts(accounts) is None
    assert store.meta_path.read_bytes() == content
    assert list(store._load_accounts().items()) == list(accounts.items())


@pytest.mark.parametrize("before", [None, 0o644, 0o666])
def test_file_is_private_after_every_write(store, umask_zero, before):
    if before is not None:
        store.meta_path.write_text("{}")
        store.meta_path.chmod(before)
    store._save_accounts(EXAMPLE)
    assert mode_of(store.meta_path) == mode(0o600)


def test_new_content_is_private_before_the_final_chmod(store, umask_zero, monkeypatch):
    # The final chmod reads the stat constants: note the mode at that moment.
    seen = []

    class StatProbe:
        S_IWUSR = stat.S_IWUSR

        @property
        def S_IRUSR(self):
            seen.append(mode_of(store.meta_path))
            return stat.S_IRUSR

    monkeypatch.setattr(credarium, "stat", StatProbe())
    store._save_accounts(EXAMPLE)
    assert seen == [mode(0o600)]


def test_a_new_store_folder_is_private_and_an_existing_one_is_left_as_it_is(tmp_path, umask_zero, memory_keyring):
    store = SellerSpriteCredarium(base_dir=tmp_path / "new")
    assert (mode_of(tmp_path / "new"), mode_of(store.base_dir)) == (0o777, mode(0o700, folder=True))  # parents as before
    store.save(name="main", username="u", password="pw")
    assert {name: mode_of(store.base_dir / name) for name in folder_names(store)} == {
        "accounts.json": mode(0o600), "accounts.json.lock": mode(0o600)}
    (tmp_path / "old" / "seller_sprite").mkdir(parents=True, mode=0o755)
    assert mode_of(SellerSpriteCredarium(base_dir=tmp_path / "old").base_dir) == mode(0o755, folder=True)


# Replaces accounts.json with a link to argv[2], over and over, as someone
# who may write in the store folder could.
LINK_SWAPPER = textwrap.dedent("""
    import os, sys
    meta_path, target = sys.argv[1], sys.argv[2]
    while True:
        try:
            os.symlink(target, meta_path + ".swap")
            os.replace(meta_path + ".swap", meta_path)
        except OSError:
            pass
""")


@no_symlinks
def test_a_link_swapped_in_for_the_file_never_has_its_target_changed(store, memory_keyring, tmp_path):
    target = tmp_path / "outside.json"
    target.write_text("{}")
    target.chmod(0o644)
    swapper = subprocess.Popen([sys.executable, "-c", LINK_SWAPPER, str(store.meta_path), str(target)])
    try:
        for index in range(300):
            store.save(name=f"a{index}", username="u", password="pw")
    finally:
        swapper.kill()
        swapper.wait()
    assert mode_of(target) == 0o644


def unopenable_lock(make):
    def setup(store):
        lock = pathlib.Path(f"{store.meta_path}.lock")
        lock.unlink()
        make(lock)
    return setup


def read_only_folder(store):
    unopenable_lock(lambda lock: None)(store)
    store.base_dir.chmod(0o500)


@pytest.mark.parametrize("change, line", [
    (lambda store: store.save(name="main", username="new", password="new"), (39, "save")),
    (lambda store: store.delete(name="main"), (53, "delete")),
], ids=["save", "delete"])
@pytest.mark.parametrize("setup, error, winerror", [
    (unopenable_lock(pathlib.Path.mkdir), errno.EISDIR, 5),
    pytest.param(unopenable_lock(lambda lock: lock.symlink_to(lock.with_name("elsewhere"))), errno.ELOOP, 1921,
                 marks=no_symlinks),
    pytest.param(read_only_folder, errno.EACCES, 5, marks=needs_permissions),
], ids=["directory", "symbolic link", "read-only folder"])
def test_a_lock_file_that_cannot_be_opened_fails_the_change_before_anything_changes(
        store, memory_keyring, change, line, setup, error, winerror):
    store.save(name="main", username="old", password="old")
    before = store.meta_path.read_bytes(), dict(memory_keyring.secrets)
    setup(store)
    try:
        with pytest.raises(OSError) as caught:
            change(store)
    finally:
        store.base_dir.chmod(0o700)
    lock = f"{store.meta_path}.lock"
    assert (type(caught.value), str(caught.value)) == os_error(error, winerror, lock)
    assert entries(caught.value) == [line]
    assert (store.meta_path.read_bytes(), memory_keyring.secrets) == before
    assert not (store.base_dir / "elsewhere").exists()


@pytest.fixture
def small_disk(tmp_path):
    """A folder on a tmpfs of its own, 256 KiB, that a test may fill or make read-only."""
    disk = tmp_path / "disk"
    disk.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", str(disk)], capture_output=True)
    if mounted.returncode:
        pytest.skip(f"mounting a tmpfs needs root: {mounted.stderr.decode().strip()}")
    yield disk
    subprocess.run(["umount", "-l", str(disk)], check=True)


def fill(store):
    with open(store.base_dir / "filler", "wb", buffering=0) as filler, contextlib.suppress(OSError):
        while filler.write(b"x" * 4096):
            pass


# Saves argv[2] with a new password, printing the OSError it fails with.
FAILING_SAVE = textwrap.dedent("""
    import json, sys
    from zorvan.seller_sprite.services.credarium import SellerSpriteCredarium
    try:
        SellerSpriteCredarium(base_dir=sys.argv[1]).save(name=sys.argv[2], username="new", password="new")
    except OSError as exc:
        print(json.dumps([type(exc).__name__, exc.errno, exc.filename]))
""")
NO_CAPABILITIES = ["setpriv", "--bounding-set", "-all", "--inh-caps", "-all", "--"]  # root, held to permissions


@pytest.mark.parametrize("fault, error, errno_, runner", [
    (lambda store: subprocess.run(["mount", "-o", "remount,ro", str(store.base_dir.parent)], check=True),
     "OSError", errno.EROFS, []),
    (lambda store: store.base_dir.chmod(0o500), "PermissionError", errno.EACCES, NO_CAPABILITIES),
    (fill, "OSError", errno.ENOSPC, []),
    (lambda store: (os.truncate(f"{store.meta_path}.lock", 0), fill(store)), "OSError", errno.ENOSPC, []),
], ids=["read-only file system", "folder without write permission", "full disk", "full disk, empty lock file"])
def test_a_save_the_folder_cannot_take_fails_before_the_password_is_touched(
        small_disk, secret_service, fault, error, errno_, runner):
    import keyring

    store = SellerSpriteCredarium(base_dir=small_disk)
    store.save(name="a1", username="old", password="old")
    fault(store)
    before = folder_names(store), store.meta_path.read_bytes()
    for name in ("a1", "a2"):  # a new password for an account, and a new account
        child = subprocess.run([*runner, sys.executable, "-c", FAILING_SAVE, str(small_disk), name],
                               env=secret_service, capture_output=True, text=True, timeout=60)
        assert json.loads(child.stdout or "null") == [error, errno_, str(store.meta_path)], child.stderr
    assert [keyring.get_password("zorvan-seller-sprite", f"account:{name}") for name in ("a1", "a2")] == ["old", None]
    assert (folder_names(store), store.meta_path.read_bytes()) == before


class Refused(Exception):
    """What a path object of the caller's own raises."""


class DuckPath:
    """A path object of the caller's own, with only the methods the store
    calls on such an object: each logs its call and passes it on to a real
    path, or raises Refused if it is the one named."""

    def __init__(self, path, refuse=None):
        self.path, self.refuse, self.calls = path, refuse, []

    def _call(self, method, *args, **kwargs):
        self.calls.append((method, args, kwargs))
        if method == self.refuse:
            raise Refused(method)
        return getattr(self.path, method)(*args, **kwargs)

    def exists(self):
        return self._call("exists")

    def read_text(self, *args, **kwargs):
        return self._call("read_text", *args, **kwargs)

    def write_text(self, *args, **kwargs):
        return self._call("write_text", *args, **kwargs)

    def chmod(self, *args, **kwargs):
        return self._call("chmod", *args, **kwargs)


def test_a_path_object_of_the_caller_s_own_gets_exactly_the_documented_calls(store, memory_keyring):
    store.meta_path = duck = DuckPath(store.meta_path)
    store.save(name="main", username="u", password="pw")
    store.save(name=SHOP, username=SELLER, password="pw")
    assert store.delete(name="main") is True

    def write(accounts):
        return ("write_text", (json.dumps(accounts, ensure_ascii=False, indent=2),), {"encoding": "utf-8"})

    exists, read, chmod = ("exists", (), {}), ("read_text", (), {"encoding": "utf-8"}), ("chmod", (0o600,), {})
    # Where the credential manager ignores case, a save reads the accounts
    # once more, before the password, to refuse a name clashing in case.
    check = [exists, read][:2 * CASE_BLIND_CREDENTIALS]
    assert duck.calls == [
        *check[:1], exists, write({"main": {"username": "u"}}), chmod,
        *check, exists, read, write({"main": {"username": "u"}, SHOP: {"username": SELLER}}), chmod,
        exists, read, write({SHOP: {"username": SELLER}}), chmod,
    ]
    assert folder_names(store) == ["accounts.json"]  # neither a lock nor a temporary file


@pytest.mark.parametrize("method, trace", [
    ("exists", [(39 if CASE_BLIND_CREDENTIALS else 40, "save"), (79, "_load_accounts")]),
    ("read_text", None),  # an ordinary error while reading: the file reads as empty
    ("write_text", [(42, "save"), (89, "_save_accounts")]),
    ("chmod", [(42, "save"), (90, "_save_accounts")]),
])
def test_errors_of_the_caller_s_path_object_leave_from_the_documented_lines(store, memory_keyring, method, trace):
    store.meta_path.write_bytes(EXAMPLE_BYTES)
    store.meta_path = DuckPath(store.meta_path, refuse=method)
    if trace is None:
        store.save(name="new", username="u", password="pw")
        assert json.loads(store.meta_path.path.read_bytes()) == {"new": {"username": "u"}}
        return
    with pytest.raises(Refused) as caught:
        store.save(name="new", username="u", password="pw")
    assert entries(caught.value) == trace


FULL_WIDTH_123 = "".join(chr(0xFF10 + d) for d in (1, 2, 3))


@pytest.mark.parametrize("name, valid", [
    ("main", True), ("a-b_c", True), ("-a_", True), (SHOP + "2", True), (FULL_WIDTH_123, True),
    ("Ärger", True), ("x" * 300, True),
    ("", False), ("-", False), ("_-_", False), ("a b", False), (" a", False), ("a.b", False),
    ("a@b", False), ("a/b", False), ("a\n", False), ("a\uff0cb", False), ("a\u3000b", False),
])
def test_account_name_rule(store, name, valid):
    if valid:
        assert store._validate_name(name) is None
        return
    with pytest.raises(InvalidCollectOptionError) as caught:
        store._validate_name(name)
    assert str(caught.value) == "账号名称只能包含字母、数字、下划线和中划线"
    assert caught.value.__cause__ is None
    assert entries(caught.value) == [(95, "_validate_name")]


def test_successful_writes_leave_no_temporary_file(store):
    for count in range(3):
        store._save_accounts({f"a{i}": {"username": "u"} for i in range(count)})
    assert folder_names(store) == ["accounts.json"]


def test_old_temporary_files_of_dead_writers_are_removed(store):
    dead = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"],
                          capture_output=True, text=True, check=True).stdout.strip()
    alive = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(600)"])
    leftovers = {
        f".accounts.json.{dead}.0.1.tmp": 3600,       # a killed writer's, an hour old: removed
        f".accounts.json.{dead}.1.2.tmp": 0,          # just written, maybe by another host: kept
        f".accounts.json.{alive.pid}.0.3.tmp": 3600,  # its writer is alive: kept
    }
    for name, age in leftovers.items():
        (store.base_dir / name).write_text("{}")
        old = os.stat(store.base_dir / name).st_mtime - age
        os.utime(store.base_dir / name, (old, old))
    try:
        store._save_accounts(EXAMPLE)
    finally:
        alive.kill()
        alive.wait()
    assert folder_names(store) == sorted(["accounts.json", *list(leftovers)[1:]])


@pytest.mark.parametrize("accounts, error, message", [
    ({"a": {"username": object()}}, TypeError, "Object of type object is not JSON serializable"),
    ({"\ud800": {"username": "u"}}, UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\ud800' in position 5: surrogates not allowed"),
], ids=["unencodable value", "lone surrogate"])
def test_failed_encoding_keeps_the_old_file(store, accounts, error, message):
    store._save_accounts(EXAMPLE)
    with pytest.raises(error) as caught:
        store._save_accounts(accounts)
    assert (type(caught.value), str(caught.value)) == (error, message)
    assert entries(caught.value) == [(89, "_save_accounts")]
    assert store.meta_path.read_bytes() == EXAMPLE_BYTES
    assert folder_names(store) == ["accounts.json"]


def test_failed_rename_removes_the_temporary_file(store):
    store.meta_path.mkdir()
    with pytest.raises(OSError) as caught:
        store._save_accounts(EXAMPLE)
    assert (type(caught.value), str(caught.value)) == os_error(errno.EISDIR, 5, store.meta_path)
    assert folder_names(store) == ["accounts.json"] and list(store.meta_path.iterdir()) == []


@no_rlimits
def test_write_cut_short_keeps_the_old_file(store):
    # The file-size limit stops a write part way, for root too; a child
    # process keeps the limit away from pytest's own files.
    store._save_accounts(EXAMPLE)
    child = subprocess.run([sys.executable, "-c", textwrap.dedent(f"""
        import json, resource
        from zorvan.seller_sprite.services.credarium import SellerSpriteCredarium
        store = SellerSpriteCredarium(base_dir={str(store.base_dir.parent)!r})
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, resource.RLIM_INFINITY))
        try:
            store._save_accounts({{f"a{{i}}": {{"username": "u" * 50}} for i in range(500)}})
        except OSError as exc:
            print(json.dumps([exc.filename, str(exc)]))
    """)], capture_output=True, text=True, timeout=60)
    assert child.returncode == 0, child.stderr
    filename, message = json.loads(child.stdout)
    assert message == f"[Errno 27] File too large: '{filename}'"
    assert os.path.dirname(filename) == str(store.base_dir)
    assert store.meta_path.read_bytes() == EXAMPLE_BYTES
    assert folder_names(store) == ["accounts.json"]


@needs_permissions
def test_read_only_store_folder_refuses_the_write_and_keeps_the_old_file(store):
    store._save_accounts(EXAMPLE)
    store.base_dir.chmod(0o500)
    try:
        with pytest.raises(PermissionError) as caught:
            store._save_accounts({})
    finally:
        store.base_dir.chmod(0o700)
    assert str(caught.value) == f"[Errno 13] Permission denied: '{caught.value.filename}'"
    assert os.path.dirname(caught.value.filename) == str(store.base_dir)
    assert store.meta_path.read_bytes() == EXAMPLE_BYTES
    assert folder_names(store) == ["accounts.json"]


@pytest.mark.parametrize("content", MALFORMED.values(), ids=MALFORMED.keys())
def test_malformed_content_is_copied_aside_before_a_write(store, umask_zero, content):
    store.meta_path.write_bytes(content)
    store.meta_path.chmod(0o644)
    before = datetime.datetime.now(datetime.timezone.utc)
    store._save_accounts(EXAMPLE)
    after = datetime.datetime.now(datetime.timezone.utc)

    assert store.meta_path.read_bytes() == EXAMPLE_BYTES
    names = folder_names(store)
    assert len(names) == 2 and (stamp := SET_ASIDE.fullmatch(names[1])), names
    when = datetime.datetime.strptime(stamp[1], "%Y%m%dT%H%M%S.%fZ").replace(tzinfo=datetime.timezone.utc)
    assert before <= when <= after
    aside = store.base_dir / names[1]
    assert aside.read_bytes() == content
    assert mode_of(aside) == mode(0o600)

    store._save_accounts({})  # the file is valid again: nothing more is kept
    assert folder_names(store) == names


@pytest.mark.parametrize("content", ["{}", '{"a": 1, "b": null}', json.dumps(EXAMPLE)])
def test_valid_file_is_never_set_aside(store, content):
    store.meta_path.write_text(content, encoding="utf-8")
    store._save_accounts(EXAMPLE)
    assert folder_names(store) == ["accounts.json"]


@needs_permissions
def test_file_unreadable_by_permission_is_moved_aside(store):
    store.meta_path.write_bytes(b'{"main": {"username": "u"}}')
    store.meta_path.chmod(0o200)
    assert store._load_accounts() == {}
    store._save_accounts({})
    names = folder_names(store)
    assert len(names) == 2 and SET_ASIDE.fullmatch(names[1]), names
    aside = store.base_dir / names[1]
    assert mode_of(aside) == 0o600
    assert aside.read_bytes() == b'{"main": {"username": "u"}}'
    assert store.meta_path.read_bytes() == b"{}"
