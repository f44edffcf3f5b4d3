"""The argument parser: commands, options and their Chinese help."""

from __future__ import annotations

import argparse
import contextlib
from collections.abc import Iterator, Sequence
from importlib import metadata
from pathlib import Path

from zorvan.cli import _account, _doctor, _marketplace

PROG = "zorvan"

EPILOG = """\
退出状态：
  0    成功
  1    读写文件失败
  2    输入有误：账号名称、用户名、密码、未知账号或国家，以及用法错误
  3    系统凭据管理器缺失、不可用，或没有真正保存密码
  130  按 Ctrl-C 中断"""

# argparse's own words, in the voice of the rest of the help. argparse looks
# its texts up through a module-level gettext function at the moment it needs
# them, so they are swapped in only while the parser is built and used.
_ARGPARSE_TEXTS = {
    "usage: ": "用法：",
    "positional arguments": "位置参数",
    "options": "选项",
    "show this help message and exit": "显示本帮助并退出",
    "%(prog)s: error: %(message)s\n": "%(prog)s：错误：%(message)s\n",
    "the following arguments are required: %s": "缺少必需的参数：%s",
    "unrecognized arguments: %s": "无法识别的参数：%s",
    "invalid choice: %(value)r (choose from %(choices)s)": "无效的选择 %(value)r（可选：%(choices)s）",
    "argument %(argument_name)s: %(message)s": "参数 %(argument_name)s：%(message)s",
    "expected one argument": "需要一个值",
    "ignored explicit argument %r": "不接受取值 %r",
    "not allowed with argument %s": "不能与 %s 同时使用",
    "one of the arguments %s is required": "必须提供以下参数之一：%s",
}



@contextlib.contextmanager
def _argparse_in_chinese() -> Iterator[None]:
    original = getattr(argparse, "_")
    setattr(argparse, "_", lambda text: _ARGPARSE_TEXTS.get(text) or original(text))
    try:
        yield
    finally:
        setattr(argparse, "_", original)


class _HelpFormatter(argparse.RawDescriptionHelpFormatter):
    """Lists the commands under their heading, without a line that only
    repeats the heading's metavar above them."""

    def _format_action(self, action: argparse.Action) -> str:
        text = super()._format_action(action)
        if isinstance(action, argparse._SubParsersAction):
            text = "".join(line[2:] for line in text.splitlines(keepends=True)[1:])
        return text


class _RefusePassword(argparse.Action):
    """A hidden --password that fails without repeating its value.

    Without it, `--password secret` would be reported back as an unrecognised
    argument, printing the secret into the terminal or a CI log.
    """

    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: object,
        option_string: str | None = None,
    ) -> None:
        parser.error(
            "不接受命令行中的密码（会留在 shell 历史和进程列表里）；"
            "请在提示时输入，或使用 --password-stdin 从标准输入读取"
        )


def _directory(text: str) -> Path:
    if not text.strip():
        raise argparse.ArgumentTypeError("目录不能为空")
    return Path(text).expanduser()


def _options(parser: argparse.ArgumentParser, *, config_dir: bool) -> None:
    parser.add_argument("--json", action="store_true", help="只输出一个 JSON 文档")
    if config_dir:
        # SUPPRESS leaves the global value alone when the option is not
        # repeated after the command.
        parser.add_argument(
            "--config-dir", type=_directory, metavar="DIR", default=argparse.SUPPRESS,
            help="配置目录，同全局选项 --config-dir",
        )


def _subcommands(
    parser: argparse.ArgumentParser, dest: str, title: str
) -> argparse._SubParsersAction[argparse.ArgumentParser]:
    return parser.add_subparsers(dest=dest, required=True, metavar=title, title=title)


