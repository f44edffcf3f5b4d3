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
python -m pytest -q -rs "$@"
if [ -n "$full" ]; then
  python demo/main_job.py >"$VIRTUAL_ENV/demo.log" 2>&1 || { cat "$VIRTUAL_ENV/demo.log"; exit 1; }
  echo "demo: ok, $(grep -c '^\$ ' "$VIRTUAL_ENV/demo.log") commands ($VIRTUAL_ENV/demo.log)"
fi
