"""Random calls of every native function and method: by position and by
keyword, through mappings and through the fast calling convention, with
values of many types and odd text. Each call returns what it should or fails
with its own error and message, nothing crashes, and the calls leave no
memory behind. The number of calls made is printed (run with -s to see it)
and written to build/fuzz_calls.json."""

from __future__ import annotations

import collections
import ctypes
import functools
import gc
import json
import os
import random
import shutil
import sys
import tempfile
import types
from pathlib import Path, PurePosixPath
from typing import Any, Callable, NamedTuple

import keyring
from hypothesis import HealthCheck, Phase, given, settings
from hypothesis import strategies as st

from platforms import CASE_BLIND_CREDENTIALS, text_mode
from zorvan.amazon_rufus.domain.exceptions import UnsupportedMarketplaceError
from zorvan.amazon_rufus.runtime import regionet
from zorvan.seller_sprite.domain.exceptions import InvalidCollectOptionError
from zorvan.seller_sprite.services import credarium
from zorvan.seller_sprite.services.credarium import SellerSpriteCredarium

REPORT = Path(__file__).resolve().parent.parent / "build" / "fuzz_calls.json"
EXAMPLES = 200
CALLS_PER_EXAMPLE = 110  # per function and example
MINIMUM_CALLS = 20_000
# Blocks that the interpreter's caches may take while the examples run a
# second time (about 60 in practice); a leak of one block in a thousand calls
# would be over 300.
ALLOWED_GROWTH = 250

SERVICE = "zorvan-seller-sprite"
NAME_MESSAGE = "账号名称只能包含字母、数字、下划线和中划线"
MARKETPLACES = regionet._MARKETPLACES
SUPPORTED = ", ".join(sorted(MARKETPLACES))
REGIONET_SOURCE = "zorvan/amazon_rufus/runtime/regionet"
CREDARIUM_SOURCE = "zorvan/seller_sprite/services/credarium"


class Signature(NamedTuple):
    positional: tuple[str, ...]
    keyword_only: tuple[str, ...]
    types: dict[str, type]  # parameters that must be exactly of a type
    def_line: int
    source: str = CREDARIUM_SOURCE


def exact_str(*names):
    return dict.fromkeys(names, str)


SIGNATURES = {
    "resolve_marketplace": Signature(("country",), (), exact_str("country"), 16, REGIONET_SOURCE),
    "build_product_url": Signature(("asin", "country"), (), exact_str("asin", "country"), 26, REGIONET_SOURCE),
    "__init__": Signature(("self",), ("base_dir",), {}, 27),  # base_dir: optional, any type
    "save": Signature(("self",), ("name", "username", "password"), exact_str("name", "username", "password"), 32),
    "list": Signature(("self",), (), {}, 45),
    "delete": Signature(("self",), ("name",), exact_str("name"), 50),
    "get": Signature(("self",), ("name",), exact_str("name"), 61),
    "_load_accounts": Signature(("self",), (), {}, 77),
    "_save_accounts": Signature(("self", "accounts"), (), {"accounts": dict}, 87),
    "_validate_name": Signature(("self", "name"), (), exact_str("name"), 92),
    "_keyring_account": Signature(("self", "name"), (), exact_str("name"), 97),
    "_require_keyring": Signature(("self",), (), {}, 101),
    "_set_password": Signature(("self", "name", "password"), (), exact_str("name", "password"), 107),
    "_get_password": Signature(("self", "name"), (), exact_str("name"), 115),
    "_delete_password": Signature(("self", "name"), (), exact_str("name"), 123),
}
PARAMETER_NAMES = sorted({p for s in SIGNATURES.values() for p in s.positional + s.keyword_only})


def function_of(name):
    return getattr(regionet if SIGNATURES[name].source == REGIONET_SOURCE else SellerSpriteCredarium, name)


# ---------------------------------------------------------------------------
# Values
# ---------------------------------------------------------------------------
class Text(str):
    """A str subclass: refused wherever an exact str is required."""


class Mapping(dict):
    pass


LongName = type("L" * 300, (), {})  # longer than the 200 bytes a message keeps of a type name
WideName = type("名" * 100, (), {})  # 300 bytes of UTF-8: the cut falls inside a character

