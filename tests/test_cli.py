"""The `zorvan` command line, driven as a user drives it: the installed console
script in child processes, each test with its own configuration folder, HOME
and credential manager chosen through PYTHON_KEYRING_BACKEND."""

from __future__ import annotations

import contextlib
import json
import locale
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from permissions import needs_permissions, posix_modes
from platforms import command, mkfifo, mksocket, mode, no_fifos, no_special_files, text_mode, utf8_pipes
from secret_service import SecretServiceUnavailable, clear_items, lock_login, secret_service_env

from zorvan.config import PLATFORM, _config_dir

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "demo"))
from main_job import file_keyring_env  # noqa: E402  (the demo's throwaway keyring)

ZORVAN = command("zorvan")
MEMORY = "memory_keyring.MemoryKeyring"  # forgets everything when the process ends
NULL = "keyring.backends.null.Keyring"
SECRET_SERVICE = "keyring.backends.SecretService.Keyring"
FAIL = "keyring.backends.fail.Keyring"
# What Windows lacks: pseudo-terminals, and SIGINT sent to a child, sessions
# without a terminal, and resource limits, as the tests use them.
on_posix = pytest.mark.skipif(sys.platform == "win32", reason="needs a POSIX terminal, signal or rlimit")
# Distinctive, so that any leak into output is unmistakable.
PASSWORD = "s3cret 口令 "
SECRET = "hunter2"  # typed where it does not belong


class Cli:
    def __init__(self, env: dict[str, str], config: Path) -> None:
        self.env = env
        self.config = config

    def __call__(self, *args: str, stdin: str | bytes | None = None, config: bool = True):
        command = [str(ZORVAN), *(["--config-dir", str(self.config)] if config else []), *args]
        return subprocess.run(
            command, env=self.env, input=stdin, capture_output=True, timeout=60,
            stdin=subprocess.DEVNULL if stdin is None else None,
            text=not isinstance(stdin, bytes), encoding=None if isinstance(stdin, bytes) else "utf-8",
        )

    def save(self, name: str, *extra: str, password: str = PASSWORD, username: str = "seller@example.com"):
        return self("account", "save", "--name", name, "--username", username,
                    "--password-stdin", *extra, stdin=password + "\n")

    def json(self, *args: str):
        result = self(*args, "--json")
        return result.returncode, json.loads(result.stdout)

    def accounts_file(self) -> Path:
        return self.config / "seller_sprite" / "accounts.json"


@pytest.fixture(scope="module", autouse=True)
def _installed_script():
    if not ZORVAN.exists():
        pytest.fail(f"{ZORVAN} is missing: install the package (make venv) before testing")


@pytest.fixture
def cli(tmp_path) -> Cli:
    """Passwords in a plain file under tmp_path, kept across commands."""
    env = file_keyring_env(tmp_path / "home")
    env["PYTHONPATH"] += os.pathsep + str(REPO / "tests")
    env["APPDATA"] = str(tmp_path / "home" / "appdata")  # the default store's parent on Windows
    # Text as a console shows it, even through Windows' pipes; the code
    # page's own encoding has its table below.
    env["PYTHONIOENCODING"] = "utf-8"
    return Cli(env, tmp_path / "config")


def with_backend(cli: Cli, backend: str) -> Cli:
    cli.env["PYTHON_KEYRING_BACKEND"] = backend
    return cli


def assert_error(result, status: int, *fragments: str) -> None:
    err = result.stderr
    assert result.returncode == status, err
    assert err.startswith("zorvan: ") and err.count("\n") == 1, err
    assert "Traceback" not in err
    for fragment in fragments:
        assert fragment in err


def test_main_job_round_trip_never_shows_a_password_unasked(cli):
    for name in ("main", "欧洲店"):
        assert cli.save(name).returncode == 0
    listing = cli("account", "list")
    assert listing.stdout.split() == ["名称", "用户名", "main", "seller@example.com",
                                      "欧洲店", "seller@example.com"]
    assert cli.json("account", "list") == (0, [
        {"name": "main", "username": "seller@example.com"},
        {"name": "欧洲店", "username": "seller@example.com"},
    ])
    shown = cli("account", "get", "--name", "欧洲店")
    assert shown.returncode == 0 and "密码：已保存" in shown.stdout
    assert cli.json("account", "get", "--name", "main") == (
        0, {"name": "main", "username": "seller@example.com", "password_stored": True})
    quiet = [listing, shown, cli("account", "list", "--json"), cli("account", "doctor")]
    assert not any(PASSWORD.strip() in r.stdout + r.stderr for r in quiet)

    assert f"密码：{PASSWORD}\n" in cli("account", "get", "--name", "main", "--show-password").stdout
    assert cli.json("account", "get", "--name", "main", "--show-password")[1]["password"] == PASSWORD
    assert cli("account", "get", "--name", "main", "--password-only").stdout == PASSWORD + "\n"

    gone = {"name": "main", "password_remaining": False}
    assert cli.json("account", "delete", "--name", "main") == (0, {**gone, "existed": True, "password_existed": True})
    assert cli.json("account", "delete", "--name", "main") == (0, {**gone, "existed": False, "password_existed": False})
    assert [a["name"] for a in cli.json("account", "list")[1]] == ["欧洲店"]
    assert_error(cli("account", "get", "--name", "main"), 2, "`main` 不存在")


@pytest.mark.parametrize("stdin, password", [
    ("pw\n", "pw"),
    ("  padded  \n", "  padded  "),
    ("no newline", "no newline"),
    ("windows\r\n", "windows"),
    ("first\nsecond\n", "first"),
    ("口令\n", "口令"),
    # The longest that every credential manager keeps: 1,280 UTF-16 units.
    ("x" * 1280 + "\r\n", "x" * 1280),
    ("😀" * 640 + "\n", "😀" * 640),
])
def test_password_stdin_takes_one_line_without_its_newline(cli, stdin, password):
    # As bytes: a text pipe on Windows would write each "\n" as "\r\n".
    result = cli("account", "save", "--name", "a", "--username", "u", "--password-stdin", stdin=stdin.encode())
    assert result.returncode == 0, result.stderr
    assert cli.json("account", "get", "--name", "a", "--show-password")[1]["password"] == password


