"""The marketplace map: country normalisation, the table, product URLs, the
unsupported-country error and how the functions follow their module globals."""

from __future__ import annotations

import builtins
import traceback
from types import SimpleNamespace

import pytest

from zorvan.amazon_rufus.domain.exceptions import UnsupportedMarketplaceError
from zorvan.amazon_rufus.domain.models import Marketplace
from zorvan.amazon_rufus.runtime import regionet

SOURCE = "zorvan/amazon_rufus/runtime/regionet"
RESOLVE = "zorvan.amazon_rufus.runtime.regionet.resolve_marketplace"
BUILD = "zorvan.amazon_rufus.runtime.regionet.build_product_url"
US_URL, UK_URL = "https://www.amazon.com", "https://www.amazon.co.uk"
DE_URL, JP_URL = "https://www.amazon.de", "https://www.amazon.co.jp"


def native_entries(tb):
    """(name, line) of the traceback entries that the module added."""
    return [(e.name, e.lineno) for e in traceback.extract_tb(tb) if e.filename == SOURCE]


def test_table_holds_the_four_storefronts_in_order():
    assert type(regionet._MARKETPLACES) is dict
    assert list(regionet._MARKETPLACES.items()) == [
        ("US", Marketplace(country="US", base_url=US_URL)),
        ("UK", Marketplace(country="UK", base_url=UK_URL)),
        ("DE", Marketplace(country="DE", base_url=DE_URL)),
        ("JP", Marketplace(country="JP", base_url=JP_URL)),
    ]
    for code, record in regionet._MARKETPLACES.items():
        assert type(record) is Marketplace
        assert record.country is code


@pytest.mark.parametrize("text, code", [
    ("us", "US"), ("US", "US"), (" us ", "US"), ("uS\n", "US"), ("\t\v\fUs\r", "US"),
    ("\x1cus\x1f", "US"),  # ASCII separators count as whitespace for str.strip
    ("\u3000us\u3000", "US"),  # ideographic space, outside ASCII
    ("\x85us\xa0", "US"),  # next line and no-break space, outside ASCII
    ("uk", "UK"), ("De", "DE"), (" jp\n", "JP"),
])
def test_resolve_returns_the_stored_record_after_normalising(text, code):
    assert regionet.resolve_marketplace(text) is regionet._MARKETPLACES[code]
    assert regionet.resolve_marketplace(country=text) is regionet._MARKETPLACES[code]


@pytest.mark.parametrize("country, message", [
    ("gb", "不支持的国家: gb，支持: DE, JP, UK, US"),
    (" fr ", "不支持的国家:  fr ，支持: DE, JP, UK, US"),
    ("", "不支持的国家: ，支持: DE, JP, UK, US"),
    ("u s", "不支持的国家: u s，支持: DE, JP, UK, US"),
    ("ｕｓ", "不支持的国家: ｕｓ，支持: DE, JP, UK, US"),
    ("\u3000fr\u3000", "不支持的国家: \u3000fr\u3000，支持: DE, JP, UK, US"),
    ("\U0001d4e4s", "不支持的国家: \U0001d4e4s，支持: DE, JP, UK, US"),
])
def test_unsupported_country_names_the_argument_as_passed(country, message):
    with pytest.raises(UnsupportedMarketplaceError) as info:
        regionet.resolve_marketplace(country)
    exc = info.value
    assert type(exc) is UnsupportedMarketplaceError
    assert str(exc) == message
    assert type(exc.__cause__) is KeyError
    # The key looked up is what Python's own str methods make of the text.
    assert exc.__cause__.args == (country.strip().upper(),)
    assert exc.__context__ is exc.__cause__
    assert exc.__suppress_context__ is True
    assert native_entries(exc.__traceback__) == [(RESOLVE, 23)]
    assert native_entries(exc.__cause__.__traceback__) == [(RESOLVE, 20)]


@pytest.mark.parametrize("text", ["ｕｓ", " ｕｓ\u3000", "straße", "\u0131s", "ǆ"])
def test_non_ascii_codes_are_normalised_like_python_str_methods(text, monkeypatch):
    record = object()
    monkeypatch.setitem(regionet._MARKETPLACES, text.strip().upper(), record)
    assert regionet.resolve_marketplace(text) is record