ODD_TEXTS = [
    "", " ", "us", "US", " uk\n", "De", "jp\u3000", "gb", "ｕｓ", "uſ", "\x85us\xa0", "u s", "b0abc12345",
    "main", "店铺二", "a-b_c", "-_-", "a b", "a.b", "a/b", "..", "\x00", "\ud800", "\udc80us", "us\udfff",
    "\U0001f600", "e\u0301", "\u202eus", "ß", "İ", "ı", "ŉﬀ", "ÿµb0", "\uffff", "\x1cus\x1f", "\u2029Us\x0b",
    "x" * 300, "k" * 100_000, " " * 50_000 + "us" + " " * 50_000,
]
OTHER_VALUES = [
    None, True, False, 0, -1, 2**100, 1.5, float("nan"), 1j, b"us", bytearray(b"main"), (), ("us",), [],
    frozenset(), Ellipsis, PurePosixPath("p"),
]
TEXT = st.one_of(
    st.sampled_from(ODD_TEXTS),
    st.text(st.characters(exclude_categories=()), max_size=12),  # any code point, lone surrogates too
    st.text("usUSkKdDeEjJpPgGbB0-_ \t\n\u3000", max_size=6),  # near misses of codes and names
)
JSON = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(max_size=6),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=4), inner, max_size=3),
    max_leaves=6,
)
ACCOUNTS = st.dictionaries(
    st.one_of(st.text(st.characters(exclude_categories=()), max_size=6), st.sampled_from([1, None, 1.5, ("t",)])),
    st.one_of(st.builds(lambda u: {"username": u}, st.text(max_size=6)), JSON, st.builds(object)),
    max_size=4,
)
# Objects that calls may give attributes to are made afresh for each example.
VALUE = st.one_of(
    TEXT, TEXT.map(Text), ACCOUNTS, ACCOUNTS.map(Mapping), st.sampled_from(OTHER_VALUES),
    st.builds(object), st.builds(LongName), st.builds(WideName), st.builds(types.SimpleNamespace),
    st.builds(collections.OrderedDict),
)
KEYWORD = st.one_of(
    st.sampled_from(PARAMETER_NAMES),
    st.sampled_from(["nation", "Name", "", "\udc80", "名字", "name ", "k" * 1000, "country\x00"]),
    st.text(max_size=4),
    st.sampled_from([1, None, b"name", 1.5, ("name",)]),  # not strings at all
)


def type_name(cls, limit):
    """A type's name as the interpreter's messages give it: dotted for the
    built-in types of other modules, cut at `limit` bytes of UTF-8 by the
    interpreter's own formatting (which, from 3.13 on, drops a character cut
    in half rather than replacing it)."""
    static = not cls.__flags__ & (1 << 9) and cls.__module__ != "builtins"  # not a heap type
    name = f"{cls.__module__}.{cls.__name__}" if static else cls.__name__
    from_format = ctypes.pythonapi.PyUnicode_FromFormat
    from_format.argtypes = (ctypes.c_char_p, ctypes.c_char_p)
    from_format.restype = ctypes.py_object
    return from_format(f"%.{limit}s".encode(), name.encode())


def fresh(text):
    # Equal to a parameter name, but not the same (interned) object.
    return "".join(list(text))


_VECTORCALL = ctypes.pythonapi.PyObject_Vectorcall
_VECTORCALL.restype = ctypes.py_object
_VECTORCALL.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]


# One array type for every call: ctypes makes and keeps a new type for each
# length, which would read as a leak.
_STACK = ctypes.py_object * 64


def vectorcall(function, args, kwnames):
    """A fast call with any keyword-name tuple: empty, with duplicates, with non-strings."""
    stack = _STACK(*args)
    return _VECTORCALL(function, stack, len(args) - len(kwnames), kwnames)


# ---------------------------------------------------------------------------
# What each call should do
# ---------------------------------------------------------------------------
class Call(NamedTuple):
    name: str
    mode: str  # "call", "partial", "bound" or "vector"
    args: tuple
    keywords: tuple  # (key, value) pairs, as the callee receives them


class Returns(NamedTuple):
    value: Any
    same_object: bool = False


class Raises(NamedTuple):
    type: type
    message: str
    entry: tuple[str, int] | None = None  # the native traceback entry that a binding failure adds


class Repeats(NamedTuple):
    """For errors that the file system decides: the call and `step`, run
    after it, both succeed or both fail alike."""
    step: Callable[[], Any]


