"""The argument parser: commands, options and their Chinese help.

Handlers are named, not imported ("_account.save"): `run` imports the one
module the command needs, so that a marketplace command never loads the
account side (keyring, the store) and --version reads the package metadata
only when asked.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import os
import sys

from zorvan.cli._errors import UsageError

TYPE_CHECKING = False  # importing typing would cost more than all of argparse
if TYPE_CHECKING:
    from collections.abc import Iterator, Sequence
    from pathlib import Path
    from typing import NoReturn

PROG = "zorvan"

EPILOG = """\
退出状态：
  0    成功
  1    读写文件失败，或 accounts.json 已损坏
  2    输入有误：账号名称、用户名、密码、未知账号、国家或 ASIN，以及用法错误
  3    系统凭据管理器缺失、不可用、出错，或没有真正保存或删除密码
  130  按 Ctrl-C 中断"""

# argparse's own words, in the voice of the rest of the help. argparse looks
# its texts up through a module-level gettext function at the moment it needs
# them, so they are swapped in only while the parser is built and used.
#
# None of the error texts repeats what the user typed: a password pasted into
# the wrong place would otherwise be printed into the terminal or a CI log.
# "%.0s" and "%.0r" take argparse's value and print none of it.
_ARGPARSE_TEXTS = {
    "usage: ": "用法：",
    "positional arguments": "位置参数",
    "options": "选项",
    "show this help message and exit": "显示本帮助并退出",
    "the following arguments are required: %s": "缺少必需的参数：%s",
    "unrecognized arguments: %s": "有无法识别的参数%.0s",
    "invalid choice: %(value)r (choose from %(choices)s)": "无效的选择（可选：%(choices)s）",
    "invalid %(type)s value: %(value)r": "取值无效",
    "argument %(argument_name)s: %(message)s": "参数 %(argument_name)s：%(message)s",
    "expected one argument": "需要一个值",
    "ignored explicit argument %r": "不接受取值%.0r",
    "not allowed with argument %s": "不能与 %s 同时使用",
    "one of the arguments %s is required": "必须提供以下参数之一：%s",
    "ambiguous option: %(option)s could match %(matches)s": "选项不明确，可能是：%(matches)s",
}


@contextlib.contextmanager
def argparse_in_chinese() -> Iterator[None]:
    # Through getattr and setattr: argparse's type stubs don't declare `_`.
    original = getattr(argparse, "_")  # noqa: B009
    # Texts not in the table stay as argparse wrote them: asking gettext for
    # them would load the locale machinery on every run, to find nothing.
    setattr(argparse, "_", lambda text: _ARGPARSE_TEXTS.get(text, text))  # noqa: B010
    try:
        yield
    finally:
        setattr(argparse, "_", original)  # noqa: B010


class _Parser(argparse.ArgumentParser):
    """Fails with UsageError instead of printing and exiting, so that parse
    errors end like every other failure; and reports leftover arguments
    without repeating them."""

    def __init__(self, *args: object, **kwargs: object) -> None:
        super().__init__(*args, **kwargs)  # type: ignore[arg-type]
        # Each command's parser by its words ("account save"), filled on the
        # top-level parser so that leftovers are blamed on the right command.
        self.commands: dict[str, _Parser] = {}

    def error(self, message: str) -> NoReturn:
        raise UsageError(message, self.prog)

    def parse_args(  # type: ignore[override]
        self, args: Sequence[str] | None = None, namespace: None = None
    ) -> argparse.Namespace:
        parsed, leftovers = self.parse_known_args(args, namespace)
        if leftovers:
            words = " ".join(w for w in (getattr(parsed, "group", None), getattr(parsed, "command", None)) if w)
            command = self.commands.get(words, self)
            command.error(_leftover_message(command, leftovers))
        return parsed


def _leftover_message(parser: argparse.ArgumentParser, leftovers: list[str]) -> str:
    import difflib

    # Named by count, never by value: a leftover is as likely to be a
    # password typed in the wrong place as a mistyped option.
    known = [s for a in parser._actions if a.help is not argparse.SUPPRESS for s in a.option_strings]
    guesses: list[str] = []
    for word in leftovers:
        if word.startswith("--"):
            for guess in difflib.get_close_matches(word.partition("=")[0], known, n=1):
                if guess not in guesses:
                    guesses.append(guess)
    message = f"有 {len(leftovers)} 个无法识别的参数（为免泄露密码，这里不重复它们）"
    if guesses:
        message += f"；可能是想用 {'、'.join(guesses)}"
    return message


class _Version(argparse.Action):
    """--version, reading the installed version only when it is asked for."""

    def __init__(self, option_strings: list[str], dest: str, help: str | None = None) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, help=help)

    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: object,
        option_string: str | None = None,
    ) -> None:
        from importlib import metadata

        try:
            version = metadata.version("zorvan")
        except metadata.PackageNotFoundError:
            version = "unknown"
        from zorvan.cli._output import say

        say(f"{PROG} {version}")
        parser.exit()


class _HelpFormatter(argparse.RawDescriptionHelpFormatter):
    """Lists the commands under their heading, without a line that only
    repeats the heading's metavar above them.

    argparse makes a formatter for every option it adds, and its own finds
    the terminal's width through shutil, whose imports (bz2, lzma, ...) cost
    more than the rest of a marketplace command; this one asks directly.
    """

    def __init__(
        self, prog: str, indent_increment: int = 2, max_help_position: int = 24, width: int | None = None
    ) -> None:
        if width is None:
            width = _terminal_columns() - 2  # the margin argparse leaves
        super().__init__(prog, indent_increment, max_help_position, width)

    def _format_action(self, action: argparse.Action) -> str:
        text = super()._format_action(action)
        if isinstance(action, argparse._SubParsersAction):
            text = "".join(line[2:] for line in text.splitlines(keepends=True)[1:])
        return text


_columns: list[int] = []  # found once: argparse makes a formatter per option


def _terminal_columns() -> int:
    # As shutil.get_terminal_size: $COLUMNS, else the terminal, else 80.
    if not _columns:
        try:
            _columns.append(int(os.environ["COLUMNS"]))
        except (KeyError, ValueError):
            try:
                _columns.append(os.get_terminal_size(sys.__stdout__.fileno()).columns)  # type: ignore[union-attr]
            except (AttributeError, ValueError, OSError):
                _columns.append(80)
    return _columns[0]


class _RefusePassword(argparse.Action):
    """A hidden --password that fails without repeating its value.

    Without it, `--password secret` would be reported as two leftover
    arguments; this way the user learns why.
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
    from pathlib import Path

    if not text.strip():
        raise argparse.ArgumentTypeError("目录不能为空")
    return Path(text).expanduser()


# Where the configuration folder is by default, in each platform's words
# (as zorvan.config finds it; that module is not loaded for a marketplace
# command, so the platform is told by sys.platform here). argparse formats
# help texts with %, hence %% for Windows' own.
_DEFAULT_CONFIG_DIR = {
    "win32": "环境变量 ZORVAN_CONFIG_DIR，否则是 %%APPDATA%%\\zorvan",
    "darwin": "环境变量 ZORVAN_CONFIG_DIR，否则是 ~/Library/Application Support/zorvan",
}


def _config_dir_help() -> str:
    default = _DEFAULT_CONFIG_DIR.get(
        sys.platform, "环境变量 ZORVAN_CONFIG_DIR 或 XDG_CONFIG_HOME 决定，通常是 ~/.config/zorvan"
    )
    return (
        "配置目录，账号名称和用户名保存在其中的 seller_sprite/accounts.json"
        f"（默认由{default}）。"
        "密码不在配置目录里：系统凭据管理器按账号名称保存密码，"
        "所以不同配置目录中同名的账号共用同一个密码"
    )


def _options(
    parser: argparse.ArgumentParser,
    *,
    config_dir: bool,
    json_group: argparse._MutuallyExclusiveGroup | None = None,
) -> None:
    (json_group or parser).add_argument("--json", action="store_true", help="只输出一个 JSON 文档")
    if config_dir:
        # SUPPRESS leaves the global value alone when the option is not
        # repeated after the command.
        parser.add_argument(
            "--config-dir", type=_directory, metavar="DIR", default=argparse.SUPPRESS,
            help="配置目录，同全局选项 --config-dir",
        )


