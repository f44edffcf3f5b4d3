"""Repeated calls of the native functions, on their success and failure
paths, leave no memory behind. Each row of CASES is one call path; covering
another function is a matter of adding rows."""

from __future__ import annotations

import gc
import importlib
import sys

import pytest

CALLS = 100_000
WARM_UP = 1_000
# Blocks that the interpreter's own free lists and caches may take or give
# back meanwhile; a leak of one block per call would be 100,000.
ALLOWED_GROWTH = 200

REGIONET = "zorvan.amazon_rufus.runtime.regionet"
UNSUPPORTED = ("zorvan.amazon_rufus.domain.exceptions", "UnsupportedMarketplaceError")


class Text(str):
    pass


def row(module, function, *args, raises=None, **kwargs):
    """One call path: `module.function(*args, **kwargs)`, expected to raise
    `raises` (a class, or a (module, name) pair) when given."""
    name = "-".join([function, *(repr(a) for a in args), *(f"{k}={v!r}" for k, v in kwargs.items())])

    def make():
        target = getattr(importlib.import_module(module), function)
        expected = getattr(importlib.import_module(raises[0]), raises[1]) if isinstance(raises, tuple) else raises

        def once():
            try:
                target(*args, **kwargs)
            except Exception as exc:
                if type(exc) is not expected:
                    raise

        return once

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
]


@pytest.mark.skipif(not sys.getallocatedblocks(), reason="only pymalloc counts blocks (PYTHONMALLOC=malloc)")
@pytest.mark.parametrize("make", CASES)
def test_repeated_calls_leave_no_blocks_behind(make):
    once = make()
    for _ in range(WARM_UP):
        once()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(CALLS):
        once()
    gc.collect()
    growth = sys.getallocatedblocks() - before
    assert growth < ALLOWED_GROWTH, f"{growth} more blocks after {CALLS} calls"