def bind(call):
    """The bound parameters, or the TypeError of binding or of a type test."""
    sig, fn = SIGNATURES[call.name], call.name
    params = sig.positional + sig.keyword_only
    given, count = len(call.args), len(sig.positional)

    def fail(message):
        return Raises(TypeError, message, (sig.source, sig.def_line))

    def wrong_count(number):
        plural = "" if count == 1 else "s"
        return fail(f"{fn[:200]}() takes exactly {count} positional argument{plural} ({number} given)")

    def missing(param):
        return fail(f"{fn}() needs keyword-only argument {param}")

    if call.mode != "vector" and any(not isinstance(key, str) for key, _ in call.keywords):
        return Raises(TypeError, "keywords must be strings")  # the interpreter's own, before the call
    if given > count or given < count and not call.keywords:
        return wrong_count(given)
    slots = dict(zip(params, call.args))
    for key, value in call.keywords:
        if not isinstance(key, str):
            return fail(f"{fn[:200]}() keywords must be strings")
        target = next((p for p in params[given:] if key == p), None)
        if target in slots or target is None and key in params[:given]:
            return fail(f"{fn}() got multiple values for keyword argument '{str.__str__(key)}'")
        if target is None:
            return fail(f"{fn}() got an unexpected keyword argument '{str.__str__(key)}'")
        slots[target] = value
    for index in range(given, count):
        if params[index] not in slots:
            return wrong_count(index)
    for param in sig.keyword_only:
        if param not in slots:
            if param != "base_dir":
                return missing(param)
            slots[param] = None
    for param, required in sig.types.items():
        if type(slots[param]) is not required:
            return Raises(TypeError, f"Argument '{param}' has incorrect type (expected {required.__name__}, "
                                     f"got {type_name(type(slots[param]), 200)})")
    return slots


def no_attribute(obj, attribute, *, setting=False):
    """The interpreter's own AttributeError for reading (or setting) a
    missing attribute of `obj`: its wording differs between releases."""
    try:
        setattr(obj, attribute, None) if setting else getattr(obj, attribute)
    except AttributeError as exc:
        return Raises(AttributeError, str(exc))
    raise AssertionError(f"{type(obj).__name__} has an attribute {attribute!r}")


def encoded(accounts):
    """The bytes that a write of `accounts` puts in the file, or the error it raises."""
    try:
        return text_mode(json.dumps(accounts, ensure_ascii=False, indent=2).encode())
    except Exception as exc:
        return Raises(type(exc), str(exc))


def on_disk(meta_path):
    """accounts.json as reading sees it: (its bytes or None, the mapping)."""
    try:
        content = meta_path.read_bytes()
    except OSError:
        return None, {}
    try:
        payload = json.loads(content.decode())
    except ValueError:
        return content, {}
    return content, payload if type(payload) is dict else {}


def valid_name(name):
    return bool(name) and name.replace("-", "").replace("_", "").isalnum()


def expect_resolve(country):
    code = country.strip().upper()
    if code in MARKETPLACES:
        return Returns(MARKETPLACES[code], same_object=True)
    return Raises(UnsupportedMarketplaceError, f"不支持的国家: {country}，支持: {SUPPORTED}")


