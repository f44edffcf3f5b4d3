"""The native functions under concurrent use: threads of one process share
the modules, and processes share one store folder. Counts and the loss rate
of concurrent writers are printed (run with -s to see them)."""

from __future__ import annotations

import errno
import json
import os
import random
import subprocess
import sys
import textwrap
import threading
import time
import traceback
from pathlib import Path

import pytest

from platforms import REPLACED_WHILE_OPENING, WINDOWS, no_fork
from zorvan.amazon_rufus.domain.exceptions import UnsupportedMarketplaceError
from zorvan.amazon_rufus.runtime import regionet
from zorvan.seller_sprite.services.credarium import SellerSpriteCredarium

TESTS = Path(__file__).resolve().parent
THREADS = 8
THREAD_SECONDS = 3
WRITER_SECONDS = 3

KEY = ("zorvan-seller-sprite", "account:main")
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


def test_threads_saving_at_once_lose_no_account(tmp_path, memory_keyring, fine_switching):
    store = SellerSpriteCredarium(base_dir=tmp_path)
    deadline = time.monotonic() + THREAD_SECONDS / 2
    saved = [[] for _ in range(4)]

    def save(worker):
        while time.monotonic() < deadline:
            name = f"t{worker}-{len(saved[worker])}"
            store.save(name=name, username=f"user-{name}", password="pw")
            saved[worker].append(name)

    threads = [threading.Thread(target=save, args=(worker,)) for worker in range(len(saved))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert sorted(account["name"] for account in store.list()) == sorted(sum(saved, []))


# One worker process against the store in argv[2]. It prints "ready", waits
# for a line, then acts until its time is up, printing each name once the
# call has returned:
#   save <prefix>: saves <prefix>0, <prefix>1, ...
#   delete: deletes accounts it finds listed, printing those it removed
#   same <prefix>: for each further line R it reads, saves the account "same"
#     with username <prefix>-R and password pw-<prefix>-R, then prints R
# "same" uses the credential manager of its environment; the others keep
# passwords in memory.
WORKER = textwrap.dedent(
    """
    import random, sys, time
    sys.path.insert(0, sys.argv[1])
    role, prefix, seconds = sys.argv[3], sys.argv[4], float(sys.argv[5])
    if role != "same":
        import keyring
        from memory_keyring import MemoryKeyring
        keyring.set_keyring(MemoryKeyring())
    from zorvan.seller_sprite.services.credarium import SellerSpriteCredarium

    store = SellerSpriteCredarium(base_dir=sys.argv[2])
    print("ready", flush=True)
    sys.stdin.readline()
    deadline = time.monotonic() + seconds
    index = 0
    while time.monotonic() < deadline:
        if role == "save":
            name = f"{prefix}{index}"
            store.save(name=name, username=f"user-{name}", password="pw")
            print(name, flush=True)
        elif role == "delete":
            listed = store.list()
            name = listed and random.choice(listed)["name"]
            if name and store.delete(name=name):
                print(name, flush=True)
        else:
            line = sys.stdin.readline().strip()
            if not line:
                break
            store.save(name="same", username=f"{prefix}-{line}", password=f"pw-{prefix}-{line}")
            print(line, flush=True)
        index += 1
    """
)


def start_workers(tmp_path, roles, seconds, env=None):
    workers = [
        subprocess.Popen([sys.executable, "-c", WORKER, str(TESTS), str(tmp_path), role, prefix, str(seconds)],
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                         env=env)
        for role, prefix in roles
    ]
    for worker in workers:
        assert worker.stdout.readline() == "ready\n", worker.stderr.read()
    for worker in workers:  # all start at once
        worker.stdin.write("go\n")
        worker.stdin.flush()
    return workers


def run_workers(tmp_path, roles, seconds=WRITER_SECONDS):
    """Runs the workers to the end, reading accounts.json all the while; the
    lines each printed."""
    meta_path = tmp_path / "seller_sprite" / "accounts.json"
    workers = start_workers(tmp_path, roles, seconds)
    outputs = {}

    def collect(index, worker):  # drains the pipes, so that no worker ever waits on a full one
        outputs[index] = worker.communicate(timeout=seconds + 60)

    collectors = [threading.Thread(target=collect, args=item) for item in enumerate(workers)]
    try:
        for collector in collectors:
            collector.start()
        while any(collector.is_alive() for collector in collectors):
            time.sleep(0.001)
            try:
                content = meta_path.read_bytes()
            except (FileNotFoundError, *REPLACED_WHILE_OPENING):
                continue
            accounts = json.loads(content.decode("utf-8"))  # never a half-written file
            assert all(entry == {"username": f"user-{name}"} for name, entry in accounts.items())
        for collector in collectors:
            collector.join()
    finally:
        for worker in workers:
            worker.kill()
    for index, worker in enumerate(workers):
        assert worker.returncode == 0, outputs[index][1]
    # Every write replaced the file whole, and no temporary file is left.
    assert sorted(os.listdir(meta_path.parent)) == ["accounts.json", "accounts.json.lock"]
    return [outputs[index][0].split() for index in range(len(workers))], json.loads(meta_path.read_bytes())


@pytest.mark.parametrize("savers", [2, 4, 8])
def test_processes_saving_at_once_lose_no_account(tmp_path, savers):
    saved, final = run_workers(tmp_path, [("save", f"w{index}-") for index in range(savers)])
    everything = sum(saved, [])
    assert sorted(final) == sorted(everything)
    print(f"\n{len(everything)} saves by {savers} processes in {WRITER_SECONDS} s "
          f"({', '.join(str(len(names)) for names in saved)}); "
          f"{len(everything) - len(final)} accounts lost")


def test_deleted_accounts_never_come_back(tmp_path):
    outputs, final = run_workers(tmp_path, [("save", "a"), ("save", "b"), ("delete", ""), ("delete", "")])
    saved, deleted = set(outputs[0] + outputs[1]), set(outputs[2] + outputs[3])
    assert deleted and set(final) == saved - deleted
    print(f"\n{len(saved)} saved, {len(deleted)} deleted by other processes meanwhile")


# Holds the file in argv[1] open through open() for argv[2] seconds. On
# Windows that open does not share deletion, so that nothing can be moved
# over the file meanwhile, as scanners and sync clients also do.
READER = "import sys, time\nf = open(sys.argv[1], 'rb')\nprint('open', flush=True)\ntime.sleep(float(sys.argv[2]))"


@pytest.mark.parametrize("seconds, kept_out", [(0.5, False), (5, WINDOWS)], ids=["within the wait", "past it"])
def test_a_reader_holding_the_file_delays_a_save_for_a_bounded_time(tmp_path, memory_keyring, seconds, kept_out):
    store = SellerSpriteCredarium(base_dir=tmp_path)
    store.save(name="main", username="old", password="old")
    before = store.meta_path.read_bytes()
    with subprocess.Popen([sys.executable, "-c", READER, str(store.meta_path), str(seconds)],
                          stdout=subprocess.PIPE, text=True) as reader:
        assert reader.stdout.readline() == "open\n"
        try:
            outcome = store.save(name="main", username="new", password="new")
        except PermissionError as exc:
            outcome = exc
        reader.kill()
    if kept_out:  # ERROR_ACCESS_DENIED under Wine, ERROR_SHARING_VIOLATION elsewhere
        assert (outcome.filename, outcome.winerror in (5, 32)) == (str(store.meta_path), True)
        assert traceback.extract_tb(outcome.__traceback__)[-1].lineno == 39  # before the password
        assert (store.meta_path.read_bytes(), memory_keyring.secrets) == (before, {KEY: "old"})
    else:
        assert (outcome, memory_keyring.secrets) == ({"name": "main", "username": "new"}, {KEY: "new"})
    assert sorted(os.listdir(store.base_dir)) == ["accounts.json", "accounts.json.lock"]


def test_one_name_saved_by_two_processes_keeps_one_call_s_username_and_password(credential_manager, tmp_path):
    import keyring

    workers = start_workers(tmp_path, [("same", "a"), ("same", "b")], 600, env=credential_manager)
    meta_path = tmp_path / "seller_sprite" / "accounts.json"
    try:
        for round_ in range(40):
            for worker in workers:  # both save at once
                worker.stdin.write(f"{round_}\n")
                worker.stdin.flush()
            for worker in workers:
                assert worker.stdout.readline() == f"{round_}\n", worker.stderr.read()
            username = json.loads(meta_path.read_bytes())["same"]["username"]
            assert keyring.get_password("zorvan-seller-sprite", "account:same") == f"pw-{username}"
    finally:
        for worker in workers:
            worker.kill()
            worker.communicate()  # closes its pipes too


# Saves "main" with a credential manager that stops inside set_password,
# that is while the save holds the store's lock, until it is killed.
HOLDER = textwrap.dedent(
    """
    import sys, time
    sys.path.insert(0, sys.argv[1])
    import keyring
    from memory_keyring import MemoryKeyring

    class Stuck(MemoryKeyring):
        def set_password(self, service, username, password):
            print("holding", flush=True)
            time.sleep(600)

    keyring.set_keyring(Stuck())
    from zorvan.seller_sprite.services.credarium import SellerSpriteCredarium
    SellerSpriteCredarium(base_dir=sys.argv[2]).save(name="main", username="theirs", password="theirs")
    """
)


def test_a_held_lock_times_out_the_change_and_a_killed_holder_frees_it(tmp_path, memory_keyring):
    store = SellerSpriteCredarium(base_dir=tmp_path)
    store.save(name="main", username="ours", password="ours")
    before = store.meta_path.read_bytes()
    holder = subprocess.Popen([sys.executable, "-c", HOLDER, str(TESTS), str(tmp_path)],
                              stdout=subprocess.PIPE, text=True)
    ticks = []
    try:
        assert holder.stdout.readline() == "holding\n"
        done = threading.Event()

        def tick():
            while not done.is_set():
                ticks.append(1)
                time.sleep(0.01)

        ticker = threading.Thread(target=tick)
        ticker.start()
        try:
            with pytest.raises(TimeoutError) as caught:
                store.save(name="main", username="new", password="new")
        finally:
            done.set()
            ticker.join()
    finally:
        holder.kill()
        holder.communicate()  # closes its pipe too
    lock = f"{store.meta_path}.lock"
    assert caught.value.filename == lock
    message = "另一个进程正在修改卖家精灵账号，等待 10 秒后仍未完成"
    assert str(caught.value) == str(TimeoutError(errno.ETIMEDOUT, message, lock))
    assert [(e.lineno, e.name) for e in traceback.extract_tb(caught.value.__traceback__)][-1:] == [
        (39, "zorvan.seller_sprite.services.credarium.SellerSpriteCredarium.save")]
    assert len(ticks) > 100  # other threads ran while it waited
    assert store.meta_path.read_bytes() == before
    assert memory_keyring.secrets == {("zorvan-seller-sprite", "account:main"): "ours"}
    # The kernel released the dead holder's lock: the next change goes through.
    assert store.save(name="main", username="new", password="new") == {"name": "main", "username": "new"}


def test_a_wait_longer_than_the_bound_goes_on_while_the_lock_changes_hands(tmp_path, memory_keyring, monkeypatch):
    # Thirteen saves holding the lock 0.9 s each: the last waits over 10 s.
    store = SellerSpriteCredarium(base_dir=tmp_path)
    set_password = memory_keyring.set_password
    monkeypatch.setattr(memory_keyring, "set_password", lambda *args: (time.sleep(0.9), set_password(*args)))
    threads = [threading.Thread(target=store.save, kwargs={"name": f"a{index}", "username": "u", "password": "pw"})
               for index in range(13)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(store.list()) == 13  # a save that timed out would be missing


def test_a_change_re_entered_on_the_same_thread_goes_on(tmp_path, memory_keyring, monkeypatch):
    # A credential backend whose callback changes the same store while the
    # outer save holds its lock.
    store = SellerSpriteCredarium(base_dir=tmp_path)
    set_password = memory_keyring.set_password

    def calling_back(service, username, password):
        set_password(service, username, password)
        if username == "account:outer":
            assert store.delete(name="gone") is True
            store.save(name="inner", username="u", password="pw")

    store.save(name="gone", username="u", password="pw")
    monkeypatch.setattr(memory_keyring, "set_password", calling_back)
    store.save(name="outer", username="u", password="pw")
    assert [account["name"] for account in store.list()] == ["inner", "outer"]


# Two saves on threads of their own, through a credential manager that takes
# argv[4] seconds; "holding" when one of them holds the lock, then each
# save's outcome as JSON: "saved", or the OSError's type and file, and
# whether the password had been written.
SLOW_SAVERS = textwrap.dedent(
    """
    import json, sys, threading, time
    sys.path.insert(0, sys.argv[1])
    import keyring
    from memory_keyring import MemoryKeyring

    class Slow(MemoryKeyring):
        def set_password(self, service, username, password):
            print("holding", flush=True)
            time.sleep(float(sys.argv[4]))
            super().set_password(service, username, password)

    backend = Slow()
    keyring.set_keyring(backend)
    from zorvan.seller_sprite.services.credarium import SellerSpriteCredarium
    store, outcomes = SellerSpriteCredarium(base_dir=sys.argv[2]), {}

    def save(name):
        try:
            outcomes[name] = store.save(name=name, username="u", password="pw") and "saved"
        except OSError as exc:
            outcomes[name] = [type(exc).__name__, exc.filename, (KEY, f"account:{name}") in backend.secrets]

    KEY = "zorvan-seller-sprite"
    print("ready", flush=True)
    sys.stdin.readline()
    threads = [threading.Thread(target=save, args=(sys.argv[3] + str(index),)) for index in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    print(json.dumps(outcomes), flush=True)
    """
)

# What another process does to accounts.json.lock (`lock`), by name.
LOCK_FILE_CHANGES = {
    "truncated to nothing": "os.truncate(lock, 0)",
    "truncated to 10 bytes": "os.truncate(lock, 10)",
    "made 1 MiB long": "os.truncate(lock, 1 << 20)",
    "filled with garbage": "open(lock, 'r+b').write(os.urandom(8192))",
    # Windows refuses these two while others have the file open.
    "replaced by a shorter file": "open(lock + '.new', 'wb').write(b'x'); os.replace(lock + '.new', lock)",
    "replaced by a longer file": "open(lock + '.new', 'wb').write(os.urandom(1 << 20)); os.replace(lock + '.new', lock)",
    "deleted": "os.remove(lock)",
}


def lines_mapped(process):
    """The store lock's waiting lines that `process` maps (Linux only)."""
    with open(f"/proc/{process.pid}/maps") as maps:
        return {line.split()[-1] for line in maps if "/zorvan-lock-" in line}


@pytest.mark.parametrize("change", LOCK_FILE_CHANGES)
def test_what_another_process_does_to_the_lock_file_kills_no_saver_and_loses_nothing(tmp_path, change):
    meta_path = tmp_path / "seller_sprite" / "accounts.json"
    meta_path.parent.mkdir()
    lock = f"{meta_path}.lock"
    with open(lock, "wb") as old:  # as an older version, keeping its line there, left it
        old.write(bytes(4096))
    savers = [subprocess.Popen([sys.executable, "-c", SLOW_SAVERS, str(TESTS), str(tmp_path), prefix, "0.3"],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True) for prefix in "ab"]
    try:
        for saver in savers:
            assert saver.stdout.readline() == "ready\n"
            saver.stdin.write("go\n")
            saver.stdin.flush()
            if saver is savers[0]:  # one save holds the lock, the other three wait for it
                assert saver.stdout.readline() == "holding\n"
        lines = set()
        if sys.platform.startswith("linux"):  # until both processes wait in the line
            deadline = time.monotonic() + 10
            while not all(lines_mapped(saver) for saver in savers) and time.monotonic() < deadline:
                time.sleep(0.01)
            lines = set.union(*map(lines_mapped, savers))
            assert lines
        else:
            time.sleep(0.2)
        changer = f"import os, sys; lock = sys.argv[1]; {LOCK_FILE_CHANGES[change]}"
        subprocess.run([sys.executable, "-c", changer, lock], check=not WINDOWS)
        outputs = [saver.communicate(timeout=60)[0] for saver in savers]
    finally:
        for saver in savers:
            saver.kill()
    assert [saver.returncode for saver in savers] == [0, 0]
    outcomes = {name: outcome for output in outputs for name, outcome in json.loads(output.splitlines()[-1]).items()}
    saved = sorted(name for name, outcome in outcomes.items() if outcome == "saved")
    assert sorted(json.loads(meta_path.read_bytes())) == saved
    # Windows may refuse to open a lock file deleted while others hold it:
    # such a save fails at once, naming it, before its password.
    assert all(outcome == "saved" or outcome == ["PermissionError", lock, False] for outcome in outcomes.values())
    assert len(saved) == 4 or WINDOWS
    assert not [name for name in os.listdir(meta_path.parent) if name.endswith(".tmp")]
    assert not [line for line in lines if os.path.exists(line)]  # every line removed once empty


# Forks, with one thread holding the store lock and another waiting for it:
# a plain child that saves and then lives on, and a fork pool that saves.
# Neither may keep the parent's lock once the parent lets go of it.
FORKER = textwrap.dedent(
    """
    import multiprocessing, os, sys, threading, time, warnings
    sys.path.insert(0, sys.argv[1])
    warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads running is the point
    import keyring
    from memory_keyring import MemoryKeyring
    from zorvan.seller_sprite.services.credarium import SellerSpriteCredarium
    holding, release = threading.Event(), threading.Event()

    class Gate(MemoryKeyring):
        def set_password(self, service, username, password):
            if username == "account:held":
                holding.set()
                release.wait()
            super().set_password(service, username, password)

    keyring.set_keyring(Gate())
    store = SellerSpriteCredarium(base_dir=sys.argv[2])

    def save(name):
        store.save(name=name, username="u", password="pw")

    threads = [threading.Thread(target=save, args=(name,)) for name in ("held", "waiting")]
    threads[0].start()
    holding.wait()
    threads[1].start()
    time.sleep(0.3)  # "waiting" has opened the lock file and joined the line
    reader, writer = os.pipe()
    if os.fork() == 0:
        os.close(writer)
        save("child")
        os.read(reader, 1)  # lives on until the parent is done
        os._exit(0)
    with multiprocessing.get_context("fork").Pool(2) as pool:
        saved = pool.map_async(save, ["p0", "p1", "p2"])
        release.set()
        for thread in threads:
            thread.join()
        save("after")
        saved.get(timeout=60)
    os.close(writer)
    print(os.wait()[1], *sorted(account["name"] for account in store.list()))
    """
)


@no_fork
def test_forked_children_never_keep_the_parent_s_lock(tmp_path):
    child = subprocess.run([sys.executable, "-c", FORKER, str(TESTS), str(tmp_path)],
                           capture_output=True, text=True, timeout=120)
    assert (child.stdout.split(), child.stderr) == (["0", "after", "child", "held", "p0", "p1", "p2", "waiting"], "")