@pytest.mark.parametrize("args, stdin, message", [
    (["account", "save", "--name", "a b", "--username", "u", "--password-stdin"], "pw\n", "账号名称"),
    (["account", "save", "--name", "kept", "--username", "", "--password-stdin"], "pw\n", "用户名"),
    (["account", "save", "--name", "kept", "--username", "u", "--password-stdin"], "\n", "密码"),
    (["account", "save", "--name", "kept", "--username", "u", "--password-stdin"], b"\xff\xfe\n", "UTF-8"),
    (["account", "save", "--name", "kept", "--username", "x\x1b]0;t\x07", "--password-stdin"], "pw\n", "控制字符"),
    (["account", "save", "--name", "kept", "--username", "tab\tbed", "--password-stdin"], "pw\n", "控制字符"),
    # Bytes that are not UTF-8 (`--username $'\xff'`) arrive as lone surrogates.
    (["account", "save", "--name", "kept", "--username", "\udcff", "--password-stdin"], "pw\n", "无法写入账号文件"),
    (["account", "save", "--name", "\udcff", "--username", "u", "--password-stdin"], "pw\n", "账号名称"),
    (["account", "save", "--name", "kept", "--username", "u", "--password-stdin"], "x" * 1281, "密码过长"),
    (["account", "save", "--name", "kept", "--username", "u", "--password-stdin"], "😀" * 641, "密码过长"),
    (["account", "save", "--name", "kept", "--username", "u", "--password-stdin"], b"x" * 10**8, "密码过长"),
    (["account", "get", "--name", "nobody"], None, "`nobody` 不存在"),
    (["account", "delete", "--name", "../kept"], None, "账号名称"),
    (["marketplace", "resolve", "fr"], None, "不支持的国家: fr，支持: DE, JP, UK, US"),
    (["marketplace", "resolve", " gb"], None, "不支持的国家:  gb，支持: DE, JP, UK, US；英国站点的代码是 UK"),
    (["marketplace", "url", "B0EXAMPLE1", "--country", "xx"], None, "不支持的国家: xx"),
    # The map builds an address from any text; the command line wants an ASIN.
    (["marketplace", "url", "", "--country", "us"], None, "ASIN ``"),
    (["marketplace", "url", "B0 EX", "--country", "us"], None, "ASIN `B0 EX`"),
    (["marketplace", "url", "../../x", "--country", "us"], None, "10 位英文字母或数字"),
    (["marketplace", "url", "B0ABC1234", "--country", "us"], None, "10 位英文字母或数字"),
    (["marketplace", "url", "B0ABC123456", "--country", "us"], None, "10 位英文字母或数字"),
    (["marketplace", "url", "Ｂ０ＡＢＣ１２３４５", "--country", "us"], None, "10 位英文字母或数字"),
    (["marketplace", "url", "B0EXAMPLEı", "--country", "us"], None, "10 位英文字母或数字"),  # "ı".upper() == "I"
    (["marketplace", "url", "B0EXAMPLEſ", "--country", "us"], None, "10 位英文字母或数字"),  # "ſ".upper() == "S"
])
def test_invalid_input_fails_with_status_2_and_loses_nothing(cli, args, stdin, message):
    assert cli.save("kept").returncode == 0
    result = cli(*args, stdin=stdin)
    if isinstance(stdin, bytes):
        result.stderr = result.stderr.decode()
    assert_error(result, 2, message)
    assert cli.json("account", "get", "--name", "kept", "--show-password")[1]["password"] == PASSWORD


SAVE_A = ["account", "save", "--name", "a", "--username", "u"]


@pytest.mark.parametrize("args, command, message", [
    ([], "zorvan", "缺少必需的参数：命令"),
    (["account", "save", "--name", "a"], "zorvan account save", "--username"),
    ([*SAVE_A, "--password", SECRET], "zorvan account save", "不接受命令行中的密码"),
    ([*SAVE_A, f"--password={SECRET}"], "zorvan account save", "不接受命令行中的密码"),
    ([*SAVE_A, "--password-stdin", SECRET], "zorvan account save", "1 个无法识别的参数"),
    ([*SAVE_A, "--pasword", SECRET], "zorvan account save", "可能是想用 --password-stdin"),
    ([*SAVE_A, "--pass", SECRET], "zorvan account save", "2 个无法识别的参数"),
    ([*SAVE_A, "--password-stdin", f"--{SECRET}"], "zorvan account save", "1 个无法识别的参数"),
    (["account", "list", f"--json={SECRET}"], "zorvan account list", "不接受取值"),
    (["account", SECRET], "zorvan account", "无效的选择"),
    (["--config-dir", " ", "account", "list"], "zorvan", "目录不能为空"),
    (["account", "get", "--name", "a", "--password-only", "--json"], "zorvan account get", "不能与"),
    (["completion", SECRET], "zorvan completion", "zsh"),  # argparse quotes choices before 3.12.8 only
])
def test_usage_errors_name_the_problem_and_never_echo_what_was_typed(cli, args, command, message):
    result = cli(*args, config=False)
    assert_error(result, 2, message, f"运行 `{command} --help` 查看用法")
    assert SECRET not in result.stdout + result.stderr


def test_backend_that_drops_secrets_never_looks_like_success(cli):
    with_backend(cli, NULL)
    result = cli.save("a", "--json")
    assert result.returncode == 3
    assert json.loads(result.stdout) == {"name": "a", "username": "seller@example.com",
                                         "password_stored": False, "replaced": False, "set_aside": None}
    assert_error(result, 3, "没有保存密码", NULL)
    got = cli("account", "get", "--name", "a")
    assert got.returncode == 2 and "密码：未保存" in got.stdout


def test_missing_backend_is_status_3_with_advice_and_saves_nothing(cli):
    advice = {"windows": "Windows 凭据管理器", "macos": "macOS 钥匙串"}.get(PLATFORM, "gnome-keyring")
    assert_error(with_backend(cli, FAIL).save("a"), 3, "keyring 不可用", advice)
    assert_error(with_backend(cli, "no_such_module.Keyring").save("a"), 3, "no_such_module")
    assert cli.json("account", "list") == (0, [])


@contextlib.contextmanager
def private_secret_service(folder: Path, **options):
    with contextlib.ExitStack() as stack:
        try:
            env = stack.enter_context(secret_service_env(folder, **options))
        except SecretServiceUnavailable as exc:
            pytest.skip(f"no private Secret Service: {exc}")
        yield env


@pytest.fixture(scope="module")
def locked_keyring(tmp_path_factory):
    """A real Secret Service holding main's password in a locked collection."""
    folder = tmp_path_factory.mktemp("locked")
    with private_secret_service(folder) as env:
        saved = subprocess.run([str(ZORVAN), "--config-dir", str(folder / "config"), *SAVE_MAIN],
                               env=env, input=PASSWORD + "\n", capture_output=True, text=True, timeout=60)
        assert saved.returncode == 0, saved.stderr
        lock_login(env["DBUS_SESSION_BUS_ADDRESS"])
        yield env


@pytest.fixture(scope="module")
def uninitialised_keyring(tmp_path_factory):
    """A real Secret Service started without a login password: no collections."""
    with private_secret_service(tmp_path_factory.mktemp("uninitialised"), login=False) as env:
        yield env


SAVE_MAIN = ["account", "save", "--name", "main", "--username", "new@example.com", "--password-stdin"]
COMMANDS = {
    "save": (SAVE_MAIN, PASSWORD + "\n"),
    "get": (["account", "get", "--name", "main"], None),
    "delete": (["account", "delete", "--name", "main"], None),
    "doctor": (["account", "doctor"], None),
}
ALL_3 = dict.fromkeys(COMMANDS, 3)
# How each kind of broken credential manager is made, the exit status of each
# command with it, and what the line must tell the user.
FAULTS = {
    # A running daemon ignores a plain --unlock: the advice replaces it.
    "locked": ("locked_keyring", ALL_3, "gnome-keyring-daemon --replace --unlock"),
    "uninitialised": ("uninitialised_keyring", ALL_3, "没有可用的默认密钥环"),
    # The backend is named: left to choose, keyring could find another one
    # installed (keyrings.alt's plain-text file) and use it.
    "no D-Bus session": ({"PYTHON_KEYRING_BACKEND": SECRET_SERVICE, "DBUS_SESSION_BUS_ADDRESS": None}, ALL_3,
                         "dbus-run-session"),
    "bad PYTHON_KEYRING_BACKEND": ({"PYTHON_KEYRING_BACKEND": "no_such_module.Keyring"}, ALL_3,
                                   "PYTHON_KEYRING_BACKEND 的值 `no_such_module.Keyring`"),
    "raising": ({"PYTHON_KEYRING_BACKEND": "faulty_keyring.RaisingKeyring"}, ALL_3,
                "faulty_keyring.RaisingKeyring"),
    # Its error quotes the password: only the class may be shown.
    "refusing writes": ({"PYTHON_KEYRING_BACKEND": "faulty_keyring.RefusingKeyring"},
                        {"save": 3, "get": 0, "delete": 0, "doctor": 3},
                        "保存密码失败（keyring.errors.PasswordSetError；为免泄露密码"),
    "wrong type": ({"PYTHON_KEYRING_BACKEND": "faulty_keyring.BytesKeyring"}, ALL_3, "返回了 bytes"),
    "dropping": ({"PYTHON_KEYRING_BACKEND": NULL}, {"save": 3, "get": 2, "delete": 0, "doctor": 3}, "读回时不存在"),
    "keeping deleted": ({"PYTHON_KEYRING_BACKEND": "faulty_keyring.KeepingKeyring"},
                        {"save": 0, "get": 0, "delete": 3, "doctor": 3}, "仍然在里面"),
}


# keyring's Secret Service backend leaves its D-Bus connection open when the
# collection is locked or missing; where ResourceWarning shows (a debug build
# of the interpreter shows every warning), its lines end stderr at exit.
KEYRING_BUS_LEFT_OPEN = re.compile(r"<sys>:0: ResourceWarning: unclosed <socket\.socket [^\n]*/bus>\n"
                                   r"(ResourceWarning: Enable tracemalloc [^\n]*\n)?")


@pytest.mark.parametrize("command", COMMANDS)
@pytest.mark.parametrize("fault", [pytest.param(fault, marks=pytest.mark.skipif(
    fault == "no D-Bus session" and PLATFORM != "posix", reason="D-Bus sessions are for Linux")) for fault in FAULTS])
def test_credential_manager_faults_end_in_one_line_and_their_status(cli, request, fault, command):
    make, statuses, advice = FAULTS[fault]
    # main's metadata, and its password where a file backend looks for it.
    cli.accounts_file().parent.mkdir(parents=True)
    cli.accounts_file().write_text('{"main": {"username": "seller@example.com"}}', encoding="utf-8")
    Path(cli.env["ZORVAN_DEMO_KEYRING_FILE"]).write_text(
        json.dumps({"zorvan-seller-sprite": {"account:main": PASSWORD}}), encoding="utf-8")
    if isinstance(make, str):
        make = {k: request.getfixturevalue(make)[k] for k in ("DBUS_SESSION_BUS_ADDRESS", "PYTHON_KEYRING_BACKEND")}
    cli.env.update({key: value for key, value in make.items() if value is not None})
    for key in [key for key, value in make.items() if value is None]:
        cli.env.pop(key, None)

    args, stdin = COMMANDS[command]
    result = cli(*args, stdin=stdin)
    status = statuses[command]
    assert PASSWORD.strip() not in result.stdout + result.stderr
    if fault in ("locked", "uninitialised"):
        result.stderr = KEYRING_BUS_LEFT_OPEN.sub("", result.stderr)
    if command == "doctor":
        assert (result.returncode, result.stderr) == (status, "")
        assert advice in result.stdout and "未发现问题" not in result.stdout
    elif status:
        assert_error(result, status, *([advice] if status == 3 else []))
    else:
        assert (result.returncode, result.stderr) == (0, "")


def null_metadata(cli: Cli) -> None:
    # An account whose password the backend dropped: metadata only.
    with_backend(cli, NULL).save("orphan")
    with_backend(cli, MEMORY)


def corrupt_file(cli: Cli) -> None:
    cli.save("a")
    with_backend(cli, MEMORY)
    cli.accounts_file().write_text("{not json", encoding="utf-8")