def test_record_added_from_outside_is_found_and_listed(monkeypatch):
    record = Marketplace(country="FR", base_url="https://www.amazon.fr")
    monkeypatch.setitem(regionet._MARKETPLACES, "FR", record)
    assert regionet.resolve_marketplace(" fr\t") is record
    assert regionet.build_product_url("b0x", "Fr") == "https://www.amazon.fr/dp/B0X"
    with pytest.raises(UnsupportedMarketplaceError) as info:
        regionet.resolve_marketplace("gb")
    assert str(info.value) == "不支持的国家: gb，支持: DE, FR, JP, UK, US"


@pytest.mark.parametrize("asin, country, url", [
    (" b0abc12345 ", "de", DE_URL + "/dp/B0ABC12345"),
    ("b0abc12345", " Uk ", UK_URL + "/dp/B0ABC12345"),
    ("", "jp", JP_URL + "/dp/"),
    ("   ", "jp", JP_URL + "/dp/"),
    ("\u3000b0ß\u3000", "us", US_URL + "/dp/B0SS"),
    ("anything at all?", "us", US_URL + "/dp/ANYTHING AT ALL?"),  # the ASIN is not validated
])
def test_product_url_is_origin_dp_and_normalised_asin(asin, country, url):
    assert regionet.build_product_url(asin, country) == url
    assert regionet.build_product_url(country=country, asin=asin) == url


@pytest.mark.parametrize("asin, country, message", [
    ("B0ABC12345", "fr", "不支持的国家: fr，支持: DE, JP, UK, US"),
    ("us", "B0ABC12345", "不支持的国家: B0ABC12345，支持: DE, JP, UK, US"),
])
def test_product_url_for_unsupported_country_passes_the_error_on(asin, country, message):
    with pytest.raises(UnsupportedMarketplaceError) as info:
        regionet.build_product_url(asin, country)
    assert str(info.value) == message
    assert info.value.__cause__.args == (country.upper(),)
    assert native_entries(info.value.__traceback__) == [(BUILD, 28), (RESOLVE, 23)]
    assert native_entries(info.value.__cause__.__traceback__) == [(RESOLVE, 20)]


class Origin:
    def __format__(self, fmt):
        return f"formatted[{fmt}]"


@pytest.mark.parametrize("base_url, url", [
    (8080, "8080/dp/X"), (2.5, "2.5/dp/X"), (True, "True/dp/X"), (Origin(), "formatted[]/dp/X"),
])
def test_base_url_that_is_not_text_is_formatted(base_url, url, monkeypatch):
    monkeypatch.setitem(regionet._MARKETPLACES, "XX", SimpleNamespace(base_url=base_url))
    assert regionet.build_product_url("x", "xx") == url


def test_record_without_base_url_fails_on_the_return_line(monkeypatch):
    monkeypatch.setitem(regionet._MARKETPLACES, "XX", object())
    with pytest.raises(AttributeError) as info:
        regionet.build_product_url("x", "xx")
    assert str(info.value) == "'object' object has no attribute 'base_url'"
    assert native_entries(info.value.__traceback__) == [(BUILD, 29)]


# ---------------------------------------------------------------------------
# Module globals are looked up at every call
# ---------------------------------------------------------------------------


class WithDefault(dict):
    def __missing__(self, key):
        return f"default for {key}"


class Listing:
    """A mapping that is not a dict: answers through __getitem__, lists two keys."""

    def __init__(self, error=None):
        self.error = error

    def __getitem__(self, key):
        if self.error is not None:
            raise self.error
        return f"listed {key}"

    def __iter__(self):
        return iter(["B", "A"])


class MissingCode(KeyError):
    pass


def test_rebound_table_is_used_at_the_next_call(monkeypatch):
    record = object()
    monkeypatch.setattr(regionet, "_MARKETPLACES", {"ZZ": record})
    assert regionet.resolve_marketplace("zz") is record
    with pytest.raises(UnsupportedMarketplaceError) as info:
        regionet.resolve_marketplace("us")
    assert str(info.value) == "不支持的国家: us，支持: ZZ"
    monkeypatch.setattr(regionet, "_MARKETPLACES", WithDefault())  # not exactly a dict
    assert regionet.resolve_marketplace(" fr ") == "default for FR"
    monkeypatch.setattr(regionet, "_MARKETPLACES", Listing())
    assert regionet.resolve_marketplace(" fr ") == "listed FR"


def test_globals_fall_back_to_builtins(monkeypatch):
    record = object()
    monkeypatch.delattr(regionet, "_MARKETPLACES")
    monkeypatch.setattr(builtins, "_MARKETPLACES", {"ZZ": record}, raising=False)
    assert regionet.resolve_marketplace("zz") is record


