"""The native functions under concurrent use: threads of one process share
the modules, and processes share one store folder. Counts and the loss rate
of concurrent writers are printed (run with -s to see them)."""

from __future__ import annotations

import json
import os
import random
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

from zorvan.amazon_rufus.domain.exceptions import UnsupportedMarketplaceError
from zorvan.amazon_rufus.runtime import regionet
from zorvan.seller_sprite.services.credarium import SellerSpriteCredarium

TESTS = Path(__file__).resolve().parent
THREADS = 8
THREAD_SECONDS = 3
WRITER_SECONDS = 5

COUNTRIES = {" us ": "US", "UK": "UK", "de\n": "DE", "Jp": "JP", "fr": None, "": None, "ｕｓ": None, "\udc80": None}


@pytest.fixture
def fine_switching():
    # Hand the interpreter lock over as often as possible, so that threads
    # interleave inside the calls rather than between them.
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(previous)


def test_threads_sharing_the_modules_always_get_correct_results(tmp_path, memory_keyring, fine_switching):
    store = SellerSpriteCredarium(base_dir=tmp_path)
    for index in range(20):
        store.save(name=f"a{index}", username=f"user-{index}", password="pw")
    listed = [{"name": f"a{index}", "username": f"user-{index}"} for index in range(20)]
    deadline = time.monotonic() + THREAD_SECONDS
    faults, calls = [], [0] * THREADS

    def check_once(rng):
        """One call with a random argument; a description of what went wrong, or None."""
        country, asin = rng.choice(list(COUNTRIES)), rng.choice([" b0abc12345 ", "x" * 1000, ""])
        code, choice = COUNTRIES[country], rng.randrange(3)
        unsupported = (UnsupportedMarketplaceError, f"不支持的国家: {country}，支持: DE, JP, UK, US")
        try:
            if choice == 0:
                result = regionet.resolve_marketplace(country)
                correct = bool(code) and result is regionet._MARKETPLACES[code]
            elif choice == 1:
                result = regionet.build_product_url(asin, country)
                correct = bool(code) and result == f"{regionet._MARKETPLACES[code].base_url}/dp/{asin.strip().upper()}"
            else:
                result = store.list()
                correct = result == listed
        except Exception as exc:
            result = type(exc), str(exc)
            correct = choice < 2 and code is None and result == unsupported
        return None if correct else (choice, country, asin[:20], result)

    def work(worker):
        rng = random.Random(worker)
        while time.monotonic() < deadline:
            fault = check_once(rng)
            if fault:
                faults.append(fault)
            calls[worker] += 1

    threads = [threading.Thread(target=work, args=(worker,)) for worker in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    print(f"\n{sum(calls)} calls from {THREADS} threads in {THREAD_SECONDS} s")
    assert faults == []
    assert min(calls) > 0


# Saves <prefix>0, <prefix>1, ... until the time is up, printing each name
# once its save has returned.
WRITER = textwrap.dedent(
    """
    import sys, time
    sys.path.insert(0, sys.argv[1])
    import keyring
    from memory_keyring import MemoryKeyring
    keyring.set_keyring(MemoryKeyring())
    from zorvan.seller_sprite.services.credarium import SellerSpriteCredarium

    store = SellerSpriteCredarium(base_dir=sys.argv[2])
    prefix, seconds = sys.argv[3], float(sys.argv[4])
    print("ready", flush=True)
    sys.stdin.readline()
    deadline = time.monotonic() + seconds
    index = 0
    while time.monotonic() < deadline:
        store.save(name=f"{prefix}{index}", username=f"user-{prefix}{index}", password="pw")
        print(f"{prefix}{index}", flush=True)
        index += 1
    """
)


def test_two_processes_saving_at_once_never_break_the_file(tmp_path):
    meta_path = tmp_path / "seller_sprite" / "accounts.json"
    writers = [
        subprocess.Popen([sys.executable, "-c", WRITER, str(TESTS), str(tmp_path), prefix, str(WRITER_SECONDS)],
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        for prefix in ("a", "b")
    ]
    outputs = {}

    def collect(index, writer):  # drains the pipes, so that no writer ever waits on a full one
        outputs[index] = writer.communicate(timeout=WRITER_SECONDS + 60)

    try:
        for writer in writers:
            assert writer.stdout.readline() == "ready\n", writer.stderr.read()
        collectors = [threading.Thread(target=collect, args=item) for item in enumerate(writers)]
        for writer, collector in zip(writers, collectors):  # both start at once
            writer.stdin.write("go\n")
            writer.stdin.flush()
            collector.start()

        reads = 0
        while any(collector.is_alive() for collector in collectors):
            time.sleep(0.001)
            try:
                content = meta_path.read_bytes()
            except FileNotFoundError:
                continue
            accounts = json.loads(content.decode("utf-8"))  # never a half-written file
            assert all(entry == {"username": f"user-{name}"} for name, entry in accounts.items())
            reads += 1
        for collector in collectors:
            collector.join()
    finally:
        for writer in writers:
            writer.kill()
    for index, writer in enumerate(writers):
        assert writer.returncode == 0, outputs[index][1]

    saved = [outputs[index][0].split() for index in range(2)]
    final = json.loads(meta_path.read_text(encoding="utf-8"))
    assert all(entry == {"username": f"user-{name}"} for name, entry in final.items())
    assert set(final) <= set(saved[0] + saved[1])  # nothing that was never saved
    # Last write wins: a writer rewrites the mapping it read, which may
    # predate the other's latest save. Only the writer that renamed its file
    # last is sure to find its own last account in the end.
    assert saved[0][-1] in final or saved[1][-1] in final
    # Every write replaced the file whole: nothing was unreadable, and no
    # temporary file is left behind.
    assert os.listdir(meta_path.parent) == ["accounts.json"]

    total = len(saved[0]) + len(saved[1])
    lost = total - len(final)
    print(f"\n{total} saves ({len(saved[0])} + {len(saved[1])}) by two processes in {WRITER_SECONDS} s, "
          f"file read {reads} times while they ran; {lost} accounts lost to the other writer "
          f"({lost / total:.1%})")
