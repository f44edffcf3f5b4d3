#!/usr/bin/env bash
# Prints the path of a Python 3.12 interpreter: $PYTHON if set, else
# python3.12 on PATH, else one installed through pyenv. Fails with a message
# saying how to get one.
set -euo pipefail

is_312() { "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; }

for candidate in "${PYTHON:-}" python3.12 python3; do
  [ -n "$candidate" ] || continue
  path=$(command -v "$candidate" 2>/dev/null) || continue
  if is_312 "$path"; then echo "$path"; exit 0; fi
done

if command -v pyenv >/dev/null 2>&1; then
  for version in $(pyenv versions --bare 2>/dev/null | grep -E '^3\.12(\.[0-9]+)?$' | sort -t. -k3 -n -r); do
    path="$(pyenv prefix "$version")/bin/python3.12"
    if is_312 "$path"; then echo "$path"; exit 0; fi
  done
fi

echo "zorvan needs Python 3.12, and none was found." >&2
echo "Install it (for example 'pyenv install 3.12' or 'apt-get install python3.12')," >&2
echo "or name it with PYTHON=/path/to/python3.12." >&2
exit 1
