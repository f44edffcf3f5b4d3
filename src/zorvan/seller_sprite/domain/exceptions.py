"""Errors of the Seller Sprite account store."""

from zorvan.errors import ZorvanError


class InvalidCollectOptionError(ZorvanError):
    """Bad input: an invalid account name, a missing username or password, an unknown account."""


class SellerSpriteDependencyError(ZorvanError):
    """The credential manager is missing or cannot be used."""