def test_key_error_subclass_from_the_table_becomes_the_cause(monkeypatch):
    missing = MissingCode("nope")
    monkeypatch.setattr(regionet, "_MARKETPLACES", Listing(missing))
    with pytest.raises(UnsupportedMarketplaceError) as info:
        regionet.resolve_marketplace("fr")
    assert str(info.value) == "不支持的国家: fr，支持: A, B"
    assert info.value.__cause__ is missing


def test_other_lookup_errors_from_the_table_pass_through_unchanged(monkeypatch):
    failure = IndexError("broken table")
    monkeypatch.setattr(regionet, "_MARKETPLACES", Listing(failure))
    with pytest.raises(IndexError) as info:
        regionet.resolve_marketplace("fr")
    assert info.value is failure and info.value.__context__ is None
    assert native_entries(info.value.__traceback__) == [(RESOLVE, 20)]


@pytest.mark.parametrize("table, message", [
    ({"US": 1, 1: 2}, "'<' not supported between instances of 'int' and 'str'"),
    ({1: 1, 2: 2}, "sequence item 0: expected str instance, int found"),
])
def test_failure_while_listing_the_codes_replaces_the_error(table, message, monkeypatch):
    monkeypatch.setattr(regionet, "_MARKETPLACES", table)
    with pytest.raises(TypeError) as info:
        regionet.resolve_marketplace("fr")
    assert str(info.value) == message
    assert type(info.value.__context__) is KeyError
    assert info.value.__context__.args == ("FR",)
    assert info.value.__cause__ is None
    assert native_entries(info.value.__traceback__) == [(RESOLVE, 22)]


class NotAnException(Exception):
    def __new__(cls, *args):
        return 5


class FailingError(Exception):
    def __init__(self, message):
        raise RuntimeError(f"cannot make error for {message}")


@pytest.mark.parametrize("replacement, error, message", [
    (ValueError, ValueError, "不支持的国家: fr，支持: DE, JP, UK, US"),
    # a class that comes back from the call is instantiated with no arguments
    (lambda message: LookupError, LookupError, ""),
    (lambda message: "text", TypeError, "raise: exception class must be a subclass of BaseException"),
    (lambda message: NotAnException, TypeError,
     f"calling {NotAnException!r} should have returned an instance of BaseException, not <class 'int'>"),
    (FailingError, RuntimeError, "cannot make error for 不支持的国家: fr，支持: DE, JP, UK, US"),
])
def test_rebound_error_class_is_called_and_raised(replacement, error, message, monkeypatch):
    monkeypatch.setattr(regionet, "UnsupportedMarketplaceError", replacement)
    with pytest.raises(error) as info:
        regionet.resolve_marketplace("fr")
    exc = info.value
    assert type(exc) is error
    assert str(exc) == message
    assert type(exc.__context__) is KeyError
    assert exc.__cause__ is (exc.__context__ if error in (ValueError, LookupError) else None)
    assert native_entries(exc.__traceback__)[-1] == (RESOLVE, 23)


def test_rebound_resolver_is_called_by_build_product_url(monkeypatch):
    calls = []

    def resolver(*args, **kwargs):
        calls.append((args, kwargs))
        return SimpleNamespace(base_url="https://shop.test")

    monkeypatch.setattr(regionet, "resolve_marketplace", resolver)
    assert regionet.build_product_url(" b0x ", country=" nowhere ") == "https://shop.test/dp/B0X"
    assert calls == [((" nowhere ",), {})]


@pytest.mark.parametrize("name, call, entry, context", [
    ("_MARKETPLACES", lambda: regionet.resolve_marketplace("us"), (RESOLVE, 20), None),
    ("UnsupportedMarketplaceError", lambda: regionet.resolve_marketplace("fr"), (RESOLVE, 23), KeyError),
    ("resolve_marketplace", lambda: regionet.build_product_url("x", "us"), (BUILD, 28), None),
])
def test_deleted_global_gives_name_error(name, call, entry, context, monkeypatch):
    monkeypatch.delattr(regionet, name)
    with pytest.raises(NameError) as info:
        call()
    assert str(info.value) == f"name '{name}' is not defined"
    assert native_entries(info.value.__traceback__)[-1] == entry
    assert type(info.value.__context__) is (context or type(None))
