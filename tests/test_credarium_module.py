"""Loading the account-store module, and the class and method objects it
builds. The module initialises once per process, so each loading case runs
in a fresh interpreter."""

from __future__ import annotations

import inspect
import json
import os
import subprocess
import sys
import textwrap

import pytest

from zorvan.seller_sprite.services import credarium
from zorvan.seller_sprite.services.credarium import SellerSpriteCredarium

MODULE = "zorvan.seller_sprite.services.credarium"
SOURCE = "zorvan/seller_sprite/services/credarium"
INIT = f"init {MODULE}"
OWN_NAMES = [
    "json", "stat", "Path", "CONFIG_DIR", "InvalidCollectOptionError", "SellerSpriteDependencyError",
    "keyring", "_KEYRING_AVAILABLE", "_KEYRING_SERVICE", "SellerSpriteCredarium", "__test__",
]
# What the interpreter itself puts in an extension module's namespace.
INTERPRETER_NAMES = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__builtins__"}

PRELUDE = f"""
import json, sys, traceback
store_dir = sys.argv[1]

def failure(exc):
    return [type(exc).__name__, str(exc),
            [[e.lineno, e.name] for e in traceback.extract_tb(exc.__traceback__) if e.filename == {SOURCE!r}]]

def attempt(call):
    try:
        return ["returned", repr(call())]
    except BaseException as exc:
        return failure(exc)

def state(module):
    # Whether keyring counts as available, is bound, and the names are in order.
    names = list(vars(module))
    own = [name for name in {OWN_NAMES!r} if name in names or name != "keyring"]
    return [repr(module._KEYRING_AVAILABLE), "keyring" in names,
            names[-len(own):] == own and set(names[:-len(own)]) <= {INTERPRETER_NAMES!r}]
"""


def run_child(tmp_path, code: str):
    """Runs `code` in a new interpreter; it prints one JSON value."""
    env = {**os.environ, "ZORVAN_CONFIG_DIR": str(tmp_path / "config")}
    child = subprocess.run(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(code), str(tmp_path / "store")],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120,
    )
    assert child.returncode == 0, child.stderr
    return json.loads(child.stdout)


def test_import_binds_the_collaborators_in_order(tmp_path):
    assert run_child(tmp_path, f"""
        import {MODULE} as m
        import json as json_module, stat, pathlib, keyring, zorvan.config
        from zorvan.seller_sprite.domain import exceptions as e
        same = [m.json is json_module, m.stat is stat, m.Path is pathlib.Path,
                m.CONFIG_DIR is zorvan.config.CONFIG_DIR, m.InvalidCollectOptionError is e.InvalidCollectOptionError,
                m.SellerSpriteDependencyError is e.SellerSpriteDependencyError, m.keyring is keyring]
        print(json.dumps([state(m), same, m._KEYRING_SERVICE, repr(m.__test__), m.__doc__, repr(sys.exception())]))
    """) == [["True", True, True], [True] * 7, "zorvan-seller-sprite", "{}", "卖家精灵账号凭据存储。", "None"]


def test_without_keyring_the_module_loads_and_refuses_to_store_passwords(tmp_path):
    method = f"{MODULE}.SellerSpriteCredarium."
    assert run_child(tmp_path, f"""
        sys.modules["keyring"] = None  # `import keyring` now fails
        import {MODULE} as m
        store = m.SellerSpriteCredarium(base_dir=store_dir)
        print(json.dumps([
            state(m),
            attempt(lambda: store.save(name="main", username="u", password="pw")),
            attempt(lambda: store._get_password("main")),
            attempt(lambda: store._delete_password("main")),
            store.meta_path.exists(),
        ]))
    """) == [
        ["False", False, True],
        ["SellerSpriteDependencyError", "当前环境缺少 keyring，无法安全保存卖家精灵密码",
         [[39, method + "save"], [109, method + "_set_password"], [104, method + "_require_keyring"]]],
        ["SellerSpriteDependencyError", "当前环境缺少 keyring，无法安全保存卖家精灵密码",
         [[117, method + "_get_password"], [104, method + "_require_keyring"]]],
        ["returned", "None"],
        False,
    ]


