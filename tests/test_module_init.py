"""Loading the marketplace map: once per process and per interpreter, and
what a failed initialisation leaves behind. Each case runs in a fresh
interpreter, since the module initialises only once per process."""

from __future__ import annotations

import importlib.util
import json
import subprocess
import sys
import textwrap

import pytest

from platforms import utf8_pipes

PRELUDE = """
import importlib, json, sys, traceback, types
NAME = "zorvan.amazon_rufus.runtime.regionet"
MODELS = "zorvan.amazon_rufus.domain.models"
EXCEPTIONS = "zorvan.amazon_rufus.domain.exceptions"

SOURCE = "zorvan/amazon_rufus/runtime/regionet"

def failure(exc):
    # The error, the module's traceback entries, whether the last entry is one
    # of them, and the names that the half-built module kept (the entries'
    # frames see its namespace).
    entries, kept, last = [], None, False
    for frame, line in traceback.walk_tb(exc.__traceback__):
        last = frame.f_code.co_filename == SOURCE
        if last:
            entries.append([line, frame.f_code.co_name])
            kept = [name for name in frame.f_globals if not name.startswith("__")]
    return {"type": type(exc).__name__, "message": str(exc), "entries": entries, "last": last, "kept": kept}

def retried():
    module = importlib.import_module(NAME)
    return list(module._MARKETPLACES) == ["US", "UK", "DE", "JP"] and "__test__" in vars(module)
"""

INIT = "init zorvan.amazon_rufus.runtime.regionet"
SOURCE = "zorvan/amazon_rufus/runtime/regionet"


def run(*parts: str) -> dict:
    """Runs the prelude and `parts` in a new interpreter; the last prints one JSON value."""
    script = "\n".join(textwrap.dedent(part) for part in (PRELUDE, *parts))
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=60, **utf8_pipes())
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.splitlines()[-1])


def test_import_again_gives_the_same_module_without_running_its_body():
    assert run("""
        models = importlib.import_module(MODELS)
        first = importlib.import_module(NAME)
        table = first._MARKETPLACES
        made = []
        models.Marketplace = lambda **fields: made.append(fields)
        del sys.modules[NAME]
        second = importlib.import_module(NAME)
        print(json.dumps({
            "same module": second is first,
            "registered": sys.modules[NAME] is first,
            "same table": second._MARKETPLACES is table,
            "records made": len(made),
            "reloaded": importlib.reload(first) is first,
        }))
    """) == {"same module": True, "registered": True, "same table": True, "records made": 0, "reloaded": True}


def test_namespace_holds_the_expected_names_in_order():
    assert run("""
        import builtins
        module = importlib.import_module(NAME)
        found = module.__spec__
        print(json.dumps({
            "names": list(vars(module)),
            "builtins": module.__builtins__ is builtins,
            "__test__": [type(module.__test__).__name__, module.__test__],
            "__doc__": module.__doc__,
            "__package__": module.__package__,
            "__file__": module.__file__ == found.origin,
            "__loader__": module.__loader__ is found.loader,
        }, ensure_ascii=False))
    """) == {
        "names": [
            "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__builtins__",
            "UnsupportedMarketplaceError", "Marketplace", "_MARKETPLACES",
            "resolve_marketplace", "build_product_url", "__test__",
        ],
        "builtins": True,
        "__test__": ["dict", {}],
        "__doc__": "Amazon 国家站点固定映射。",
        "__package__": "zorvan.amazon_rufus.runtime",
        "__file__": True,
        "__loader__": True,
    }


# What a sub-interpreter runs; it reports through a pipe, since its
# exceptions would reach the main interpreter only as text.
IN_SUB_INTERPRETER = """
import os
try:
    import zorvan.amazon_rufus.runtime.regionet
    report = "loaded"
except ImportError as exc:
    report = f"{type(exc).__name__}: {exc}"
os.write(WRITE_END, report.encode())
"""


IN_MAIN = """
    try:
        importlib.import_module(NAME)
        seen["main"] = "loaded"
    except ImportError as exc:
        seen["main"] = f"{type(exc).__name__}: {exc}"
"""


# A sub-interpreter sharing the main one's GIL and import rules, so that the
# module's own check is what refuses it: _interpreters from 3.13 on.
if importlib.util.find_spec("_interpreters"):
    NEW_SUB_INTERPRETER = "import _interpreters as interpreters; interpreter = interpreters.create('legacy')"
else:
    NEW_SUB_INTERPRETER = "import _xxsubinterpreters as interpreters; interpreter = interpreters.create(isolated=False)"


@pytest.mark.parametrize("main_first", [True, False], ids=["main-then-sub", "sub-then-main"])
def test_only_the_first_interpreter_may_load_the_module(main_first):
    in_sub = f"""
        import os
        {NEW_SUB_INTERPRETER}
        read_end, write_end = os.pipe()
        interpreters.run_string(interpreter, {IN_SUB_INTERPRETER!r}.replace("WRITE_END", str(write_end)))
        seen["sub"] = os.read(read_end, 1000).decode()
    """
    steps = [IN_MAIN, in_sub] if main_first else [in_sub, IN_MAIN]
    observed = run("seen = {}", *steps, "print(json.dumps(seen))")
    refused = (
        "ImportError: Interpreter change detected - "
        "this module can only be loaded into one interpreter per process."
    )
    expected = {"main": "loaded", "sub": refused} if main_first else {"sub": "loaded", "main": refused}
    assert observed == expected


