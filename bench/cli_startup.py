"""How long the `zorvan` command takes to start, against the interpreter's own floor.

    python bench/cli_startup.py [--runs N] [--check]

A command-line tool is mostly start-up: the marketplace map answers in
microseconds, so `zorvan marketplace url` costs what the interpreter and the
imports cost. Each round runs, in a shuffled order, one child of each kind:

- `python -c pass`: the interpreter alone;
- `python -c "import keyring"`: the floor of any account command, since the
  store imports keyring;
- `zorvan marketplace url B0ABC12345 --country de`;
- `zorvan account list`, on a throwaway store of two accounts.

Running them interleaved lets a busy moment of the machine reach every kind
alike; the medians are compared, since noise only ever adds time. Targets:
the marketplace command within 3 times the bare interpreter, the account
listing within 1.15 times the keyring import. The exit status is 0 whatever
the figures, unless --check is given and a target is missed.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import random
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from _report import print_columns

PYTHON = sys.executable
ZORVAN = str(Path(sys.executable).parent / "zorvan")

# (label, the command, the label of its floor or None, the highest ratio to it)
CHILDREN = [
    ("python -c pass", [PYTHON, "-c", "pass"], None, None),
    ('python -c "import keyring"', [PYTHON, "-c", "import keyring"], None, None),
    ("zorvan marketplace url", [ZORVAN, "marketplace", "url", "B0ABC12345", "--country", "de"],
     "python -c pass", 3.0),
    ("zorvan account list", [ZORVAN, "account", "list"], 'python -c "import keyring"', 1.15),
]


def environment(folder: Path) -> dict[str, str]:
    # A throwaway store, and nothing from the user's own configuration.
    store = folder / "zorvan" / "seller_sprite"
    store.mkdir(parents=True)
    (store / "accounts.json").write_text(
        json.dumps({"main": {"username": "seller@example.com"}, "欧洲店": {"username": "eu-seller@example.com"}},
                   ensure_ascii=False, indent=2), encoding="utf-8")
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "ZORVAN_"))}
    env.update(ZORVAN_CONFIG_DIR=str(folder / "zorvan"), HOME=str(folder), XDG_CONFIG_HOME=str(folder))
    return env


def run_once(command: list[str], env: dict[str, str]) -> float:
    start = time.perf_counter()
    child = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    elapsed = time.perf_counter() - start
    if child.returncode != 0:
        raise SystemExit(f"{command} failed with status {child.returncode}:\n{child.stderr.decode(errors='replace')}")
    return elapsed


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=30, help="timed rounds (default 30)")
    parser.add_argument("--check", action="store_true", help="exit 1 if a target is missed")
    args = parser.parse_args(argv)
    warmup = 3

    samples: dict[str, list[float]] = {label: [] for label, *_ in CHILDREN}
    with tempfile.TemporaryDirectory(prefix="zorvan-bench-") as folder:
        env = environment(Path(folder))
        rng = random.Random(args.runs)
        for index in range(warmup + args.runs):
            order = list(CHILDREN)
            rng.shuffle(order)
            for label, command, _, _ in order:
                elapsed = run_once(command, env)
                if index >= warmup:
                    samples[label].append(elapsed)

    medians = {label: statistics.median(times) for label, times in samples.items()}
    print(f"Python {platform.python_version()} {PYTHON}")
    print(f"{args.runs} interleaved rounds after {warmup} untimed ones; medians in milliseconds")
    print()
    lines, missed = [], 0
    for label, _, floor, target in CHILDREN:
        q1, _, q3 = statistics.quantiles(samples[label], n=4)
        spread = f"{(q3 - q1) / medians[label]:.0%}"
        if floor is None:
            lines.append((label, f"{medians[label] * 1000:.1f}", spread, "", "", ""))
            continue
        ratio = medians[label] / medians[floor]
        passed = target is not None and ratio <= target
        missed += not passed
        lines.append((label, f"{medians[label] * 1000:.1f}", spread, f"{ratio:.2f}x {floor}",
                      f"<= {target:g}x", "PASS" if passed else "MISS"))
    print_columns(("command", "median ms", "spread", "ratio", "target", "result"), lines)
    print("spread: interquartile range over the median")
    return 1 if args.check and missed else 0


if __name__ == "__main__":
    sys.exit(main())
