"""Time the import of each native module against its interpreted equivalent.

    python bench/import_cost.py [--quick] [--check] [--runs N]

A native module initialises once per process, so every sample is a fresh
interpreter. Each child first imports what both sides of a pair share (the
zorvan packages and domain modules, json, stat, pathlib, keyring,
keyring.errors, zlib) and only then times one importlib.import_module() of the
module under test with time.perf_counter_ns. What is left in the figure is the
module's own cost: finding it, loading it, and running its body.

The interpreted side (py_regionet.py, py_credarium.py next to this file) is
imported from its cached bytecode, as an installed pure-Python module would
be: the .pyc is written before the first child starts, checked against the
source the way the import system checks it, and must still be the same file
when the last child has finished (a child that found it stale would have
rewritten it).

Two more kinds of child run alongside, as context rather than targets: the
native import with the C++ runtime library already loaded (on Linux), which
shows how much of the native figure is the dynamic loader bringing that
library in, and the import of a small stdlib C extension, what loading any
extension module costs on this machine.

Children run one after the other in a random order within each round, so that drift in the machine's speed reaches both alike; the
median of each side is reported, since a busy moment only ever adds time.
The exit status is 0 whatever the table shows, unless --check is given, in
which case a missed target makes it 1.
"""

from __future__ import annotations

import argparse
import ctypes.util
import importlib.machinery
import importlib.util
import platform
import py_compile
import random
import statistics
import subprocess
import sys
from dataclasses import dataclass, field
from pathlib import Path

from _report import print_columns

BENCH_DIR = Path(__file__).resolve().parent

# Everything either module imports, plus the packages the native modules sit
# in: loaded before the clock starts, on both sides.
SHARED_IMPORTS = [
    "json", "stat", "pathlib", "zlib", "keyring", "keyring.errors",
    "zorvan.config",
    "zorvan.amazon_rufus.domain.exceptions", "zorvan.amazon_rufus.domain.models",
    "zorvan.seller_sprite.domain.exceptions",
    "zorvan.amazon_rufus.runtime", "zorvan.seller_sprite.services",
]

# A small C extension of the standard library that neither start-up nor the
# shared imports load: what loading any extension module costs on this
# machine, for context.
FLOOR_MODULE = "_statistics"

# argv: the module to time, the folder of the interpreted modules, and a shared
# library to load before the clock starts (or ""). Prints the nanoseconds,
# then where the module was loaded from.
CHILD = f"""
import importlib, sys, time
for name in {SHARED_IMPORTS!r}:
    importlib.import_module(name)
if sys.argv[3]:
    import ctypes
    ctypes.CDLL(sys.argv[3])
target = sys.argv[1]
if target in sys.modules:
    sys.exit(target + " is already imported before the clock starts")
sys.path.insert(0, sys.argv[2])
clock = time.perf_counter_ns
start = clock()
module = importlib.import_module(target)
elapsed = clock() - start
print(elapsed)
print(getattr(module, "__cached__", None) or module.__file__)
"""


@dataclass
class Pair:
    label: str
    native: str
    interp: str
    target: float  # highest acceptable native/interpreted ratio
    # native and interp are what the ratio compares; the other two are context
    # on where the native figure goes (see --help).
    samples: dict[str, list[int]] = field(
        default_factory=lambda: {"native": [], "interp": [], "preloaded": [], "floor": []})

    def median(self, side: str) -> float:
        return statistics.median(self.samples[side])

    def spread(self, side: str) -> float:
        """Interquartile range over the median: how much the children disagreed."""
        q1, _, q3 = statistics.quantiles(self.samples[side], n=4)
        return (q3 - q1) / self.median(side)

    @property
    def ratio(self) -> float:
        return self.median("native") / self.median("interp")

    @property
    def passed(self) -> bool:
        return self.ratio <= self.target


PAIRS = [
    Pair("regionet", "zorvan.amazon_rufus.runtime.regionet", "py_regionet", 0.5),
    Pair("credarium", "zorvan.seller_sprite.services.credarium", "py_credarium", 0.5),
]


# -- the interpreted side's bytecode ---------------------------------------


def bytecode_path(source: Path) -> Path:
    # Spelled out rather than taken from importlib.util.cache_from_source: a
    # PYTHONPYCACHEPREFIX in this process's environment would move that one,
    # and the children (run with -I) ignore it.
    return source.parent / "__pycache__" / f"{source.stem}.{sys.implementation.cache_tag}.pyc"


def bytecode_is_current(source: Path, cached: Path) -> bool:
    """The checks the import system makes before it uses a timestamp-based .pyc."""
    try:
        header = cached.read_bytes()[:16]
    except OSError:
        return False
    st = source.stat()
    return (
        len(header) == 16
        and header[:4] == importlib.util.MAGIC_NUMBER
        and int.from_bytes(header[4:8], "little") == 0  # timestamp-based, not hash-based
        and int.from_bytes(header[8:12], "little") == int(st.st_mtime) & 0xFFFFFFFF
        and int.from_bytes(header[12:16], "little") == st.st_size & 0xFFFFFFFF
    )


