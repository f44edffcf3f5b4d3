"""`zorvan marketplace list|resolve|url`, over the storefront map."""

from __future__ import annotations

import argparse

from zorvan.amazon_rufus.runtime import regionet
from zorvan.cli._errors import CliInputError
from zorvan.cli._output import emit_json, say, table, visible


def list_marketplaces(args: argparse.Namespace) -> int:
    rows = [{"country": m.country, "base_url": m.base_url} for m in regionet._MARKETPLACES.values()]
    if args.json:
        emit_json(rows)
    else:
        say(table(["国家", "站点"], [[r["country"], r["base_url"]] for r in rows]))
    return 0


def resolve(args: argparse.Namespace) -> int:
    marketplace = regionet.resolve_marketplace(args.country)
    if args.json:
        emit_json({"country": marketplace.country, "base_url": marketplace.base_url})
    else:
        say(f"国家：{marketplace.country}\n站点：{marketplace.base_url}")
    return 0


def product_url(args: argparse.Namespace) -> int:
    # The map builds an address from any text it is given; an address from
    # an empty or malformed ASIN leads nowhere, so it is refused here.
    # ASCII is checked before upper-casing, which turns "ı" into "I" and "ſ"
    # into "S".
    asin = args.asin.strip()
    if not (len(asin) == 10 and asin.isascii() and asin.isalnum()):
        raise CliInputError(f"ASIN `{visible(args.asin)}` 无效：应为 10 位英文字母或数字，例如 B0EXAMPLE1")
    # Resolving first gives the normalised country code for the JSON document.
    country = regionet.resolve_marketplace(args.country).country
    url = regionet.build_product_url(args.asin, country)
    if args.json:
        emit_json({"asin": args.asin, "country": country, "url": url})
    else:
        say(url)
    return 0