def shared_folder(cli: Cli) -> None:
    cli.save("a")
    with_backend(cli, MEMORY)
    cli.accounts_file().parent.chmod(0o777)


def no_username(cli: Cli) -> None:
    cli.accounts_file().parent.mkdir(parents=True)
    cli.accounts_file().write_text('{"a": {}}')
    with_backend(cli, MEMORY)


def bad_name(cli: Cli) -> None:
    # Hand-edited: a name the store refuses, before one it takes.
    cli.accounts_file().parent.mkdir(parents=True)
    cli.accounts_file().write_text('{"\\ud800": {"username": "u"}, "a": {"username": "u"}}')
    with_backend(cli, MEMORY)


@pytest.mark.parametrize("prepare, backend, status, kinds", [
    (None, MEMORY, 0, []),
    (null_metadata, MEMORY, 2, ["account"]),
    (corrupt_file, MEMORY, 1, ["file"]),
    pytest.param(shared_folder, MEMORY, 1, ["file", "account"], marks=posix_modes),
    (no_username, MEMORY, 1, ["file", "account"]),
    # The file cannot be written back, the name is refused: the credential
    # manager is not blamed, and `a` is still checked.
    (bad_name, MEMORY, 1, ["file", "file", "account"]),
    (None, NULL, 3, ["backend"]),
    (None, FAIL, 3, ["backend"]),
    (lambda cli: cli.save("a"), None, 3, ["backend"]),  # the plain-text file backend
])
def test_doctor_reports_problems_with_their_status(cli, prepare, backend, status, kinds):
    if prepare is not None:
        prepare(cli)
    if backend is not None:
        with_backend(cli, backend)
    before = sorted(p for p in cli.config.rglob("*")) if cli.config.exists() else None

    result = cli("account", "doctor", "--json")
    report = json.loads(result.stdout)
    assert result.returncode == status
    assert [p["kind"] for p in report["problems"]] == kinds
    assert report["ok"] is (status == 0)
    assert report["backend"] == cli.env["PYTHON_KEYRING_BACKEND"]
    if prepare is null_metadata:
        assert report["accounts"] == [{"name": "orphan", "username": "seller@example.com",
                                       "password_stored": False}]
    # Diagnosis only: nothing created, nothing rewritten.
    after = sorted(p for p in cli.config.rglob("*")) if cli.config.exists() else None
    assert before == after
    text = cli("account", "doctor")
    assert text.returncode == status and ("未发现问题" in text.stdout) is (status == 0)


def unreadable(path: Path) -> None:
    path.write_text("{}")
    path.chmod(0)


def json_error_at(document: bytes) -> str:
    """Where this interpreter's json module places the error in `document`."""
    with pytest.raises(json.JSONDecodeError) as error:
        json.loads(document)
    return f"第 {error.value.lineno} 行第 {error.value.colno} 列"


TRAILING_COMMA = b'{"main": {"username": "u"},}'


# Contents the store reads as "no accounts": the command line must not say so.
@pytest.mark.parametrize("damage, reason", [
    (TRAILING_COMMA, f"不是有效的 JSON（{json_error_at(TRAILING_COMMA)}）"),
    (b'\xef\xbb\xbf{"main": {"username": "u"}}', "字节顺序标记"),
    (b"[]", "不是 JSON 对象（而是数组）"),
    (b'{"main": "\xff"}', "不是 UTF-8 文本"),
    pytest.param(unreadable, "无法读取（Permission denied）", marks=needs_permissions),
])
def test_damaged_accounts_file_is_never_shown_as_empty_and_save_keeps_a_copy(cli, damage, reason):
    path = cli.accounts_file()
    path.parent.mkdir(parents=True)
    original = None if callable(damage) else damage
    if original is None:
        damage(path)
    else:
        path.write_bytes(original)
    for args in (["account", "list"], ["account", "get", "--name", "main"], ["account", "delete", "--name", "main"]):
        assert_error(cli(*args), 1, str(path), reason, "下次 account save 会先把它另存为")
    if original is not None:
        assert path.read_bytes() == original  # looked at, never changed

    saved = cli.save("main")
    assert saved.returncode == 0, saved.stderr
    aside = sorted(path.parent.glob("accounts.json.unreadable-*"))
    assert len(aside) == 1 and f"已原样另存为 {aside[0]}" in saved.stderr
    aside[0].chmod(0o600)
    assert aside[0].read_bytes() == (original or b"{}")
    assert cli.json("account", "list") == (0, [{"name": "main", "username": "seller@example.com"}])


def test_entries_that_are_not_objects_are_named_and_can_be_deleted(cli):
    path = cli.accounts_file()
    path.parent.mkdir(parents=True)
    path.write_text('{"main": "a", "list": [], "ok": {"username": "u"}}', encoding="utf-8")
    assert_error(cli("account", "list"), 1, str(path), "`main`、`list`", "不是 JSON 对象")
    assert_error(cli("account", "get", "--name", "main"), 1, "`main`")
    assert cli("account", "get", "--name", "ok").returncode == 2  # its password is missing, nothing worse
    assert cli("account", "delete", "--name", "main").returncode == 0
    assert cli("account", "delete", "--name", "list").returncode == 0
    assert cli.json("account", "list") == (0, [{"name": "ok", "username": "u"}])


@pytest.mark.parametrize("make", [
    pytest.param(Path.mkdir, id="folder"),
    pytest.param(mkfifo, id="FIFO", marks=no_fifos),
    pytest.param(mksocket, id="socket", marks=no_special_files),
])
def test_something_other_than_a_file_in_its_place_stops_every_command_before_it_asks_anything(cli, make):
    cli.accounts_file().parent.mkdir(parents=True)
    make(cli.accounts_file())
    for args in (["account", "list"], ["account", "delete", "--name", "main"], SAVE_MAIN):
        assert_error(cli(*args, stdin=""), 1, str(cli.accounts_file()), "不是普通文件")


# A hand-edited file (or the Python API) can hold anything; none of it may
# act on the terminal, and each account stays on one line.
HOSTILE = {
    "title": "\x1b]0;owned\x07",
    "clear": "\x1b[2J\x1b[H",
    "forged": "x\nzorvan: 未发现问题。",
    "bidi": "abc\u202edcba\u2066",
    "c1": "\x9b31m\x85",
    "surrogate": "\ud800",
}


