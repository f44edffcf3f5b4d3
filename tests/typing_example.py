"""A small tool written against zorvan's compiled modules, the way a user
would write one. tests/test_typing.py runs `mypy --strict` on it: it passes
only while the shipped stubs give every call here its real parameters and
result types. Not collected by pytest (no test_ prefix); it runs, too:

    python tests/typing_example.py B0EXAMPLE1 B0EXAMPLE2 --country uk
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import TYPE_CHECKING, assert_type

from zorvan.amazon_rufus.domain.exceptions import UnsupportedMarketplaceError
from zorvan.amazon_rufus.domain.models import Marketplace
from zorvan.amazon_rufus.runtime import regionet
from zorvan.amazon_rufus.runtime.regionet import build_product_url, resolve_marketplace
from zorvan.seller_sprite.domain.exceptions import InvalidCollectOptionError, SellerSpriteDependencyError
from zorvan.seller_sprite.services import credarium
from zorvan.seller_sprite.services.credarium import SellerSpriteCredarium

if TYPE_CHECKING:
    # Result shapes that only type checkers know; they are plain dicts at run time.
    from zorvan.seller_sprite.services.credarium import _Account, _AccountSummary


def supported_countries() -> list[str]:
    return sorted(regionet._MARKETPLACES)


def product_links(asins: list[str], country: str) -> dict[str, str]:
    """ASIN -> product page; empty when the map has no storefront for `country`."""
    try:
        storefront = resolve_marketplace(country)
    except UnsupportedMarketplaceError:
        return {}
    assert_type(storefront, Marketplace)
    return {asin: build_product_url(asin, storefront.country) for asin in asins}


def open_store(config_root: Path | None = None) -> SellerSpriteCredarium:
    store = SellerSpriteCredarium(base_dir=config_root)
    assert_type(store.meta_path, Path)
    return store


def login(store: SellerSpriteCredarium, name: str) -> tuple[str, str]:
    """Username and password of a saved account, for a sign-in form."""
    account: _Account = store.get(name=name)
    username = account["username"]
    if username is None:
        raise LookupError(f"account {name!r} has no username")
    return username, account["password"]


def try_login(store: SellerSpriteCredarium, name: str) -> tuple[str, str] | None:
    """None when the account is unknown or the credential manager cannot be used."""
    try:
        return login(store, name)
    except (InvalidCollectOptionError, SellerSpriteDependencyError) as exc:
        print(f"cannot sign in as {name!r}: {exc}", file=sys.stderr)
        return None


def usernames(store: SellerSpriteCredarium) -> dict[str, str | None]:
    entries: list[_AccountSummary] = store.list()
    return {entry["name"]: entry["username"] for entry in entries}


def change_password(store: SellerSpriteCredarium, name: str, password: str) -> str:
    username, _ = login(store, name)
    saved = store.save(name=name, username=username, password=password)
    assert_type(saved["username"], str)
    return saved["name"]


def forget(store: SellerSpriteCredarium, names: list[str]) -> list[str]:
    """The names that were saved before; deleting an unknown name is no error."""
    return [name for name in names if store.delete(name=name)]


def can_keep_passwords() -> bool:
    return credarium._KEYRING_AVAILABLE and credarium.keyring.get_keyring() is not None


def _rejected_calls(store: SellerSpriteCredarium) -> None:
    # Never called. Each line breaks the real signature; under --strict an
    # ignore that silences nothing is itself an error, so the stubs cannot
    # quietly grow looser than the modules.
    store.get("main")  # type: ignore[call-arg]
    store.save(name="main", username="me")  # type: ignore[call-arg]
    SellerSpriteCredarium(Path("/tmp"))  # type: ignore[call-arg]
    SellerSpriteCredarium(base_dir="/tmp")  # type: ignore[arg-type]
    resolve_marketplace(country=3)  # type: ignore[arg-type]
    build_product_url("B0EXAMPLE1", "US", "DE")  # type: ignore[call-arg]
    store.list().append({"name": "x"})  # type: ignore[typeddict-item]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("asins", nargs="+")
    parser.add_argument("--country", default="US", help=", ".join(supported_countries()))
    args = parser.parse_args(argv)
    links = product_links(args.asins, args.country)
    if not links:
        print(f"no storefront for {args.country!r}", file=sys.stderr)
        return 2
    for asin, url in links.items():
        print(asin, url)
    return 0


if __name__ == "__main__":
    sys.exit(main())