def prepare_bytecode(name: str) -> tuple[Path, tuple[int, int, int]]:
    source = BENCH_DIR / f"{name}.py"
    cached = bytecode_path(source)
    if not bytecode_is_current(source, cached):
        py_compile.compile(str(source), cfile=str(cached), doraise=True,
                           invalidation_mode=py_compile.PycInvalidationMode.TIMESTAMP)
    if not bytecode_is_current(source, cached):
        raise SystemExit(f"{cached} does not match {source} after compiling it")
    st = cached.stat()
    return cached, (st.st_ino, st.st_mtime_ns, st.st_size)


# -- timing ----------------------------------------------------------------


def time_import(module: str, preload: str = "") -> tuple[int, str]:
    # -I: no user site, no PYTHON* variables, no script folder on sys.path;
    # every child starts the same way whatever the shell around it.
    child = subprocess.run(
        [sys.executable, "-I", "-c", CHILD, module, str(BENCH_DIR), preload],
        capture_output=True, text=True, timeout=120,
    )
    if child.returncode != 0:
        raise SystemExit(f"importing {module} failed:\n{child.stderr}")
    elapsed, origin = child.stdout.split("\n")[:2]
    return int(elapsed), origin


def loaded_as_expected(side: str, origin: str, cached: Path) -> bool:
    if side == "interp":
        return origin == str(cached)
    # Not a stray .py of the same name somewhere on the path.
    return origin.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))


def cxx_runtime() -> str:
    """The C++ runtime library the native modules link against, or "" if unknown."""
    if sys.platform != "linux":
        return ""
    return ctypes.util.find_library("stdc++") or ""


def measure(pair: Pair, runs: int, warmup: int, cached: Path, runtime: str) -> None:
    rng = random.Random(f"{pair.label}-{runs}")
    children = {
        "native": (pair.native, ""),
        "interp": (pair.interp, ""),
        "floor": (FLOOR_MODULE, ""),
    }
    if runtime:
        children["preloaded"] = (pair.native, runtime)
    for index in range(warmup + runs):
        sides = list(children)
        rng.shuffle(sides)
        for side in sides:
            module, preload = children[side]
            elapsed, origin = time_import(module, preload)
            if side != "floor" and not loaded_as_expected(side, origin, cached):
                raise SystemExit(f"{module} was loaded from {origin}, which is not what is meant to be timed")
            if index >= warmup:
                pair.samples[side].append(elapsed)


# -- report ----------------------------------------------------------------


def print_table(pairs: list[Pair]) -> None:
    headers = ("module", "native ns", "interp ns", "ratio", "target", "spread", "result")
    lines = [
        (
            pair.label,
            f"{pair.median('native'):,.0f}",
            f"{pair.median('interp'):,.0f}",
            f"{pair.ratio:.3f}",
            f"<= {pair.target:g}",
            f"{max(pair.spread('native'), pair.spread('interp')):.0%}",
            "PASS" if pair.passed else "MISS",
        )
        for pair in pairs
    ]
    print_columns(headers, lines)
    print("ns: median import time over fresh processes; ratio: native/interp; "
          "spread: interquartile range over the median, worse side")
    for pair in pairs:
        fastest = (min(pair.samples["native"]), min(pair.samples["interp"]))
        print(f"{pair.label}: fastest child native {fastest[0]:,} ns, interp {fastest[1]:,} ns "
              f"(ratio {fastest[0] / fastest[1]:.3f})")
    print()
    print("Context, not targets (medians of children run alongside the above):")
    for pair in pairs:
        parts = []
        if pair.samples["preloaded"]:
            preloaded = pair.median("preloaded")
            parts.append(f"native with the C++ runtime already loaded {preloaded:,.0f} ns "
                         f"(ratio {preloaded / pair.median('interp'):.3f})")
        parts.append(f"{FLOOR_MODULE}, a stdlib C extension, {pair.median('floor'):,.0f} ns")
        print(f"{pair.label}: " + "; ".join(parts))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer processes: a rough look in a few seconds")
    parser.add_argument("--check", action="store_true", help="exit 1 if any target is missed")
    parser.add_argument("--runs", type=int, help="timed processes per side and module (default 100, 30 with --quick)")
    args = parser.parse_args(argv)

    runs = args.runs or (30 if args.quick else 100)
    warmup = 3 if args.quick else 10
    if runs < 4:
        parser.error("--runs must be at least 4")

    print(f"Python {platform.python_version()} ({platform.python_implementation()}) {sys.executable}")
    print(f"timing {runs} fresh processes per side and module, after {warmup} untimed rounds")

    pyc: dict[str, tuple[Path, tuple[int, int, int]]] = {}
    for pair in PAIRS:
        pyc[pair.interp] = prepare_bytecode(pair.interp)
    runtime = cxx_runtime()
    for pair in PAIRS:
        measure(pair, runs, warmup, pyc[pair.interp][0], runtime)

    for name, (cached, identity) in pyc.items():
        st = cached.stat()
        if (st.st_ino, st.st_mtime_ns, st.st_size) != identity:
            raise SystemExit(f"{cached} was rewritten during the run: some child did not use it")

    print()
    print_table(PAIRS)
    print("interpreted side: " + ", ".join(str(cached.relative_to(BENCH_DIR)) for cached, _ in pyc.values()))

    missed = [pair for pair in PAIRS if not pair.passed]
    print()
    print(f"{len(PAIRS) - len(missed)} of {len(PAIRS)} within target")
    return 1 if args.check and missed else 0


if __name__ == "__main__":
    sys.exit(main())