def test_control_characters_are_shown_escaped_and_json_stays_exact(cli):
    path = cli.accounts_file()
    path.parent.mkdir(parents=True)
    accounts = {name: {"username": username} for name, username in HOSTILE.items()}
    accounts["ev\x1bil"] = {"username": "u"}
    path.write_text(json.dumps(accounts), encoding="utf-8")
    unsafe = re.compile("[\x00-\x09\x0b-\x1f\x7f-\x9f\u202a-\u202e\u2066-\u2069\ud800-\udfff]")

    listing = cli("account", "list")
    assert listing.returncode == 0 and not unsafe.search(listing.stdout)
    assert len(listing.stdout.splitlines()) == 1 + len(accounts)
    assert "\\x1b]0;owned\\x07" in listing.stdout and "abc\\u202edcba" in listing.stdout
    raw = subprocess.run([str(ZORVAN), "--config-dir", str(cli.config), "account", "list", "--json"],
                         env=cli.env, capture_output=True, timeout=60).stdout
    assert not unsafe.search(raw.decode("ascii", "replace"))
    assert {a["name"]: a["username"] for a in json.loads(raw)} == {n: a["username"] for n, a in accounts.items()}

    shown = cli("account", "get", "--name", "forged")
    assert shown.stdout.splitlines()[1] == "用户名：x\\nzorvan: 未发现问题。"
    doctor = cli("account", "doctor")
    assert not unsafe.search(doctor.stdout) and "x\\nzorvan: 未发现问题。" in doctor.stdout
    assert not any(line.startswith(("zorvan:", "未发现问题")) for line in doctor.stdout.splitlines())

    # The surrogate cannot be written back: save refuses before the password,
    # delete fails before it; both with one line, the file as it was.
    before = path.read_bytes()
    assert_error(cli.save("new"), 1, str(path), "单独的代理码位")
    assert_error(cli("account", "delete", "--name", "forged"), 1, "单独的代理码位")
    assert path.read_bytes() == before and cli.json("account", "delete", "--name", "new")[1]["password_existed"] is False


@pytest.mark.parametrize("args, stdin", [
    (["account", "list"], None),
    (["account", "save", "--name", "a", "--username", "u", "--password-stdin"], "pw\n"),
    (["account", "doctor"], None),
])
def test_file_system_errors_are_status_1_and_name_the_path(cli, args, stdin):
    cli.config.parent.mkdir(parents=True, exist_ok=True)
    cli.config.write_text("not a folder")
    result = with_backend(cli, MEMORY)(*args, stdin=stdin)
    assert result.returncode == 1
    assert str(cli.config) in result.stderr + result.stdout
    assert "Traceback" not in result.stderr


# Human text in the stream's encoding, escaping what it cannot show; what
# programs read (JSON, --password-only) UTF-8 whatever the code page; and a
# stream that cannot be written is named as that, never as the store.
@pytest.mark.parametrize("encoding, args, status, out, err", [
    # The pipe's own: Windows' ANSI code page, with errors="surrogateescape"
    (None, ["marketplace", "resolve", "de"], 0, "国家：DE\n站点：https://www.amazon.de\n", ""),
    ("ascii", ["marketplace", "resolve", "de"], 0, "国家：DE\n站点：https://www.amazon.de\n", ""),
    ("cp1252", ["marketplace", "resolve", "fr"], 2, "", "zorvan: 不支持的国家: fr，支持: DE, JP, UK, US\n"),
    ("ascii", ["account", "get", "--name", "欧洲店", "--password-only"], 0, (PASSWORD + "\n").encode(), ""),
    *(pytest.param("utf-8", args, 1, None, "zorvan: 无法写出输出：No space left on device\n", marks=pytest.mark.skipif(
        not os.path.exists("/dev/full"), reason="no /dev/full here")) for args in (
        ["marketplace", "list"], ["account", "list", "--json"], ["account", "get", "--name", "欧洲店", "--password-only"])),
])
def test_output_in_any_encoding_or_its_failure_ends_without_a_traceback(cli, encoding, args, status, out, err):
    assert cli.save("欧洲店").returncode == 0
    with open("/dev/full" if out is None else os.devnull, "wb") as full:
        result = subprocess.run([str(ZORVAN), "--config-dir", str(cli.config), *args], timeout=60,
                                env={**cli.env, "PYTHONIOENCODING": encoding or ""},
                                stdout=full if out is None else subprocess.PIPE, stderr=subprocess.PIPE)
    encoding = encoding or locale.getpreferredencoding(False)
    encoded = [text_mode(text).encode(encoding, "backslashreplace") if isinstance(text, str) else text
               for text in (out, err)]
    assert [result.returncode, result.stdout, result.stderr] == [status, *encoded]


@on_posix
@pytest.mark.parametrize("name, note, then, shown", [
    ("a1", "新密码已经替换了系统凭据管理器中原来的密码，accounts.json 保持原样",
     ["account", "get", "--name", "a1", "--show-password"], "密码：new\n"),
    ("a2", "但 accounts.json 中没有账号 `a2`；问题解决后重新执行这条 account save 命令，"
     "或执行 zorvan account delete --name a2 删除这个密码",
     ["account", "delete", "--name", "a2"], "（没有账号信息的遗留密码），已删除这个密码。"),
])
def test_a_save_failing_after_its_password_says_what_the_credential_manager_holds(cli, name, note, then, shown):
    file_backend = cli.env["PYTHON_KEYRING_BACKEND"]
    assert cli.save("a1").returncode == 0
    failed = with_backend(cli, "faulty_keyring.FileLimitKeyring").save(name, password="new")
    assert_error(failed, 1, f"{cli.accounts_file()}：File too large；", note)
    assert shown in with_backend(cli, file_backend)(*then).stdout


@contextlib.contextmanager
def holding_the_lock(cli: Cli):
    """Another zorvan process in the middle of a change: it holds the store's lock."""
    from test_concurrency import HOLDER, TESTS  # a save stuck in its credential manager

    with subprocess.Popen([sys.executable, "-c", HOLDER, str(TESTS), str(cli.config)], stdout=subprocess.PIPE) as holder:
        try:
            holder.stdout.readline()
            yield cli.accounts_file().with_name("accounts.json.lock")
        finally:
            holder.kill()


