#!/usr/bin/env bash
# make test's checks and the demo on one CPython release:
#
#   tools/test-python.sh 3.14 [pytest arguments...]
#   tools/test-python.sh 3.14d [...]      its debug build (no lint, no demo)
#
# The interpreter is one of this machine's (tools/find-python.sh); where it
# has none of that release and runs as root, the whole script runs again
# inside build/sid-amd64, Debian sid in a folder (tools/sid/). The package is
# built from source into build/venv-<release>, with the build's own folder
# per interpreter, and reinstalled whenever a source changed.
set -euo pipefail
cd "$(dirname "$0")/.."
release=${1:?usage: tools/test-python.sh 3.12|3.13|3.14|3.15[d] [pytest arguments...]}
shift

if ! python=$(tools/find-python.sh "$release" 2>/dev/null); then
  if [ -z "${ZORVAN_IN_SID:-}" ] && [ "$(id -u)" = 0 ] && command -v unshare >/dev/null; then
    exec tools/sid/run.sh amd64 env ZORVAN_IN_SID=1 tools/test-python.sh "$release" "$@"
  fi
  tools/find-python.sh "$release"  # says what is missing
fi

venv=build/venv-$release
stamp=$venv/.installed
# A venv made by another interpreter (the host's, or the chroot's) is made again.
if [ ! -x "$venv/bin/python" ] || [ "$(cat "$venv/.interpreter" 2>/dev/null)" != "$python" ]; then
  rm -rf "$venv"
  "$python" -m venv "$venv"
  echo "$python" >"$venv/.interpreter"
fi
if [ ! -e "$stamp" ] || [ -n "$(find pyproject.toml CMakeLists.txt native src tools/string_table.py -newer "$stamp" -type f | head -n 1)" ]; then
  "$venv/bin/python" -m pip install --quiet --upgrade pip scikit-build-core
  command -v cmake >/dev/null 2>&1 || "$venv/bin/python" -m pip install --quiet cmake
  # Each interpreter builds in its own folder: build/<wheel tag>.
  "$venv/bin/python" -m pip install --quiet --no-build-isolation '.[test]'
  touch "$stamp"
fi

echo "== CPython $("$venv/bin/python" -c 'import sys; print(sys.version.split()[0] + ("d" if hasattr(sys, "gettotalrefcount") else ""))') ($python)"
# The modules must carry this interpreter's own ABI tag: Debian's debug
# builds load a release build's modules too, and would then miss every
# reference those count.
"$venv/bin/python" -c '
import importlib.machinery, sys
import zorvan.amazon_rufus.runtime.regionet as regionet, zorvan.seller_sprite.services.credarium as credarium
own = importlib.machinery.EXTENSION_SUFFIXES[0]
foreign = [module.__file__ for module in (regionet, credarium) if not module.__file__.endswith(own)]
if foreign:
    sys.exit(f"modules built for another ABI than {own}: {foreign}")
print(f"modules: *{own}")'
if [ "${release%d}" = "$release" ]; then
  "$venv/bin/python" -m ruff check src/zorvan
  "$venv/bin/python" -m mypy --strict src/zorvan
fi
"$venv/bin/python" -m pytest -q -rs "$@"
if [ "${release%d}" = "$release" ] && [ $# -eq 0 ]; then
  "$venv/bin/python" demo/main_job.py >"$venv/demo.log" 2>&1 || { cat "$venv/demo.log"; exit 1; }
  echo "demo: ok ($(grep -c '^\$ ' "$venv/demo.log") commands, $venv/demo.log)"
fi
