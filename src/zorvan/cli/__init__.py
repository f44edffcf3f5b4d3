"""zorvan 命令行：account 管理卖家精灵账号，marketplace 查询亚马逊国家站点。

Run as ``zorvan`` (console script) or ``python -m zorvan``. Every failure the
package raises on purpose ends as one line on stderr and an exit status:
0 success, 1 file system, 2 bad input, 3 credential manager, 130 Ctrl-C.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from pathlib import Path

from zorvan.amazon_rufus.domain.exceptions import UnsupportedMarketplaceError
from zorvan.cli._errors import KEYRING_HINT, CliInputError
from zorvan.cli._output import notice
from zorvan.cli._parser import parse_args
from zorvan.config import CONFIG_DIR
from zorvan.errors import ZorvanError
from zorvan.seller_sprite.domain.exceptions import (
    InvalidCollectOptionError,
    SellerSpriteDependencyError,
)

EXIT_OK = 0
EXIT_FILES = 1
EXIT_INPUT = 2
EXIT_KEYRING = 3
EXIT_INTERRUPTED = 130

__all__ = ["main"]


def main(argv: Sequence[str] | None = None) -> int:
    args = None
    try:
        args = parse_args(argv)
        status: int = args.handler(args)
        return status
    except KeyboardInterrupt:
        notice("已取消")
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (e.g. `| head`); nothing left to tell it.
        _discard_stdout()
        return EXIT_FILES
    except SellerSpriteDependencyError as exc:
        notice(f"{exc}。{KEYRING_HINT}")
        return EXIT_KEYRING
    except (InvalidCollectOptionError, UnsupportedMarketplaceError, CliInputError) as exc:
        notice(str(exc))
        return EXIT_INPUT
    except OSError as exc:
        notice(_describe_os_error(exc, _config_root(args)))
        return EXIT_FILES
    except ZorvanError as exc:
        notice(str(exc))
        return EXIT_FILES


def _config_root(args: argparse.Namespace | None) -> Path:
    root: Path | None = getattr(args, "config_dir", None)
    return root or CONFIG_DIR


def _describe_os_error(exc: OSError, fallback: Path) -> str:
    # The path is what the user can act on; the store's errors usually carry
    # it, and the configuration folder is the best guess when they don't.
    paths = [p for p in (exc.filename, exc.filename2) if p is not None]
    where = " → ".join(os.fsdecode(p) for p in paths) if paths else str(fallback)
    return f"无法读写 {where}：{exc.strerror or exc}"


def _discard_stdout() -> None:
    # Python flushes stdout again at exit; point it at /dev/null so that the
    # flush cannot fail a second time and print a traceback.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass
