#!/usr/bin/env bash
# Runs a command with the package installed for one CPython release:
#
#   tools/with-python.sh 3.14 python bench/run.py
#   tools/with-python.sh 3.14d python -m pytest tests/test_refleaks.py
#
# The interpreter is one of this machine's (tools/find-python.sh); where it
# has none of that release and runs as root, the command runs inside
# build/sid-amd64, Debian sid in a folder (tools/sid/). The package is built
# from source into build/venv-<release> (each interpreter in a build folder
# of its own) and reinstalled whenever a source changed; the command finds
# that venv's python first on PATH.
set -euo pipefail
cd "$(dirname "$0")/.."
release=${1:?usage: tools/with-python.sh 3.12|3.13|3.14|3.15[d] COMMAND...}
shift

if ! python=$(tools/find-python.sh "$release" 2>/dev/null); then
  if [ -z "${ZORVAN_IN_SID:-}" ] && [ "$(id -u)" = 0 ] && command -v unshare >/dev/null; then
    exec tools/sid/run.sh amd64 env ZORVAN_IN_SID=1 tools/with-python.sh "$release" "$@"
  fi
  tools/find-python.sh "$release"  # says what is missing
fi

venv=$PWD/build/venv-$release
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
  "$venv/bin/python" -m pip install --quiet --no-build-isolation '.[test]'
  touch "$stamp"
fi
export VIRTUAL_ENV=$venv PATH=$venv/bin:$PATH
exec "$@"
