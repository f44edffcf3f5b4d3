"""`zorvan completion bash|zsh`: a completion script made from the parser
itself, so that it always knows exactly the commands and options there are."""

from __future__ import annotations

import argparse

from zorvan.cli._parser import PROG, argparse_in_chinese, build_parser


def completion(args: argparse.Namespace) -> int:
    import shtab

    with argparse_in_chinese():
        parser = build_parser()
    for action in _all_actions(parser):
        if action.dest == "config_dir":
            action.complete = shtab.DIRECTORY  # type: ignore[attr-defined]
    print(shtab.complete(parser, shell=args.shell, root_prefix=PROG))
    return 0


def _all_actions(parser: argparse.ArgumentParser) -> list[argparse.Action]:
    actions = list(parser._actions)
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            for sub in action.choices.values():
                actions += _all_actions(sub)
    return actions