def test_a_store_held_by_another_process_is_one_line_naming_its_lock(cli):
    assert cli.save("main").returncode == 0
    with holding_the_lock(cli) as lock:
        result = cli("account", "delete", "--name", "main")
    assert_error(result, 1, str(lock))
    assert [a["name"] for a in cli.json("account", "list")[1]] == ["main"]


def test_store_lives_in_config_dir_option_or_default(cli):
    assert cli.save("a").returncode == 0
    assert cli.accounts_file().is_file()
    # Without the option: CONFIG_DIR, which follows XDG_CONFIG_HOME or APPDATA here.
    default = Cli(cli.env, _config_dir(environ=cli.env))
    assert default("account", "list", "--json", config=False).stdout.strip() == "[]"
    # The option also works after the command.
    after = default("account", "list", "--json", "--config-dir", str(cli.config), config=False)
    assert json.loads(after.stdout) == [{"name": "a", "username": "seller@example.com"}]
    _, report = cli.json("account", "doctor")
    assert report["accounts_file"] == {"path": str(cli.accounts_file()), "exists": True, "mode": f"{mode(0o600):04o}"}


HOME = object()  # the home folder, wherever it is


@pytest.mark.parametrize("platform, environ, parts", [
    ("posix", {"XDG_CONFIG_HOME": "/x"}, ["/x", "zorvan"]),
    ("posix", {}, [HOME, ".config", "zorvan"]),
    ("macos", {"XDG_CONFIG_HOME": "/x"}, [HOME, "Library", "Application Support", "zorvan"]),
    ("windows", {"APPDATA": "C:\\Users\\张三\\AppData\\Roaming"}, ["C:\\Users\\张三\\AppData\\Roaming", "zorvan"]),
    ("windows", {"ZORVAN_CONFIG_DIR": "/z", "APPDATA": "/a"}, ["/z"]),
])
def test_default_config_dir_follows_each_platform(platform, environ, parts):
    assert _config_dir(platform, environ) == Path(*(Path.home() if part is HOME else part for part in parts))


@pytest.mark.parametrize("country, code, origin", [
    ("us", "US", "https://www.amazon.com"),
    (" Uk ", "UK", "https://www.amazon.co.uk"),
    ("DE", "DE", "https://www.amazon.de"),
    ("jp", "JP", "https://www.amazon.co.jp"),
])
def test_marketplace_commands(cli, country, code, origin):
    assert cli.json("marketplace", "resolve", country) == (0, {"country": code, "base_url": origin})
    assert cli.json("marketplace", "url", " b0example1", "--country", country) == (
        0, {"asin": " b0example1", "country": code, "url": f"{origin}/dp/B0EXAMPLE1"})
    assert cli("marketplace", "url", "B0EXAMPLE1", "--country", country).stdout == f"{origin}/dp/B0EXAMPLE1\n"
    status, listing = cli.json("marketplace", "list")
    assert {"country": code, "base_url": origin} in listing and len(listing) == 4


def test_save_says_what_it_replaced_and_warns_when_the_name_has_a_password_already(cli, tmp_path):
    assert "已保存卖家精灵账号 `main`（用户名 seller@example.com）" in cli.save("main").stdout
    changed = cli.save("main", username="new@example.com", password="other")
    assert "已更新卖家精灵账号 `main`（用户名由 seller@example.com 改为 new@example.com，密码已更换）" in changed.stdout
    same = cli.save("main", "--json", username="new@example.com", password="other")
    assert json.loads(same.stdout)["replaced"] is True and same.stderr == ""
    # Passwords are kept by name alone: another store's `main` shares this one's.
    other = Cli(cli.env, tmp_path / "other")
    shared = other.save("main", password="third")
    assert shared.returncode == 0 and "已经有账号名称 `main` 的密码" in shared.stderr
    assert cli.json("account", "get", "--name", "main", "--show-password")[1]["password"] == "third"


def imported_modules(import_times: str) -> set[str]:
    """The modules that -X importtime (or PYTHONPROFILEIMPORTTIME) lists."""
    return {line.rpartition("|")[2].strip() for line in import_times.splitlines()}


# Neither a marketplace command nor the account names a Tab key asks for
# load the credential manager.
@pytest.mark.parametrize("args, out, module", [
    (["marketplace", "url", "B0EXAMPLE1", "--country", "de"], "https://www.amazon.de/dp/B0EXAMPLE1\n",
     "zorvan.amazon_rufus.runtime.regionet"),
    (["completion", "--account-names"], "main\n欧洲店\n", "zorvan.cli._accounts_file"),
])
def test_marketplace_commands_and_completion_load_nothing_of_the_account_side(cli, args, out, module):
    assert cli.save("main").returncode == 0 and cli.save("欧洲店").returncode == 0
    env = {**cli.env, "PYTHONPROFILEIMPORTTIME": "1"}
    result = subprocess.run([str(ZORVAN), "--config-dir", str(cli.config), *args],
                            env=env, capture_output=True, encoding="utf-8", timeout=60)
    assert result.stdout == out
    imported = imported_modules(result.stderr)
    assert module in imported
    heavy = {"keyring", "importlib.metadata", "zorvan.seller_sprite.services.credarium", "zorvan.cli._account",
             "dataclasses", "shutil"}
    # What this release's argparse loads by itself (3.14's loads dataclasses
    # for coloured help) is not the command's to avoid.
    parser_alone = subprocess.run([sys.executable, "-X", "importtime", "-c",
                                   "import argparse; argparse.ArgumentParser(prog='zorvan').parse_args([])"],
                                  capture_output=True, encoding="utf-8", timeout=60)
    assert not (heavy - imported_modules(parser_alone.stderr)) & imported
    assert re.fullmatch(r"zorvan \d+\.\d+\.\d+\n", cli("--version", config=False).stdout)


