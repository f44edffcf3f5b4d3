"""Repeated calls of the native functions, on their success and failure
paths, leave no memory behind. Each row of CASES is one call path; covering
another function is a matter of adding rows. A debug build of the
interpreter counts references, and there the check is exact."""

from __future__ import annotations

import collections
import gc
import importlib
import itertools
import sys

import pytest

CALLS = 100_000
WARM_UP = 1_000
# Blocks that the interpreter's own free lists and caches may take or give
# back meanwhile; a leak of one block per call would be 100,000.
ALLOWED_GROWTH = 200
# Store methods read a file per call: fewer calls, still far above it.
STORE_CALLS = 10_000
# With sys.gettotalrefcount(): a reference kept, or given back once too
# often, on one call in 2,000 would show.
REFERENCE_CALLS = 10_000
ALLOWED_REFERENCES = 5

REGIONET = "zorvan.amazon_rufus.runtime.regionet"
UNSUPPORTED = ("zorvan.amazon_rufus.domain.exceptions", "UnsupportedMarketplaceError")
INVALID = ("zorvan.seller_sprite.domain.exceptions", "InvalidCollectOptionError")
# Methods of the `stores` fixture's stores: "store" holds main (with its
# password) and orphan (without); "unreadable" has a file that is not JSON.
STORE, UNREADABLE = "store", "unreadable"


class Text(str):
    pass


def row(module, function, *args, raises=None, keyring_fails=None, **kwargs):
    """One call path: `module.function(*args, **kwargs)`, expected to raise
    `raises` (a class, or a (module, name) pair) when given; `module` may be
    a store, with the keyring failing as `keyring_fails`."""
    name = "-".join([function, *(repr(a) for a in args), *(f"{k}={v!r}" for k, v in kwargs.items()),
                     *filter(None, [keyring_fails])])
    if module in (STORE, UNREADABLE):
        name = f"{module}.{name}"

    def make(stores):
        if module in stores:
            stores["keyring"].fail = keyring_fails
        target = getattr(stores[module] if module in stores else importlib.import_module(module), function)
        expected = getattr(importlib.import_module(raises[0]), raises[1]) if isinstance(raises, tuple) else raises

        def once():
            try:
                target(*args, **kwargs)
            except Exception as exc:
                if type(exc) is not expected:
                    raise

        return once, STORE_CALLS if module in stores else CALLS

    return pytest.param(make, id=name)


CASES = [
    row(REGIONET, "resolve_marketplace", " us "),
    row(REGIONET, "resolve_marketplace", country="uk"),
    row(REGIONET, "resolve_marketplace", " fr ", raises=UNSUPPORTED),
    row(REGIONET, "resolve_marketplace", "\u3000ｊｐ\u3000", raises=UNSUPPORTED),
    row(REGIONET, "resolve_marketplace", raises=TypeError),
    row(REGIONET, "resolve_marketplace", "us", country="us", raises=TypeError),
    row(REGIONET, "resolve_marketplace", nation="us", raises=TypeError),
    row(REGIONET, "resolve_marketplace", None, raises=TypeError),
    row(REGIONET, "resolve_marketplace", country=Text("us"), raises=TypeError),
    row(REGIONET, "build_product_url", " b0abc12345 ", "de"),
    row(REGIONET, "build_product_url", asin="b0ß", country="jp"),
    row(REGIONET, "build_product_url", "b0x", "gb", raises=UNSUPPORTED),
    row(REGIONET, "build_product_url", "b0x", raises=TypeError),
    row(REGIONET, "build_product_url", country="us", raises=TypeError),
    row(REGIONET, "build_product_url", "b0x", "us", asin="x", raises=TypeError),
    row(REGIONET, "build_product_url", 1, "us", raises=TypeError),
    row(REGIONET, "build_product_url", "b0x", None, raises=TypeError),
    row(STORE, "list"),
    row(UNREADABLE, "list"),
    row(STORE, "get", name="main"),
    row(STORE, "get", name="nobody", raises=INVALID),
    row(STORE, "get", name="orphan", raises=INVALID),
    row(STORE, "get", name="a b", raises=INVALID),
    row(STORE, "get", name="main", keyring_fails="no_backend",
        raises=("zorvan.seller_sprite.domain.exceptions", "SellerSpriteDependencyError")),
    row(STORE, "get", name="main", keyring_fails="bad_type", raises=TypeError),
    row(STORE, "get", "main", raises=TypeError),
    row(STORE, "delete", name="nobody"),
    row(STORE, "save", name="x", username="", password="p", raises=INVALID),
]


@pytest.fixture
def stores(tmp_path, memory_keyring):
    from zorvan.seller_sprite.services.credarium import SellerSpriteCredarium

    memory_keyring.calls = collections.deque(maxlen=0)  # a log would grow with every call
    memory_keyring.secrets[("zorvan-seller-sprite", "account:main")] = "pw"
    stores = {STORE: SellerSpriteCredarium(base_dir=tmp_path / "a"), "keyring": memory_keyring,
              UNREADABLE: SellerSpriteCredarium(base_dir=tmp_path / "b")}
    stores[STORE].meta_path.write_text('{"main": {"username": "u"}, "orphan": {"username": "o"}}')
    stores[UNREADABLE].meta_path.write_text("{not json")
    return stores


def repeat(once, calls, measure):
    # The loop variable stays None: an int past the small ones is a reference.
    for _ in itertools.repeat(None, WARM_UP):
        once()
    gc.collect()
    before = measure()
    for _ in itertools.repeat(None, calls):
        once()
    gc.collect()
    return measure() - before


@pytest.mark.skipif(not (hasattr(sys, "gettotalrefcount") or sys.getallocatedblocks()),
                    reason="only pymalloc counts blocks (PYTHONMALLOC=malloc)")
@pytest.mark.parametrize("make", CASES)
def test_repeated_calls_leave_nothing_behind(make, stores):
    once, calls = make(stores)
    if hasattr(sys, "gettotalrefcount"):
        # Less what measuring holds itself: the first total, an int.
        drift = repeat(once, REFERENCE_CALLS, sys.gettotalrefcount) - repeat(lambda: None, 0, sys.gettotalrefcount)
        assert abs(drift) <= ALLOWED_REFERENCES, f"reference total {drift:+} after {REFERENCE_CALLS} calls"
        return
    growth = repeat(once, calls, sys.getallocatedblocks)
    assert growth < ALLOWED_GROWTH, f"{growth} more blocks after {calls} calls"
