"""zorvan 命令行：account 管理卖家精灵账号，marketplace 查询亚马逊国家站点。

Run as ``zorvan`` (console script) or ``python -m zorvan``. Every failure the
command line knows ends as one line on stderr and an exit status: 0 success,
1 file system, 2 bad input, 3 credential manager, 130 Ctrl-C (see
`_failures.describe`); anything else is a bug, and shown as one.

Start-up is kept short: this module imports next to nothing, the parser
names its handlers by module, and each command imports only what it uses,
so that `zorvan marketplace ...` never loads the account side. Everything is
imported inside `main`'s try, so that Ctrl-C during the imports is handled
like Ctrl-C anywhere else.
"""

from __future__ import annotations

import sys

TYPE_CHECKING = False  # typing itself takes longer to import than the rest of start-up

if TYPE_CHECKING:
    import argparse
    from collections.abc import Sequence

EXIT_INTERRUPTED = 130

__all__ = ["main"]


def main(argv: Sequence[str] | None = None) -> int:
    args: argparse.Namespace | None = None
    try:
        from zorvan.cli._parser import parse_args, run

        args = parse_args(argv)
        return run(args)
    except KeyboardInterrupt:
        from zorvan.cli._output import notice

        # A Ctrl-C typed at a terminal leaves the cursor after "^C" or after
        # a password prompt; the notice starts a line of its own.
        note = getattr(args, "interrupt_note", None)
        notice(f"已取消：{note}" if note else "已取消", fresh_line=sys.stderr.isatty())
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (e.g. `| head`); nothing left to tell it.
        _discard_stdout()
        return 1
    except Exception as exc:
        from zorvan.cli._failures import describe
        from zorvan.cli._output import notice

        described = describe(exc, args)
        if described is None:
            raise  # not a failure the command line knows: a bug, shown as one
        status, line = described
        notice(line)
        return status


def _discard_stdout() -> None:
    import os

    # Python flushes stdout again at exit; point it at /dev/null so that the
    # flush cannot fail a second time and print a traceback.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass
