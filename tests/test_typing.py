"""The stubs shipped for the compiled modules: they must agree with the
modules as loaded (stubtest), and be precise enough that a strictly typed user
of the modules (typing_example.py) checks clean. Both run on the installed
package, in a scratch folder, so that the source tree cannot stand in for it."""

from __future__ import annotations

import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

MODULES = ["zorvan.seller_sprite.services.credarium", "zorvan.amazon_rufus.runtime.regionet"]
EXAMPLE = Path(__file__).resolve().parent / "typing_example.py"

pytestmark = pytest.mark.skipif(
    importlib.util.find_spec("mypy") is None, reason="mypy is not installed (pip install '.[test]')"
)


def _parser_setting() -> str:
    # mypy 2 parses with ast_serialize, in Rust, which Wine 8 cannot load (it
    # lacks bcryptprimitives.dll); mypy's Python parser does the same.
    try:
        import ast_serialize  # noqa: F401
    except ImportError:
        return "native_parser = False\n" if importlib.util.find_spec("ast_serialize") else ""
    return ""


def run_mypy_tool(tmp_path: Path, *args: str) -> subprocess.CompletedProcess[str]:
    # An empty config of its own, so that no user-wide mypy config changes
    # what is checked.
    config = tmp_path / "mypy.ini"
    config.write_text(f"[mypy]\n{_parser_setting()}", encoding="utf-8")
    env = {k: v for k, v in os.environ.items() if k not in {"PYTHONPATH", "MYPYPATH"}}
    env["ZORVAN_CONFIG_DIR"] = str(tmp_path / "config")
    return subprocess.run(
        [sys.executable, "-m", *args], cwd=tmp_path, env=env,
        capture_output=True, text=True, timeout=600,
    )


def test_stubs_match_the_loaded_modules(tmp_path: Path) -> None:
    result = run_mypy_tool(tmp_path, "mypy.stubtest", "--mypy-config-file", "mypy.ini", *MODULES)
    assert result.returncode == 0, result.stdout + result.stderr


def test_strict_user_code_checks_against_the_stubs(tmp_path: Path) -> None:
    strict = ["mypy", "--strict", "--config-file", "mypy.ini", "--cache-dir", "mypy-cache"]
    result = run_mypy_tool(tmp_path, *strict, str(EXAMPLE))
    assert result.returncode == 0, result.stdout + result.stderr
    # The stubs themselves, under --strict as well: checked only through an
    # import, as above, mypy keeps quiet about errors in installed files.
    result = run_mypy_tool(tmp_path, *strict, *[arg for name in MODULES for arg in ("-m", name)])
    assert result.returncode == 0, result.stdout + result.stderr