def test_broken_keyring_errors_leaves_keyring_bound_but_unavailable(tmp_path):
    assert run_child(tmp_path, f"""
        import keyring
        del sys.modules["keyring.errors"]

        class Refuse:
            def find_spec(self, name, path=None, target=None):
                if name == "keyring.errors":
                    raise RuntimeError("keyring.errors is broken")

        sys.meta_path.insert(0, Refuse())
        try:
            raise ValueError("handled by the importer")
        except ValueError as outer:
            import {MODULE} as m
            # The module's own handler must not leak into the importer's state.
            handled = sys.exception() is outer
        print(json.dumps([state(m), m.keyring is keyring, handled]))
    """) == [["False", True, True], True, True]


@pytest.mark.parametrize(
    "break_it, mend_it, error",
    [
        (  # an interrupt is no ordinary error: the guard around keyring lets it through
            "class Interrupt:\n"
            "    def find_spec(self, name, path=None, target=None):\n"
            "        if name == 'keyring': raise KeyboardInterrupt\n"
            "finder = Interrupt(); sys.meta_path.insert(0, finder)",
            "sys.meta_path.remove(finder)",
            ["KeyboardInterrupt", "", [[13, INIT]]],
        ),
        (
            "import zorvan.config as config; saved = config.CONFIG_DIR; del config.CONFIG_DIR",
            "config.CONFIG_DIR = saved",
            ["ImportError", "cannot import name CONFIG_DIR", [[9, INIT]]],
        ),
    ],
    ids=["interrupt importing keyring", "no CONFIG_DIR"],
)
def test_failed_import_reports_its_line_and_a_later_import_retries(tmp_path, break_it, mend_it, error):
    assert run_child(tmp_path, f"""
        import importlib
{textwrap.indent(break_it, " " * 8)}
        first = attempt(lambda: importlib.import_module({MODULE!r}))
        registered = {MODULE!r} in sys.modules
{textwrap.indent(mend_it, " " * 8)}
        print(json.dumps([first, registered, state(importlib.import_module({MODULE!r}))]))
    """) == [error, False, ["True", True, True]]


# name, doc, argcount, keyword-only count, local names, first line, annotations
METHODS = [
    ("__init__", None, 1, 1, ("self", "base_dir"), 27, {"base_dir": "Path | None", "return": "None"}),
    ("save", "保存命名账号。", 1, 3, ("self", "name", "username", "password", "accounts"), 32,
     {"name": "str", "username": "str", "password": "str", "return": "dict"}),
    ("list", "列出已保存账号，不返回密码。", 1, 0, ("self", "accounts", "name", "item"), 45, {"return": "list[dict]"}),
    ("delete", "删除命名账号。", 1, 1, ("self", "name", "accounts", "existed"), 50, {"name": "str", "return": "bool"}),
    ("get", "读取命名账号和密码。", 1, 1, ("self", "name", "accounts", "account", "password"), 61,
     {"name": "str", "return": "dict"}),
    ("_load_accounts", "读取账号元数据。", 1, 0, ("self", "payload"), 77, {"return": "dict"}),
    ("_save_accounts", "保存账号元数据。", 2, 0, ("self", "accounts"), 87, {"accounts": "dict", "return": "None"}),
    ("_validate_name", "校验账号别名。", 2, 0, ("self", "name"), 92, {"name": "str", "return": "None"}),
    ("_keyring_account", "生成 keyring account。", 2, 0, ("self", "name"), 97, {"name": "str", "return": "str"}),
    ("_require_keyring", "获取 keyring 模块。", 1, 0, ("self",), 101, {}),
    ("_set_password", "写入系统凭据管理器。", 3, 0, ("self", "name", "password", "kr", "exc"), 107,
     {"name": "str", "password": "str", "return": "None"}),
    ("_get_password", "读取系统凭据管理器密码。", 2, 0, ("self", "name", "kr", "exc"), 115, {"name": "str", "return": "str | None"}),
    ("_delete_password", "删除系统凭据管理器密码。", 2, 0, ("self", "name"), 123, {"name": "str", "return": "None"}),
]


