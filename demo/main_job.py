"""The main job: a product address on each Amazon storefront."""

from zorvan.amazon_rufus.runtime.regionet import build_product_url, resolve_marketplace

ASIN = "B0EXAMPLE1"

for country in ("us", "uk", "de", "jp"):
    marketplace = resolve_marketplace(country)
    print(f"{marketplace.country}  {marketplace.base_url:<26}  {build_product_url(ASIN, country)}")
