"""Records of the Amazon storefront map."""

from dataclasses import dataclass


@dataclass(frozen=True, slots=True, kw_only=True)
class Marketplace:
    """One Amazon country storefront: its code and its HTTPS origin."""

    country: str
    base_url: str
