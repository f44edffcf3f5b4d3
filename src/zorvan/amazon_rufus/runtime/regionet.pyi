"""Amazon 国家站点固定映射。"""

# The module is compiled, so type checkers and editors read its signatures
# from here. The two classes are part of its namespace at run time and of its
# contract: one is what it returns, the other what it raises.
from zorvan.amazon_rufus.domain.exceptions import UnsupportedMarketplaceError as UnsupportedMarketplaceError
from zorvan.amazon_rufus.domain.models import Marketplace as Marketplace

# A plain, mutable dict at run time (keys in the order US, UK, DE, JP): the
# functions below look it up on every call, so changing it changes them.
_MARKETPLACES: dict[str, Marketplace]

# doctest's table of extra tests; the module sets it to an empty dict once its
# body has run.
__test__: dict[str, object]

def resolve_marketplace(country: str) -> Marketplace:
    """按国家名解析 Amazon 站点。"""

def build_product_url(asin: str, country: str) -> str:
    """构造商品详情页 URL。"""
