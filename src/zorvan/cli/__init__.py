"""zorvan 命令行：account 管理卖家精灵账号，marketplace 查询亚马逊国家站点。

Run as ``zorvan`` (console script) or ``python -m zorvan``. Every failure the
command line knows ends as one line on stderr and an exit status: 0 success,
1 file system or output, 2 bad input, 3 credential manager, 130 Ctrl-C (see
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
    from typing import Any

__all__ = ["main"]


def main(argv: Sequence[str] | None = None) -> int:
    args: argparse.Namespace | None = None
    previous_hook = sys.unraisablehook
    sys.unraisablehook = _interrupt_again
    try:
        from zorvan.cli._output import finish_output, use_streams

        use_streams()
        from zorvan.cli._parser import parse_args, run

        try:
            args = parse_args(argv)
            status = run(args)
        except SystemExit as done:  # --help and --version, once written
            status = done.code if isinstance(done.code, int) else 0
        finish_output()
        for under_way in _redelivered:  # the command ends as interrupted, not before
            under_way.acquire()
        return status
    except KeyboardInterrupt:
        from zorvan.cli._failures import interrupted_line

        # A Ctrl-C typed at a terminal leaves the cursor after "^C" or after
        # a password prompt; the notice starts a line of its own.
        return _report(130, interrupted_line(args), fresh_line=sys.stderr is not None and sys.stderr.isatty())
    except BrokenPipeError:
        # The reader went away (e.g. `| head`); nothing left to tell it.
        _discard("stdout")
        return 1
    except Exception as exc:
        from zorvan.cli._errors import OutputFailure
        from zorvan.cli._failures import describe

        described = describe(exc, args)
        if described is None:
            raise  # not a failure the command line knows: a bug, shown as one
        if isinstance(exc, OutputFailure):
            _discard(exc.stream)
        return _report(*described)
    finally:
        sys.unraisablehook = previous_hook


# Ctrl-Cs that were lost and are being delivered again: each lock is held
# until its delivery is under way.
_redelivered: list[Any] = []


def _interrupt_again(unraisable: sys.UnraisableHookArgs) -> None:
    # A Ctrl-C that lands while the interpreter runs a callback it cannot
    # raise from (importlib's module-lock weakref callback, during the
    # imports) would be printed as "Exception ignored" and lost, and the
    # command would go on. It is delivered again from another thread, which
    # runs once this hook has returned: raised in here, it would be lost the
    # same way.
    if isinstance(unraisable.exc_value, KeyboardInterrupt):
        import _thread

        under_way = _thread.allocate_lock()
        under_way.acquire()
        _redelivered.append(under_way)
        _thread.start_new_thread(_deliver, (under_way,))
    else:
        sys.__unraisablehook__(unraisable)


def _deliver(under_way: Any) -> None:
    import _thread

    _thread.interrupt_main()
    under_way.release()


def _report(status: int, line: str, *, fresh_line: bool = False) -> int:
    from zorvan.cli._errors import OutputFailure
    from zorvan.cli._output import notice

    try:
        notice(line, fresh_line=fresh_line)
    except (OSError, OutputFailure):  # stderr is gone too: the status is all that is left
        _discard("stderr")
    return status


def _discard(stream: str) -> None:
    from zorvan.cli._output import discard

    discard(stream)
