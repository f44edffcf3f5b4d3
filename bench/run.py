"""Time the native modules against their interpreted equivalents in one run.

    python bench/run.py [--quick] [--check] [-k TEXT]

For every case the same statement is timed twice: once against the native
module and once against the plain-Python module next to this file
(py_regionet.py, py_credarium.py). Both import the same zorvan package, so the
Marketplace record, the exception classes, the keyring backend and the store
layout are shared; only the module's own code differs between the two columns.

Each side runs in many short chunks of a fixed wall-clock budget; chunks of the
two sides alternate (and swap order every repeat) so that a burst of machine
noise hits both, and the best chunk of each side is kept, since noise only ever
adds time. Short chunks matter on a shared or virtual machine: the speed there
drifts within tens of milliseconds, and many 2 ms chunks give each side the
same chance at the quiet moments, where a few long ones do not. The cost of an empty timing loop is measured once and taken off both
sides, so the ratio compares the calls rather than the loop around them.

The table is a report: the exit status is 0 whatever it shows, unless --check
is given, in which case a missed target (or a native result that differs from
the interpreted one) makes it 1.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import timeit
from dataclasses import dataclass
from pathlib import Path

from _report import print_columns
from typing import Any, Callable

BENCH_DIR = Path(__file__).resolve().parent
TESTS_DIR = BENCH_DIR.parent / "tests"

# The interpreted modules live next to this file; the in-memory keyring
# backend lives with the tests. Appended, not prepended, so that nothing in
# those folders can shadow the installed zorvan package.
for folder in (BENCH_DIR, TESTS_DIR):
    if str(folder) not in sys.path:
        sys.path.append(str(folder))

CREDARIUM_MODULE = "zorvan.seller_sprite.services.credarium"


@dataclass
class Case:
    group: str
    label: str
    expr: str  # a call expression, evaluated in the namespace of each side
    native: dict[str, Any]
    interp: dict[str, Any]
    target: float  # highest acceptable native/interpreted ratio
    raises: type[BaseException] | None = None  # the error path: call, catch, go on
    reset: Callable[[], None] | None = None  # run before every timed chunk

    @property
    def stmt(self) -> str:
        if self.raises is None:
            return self.expr
        # The class is looked up in the namespace like the callee is, so both
        # sides pay the same for the except clause.
        return f"try:\n    {self.expr}\nexcept _Raised:\n    pass"

    def namespace(self, side: dict[str, Any]) -> dict[str, Any]:
        return {**side, "_Raised": self.raises}


@dataclass
class Row:
    case: Case
    native_ns: float | None = None
    interp_ns: float | None = None
    noise: float | None = None
    mismatch: str | None = None

    @property
    def ratio(self) -> float | None:
        if self.native_ns is None or self.interp_ns is None:
            return None
        return self.native_ns / self.interp_ns

    @property
    def passed(self) -> bool:
        return self.mismatch is None and self.ratio is not None and self.ratio <= self.case.target


# -- machine description ---------------------------------------------------


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo", encoding="utf-8", errors="replace") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    if sys.platform == "darwin":
        try:
            return subprocess.run(
                ["sysctl", "-n", "machdep.cpu.brand_string"],
                capture_output=True, text=True, check=True,
            ).stdout.strip()
        except (OSError, subprocess.CalledProcessError):
            pass
    return platform.processor() or platform.machine() or "unknown"


def store_root() -> tuple[str | None, str]:
    # save() fsyncs every call; on tmpfs that is nearly free, which keeps the
    # disk from drowning the code being compared.
    shm = Path("/dev/shm")
    if shm.is_dir() and os.access(shm, os.W_OK | os.X_OK):
        return str(shm), "/dev/shm (tmpfs)"
    return None, f"{tempfile.gettempdir()} (no /dev/shm; save timings include the disk)"


# -- timing ----------------------------------------------------------------


def chunk_ns(timer: timeit.Timer, number: int, reset: Callable[[], None] | None) -> float:
    if reset is not None:
        reset()
    return timer.timeit(number) / number * 1e9


def calibrate(timer: timeit.Timer, budget: float, reset: Callable[[], None] | None) -> int:
    """Iterations that make one chunk last about `budget` seconds.

    Doubles as warm-up: by the time it returns, the statement has run often
    enough for the interpreter to have specialised its instructions.
    """
    number = 1
    while True:
        if reset is not None:
            reset()
        elapsed = timer.timeit(number)
        if elapsed >= budget / 10 or number >= 10**9:
            return max(1, round(number * budget / max(elapsed, 1e-9)))
        number *= 10


def loop_overhead(repeats: int, budget: float) -> float:
    timer = timeit.Timer("pass")
    number = calibrate(timer, budget, None)
    return min(chunk_ns(timer, number, None) for _ in range(repeats))


def outcome(expr: str, namespace: dict[str, Any]) -> tuple:
    try:
        return ("returned", eval(expr, dict(namespace)))
    except Exception as exc:
        return ("raised", type(exc), str(exc))


def compare(case: Case) -> str | None:
    """Why the two sides cannot be timed against each other, or None.

    A native call that returns something else (or raises something else) may
    well be faster, but the ratio would not mean anything.
    """
    native = outcome(case.expr, case.native)
    interp = outcome(case.expr, case.interp)
    if native != interp:
        def show(result: tuple) -> str:
            text = repr(result[1:]) if result[0] == "raised" else repr(result[1])
            return f"{result[0]} {text[:120]}"
        return f"native {show(native)}; interpreted {show(interp)}"
    if case.raises is not None and not (interp[0] == "raised" and issubclass(interp[1], case.raises)):
        return f"expected {case.raises.__name__}, got {interp[0]}"
    return None


def measure(case: Case, repeats: int, budget: float, overhead: float) -> Row:
    row = Row(case)
    row.mismatch = compare(case)
    if row.mismatch is not None:
        return row
    sides = []
    for side in (case.native, case.interp):
        timer = timeit.Timer(case.stmt, globals=case.namespace(side))
        sides.append((timer, calibrate(timer, budget, case.reset)))
    samples: list[list[float]] = [[], []]
    for repeat in range(repeats):
        order = (0, 1) if repeat % 2 == 0 else (1, 0)
        for index in order:
            timer, number = sides[index]
            samples[index].append(chunk_ns(timer, number, case.reset) - overhead)
    native, interp = samples
    row.native_ns = max(min(native), 0.1)
    row.interp_ns = max(min(interp), 0.1)
    # How far the typical chunk sat above the best one: a large figure means
    # the machine was busy and the row deserves a rerun before it is believed.
    row.noise = max(statistics.median(s) / max(min(s), 0.1) - 1 for s in samples)
    return row


# -- cases -----------------------------------------------------------------


def regionet_cases() -> list[Case]:
    import py_regionet
    from zorvan.amazon_rufus.runtime import regionet

    native = {"resolve_marketplace": regionet.resolve_marketplace,
              "build_product_url": regionet.build_product_url}
    interp = {"resolve_marketplace": py_regionet.resolve_marketplace,
              "build_product_url": py_regionet.build_product_url}
    return [
        Case("regionet", 'resolve_marketplace(" us ")',
             'resolve_marketplace(" us ")', native, interp, 0.5),
        Case("regionet", 'build_product_url(" b0abc12345 ", "de")',
             'build_product_url(" b0abc12345 ", "de")', native, interp, 0.5),
        Case("regionet", 'resolve_marketplace("fr")  [raises]',
             'resolve_marketplace("fr")', native, interp, 1.0,
             raises=py_regionet.UnsupportedMarketplaceError),
    ]


def write_store(base_dir: Path, accounts: dict[str, dict[str, str]]) -> None:
    # The same bytes the stores write themselves, so a save() in the middle of
    # the run leaves the file as it found it.
    folder = base_dir / "seller_sprite"
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / "accounts.json"
    path.write_text(json.dumps(accounts, ensure_ascii=False, indent=2), encoding="utf-8")
    path.chmod(0o600)


def accounts_of(count: int) -> dict[str, dict[str, str]]:
    accounts = {"main": {"username": "main-user@example.com"}}
    for i in range(1, count):
        accounts[f"acct-{i:05d}"] = {"username": f"user{i:05d}@example.com"}
    return accounts


def credarium_cases(credarium: Any, root: Path) -> list[Case]:
    import keyring
    import py_credarium
    from memory_keyring import MemoryKeyring

    # One backend for both sides, installed before either store exists so that
    # nothing ever probes (or writes to) a keyring on this machine.
    backend = MemoryKeyring()
    keyring.set_keyring(backend)

    stores: dict[str, dict[str, Any]] = {}
    for size in (10, 10_000):
        accounts = accounts_of(size)
        for side, cls in (("native", credarium.SellerSpriteCredarium),
                          ("interp", py_credarium.SellerSpriteCredarium)):
            base = root / f"{side}-{size}"
            write_store(base, accounts)
            stores.setdefault(side, {})[f"s{size}"] = cls(base_dir=base)

    # get() needs a password in the backend; each side saves it through its
    # own code, which also rewrites its small store with identical content.
    for side in ("native", "interp"):
        stores[side]["s10"].save(name="main", username="main-user@example.com", password="hunter2-main")

    # MemoryKeyring logs every call; without trimming, the log would grow by
    # one entry per timed call and the later chunks would pay for it.
    reset = backend.calls.clear

    native, interp = stores["native"], stores["interp"]
    return [
        Case("credarium", "list()  10 accounts", "s10.list()", native, interp, 1.0),
        Case("credarium", "list()  10,000 accounts", "s10000.list()", native, interp, 1.0),
        Case("credarium", 'get(name="main")', 's10.get(name="main")', native, interp, 1.0, reset=reset),
        Case("credarium", 'save(name="main", ...)  [writes a file]',
             's10.save(name="main", username="main-user@example.com", password="hunter2-main")',
             native, interp, 1.0, reset=reset),
        Case("credarium", 'delete(name="absent")  [locks, reads]', 's10.delete(name="absent")',
             native, interp, 1.0, reset=reset),
        Case("credarium", 'save + delete of a new name  [locks, writes twice]',
             '(s10.save(name="new", username="u", password="pw"), s10.delete(name="new"))',
             native, interp, 1.0, reset=reset),
        Case("credarium", '_keyring_account(name="main")',
             's10._keyring_account(name="main")', native, interp, 0.5),
    ]


def import_credarium() -> tuple[Any, str | None]:
    """The native module, or why it cannot be measured.

    Only a module that does not exist yet is a plain skip; one that exists but
    fails to load is a fault and is reported as such.
    """
    import importlib

    try:
        return importlib.import_module(CREDARIUM_MODULE), None
    except ModuleNotFoundError as exc:
        if exc.name == CREDARIUM_MODULE:
            return None, None
        return None, f"{type(exc).__name__}: {exc}"
    except Exception as exc:
        return None, f"{type(exc).__name__}: {exc}"


# -- report ----------------------------------------------------------------


def fmt_ns(value: float | None) -> str:
    return "-" if value is None else f"{value:,.1f}"


def print_table(rows: list[Row]) -> None:
    headers = ("case", "native ns", "interp ns", "ratio", "target", "noise", "result")
    lines = []
    for row in rows:
        ratio = row.ratio
        lines.append((
            f"{row.case.group}  {row.case.label}",
            fmt_ns(row.native_ns),
            fmt_ns(row.interp_ns),
            "-" if ratio is None else f"{ratio:.3f}",
            f"<= {row.case.target:g}",
            "-" if row.noise is None else f"{row.noise:.0%}",
            "MISMATCH" if row.mismatch else ("PASS" if row.passed else "MISS"),
        ))
    print_columns(headers, lines)
    print("ns: per call, best chunk; ratio: native/interp; "
          "noise: median chunk over best chunk, worse side")
    for row in rows:
        if row.mismatch:
            print(f"MISMATCH {row.case.group} {row.case.label}: {row.mismatch}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer and shorter chunks: a rough look in a few seconds")
    parser.add_argument("--check", action="store_true", help="exit 1 if any target is missed")
    parser.add_argument("-k", dest="select", metavar="TEXT", help="only the cases whose name contains TEXT")
    parser.add_argument("--repeat", type=int, help="chunks per side and case (default 150, 25 with --quick)")
    parser.add_argument("--chunk-ms", type=float, help="length of one chunk (default 2, 1 with --quick)")
    args = parser.parse_args(argv)

    repeats = args.repeat or (25 if args.quick else 150)
    budget = (args.chunk_ms or (1.0 if args.quick else 2.0)) / 1000

    print(f"Python {platform.python_version()} ({platform.python_implementation()}) {sys.executable}")
    print(f"CPU    {cpu_model()}  ({os.cpu_count()} logical)")

    overhead = loop_overhead(repeats, budget)
    print(f"timing best of {repeats} chunks of ~{budget * 1000:g} ms per side; "
          f"empty-loop cost {overhead:.1f} ns/iteration taken off both sides")

    rows: list[Row] = []
    faults: list[str] = []

    def run(cases: list[Case]) -> None:
        for case in cases:
            if args.select and args.select not in f"{case.group} {case.label}":
                continue
            rows.append(measure(case, repeats, budget, overhead))

    run(regionet_cases())

    notes: list[str] = []
    credarium, failure = import_credarium()
    if credarium is None:
        if failure is None:
            notes.append(f"credarium: skipped, {CREDARIUM_MODULE} is not built")
        else:
            faults.append(f"credarium: skipped, {CREDARIUM_MODULE} failed to import: {failure}")
    else:
        prefix, where = store_root()
        with tempfile.TemporaryDirectory(prefix="zorvan-bench-", dir=prefix) as root:
            notes.append(f"credarium stores in {where}")
            run(credarium_cases(credarium, Path(root)))

    print()
    print_table(rows)
    for line in notes + faults:
        print(line)

    missed = [row for row in rows if not row.passed]
    print()
    print(f"{len(rows) - len(missed)} of {len(rows)} within target" + (f"; {len(faults)} module(s) not measured" if faults else ""))
    if args.check and (missed or faults):
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
