"""Errors of the Amazon storefront map."""

from zorvan.errors import ZorvanError


class UnsupportedMarketplaceError(ZorvanError):
    """A country code that has no storefront in the map."""