def expect(name, bound, secrets):
    """(expected outcome, test of the state that a call which went as
    expected leaves behind)."""
    unchanged = lambda: True  # noqa: E731
    if name == "resolve_marketplace":
        return expect_resolve(bound["country"]), unchanged
    if name == "build_product_url":
        resolved = expect_resolve(bound["country"])
        if isinstance(resolved, Raises):
            return resolved, unchanged
        return Returns(resolved.value.base_url + "/dp/" + bound["asin"].strip().upper()), unchanged

    self = bound["self"]
    is_store = isinstance(self, SellerSpriteCredarium)
    account = bound.get("name")
    key = (SERVICE, f"account:{account}")
    if name == "__init__":
        return expect_init(self, bound["base_dir"])
    if name == "_keyring_account":
        return Returns("account:" + account), unchanged
    if name == "_require_keyring":
        return Returns(keyring, same_object=True), unchanged
    if name == "_delete_password":  # every ordinary error, a self without methods too, is ignored
        before = dict(secrets)
        return Returns(None), (lambda: key not in secrets) if is_store else (lambda: secrets == before)
    if name in ("_set_password", "_get_password") and not is_store:
        return no_attribute(self, "_require_keyring"), unchanged
    if name == "_set_password":
        return Returns(None), lambda: secrets[key] == bound["password"]
    if name == "_get_password":
        return Returns(secrets.get(key)), unchanged
    if name in ("_load_accounts", "_save_accounts") and not hasattr(self, "meta_path"):
        return no_attribute(self, "meta_path"), unchanged
    if name in ("save", "delete", "get") and not is_store:
        return no_attribute(self, "_validate_name"), unchanged
    if name == "list" and not is_store:
        return no_attribute(self, "_load_accounts"), unchanged
    if "name" in bound and not valid_name(account):
        return Raises(InvalidCollectOptionError, NAME_MESSAGE), unchanged
    if name == "_validate_name":
        return Returns(None), unchanged

    meta_path = self.meta_path
    content, accounts = on_disk(meta_path)

    def file_holds(data):
        return lambda: on_disk(meta_path)[0] == data

    if name == "_load_accounts":
        return Returns(accounts), unchanged
    if name == "_save_accounts":
        data = encoded(bound["accounts"])
        return (data, unchanged) if isinstance(data, Raises) else (Returns(None), file_holds(data))
    if name == "list":
        odd = [entry for entry in accounts.values() if type(entry) is not dict]
        if odd:
            return no_attribute(odd[0], "get"), unchanged
        return Returns([{"name": k, "username": v.get("username")} for k, v in accounts.items()]), unchanged
    if name == "delete":
        existed = account in accounts
        accounts.pop(account, None)
        data = encoded(accounts) if existed else content
        return Returns(existed), lambda: file_holds(data)() and key not in secrets
    if name == "get":
        entry = accounts.get(account)
        if not entry or not secrets.get(key):
            problem = "缺少密码，请重新执行" if entry else "不存在，请先执行"
            return Raises(InvalidCollectOptionError, f"卖家精灵账号 `{account}` {problem} account save"), unchanged
        if type(entry) is not dict:
            return no_attribute(entry, "get"), unchanged
        return Returns({"name": account, "username": entry.get("username"), "password": secrets[key]}), unchanged
    # save
    if bound["username"] == "":
        return Raises(InvalidCollectOptionError, "必须提供卖家精灵用户名"), unchanged
    if any(0xD800 <= ord(ch) < 0xE000 for ch in bound["username"]):  # refused before the password goes in
        return Raises(InvalidCollectOptionError, "卖家精灵用户名包含无法写入账号文件的字符（单独的代理码位）"), unchanged
    if bound["password"] == "":
        return Raises(InvalidCollectOptionError, "必须提供卖家精灵密码"), unchanged
    clash = CASE_BLIND_CREDENTIALS and next((saved for saved in accounts if differs_in_case_only(saved, account)), None)
    if clash:
        return Raises(InvalidCollectOptionError, f"卖家精灵账号 `{account}` 与已保存的账号 `{clash}` 只有大小写不同；"
                      "系统凭据管理器不区分大小写，两者会共用一个密码。请换一个名称，或先删除已保存的账号"), unchanged
    accounts[account] = {"username": bound["username"]}
    data = encoded(accounts)
    if isinstance(data, Raises):  # the password went first; the file stays as it was
        return data, lambda: secrets[key] == bound["password"] and file_holds(content)()
    return (Returns({"name": account, "username": bound["username"]}),
            lambda: secrets[key] == bound["password"] and file_holds(data)())


def differs_in_case_only(saved, name):
    """Whether Windows (one UTF-16 unit upper-cased at a time) or casefold()
    takes the two names for one."""
    def upper(text):
        return [ch.upper() if ord(ch) <= 0xFFFF and len(ch.upper()) == 1 else ch for ch in text]
    return saved != name and (upper(saved) == upper(name) or saved.casefold() == name.casefold())


def expect_init(self, base_dir):
    try:
        folder = Path(base_dir or credarium.CONFIG_DIR) / "seller_sprite"
    except TypeError as exc:
        return Raises(TypeError, str(exc)), lambda: True
    if not hasattr(self, "__dict__"):
        return no_attribute(self, "base_dir", setting=True), lambda: True

    def initialised():
        return self.base_dir == folder and folder.is_dir() and self.meta_path == folder / "accounts.json"

    return Repeats(lambda: folder.mkdir(parents=True, exist_ok=True)), initialised


def stays_inside(base_dir, root):
    """Whether the store folder made from base_dir is inside root. Other
    types fail before anything is made; false values mean CONFIG_DIR,
    which the test points into root."""
    if not base_dir or not isinstance(base_dir, (str, PurePosixPath)):
        return True
    return os.path.normpath(os.path.join(os.getcwd(), base_dir, "seller_sprite")).startswith(root + os.sep)


