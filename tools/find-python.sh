#!/usr/bin/env bash
# Prints the path of a CPython interpreter the package supports.
#
#   tools/find-python.sh          3.12 or later: $PYTHON if set, else python3,
#                                 else python3.12 to python3.15 on PATH, else
#                                 the oldest of those installed through pyenv
#   tools/find-python.sh 3.14     that release: $PYTHON, python3.14, python3
#                                 or pyenv's newest 3.14.x, whichever is it
#   tools/find-python.sh 3.14d    its debug build (python3.14d, as Debian
#                                 names it)
#
# Fails with a message saying how to get one.
set -euo pipefail

wanted=${1:-}
oldest=3.12
newest=3.15

# Whether the interpreter at $1 is what was asked for.
suits() {
  local release=${wanted%d} check
  case "$wanted" in
  "") check="sys.version_info[:2] >= (${oldest/./, })" ;;
  *d) check="sys.version_info[:2] == (${release/./, }) and hasattr(sys, 'gettotalrefcount')" ;;
  *) check="sys.version_info[:2] == (${release/./, }) and not hasattr(sys, 'gettotalrefcount')" ;;
  esac
  "$1" -c "import sys; sys.exit(not ($check))" 2>/dev/null
}

if [ -n "$wanted" ]; then
  candidates=("${PYTHON:-}" "python$wanted" python3)
else
  candidates=("${PYTHON:-}" python3)
  for minor in 12 13 14 15; do candidates+=("python3.$minor"); done
fi
for candidate in "${candidates[@]}"; do
  [ -n "$candidate" ] || continue
  path=$(command -v "$candidate" 2>/dev/null) || continue
  if suits "$path"; then echo "$path"; exit 0; fi
done

if command -v pyenv >/dev/null 2>&1 && [ "${wanted%d}" = "$wanted" ]; then
  if [ -n "$wanted" ]; then pattern="^${wanted//./\\.}\\.[0-9]+\$"; else pattern='^3\.(1[2-9])\.[0-9]+$'; fi
  for version in $(pyenv versions --bare 2>/dev/null | grep -E "$pattern" | sort -t. -k2,2n -k3,3nr); do
    path="$(pyenv prefix "$version")/bin/python${version%.*}"
    if suits "$path"; then echo "$path"; exit 0; fi
  done
fi

if [ -n "$wanted" ]; then
  echo "No CPython $wanted was found." >&2
else
  echo "zorvan needs CPython $oldest or later (up to $newest), and none was found." >&2
fi
echo "Install it (for example 'pyenv install ${wanted:-3.12}' or 'apt-get install python${wanted:-3.12}')," >&2
echo "or name it with PYTHON=/path/to/python${wanted:-3}." >&2
exit 1