def _command(
    group: argparse._SubParsersAction[argparse.ArgumentParser],
    name: str,
    *,
    help: str,
    description: str,
    epilog: str | None = None,
) -> argparse.ArgumentParser:
    return group.add_parser(
        name, help=help, description=description, epilog=epilog,
        allow_abbrev=False, formatter_class=_HelpFormatter,
    )


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="亚马逊卖家命令行工具：管理卖家精灵账号（密码只存入系统凭据管理器），"
        "查询亚马逊国家站点与商品地址。",
        epilog=EPILOG,
        allow_abbrev=False,
        formatter_class=_HelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {_version()}",
                        help="显示版本并退出")
    parser.add_argument(
        "--config-dir", type=_directory, metavar="DIR", default=None,
        help="配置目录，账号信息保存在其中的 seller_sprite 子目录"
        "（默认由环境变量 ZORVAN_CONFIG_DIR 或 XDG_CONFIG_HOME 决定，通常是 ~/.config/zorvan）",
    )
    groups = _subcommands(parser, "group", "命令")

    account = _command(
        groups, "account", help="管理卖家精灵账号", epilog=EPILOG,
        description="管理卖家精灵账号：账号名称与用户名写入配置目录下的 accounts.json，"
        "密码只存入系统凭据管理器。",
    )
    commands = _subcommands(account, "command", "子命令")

    save = _command(
        commands, "save", help="保存账号（已存在则覆盖）",
        description="保存卖家精灵账号，已存在则覆盖。密码在终端输入（不回显，输入两次），"
        "或用 --password-stdin 从标准输入读取一行；不接受命令行中的密码。"
        "保存后会读回密码，确认系统凭据管理器真的存下了它。",
        epilog="示例：\n  zorvan account save --name main --username seller@example.com\n"
        "  printf '%s\\n' \"$PASSWORD\" | zorvan account save --name main "
        "--username seller@example.com --password-stdin",
    )
    save.add_argument("--name", required=True, help="账号名称：字母（含中文）、数字、下划线或中划线")
    save.add_argument("--username", required=True, metavar="USER", help="卖家精灵用户名")
    save.add_argument("--password-stdin", action="store_true",
                      help="从标准输入读取一行作为密码（只去掉行尾的换行）")
    save.add_argument("--password", nargs="?", action=_RefusePassword, help=argparse.SUPPRESS)
    _options(save, config_dir=True)
    save.set_defaults(handler=_account.save)

    listing = _command(
        commands, "list", help="列出已保存的账号（不显示密码）",
        description="列出已保存账号的名称和用户名，不显示密码。",
    )
    _options(listing, config_dir=True)
    listing.set_defaults(handler=_account.list_accounts)

    get = _command(
        commands, "get", help="查看一个账号",
        description="显示账号名称、用户名，以及系统凭据管理器中是否存有密码；"
        "密码本身只在加上 --show-password 时显示。",
    )
    get.add_argument("--name", required=True, help="账号名称")
    get.add_argument("--show-password", action="store_true", help="同时显示密码")
    _options(get, config_dir=True)
    get.set_defaults(handler=_account.get)

    delete = _command(
        commands, "delete", help="删除一个账号",
        description="删除账号及其在系统凭据管理器中的密码，并说明该账号原先是否存在。",
    )
    delete.add_argument("--name", required=True, help="账号名称")
    _options(delete, config_dir=True)
    delete.set_defaults(handler=_account.delete)

    doctor = _command(
        commands, "doctor", help="检查账号存储和系统凭据管理器",
        description="检查账号存储目录、accounts.json 及其权限、当前的系统凭据管理器，"
        "以及每个账号的密码是否还在；只读取，不做任何修改。",
        epilog="发现问题时的退出状态：凭据管理器不保存或明文保存密码为 3，"
        "文件无法读取或内容损坏为 1，账号缺少密码为 2；同时有多种问题时按这个顺序取第一个。",
    )
    _options(doctor, config_dir=True)
    doctor.set_defaults(handler=_doctor.doctor)

    market = _command(
        groups, "marketplace", help="查询亚马逊国家站点", epilog=EPILOG,
        description="查询支持的亚马逊国家站点，构造商品详情页地址。",
    )
    market_commands = _subcommands(market, "command", "子命令")

    mlist = _command(
        market_commands, "list", help="列出支持的国家和站点地址",
        description="列出支持的国家代码和站点地址。",
    )
    _options(mlist, config_dir=False)
    mlist.set_defaults(handler=_marketplace.list_marketplaces)

    resolve = _command(
        market_commands, "resolve", help="解析国家代码",
        description="解析国家代码，显示对应的站点地址。",
    )
    resolve.add_argument("country", metavar="COUNTRY", help="国家代码，例如 US、uk（不区分大小写）")
    _options(resolve, config_dir=False)
    resolve.set_defaults(handler=_marketplace.resolve)

    url = _command(
        market_commands, "url", help="构造商品详情页地址",
        description="构造某个国家站点上的商品详情页地址。",
        epilog="示例：\n  zorvan marketplace url B0EXAMPLE1 --country de",
    )
    url.add_argument("asin", metavar="ASIN", help="商品 ASIN")
    url.add_argument("--country", required=True, metavar="COUNTRY", help="国家代码，例如 US、jp")
    _options(url, config_dir=False)
    url.set_defaults(handler=_marketplace.product_url)
    return parser


def parse_args(argv: Sequence[str] | None = None) -> argparse.Namespace:
    with _argparse_in_chinese():
        return build_parser().parse_args(argv)


def _version() -> str:
    try:
        return metadata.version("zorvan")
    except metadata.PackageNotFoundError:
        return "unknown"
