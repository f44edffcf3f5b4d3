"""`zorvan completion bash|zsh`: a completion script made from the parser
itself, so that it always knows exactly the commands and options there are.

Account names are not known when the script is written: for `--name` the
script runs `zorvan completion --account-names` (with the line's
--config-dir), which reads accounts.json and nothing else; the credential
manager is never loaded for a Tab key.
"""

from __future__ import annotations

import argparse

from zorvan.cli._errors import UsageError
from zorvan.cli._output import emit_exact
from zorvan.cli._parser import PROG, argparse_in_chinese, build_parser

# The store named by --config-dir on the line being completed, else the
# default one. bash splits "--config-dir=DIR" at the "=".
_BASH_NAMES = r"""
_zorvan_account_names() {
  local i dir=()
  for ((i = 1; i < COMP_CWORD; i++)); do
    if [[ ${COMP_WORDS[i]} == --config-dir ]]; then
      [[ ${COMP_WORDS[i+1]} == = ]] && ((i++))
      dir=(--config-dir "${COMP_WORDS[i+1]/#\~/$HOME}")
    fi
  done
  compgen -W "$("${COMP_WORDS[0]/#\~/$HOME}" "${dir[@]}" completion --account-names 2>/dev/null)" -- "$1"
}
"""
_ZSH_NAMES = r"""
_zorvan_account_names() {
  local -a line dir names
  local i word
  line=(${(z)LBUFFER})
  for (( i = 2; i < ${#line}; i++ )); do
    word=${(Q)line[i]}
    case $word in
      --config-dir) word=${(Q)line[i+1]}; dir=(--config-dir ${word/#\~/$HOME}) ;;
      --config-dir=*) word=${word#--config-dir=}; dir=(--config-dir ${word/#\~/$HOME}) ;;
    esac
  done
  names=(${(f)"$(${~line[1]} $dir completion --account-names 2>/dev/null)"})
  compadd -a names
}
"""
# Codes are case-insensitive: offered in the case the word was begun in.
_BASH_COUNTRIES = """
_zorvan_countries() {{
  local codes="{upper}"
  [[ $1 == [[:lower:]]* ]] && codes="{lower}"
  compgen -W "$codes" -- "$1"
}}
"""
_ZSH_COUNTRIES = """
_zorvan_countries() {{
  compadd -M 'm:{{a-zA-Z}}={{A-Za-z}}' {upper}
}}
"""


def completion(args: argparse.Namespace) -> int:
    if args.account_names:
        return _account_names(args)
    if args.shell is None:
        raise UsageError("缺少必需的参数：SHELL", f"{PROG} completion")
    import shtab

    from zorvan.amazon_rufus.runtime import regionet

    codes = " ".join(regionet._MARKETPLACES)
    names = {"bash": "_zorvan_account_names", "zsh": "_zorvan_account_names",
             "preamble": {"bash": _BASH_NAMES, "zsh": _ZSH_NAMES}}
    countries = {"bash": "_zorvan_countries", "zsh": "_zorvan_countries", "preamble": {
        "bash": _BASH_COUNTRIES.format(upper=codes, lower=codes.lower()),
        "zsh": _ZSH_COUNTRIES.format(upper=codes),
    }}
    with argparse_in_chinese():
        parser = build_parser()
    for action in _all_actions(parser):
        complete = {"config_dir": shtab.DIRECTORY, "name": names, "country": countries}.get(action.dest)
        if complete is not None:
            action.complete = complete  # type: ignore[attr-defined]
    emit_exact(shtab.complete(parser, shell=args.shell, root_prefix=PROG))
    return 0


def _account_names(args: argparse.Namespace) -> int:
    from zorvan.cli._accounts_file import AccountsFile, accounts_path

    # Only names the store takes (its check, restated: the store itself
    # would load the credential manager); nothing on a damaged file.
    accounts = AccountsFile(accounts_path(args.config_dir)).accounts or {}
    names = [name for name in accounts if name and name.replace("-", "").replace("_", "").isalnum()]
    if names:
        emit_exact("\n".join(names))
    return 0


def _all_actions(parser: argparse.ArgumentParser) -> list[argparse.Action]:
    actions = list(parser._actions)
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            for sub in action.choices.values():
                actions += _all_actions(sub)
    return actions
