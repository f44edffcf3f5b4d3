"""Records of the Amazon storefront map."""


class Marketplace:
    """One Amazon country storefront: its code and its HTTPS origin.

    Immutable, compared and hashed by value. Written out rather than made
    with dataclasses, whose import alone costs more than the rest of
    `zorvan marketplace url`.
    """

    __slots__ = ("country", "base_url")

    country: str
    base_url: str

    def __init__(self, *, country: str, base_url: str) -> None:
        object.__setattr__(self, "country", country)
        object.__setattr__(self, "base_url", base_url)

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError(f"cannot assign to field {name!r}")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"cannot delete field {name!r}")

    def __repr__(self) -> str:
        return f"Marketplace(country={self.country!r}, base_url={self.base_url!r})"

    def __eq__(self, other: object) -> bool:
        if type(other) is not Marketplace:
            return NotImplemented
        return (self.country, self.base_url) == (other.country, other.base_url)

    def __hash__(self) -> int:
        return hash((self.country, self.base_url))

    def __reduce__(self) -> tuple[object, tuple[str, str]]:
        # copy and pickle would otherwise restore the fields by assignment.
        return _marketplace, (self.country, self.base_url)


def _marketplace(country: str, base_url: str) -> Marketplace:
    return Marketplace(country=country, base_url=base_url)