# ---------------------------------------------------------------------------
# Making and checking calls
# ---------------------------------------------------------------------------
def make_call(rng, name, pool, keywords, selves, store):
    """Mostly a well-formed call with perhaps one thing wrong, else
    arguments and keywords thrown together."""
    sig = SIGNATURES[name]
    params = sig.positional + sig.keyword_only
    is_method = sig.positional[0] == "self"
    if rng.random() < 0.6:
        values = {p: rng.choice(pool[sig.types.get(p, object)]) for p in params}
        if is_method:
            values["self"] = rng.choice(selves)
        by_position = rng.randint(0, len(sig.positional))
        args = [values[p] for p in params[:by_position]]
        pairs = [(rng.choice([p, fresh(p), Text(p)]), values[p]) for p in params[by_position:]]
        rng.shuffle(pairs)
        fault = rng.randrange(8)
        if fault == 0 and pairs:
            pairs.pop(rng.randrange(len(pairs)))
        elif fault == 1:
            pairs.insert(rng.randint(0, len(pairs)), (rng.choice(keywords), rng.choice(pool[object])))
        elif fault == 2:
            args += [rng.choice(pool[object]) for _ in range(rng.choice([1, 1, 2, 40]))]
        elif fault == 3:
            pairs.append((rng.choice(params), rng.choice(pool[object])))
    else:
        args = [rng.choice(pool[object]) for _ in range(rng.randint(0, len(sig.positional) + 1))]
        if is_method and args:
            args[0] = rng.choice(selves)
        pairs = [(rng.choice([*params, *keywords]), rng.choice(pool[object]))
                 for _ in range(rng.choice([0, 0, 1, 2, 3]))]
    modes = ["call", "call", "vector"] + ["partial"] * bool(args) + ["bound"] * bool(args and args[0] is store)
    mode = rng.choice(modes)
    if mode != "vector":  # a mapping holds each key once: the callee receives its items
        pairs = dict(pairs).items()
    return Call(name, mode, tuple(args), tuple(pairs))


def invoke(call):
    function = function_of(call.name)
    if call.mode == "vector":
        keys = tuple(k for k, _ in call.keywords)
        return vectorcall(function, [*call.args, *(v for _, v in call.keywords)], keys)
    kwargs = dict(call.keywords)
    if call.mode == "bound":
        return getattr(call.args[0], call.name)(*call.args[1:], **kwargs)
    if call.mode == "partial":
        return functools.partial(function, call.args[0])(*call.args[1:], **kwargs)
    return function(*call.args, **kwargs)


def last_entry(exc):
    tb = exc.__traceback__
    while tb.tb_next is not None:
        tb = tb.tb_next
    return tb.tb_frame.f_code.co_filename, tb.tb_lineno


def describe(call, bound, outcome):
    secret = bound.get("password") if isinstance(bound, dict) else None

    def short(value):
        if value is secret is not None:  # fuzz values are no secrets, but reports keep the habit
            return "<password>"
        text = repr(value)
        return text if len(text) <= 60 else f"{text[:40]}...({len(text)} chars)"

    keywords = [(short(k), short(v)) for k, v in call.keywords]
    return f"{call.name} [{call.mode}] args={[short(a) for a in call.args]} keywords={keywords}: got {short(outcome)}"


def check(call, bound, secrets):
    expected, after = (bound, lambda: True) if isinstance(bound, Raises) else expect(call.name, bound, secrets)
    try:
        outcome = invoke(call)
    except Exception as exc:
        outcome = exc
    if isinstance(expected, Repeats):
        try:
            expected.step()
        except Exception as exc:
            expected, after = Raises(type(exc), str(exc)), lambda: True
        else:
            expected = Returns(None)
    assert succeeded(expected, outcome), describe(call, bound, outcome)
    if isinstance(expected, Raises) and expected.entry:
        assert last_entry(outcome) == expected.entry, describe(call, bound, outcome)
    elif isinstance(expected, Raises) and expected.message.startswith("Argument '"):  # type tests add no entry
        assert last_entry(outcome)[0] != SIGNATURES[call.name].source, describe(call, bound, outcome)
    assert after(), f"{describe(call, bound, outcome)}, leaving the wrong state behind"