def test_executing_a_second_module_object_is_refused():
    assert run("""
        import importlib.util
        found = importlib.util.find_spec(NAME)
        first = importlib.util.module_from_spec(found)
        second = importlib.util.module_from_spec(found)
        found.loader.exec_module(first)
        found.loader.exec_module(first)  # a repeated exec of the same module does nothing
        try:
            found.loader.exec_module(second)
            outcome = "executed"
        except RuntimeError as exc:
            outcome = str(exc)
        print(json.dumps({"outcome": outcome, "untouched": "_MARKETPLACES" not in vars(second)}))
    """) == {
        "outcome": "Module 'regionet' has already been imported. Re-initialisation is not supported.",
        "untouched": True,
    }


@pytest.mark.parametrize("locations, path", [("None", "absent"), ("['here']", ["here"])])
def test_creation_copies_what_the_module_spec_has(locations, path):
    # A bare spec object without `loader`, loaded by the import system's own
    # extension steps, which do not register the module either.
    assert run(f"""
        import _imp, importlib.util
        class Bare:
            name = NAME
            origin = importlib.util.find_spec(NAME).origin
            parent = "elsewhere"
            submodule_search_locations = {locations}
        module = _imp.create_dynamic(Bare())
        _imp.exec_dynamic(module)
        print(json.dumps({{
            "__file__": module.__file__ == Bare.origin,
            "__package__": module.__package__,
            "__loader__": module.__loader__,
            "__path__": getattr(module, "__path__", "absent"),
            "registered": sys.modules.get(NAME) is module,
        }}))
    """) == {"__file__": True, "__package__": "elsewhere", "__loader__": None, "__path__": path,
             "registered": True}


TRY_IMPORT = """
try:
    importlib.import_module(NAME)
    seen = {"imported": True}
except Exception as exc:
    seen = failure(exc)
"""

RESTORE = "models.Marketplace = real"
REFUSE_ROW = """
models = importlib.import_module(MODELS)
real = models.Marketplace
def refuse(*, country, base_url):
    if country == {!r}:
        raise ValueError("no " + country)
    return real(country=country, base_url=base_url)
models.Marketplace = refuse
"""

# A module object standing in for a host module, lacking the name asked for.
EMPTY = "sys.modules[{0}] = types.ModuleType({0})"
HALTED = "import of {} halted; None in sys.modules"
BODY = ["UnsupportedMarketplaceError", "Marketplace"]


def init_failure(error, message, line, kept, last=True):
    return {"type": error, "message": message, "entries": [[line, INIT]], "last": last, "kept": kept}


def unpack_failure(error, message):
    return {"type": error, "message": message, "entries": [], "last": False, "kept": None}


@pytest.mark.parametrize("sabotage, repair, expected", [
    ("sys.modules[MODELS] = None", "del sys.modules[MODELS]", init_failure(
        "ModuleNotFoundError", HALTED.format("zorvan.amazon_rufus.domain.models"), 6, BODY[:1])),
    ("sys.modules[EXCEPTIONS] = None", "del sys.modules[EXCEPTIONS]", init_failure(
        "ModuleNotFoundError", HALTED.format("zorvan.amazon_rufus.domain.exceptions"), 5, [])),
    (EMPTY.format("MODELS"), "del sys.modules[MODELS]",
     init_failure("ImportError", "cannot import name Marketplace", 6, BODY[:1])),
    (EMPTY.format("EXCEPTIONS"), "del sys.modules[EXCEPTIONS]",
     init_failure("ImportError", "cannot import name UnsupportedMarketplaceError", 5, [])),
    # an attribute read that fails in any other way is reported the same
    (EMPTY.format("MODELS") + "\ndef refuse(name):\n    raise (RuntimeError if name == 'Marketplace' else "
     "AttributeError)(name)\nsys.modules[MODELS].__getattr__ = refuse",
     "del sys.modules[MODELS]", init_failure("ImportError", "cannot import name Marketplace", 6, BODY[:1])),
    # the table is bound only once all four records are made
    (REFUSE_ROW.format("US"), RESTORE, init_failure("ValueError", "no US", 9, BODY, False)),
    (REFUSE_ROW.format("UK"), RESTORE, init_failure("ValueError", "no UK", 10, BODY, False)),
    (REFUSE_ROW.format("JP"), RESTORE, init_failure("ValueError", "no JP", 12, BODY, False)),
    # the string table cannot be unpacked (the wording of the ImportError is free)
    ("sys.modules['zlib'] = None", "del sys.modules['zlib']", unpack_failure("ImportError", None)),
    ("import zlib; sys.modules['zlib'] = types.ModuleType('zlib')", "sys.modules['zlib'] = zlib",
     unpack_failure("ImportError", None)),
    ("import zlib; sys.modules['zlib'] = types.SimpleNamespace(decompress=lambda data: 1 / 0)",
     "sys.modules['zlib'] = zlib", unpack_failure("ZeroDivisionError", "division by zero")),
    ("import zlib; sys.modules['zlib'] = types.SimpleNamespace(\n"
     "    decompress=lambda data: b'\\xff' * len(zlib.decompress(data)))", "sys.modules['zlib'] = zlib",
     unpack_failure("UnicodeDecodeError",
                    "'utf-8' codec can't decode byte 0xff in position 0: invalid start byte")),
], ids=["models-missing", "exceptions-missing", "models-lack-name", "exceptions-lack-name", "name-read-fails",
        "us-row-fails", "uk-row-fails", "jp-row-fails",
        "no-zlib", "no-decompress", "decompress-fails", "not-utf-8"])
def test_failed_initialisation_is_reported_and_retried(sabotage, repair, expected):
    observed = run(sabotage, TRY_IMPORT, repair, 'seen["retried"] = retried()', "print(json.dumps(seen))")
    if expected["message"] is None:
        expected = {**expected, "message": observed["message"]}
    assert observed == {**expected, "retried": True}