def test_class_holds_the_methods_in_order_and_nothing_else():
    cls = SellerSpriteCredarium
    assert list(vars(cls)) == ["__module__", "__doc__", *(m[0] for m in METHODS), "__dict__", "__weakref__"]
    assert (cls.__bases__, type(cls)) == ((object,), type)
    assert (cls.__name__, cls.__qualname__, cls.__module__, cls.__doc__) == (
        "SellerSpriteCredarium", "SellerSpriteCredarium", MODULE, "保存卖家精灵账号名与用户名，密码存入系统凭据管理器。",
    )


@pytest.mark.parametrize("name, doc, argcount, kwonly, varnames, first_line, annotations",
                         METHODS, ids=[m[0] for m in METHODS])
def test_method_object_describes_its_method(name, doc, argcount, kwonly, varnames, first_line, annotations):
    function = vars(SellerSpriteCredarium)[name]
    assert (function.__name__, function.__qualname__, function.__module__, function.__doc__) == (
        name, f"SellerSpriteCredarium.{name}", MODULE, doc,
    )
    assert function.__globals__ is vars(credarium)
    assert function.__defaults__ is None
    assert function.__kwdefaults__ == ({"base_dir": None} if name == "__init__" else None)
    assert list(function.__annotations__.items()) == list(annotations.items())

    code = function.__code__
    assert (code.co_filename, code.co_name, code.co_qualname, code.co_firstlineno) == (SOURCE, name, name, first_line)
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (argcount, 0, kwonly)
    assert (code.co_varnames, code.co_nlocals) == (varnames, len(varnames))
    assert code.co_flags == inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS
    assert (code.co_consts, code.co_names, code.co_freevars, code.co_cellvars) == ((), (), (), ())


def test_signature_of_save_shows_keyword_only_string_annotations():
    signature = inspect.signature(SellerSpriteCredarium.save)
    assert str(signature) == "(self, *, name: 'str', username: 'str', password: 'str') -> 'dict'"
    assert [p.kind for p in signature.parameters.values()] == [
        inspect.Parameter.POSITIONAL_OR_KEYWORD, *[inspect.Parameter.KEYWORD_ONLY] * 3,
    ]


def test_replacing_init_kwdefaults_does_not_change_the_default(tmp_path, monkeypatch):
    monkeypatch.setattr(credarium, "CONFIG_DIR", tmp_path / "config")
    elsewhere = {"base_dir": str(tmp_path / "elsewhere")}
    monkeypatch.setattr(SellerSpriteCredarium.__init__, "__kwdefaults__", elsewhere)
    assert SellerSpriteCredarium.__init__.__kwdefaults__ == elsewhere
    assert SellerSpriteCredarium().base_dir == tmp_path / "config" / "seller_sprite"
    assert not (tmp_path / "elsewhere").exists()


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads the process's mappings from Linux's /proc")
@pytest.mark.skipif(bool(os.environ.get("LD_PRELOAD")), reason="a preloaded library (a sanitizer) brings its own runtime")
def test_loading_both_modules_maps_no_cpp_runtime():
    # The modules do without the C++ runtime, whose loading alone costs about
    # a millisecond per process; a guarded function-local static is enough to
    # bring it back.
    script = ("import zorvan.seller_sprite.services.credarium, zorvan.amazon_rufus.runtime.regionet\n"
              "print(sorted({line.split()[-1] for line in open('/proc/self/maps') if '++' in line}))")
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.stdout.strip() == "[]", result.stderr