BASH_COMPLETION = "/usr/share/bash-completion/bash_completion"
# How a fresh home gets each shell's completion, as the README says, and how
# the shell is started with it.
SHELLS = {
    "bash": ('dir="${XDG_DATA_HOME:-$HOME/.local/share}/bash-completion/completions"\n'
             'mkdir -p "$dir" && zorvan completion bash > "$dir/zorvan"', ".bashrc", f"source {BASH_COMPLETION}\n"),
    "zsh": ("mkdir -p ~/.zfunc && zorvan completion zsh > ~/.zfunc/_zorvan",
            ".zshrc", "fpath=(~/.zfunc $fpath)\nautoload -Uz compinit && compinit\n"),
}


@on_posix
@pytest.mark.parametrize("shell", SHELLS)
def test_completion_installs_on_a_fresh_home_and_completes_names_and_countries(cli, shell):
    install, rc, rc_text = SHELLS[shell]
    if shutil.which(shell) is None or not (shell == "zsh" or Path(BASH_COMPLETION).exists()):
        pytest.skip(f"{shell} (and for bash, the bash-completion package) is not installed")
    script = cli("completion", shell, config=False).stdout
    assert "--password-only" in script and "--password " not in script  # the hidden option that only refuses
    assert cli.save("main").returncode == 0
    cli.env["PATH"] = f"{ZORVAN.parent}{os.pathsep}{cli.env['PATH']}"
    subprocess.run([shell, "-c", install], env=cli.env, check=True, timeout=60)
    Path(cli.env["HOME"], rc).write_text(rc_text + "PS1='$ '\n")
    status, screen = on_terminal(cli, [], [
        ("$ ", b"zorvan acc\t"),
        ("zorvan account", b"\x15zorvan --config-dir config account get --name m\t"),  # the line's store
        ("--name main", b"\x15zorvan marketplace resolve J\t"),
        ("resolve JP", b"\x15zorvan marketplace url B0 --country D\t"),
        ("--country DE", b"\x15exit\r"),
    ], argv=[shell, "-i"])
    assert status == 0, screen


def test_python_dash_m_runs_the_same_command_line(cli):
    result = subprocess.run([sys.executable, "-m", "zorvan", "marketplace", "resolve", "de"],
                            env=cli.env, capture_output=True, encoding="utf-8", timeout=60)
    assert (result.returncode, result.stdout) == (0, "国家：DE\n站点：https://www.amazon.de\n")
    assert "用法：zorvan" in subprocess.run([sys.executable, "-m", "zorvan", "--help"], env=cli.env,
                                          capture_output=True, encoding="utf-8", timeout=60).stdout


def on_terminal(cli: Cli, args: list[str], script: list[tuple[str, bytes]], argv: list[str] | None = None
                ) -> tuple[int, str]:
    """Run zorvan (or `argv`) on a new pseudo-terminal in the folder above
    the store, answering each prompt in turn."""
    import pty

    argv = argv or [str(ZORVAN), "--config-dir", str(cli.config), *args]
    pid, fd = pty.fork()
    if pid == 0:  # the child: its controlling terminal is the pty
        try:
            # Ctrl-C must reach it even when the test runs in the background,
            # where the shell started everything with SIGINT ignored.
            signal.signal(signal.SIGINT, signal.SIG_DFL)
            os.chdir(cli.config.parent)
            os.execvpe(argv[0], argv, cli.env)
        finally:
            os._exit(127)
    seen = b""
    try:
        for prompt, keys in script:
            seen = _read_until(fd, seen, prompt.encode())
            os.write(fd, keys)
        seen = _read_until(fd, seen, None)
    finally:
        os.close(fd)
        _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status), seen.decode(errors="replace")


def _read_until(fd: int, seen: bytes, wanted: bytes | None, timeout: float = 30) -> bytes:
    """Read until ``wanted`` appears after what was already seen, or until EOF."""
    start, deadline = len(seen), time.monotonic() + timeout
    while wanted is None or wanted not in seen[start:]:
        ready, _, _ = select.select([fd], [], [], max(0, deadline - time.monotonic()))
        if not ready:
            raise AssertionError(f"waited for {wanted!r}; the terminal showed {seen.decode(errors='replace')!r}")
        try:
            chunk = os.read(fd, 4096)
        except OSError:  # EIO: the child closed the terminal
            chunk = b""
        if not chunk:
            if wanted is None:
                break
            raise AssertionError(f"exited before {wanted!r}: {seen.decode(errors='replace')!r}")
        seen += chunk
    return seen


SAVE = ["account", "save", "--name", "tty", "--username", "u"]


@on_posix
def test_terminal_prompt_hides_the_password_and_asks_again_on_mismatch(cli):
    status, screen = on_terminal(cli, SAVE, [
        ("卖家精灵密码：", b"first-try\r"),
        ("再次输入密码：", b"typo\r"),
        ("卖家精灵密码：", PASSWORD.encode() + b"\r"),
        ("再次输入密码：", PASSWORD.encode() + b"\r"),
    ])
    assert status == 0, screen
    assert "两次输入的密码不一致" in screen and "密码已存入系统凭据管理器" in screen
    assert not any(s in screen for s in ("first-try", "typo", PASSWORD.strip()))
    assert cli.json("account", "get", "--name", "tty", "--show-password")[1]["password"] == PASSWORD


@on_posix
@pytest.mark.parametrize("args, script, status, message, backend", [
    (SAVE, [("卖家精灵密码：", b"a\r"), ("再次输入密码：", b"b\r")] * 3, 2, "连续 3 次", None),
    (SAVE, [("卖家精灵密码：", b"\x03")], 130, "已取消：没有写入任何内容", None),
    (SAVE, [("卖家精灵密码：", b"\x04")], 2, "没有读到密码", None),  # Ctrl-D: end of input
    # A bad name is refused before anyone types a password for it.
    (["account", "save", "--name", "a b", "--username", "u"], [], 2, "账号名称", None),
    # A credential manager that does not answer (an unlock prompt nobody sees) is explained.
    (SAVE, [("卖家精灵密码：", b"a\r"), ("再次输入密码：", b"a\r"), ("正在等待系统凭据管理器保存密码……", b"\x03")], 130,
     "已取消：密码可能已经写入", "faulty_keyring.SlowKeyring"),
])
def test_terminal_prompt_gives_up_without_saving(cli, args, script, status, message, backend):
    if backend is not None:
        with_backend(cli, backend)
    code, screen = on_terminal(cli, args, script)
    assert code == status and message in screen and "Traceback" not in screen, screen
    # Its line of its own, not after the prompt.
    assert re.search(f"(^|\n)zorvan: [^\n]*{message}", screen), screen
    # Asked exactly as often as answered: no prompt after giving up.
    assert screen.count("卖家精灵密码：") == sum(p == "卖家精灵密码：" for p, _ in script)
    assert cli.json("account", "list") == (0, [])