def _subcommands(
    parser: argparse.ArgumentParser, dest: str, title: str
) -> argparse._SubParsersAction[_Parser]:
    return parser.add_subparsers(dest=dest, required=True, metavar=title, title=title, parser_class=_Parser)


def _command(
    root: _Parser,
    group: argparse._SubParsersAction[_Parser],
    words: str,
    *,
    help: str,
    description: str,
    epilog: str | None = None,
) -> _Parser:
    parser = group.add_parser(
        words.rpartition(" ")[2], help=help, description=description, epilog=epilog,
        allow_abbrev=False, formatter_class=_HelpFormatter,
    )
    root.commands[words] = parser
    return parser


def build_parser() -> _Parser:
    parser = _Parser(
        prog=PROG,
        description="亚马逊卖家命令行工具：管理卖家精灵账号（密码只存入系统凭据管理器），"
        "查询亚马逊国家站点与商品地址。",
        epilog=EPILOG,
        allow_abbrev=False,
        formatter_class=_HelpFormatter,
    )
    parser.add_argument("--version", action=_Version, help="显示版本并退出")
    parser.add_argument("--config-dir", type=_directory, metavar="DIR", default=None, help=_config_dir_help())
    groups = _subcommands(parser, "group", "命令")

    account = _command(
        parser, groups, "account", help="管理卖家精灵账号", epilog=EPILOG,
        description="管理卖家精灵账号：账号名称与用户名写入配置目录下的 accounts.json，"
        "密码只存入系统凭据管理器。",
    )
    commands = _subcommands(account, "command", "子命令")

    save = _command(
        parser, commands, "account save", help="保存账号（已存在则覆盖）",
        description="保存卖家精灵账号，已存在则覆盖（并说明换了什么）。密码在终端输入（不回显，输入两次），"
        "或用 --password-stdin 从标准输入读取一行；不接受命令行中的密码。"
        "保存后会读回密码，确认系统凭据管理器真的存下了它。"
        "密码按账号名称保存，不区分配置目录：如果凭据管理器里已有这个名称的密码，"
        "会先提醒你，其他配置目录中的同名账号也将使用新密码。",
        epilog="示例：\n  zorvan account save --name main --username seller@example.com\n"
        "  printf '%s\\n' \"$PASSWORD\" | zorvan account save --name main "
        "--username seller@example.com --password-stdin",
    )
    save.add_argument("--name", required=True, help="账号名称：字母（含中文）、数字、下划线或中划线")
    save.add_argument("--username", required=True, metavar="USER", help="卖家精灵用户名（不能含控制字符）")
    save.add_argument("--password-stdin", action="store_true",
                      help="从标准输入读取一行作为密码（只去掉行尾的换行）")
    save.add_argument("--password", nargs="?", action=_RefusePassword, help=argparse.SUPPRESS)
    _options(save, config_dir=True)
    save.set_defaults(handler="_account.save")

    listing = _command(
        parser, commands, "account list", help="列出已保存的账号（不显示密码）",
        description="列出已保存账号的名称和用户名，不显示密码。",
    )
    _options(listing, config_dir=True)
    listing.set_defaults(handler="_account.list_accounts")

    get = _command(
        parser, commands, "account get", help="查看一个账号",
        description="显示账号名称、用户名，以及系统凭据管理器中是否存有密码；"
        "密码本身只在加上 --show-password 或 --password-only 时显示。",
        epilog="示例（在脚本中取密码）：\n  PASSWORD=\"$(zorvan account get --name main --password-only)\"",
    )
    get.add_argument("--name", required=True, help="账号名称")
    get.add_argument("--show-password", action="store_true", help="同时显示密码")
    exclusive = get.add_mutually_exclusive_group()
    exclusive.add_argument("--password-only", action="store_true",
                           help="只输出密码和一个换行，供脚本使用（不能与 --json 同用）")
    _options(get, config_dir=True, json_group=exclusive)
    get.set_defaults(handler="_account.get")

    delete = _command(
        parser, commands, "account delete", help="删除一个账号",
        description="删除账号及其在系统凭据管理器中的密码，并说明该账号原先是否存在；"
        "删除后会读回密码，确认它真的不在了。",
    )
    delete.add_argument("--name", required=True, help="账号名称")
    _options(delete, config_dir=True)
    delete.set_defaults(handler="_account.delete")

    doctor = _command(
        parser, commands, "account doctor", help="检查账号存储和系统凭据管理器",
        description="检查账号存储目录及其权限、accounts.json 的内容、当前的系统凭据管理器"
        "（写入、读回并删除一个测试条目），以及每个账号的密码是否还在。"
        "除了这个测试条目，不做任何修改。",
        epilog="发现问题时的退出状态：凭据管理器不可用、出错、不保存或明文保存密码为 3，"
        "目录或文件无法使用、内容损坏为 1，账号缺少密码为 2；同时有多种问题时按这个顺序取第一个。",
    )
    _options(doctor, config_dir=True)
    doctor.set_defaults(handler="_doctor.doctor")

    market = _command(
        parser, groups, "marketplace", help="查询亚马逊国家站点", epilog=EPILOG,
        description="查询支持的亚马逊国家站点，构造商品详情页地址。",
    )
    market_commands = _subcommands(market, "command", "子命令")

    mlist = _command(
        parser, market_commands, "marketplace list", help="列出支持的国家和站点地址",
        description="列出支持的国家代码和站点地址。",
    )
    _options(mlist, config_dir=False)
    mlist.set_defaults(handler="_marketplace.list_marketplaces")

    resolve = _command(
        parser, market_commands, "marketplace resolve", help="解析国家代码",
        description="解析国家代码，显示对应的站点地址。",
    )
    resolve.add_argument("country", metavar="COUNTRY", help="国家代码，例如 US、uk（不区分大小写；英国是 UK）")
    _options(resolve, config_dir=False)
    resolve.set_defaults(handler="_marketplace.resolve")

    url = _command(
        parser, market_commands, "marketplace url", help="构造商品详情页地址",
        description="构造某个国家站点上的商品详情页地址。",
        epilog="示例：\n  zorvan marketplace url B0EXAMPLE1 --country de",
    )
    url.add_argument("asin", metavar="ASIN", help="商品 ASIN：10 位英文字母或数字（不区分大小写）")
    url.add_argument("--country", required=True, metavar="COUNTRY", help="国家代码，例如 US、jp")
    _options(url, config_dir=False)
    url.set_defaults(handler="_marketplace.product_url")

    completion = _command(
        parser, groups, "completion", help="输出 shell 补全脚本",
        description="输出 bash 或 zsh 的补全脚本。",
        epilog="示例：\n  dir=\"${XDG_DATA_HOME:-$HOME/.local/share}/bash-completion/completions\"\n"
        "  mkdir -p \"$dir\" && zorvan completion bash > \"$dir/zorvan\"\n"
        "  mkdir -p ~/.zfunc && zorvan completion zsh > ~/.zfunc/_zorvan   # ~/.zfunc 需在 fpath 中",
    )
    completion.add_argument("shell", choices=["bash", "zsh"], nargs="?", metavar="SHELL", help="bash 或 zsh")
    # What the scripts run for account names: a list from accounts.json.
    completion.add_argument("--account-names", action="store_true", help=argparse.SUPPRESS)
    completion.set_defaults(handler="_completion.completion")
    return parser


def parse_args(argv: Sequence[str] | None = None) -> argparse.Namespace:
    with argparse_in_chinese():
        return build_parser().parse_args(argv)


def run(args: argparse.Namespace) -> int:
    module, _, function = str(args.handler).partition(".")
    handler = getattr(importlib.import_module(f"zorvan.cli.{module}"), function)
    status: int = handler(args)
    return status
