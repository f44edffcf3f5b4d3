"""Errors of the command line itself, and the advice it adds to the store's."""

from zorvan.errors import ZorvanError

KEYRING_HINT = (
    "请安装并解锁系统凭据管理器：macOS 钥匙串、Windows 凭据管理器，"
    "或 Linux 上的 Secret Service（例如 gnome-keyring，Debian/Ubuntu 可执行 "
    "apt-get install gnome-keyring），然后运行 zorvan account doctor 检查"
)


class CliInputError(ZorvanError):
    """Input the command line rejects before it reaches the store (exit status 2)."""