def interrupt(cli: Cli, args: list[str], stdin: str | None, marker: str,
              settle: float = 0) -> tuple[int, list[str], bytes]:
    """Run zorvan and send it SIGINT, as Ctrl-C does, `settle` seconds after a
    line of its stderr ends with `marker`: import timings
    (PYTHONPROFILEIMPORTTIME) mark how far start-up has come. (status, the
    other lines of stderr, stdout)."""
    child = subprocess.Popen(
        [str(ZORVAN), "--config-dir", str(cli.config), *args], env={**cli.env, "PYTHONPROFILEIMPORTTIME": "1"},
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        # Ctrl-C must reach it even when the tests run in the background.
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )
    assert child.stdin is not None and child.stderr is not None
    with child:
        child.stdin.write((stdin or "").encode())
        child.stdin.close()
        lines = []
        for line in child.stderr:
            lines.append(line.decode())
            if lines[-1].rstrip().endswith(marker):
                time.sleep(settle)
                child.send_signal(signal.SIGINT)
                break
        lines += child.stderr.read().decode().splitlines(keepends=True)
        out = child.stdout.read() if child.stdout else b""
        child.wait(timeout=60)
    return child.returncode, [line for line in lines
                              if not line.startswith("import time:") and line not in ("looking up\n", "storing\n")], out


@on_posix
@pytest.mark.parametrize("args, stdin, marker, held, message", [
    # Start-up: once the parser is loaded, and while keyring is.
    (["account", "list"], None, " zorvan.cli._parser", False, "已取消\n"),
    (["account", "list"], None, " keyring.backend", False, "已取消\n"),
    # Waiting for the lock that another process holds: nothing is written yet.
    (SAVE_MAIN, PASSWORD + "\n", "looking up", True, "已取消：没有写入任何内容\n"),
    # Half-way through a save: the password may be stored, the file not yet.
    (SAVE_MAIN, PASSWORD + "\n", "storing", False,
     "已取消：密码可能已经写入系统凭据管理器；重新执行这条 account save 命令即可修复这个账号\n"),
])
def test_ctrl_c_anywhere_is_one_line_and_status_130(cli, args, stdin, marker, held, message):
    with_backend(cli, "faulty_keyring.SlowKeyring")
    # Held: the wait for the lock starts just after the marker, and lasts 10 s;
    # a Ctrl-C landing in an import on the way there would be swallowed by
    # the interpreter (in a weakref callback), so it is sent once the wait is
    # surely on.
    # The commands print only once done: output means that the signal came
    # after the command had finished (late, on a busy machine), when the
    # interpreter was already shutting down, which is no Ctrl-C to report.
    # That try does not count.
    for _ in range(5):
        with holding_the_lock(cli) if held else contextlib.nullcontext():
            status, stderr, out = interrupt(cli, args, stdin, marker, settle=1 if held else 0)
        if not out:
            break
    assert (status, stderr, out) == (130, [f"zorvan: {message}"], b""), "".join(stderr)


# A Ctrl-C the interpreter had to swallow in a callback (as importlib's
# module-lock callback does when the signal lands in it).
SWALLOWED_CTRL_C = """
import sys, weakref, zorvan.cli, zorvan.cli._parser as parser
class Dropped: pass
def callback(ref): raise KeyboardInterrupt
def run(args):
    dropped = Dropped(); ref = weakref.ref(dropped, callback); del dropped
    print("ran on"); return 0
parser.run = run
sys.exit(zorvan.cli.main(["account", "list"]))
"""


def test_ctrl_c_swallowed_in_a_callback_still_interrupts(cli):
    result = subprocess.run([sys.executable, "-c", SWALLOWED_CTRL_C], capture_output=True, timeout=60,
                            env={**cli.env, "PYTHONIOENCODING": "utf-8"}, encoding="utf-8")
    assert (result.returncode, result.stderr) == (130, "zorvan: 已取消\n")


@on_posix
def test_without_a_terminal_the_password_must_come_from_stdin(cli):
    result = subprocess.run([str(ZORVAN), "--config-dir", str(cli.config), *SAVE], env=cli.env,
                            stdin=subprocess.DEVNULL, capture_output=True, text=True,
                            start_new_session=True, timeout=60)
    assert_error(result, 2, "--password-stdin")


def test_real_secret_service_keeps_the_password(cli, secret_service):
    cli.env.update({k: secret_service[k] for k in ("DBUS_SESSION_BUS_ADDRESS", "PYTHON_KEYRING_BACKEND")})
    assert cli.save("main").returncode == 0 and cli.save("orphan").returncode == 0
    assert cli.json("account", "get", "--name", "main", "--show-password")[1]["password"] == PASSWORD
    assert cli.json("account", "doctor")[0] == 0
    # A password whose account the file lost is listed, with how to remove it.
    cli.accounts_file().write_text('{"main": {"username": "u"}}')
    status, report = cli.json("account", "doctor")
    assert (status, report["unlisted_passwords"]) == (0, ["orphan"])
    assert "zorvan account delete --name <名称> 删除）：\n  orphan\n" in cli("account", "doctor").stdout
    clear_items(secret_service["DBUS_SESSION_BUS_ADDRESS"])
    status, report = cli.json("account", "doctor")
    assert status == 2 and report["accounts"][0]["password_stored"] is False


@pytest.mark.parametrize("options", [["--file-keyring"], []])
def test_demo_walks_through_the_main_job(options):
    result = subprocess.run([sys.executable, str(REPO / "demo" / "main_job.py"), *options],
                            capture_output=True, timeout=120, **utf8_pipes())
    assert result.returncode == 0, result.stdout + result.stderr
    assert "$ zorvan account save --name '欧洲店'" in result.stdout
    assert "https://www.amazon.co.jp/dp/B0EXAMPLE1" in result.stdout
    assert "demo-password" not in result.stdout + result.stderr
