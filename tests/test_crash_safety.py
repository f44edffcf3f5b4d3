"""A process killed at any moment while saving accounts leaves accounts.json
whole: it parses, and it holds every account whose save had returned."""

from __future__ import annotations

import json
import os
import random
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

from platforms import KILLED

TESTS = Path(__file__).resolve().parent
ROUNDS = 60
# Fixed, so a failing round can be replayed; change it to explore.
SEED = int(os.environ.get("ZORVAN_CRASH_SEED", "20240917"))

# Saves a0, a1, ... from the given index on, forever; each name is printed
# only after its save has returned.
SAVER = textwrap.dedent(
    """
    import sys
    sys.path.insert(0, sys.argv[1])
    import keyring
    from memory_keyring import MemoryKeyring
    keyring.set_keyring(MemoryKeyring())
    from zorvan.seller_sprite.services.credarium import SellerSpriteCredarium

    store = SellerSpriteCredarium(base_dir=sys.argv[2])
    index = int(sys.argv[3])
    print("ready", flush=True)
    while True:
        name = f"a{index}"
        store.save(name=name, username=f"user-{index}", password="pw")
        print(name, flush=True)
        index += 1
    """
)


def test_killed_saver_never_loses_or_breaks_the_file(tmp_path):
    rng = random.Random(SEED)
    meta_path = tmp_path / "seller_sprite" / "accounts.json"
    saved: list[str] = []
    next_index = 0
    for round_ in range(ROUNDS):
        saver = subprocess.Popen(
            [sys.executable, "-c", SAVER, str(TESTS), str(tmp_path), str(next_index)],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,  # "\n" for Windows' "\r\n" too
        )
        try:
            assert saver.stdout.readline() == "ready\n", saver.stderr.read()
            time.sleep(rng.uniform(0, 0.08))
        finally:
            saver.kill()  # SIGKILL, or TerminateProcess on Windows
            out, err = saver.communicate(timeout=30)
        assert saver.returncode == KILLED, err

        # A line cut short by the kill was never fully printed.
        printed = out.split("\n")[:-1]
        saved += printed
        next_index += len(printed) + 1  # skip the name that may be half-saved

        context = f"seed {SEED}, round {round_}"
        if not saved:
            continue
        content = meta_path.read_bytes()
        try:
            accounts = json.loads(content.decode("utf-8"))
        except ValueError:
            pytest.fail(f"{context}: accounts.json is broken: {content[:200]!r}")
        assert isinstance(accounts, dict), context
        missing = [name for name in saved if accounts.get(name) != {"username": f"user-{name[1:]}"}]
        assert missing == [], context
    assert len(saved) > ROUNDS, "the saver hardly ever got a save done"