def succeeded(expected, outcome):
    if isinstance(expected, Raises):
        return type(outcome) is expected.type and str(outcome) == expected.message
    if expected.same_object:
        return outcome is expected.value
    return not isinstance(outcome, Exception) and ordered(outcome) == ordered(expected.value)


def ordered(value):
    """A form of value whose equality also compares dict order and exact types."""
    if isinstance(value, dict):
        return type(value), [(k, ordered(v)) for k, v in value.items()]
    if isinstance(value, list):
        return list, [ordered(v) for v in value]
    return type(value), value


def test_random_calls_return_or_fail_as_documented(memory_keyring, monkeypatch):
    # A RAM-backed folder where there is one: every save syncs its file, and
    # thousands of syncs would otherwise take most of the run.
    shm = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    # Windows removes no folder that is a current directory: cwd is restored first.
    with tempfile.TemporaryDirectory(dir=shm) as root, monkeypatch.context() as patch:
        root = os.path.realpath(root)
        os.mkdir(os.path.join(root, "cwd"))
        patch.chdir(os.path.join(root, "cwd"))  # relative base_dir values land here
        patch.setattr(credarium, "CONFIG_DIR", Path(root, "config"))
        calls, growth = fuzz(root, memory_keyring)

    REPORT.parent.mkdir(parents=True, exist_ok=True)
    REPORT.write_text(json.dumps({"calls": calls, "block_growth_on_replay": growth}, indent=2) + "\n")
    memory = "not counted" if growth is None else f"{growth} more allocated blocks after making them again"
    print(f"\nfuzzed calls: {sum(calls.values())}, at least {min(calls.values())} per function "
          f"(see {REPORT.name}); {memory}")
    assert set(calls) == set(SIGNATURES) and min(calls.values()) >= MINIMUM_CALLS, calls
    assert growth is None or growth < ALLOWED_GROWTH, f"{growth} more blocks after {sum(calls.values())} calls"


def fuzz(root, backend):
    """Runs the examples; returns the calls made per function, and how many
    more blocks are allocated after running them all a second time (None
    where blocks are not counted)."""
    store_base = Path(root, "store")
    made: collections.Counter = collections.Counter()

    def run(values, text_values, accounts, keywords, seed):
        backend.secrets.clear()
        shutil.rmtree(store_base, ignore_errors=True)
        store = SellerSpriteCredarium(base_dir=store_base)
        selves = [store, store, store, types.SimpleNamespace(), Text("main"), *values[:3]]
        pool = {str: [*text_values, "", "us", "main", "店铺二"], dict: accounts, object: [*values, *text_values]}
        # pathlib interns every part of a path for good: base_dir texts come
        # from a fixed list, or the run would seem to leak.
        init_pool = {object: [*(v for v in values if not isinstance(v, str)), *ODD_TEXTS]}
        rng = random.Random(seed)
        for name in SIGNATURES:
            for _ in range(CALLS_PER_EXAMPLE):
                call = make_call(rng, name, init_pool if name == "__init__" else pool, keywords, selves, store)
                # Any value could become base_dir if binding went wrong.
                if name == "__init__" and not all(stays_inside(value, root) for value in
                                                  [*call.args[1:], *(v for _, v in call.keywords)]):
                    continue
                bound = bind(call)
                check(call, bound, backend.secrets)
                made[name] += 1
        backend.calls.clear()

    def examples():
        # No shrinking: a failure already names the exact call, and shrinking
        # the pools would only reshuffle the calls made from them.
        return settings(max_examples=EXAMPLES, derandomize=True, database=None, deadline=None,
                        phases=[Phase.explicit, Phase.generate], suppress_health_check=list(HealthCheck))(
            given(st.lists(VALUE, min_size=1, max_size=12), st.lists(TEXT, min_size=1, max_size=8),
                  st.lists(ACCOUNTS, min_size=1, max_size=3), st.lists(KEYWORD, min_size=1, max_size=6),
                  st.integers(0, 2**32 - 1))(run))

    examples()()
    calls = dict(made)
    if not sys.getallocatedblocks():  # only pymalloc counts blocks (PYTHONMALLOC=malloc)
        return calls, None
    # The same examples again, now that hypothesis has filled its own caches:
    # what stays allocated after them is the calls' doing.
    gc.collect()
    before = sys.getallocatedblocks()
    examples()()
    gc.collect()
    return calls, sys.getallocatedblocks() - before
