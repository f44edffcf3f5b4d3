#!/usr/bin/env bash
# make test's checks and the demo on one CPython release:
#
#   tools/test-python.sh 3.14 [pytest arguments...]
#   tools/test-python.sh 3.14d [...]      its debug build: the tests only
#
# The package is built for that release by tools/with-python.sh, inside
# Debian sid where this machine has no such interpreter. With pytest
# arguments, only pytest runs.
set -euo pipefail
cd "$(dirname "$0")/.."
release=${1:?usage: tools/test-python.sh 3.12|3.13|3.14|3.15[d] [pytest arguments...]}
shift
if [ -z "${VIRTUAL_ENV:-}" ] || [ "$VIRTUAL_ENV" != "$PWD/build/venv-$release" ]; then
  exec tools/with-python.sh "$release" tools/test-python.sh "$release" "$@"
fi

echo "== CPython $(python -c 'import sys; print(sys.version.split()[0] + ("d" if hasattr(sys, "gettotalrefcount") else ""))') ($(cat "$VIRTUAL_ENV/.interpreter"))"
full=$([ $# -eq 0 ] && [ "${release%d}" = "$release" ] && echo yes || true)
if [ -n "$full" ]; then
  python -m ruff check src/zorvan
  python -m mypy --strict src/zorvan
fi
# The modules must carry this interpreter's own ABI tag: Debian's debug
# builds load a release build's modules too, and would then miss every
# reference those count.
python -c '
import importlib.machinery, sys
import zorvan.amazon_rufus.runtime.regionet as regionet, zorvan.seller_sprite.services.credarium as credarium
own = importlib.machinery.EXTENSION_SUFFIXES[0]
foreign = [module.__file__ for module in (regionet, credarium) if not module.__file__.endswith(own)]
if foreign:
    sys.exit(f"modules built for another ABI than {own}: {foreign}")
print(f"modules: *{own}")'
python -m pytest -q -rs "$@"
if [ -n "$full" ]; then
  python demo/main_job.py >"$VIRTUAL_ENV/demo.log" 2>&1 || { cat "$VIRTUAL_ENV/demo.log"; exit 1; }
  echo "demo: ok, $(grep -c '^\$ ' "$VIRTUAL_ENV/demo.log") commands ($VIRTUAL_ENV/demo.log)"
fi
