#!/usr/bin/env bash
# The x86_64 wheel of one CPython release, installed into a fresh venv of
# that release's interpreter, and the test suite run against it from a
# folder where the source tree is not importable:
#
#   tools/linux/test-wheel.sh 3.14 [pytest arguments...]
#
# The interpreter is this machine's (tools/find-python.sh); where it has none
# of that release and runs as root, the script runs again inside
# build/sid-amd64 (tools/sid/), as tools/test-python.sh does.
set -euo pipefail
cd "$(dirname "$0")/../.."
release=${1:?usage: tools/linux/test-wheel.sh 3.12|3.13|3.14|3.15 [pytest arguments...]}
shift

if ! python=$(tools/find-python.sh "$release" 2>/dev/null); then
  if [ -z "${ZORVAN_IN_SID:-}" ] && [ "$(id -u)" = 0 ] && command -v unshare >/dev/null; then
    exec tools/sid/run.sh amd64 env ZORVAN_IN_SID=1 tools/linux/test-wheel.sh "$release" "$@"
  fi
  tools/find-python.sh "$release"  # says what is missing
fi
tag=cp${release/./}
version=$(sed -n 's/^version = "\(.*\)"$/\1/p' pyproject.toml)
wheel=$(ls dist/zorvan-"$version-$tag-$tag"-*manylinux_2_17_x86_64*.whl)
venv=build/venv-wheel-$release
rm -rf "$venv"
"$python" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet "$wheel[test]"

checkout=$PWD
cd "$venv"
echo "== $wheel on CPython $(bin/python -c 'import sys; print(sys.version.split()[0])') ($python)"
# Fails unless both modules are imported from the venv's site-packages.
bin/python -c 'import sys, zorvan.amazon_rufus.runtime.regionet as r, zorvan.seller_sprite.services.credarium as c
[print("testing", m.__file__) for m in (r, c)]
sys.exit(not all(m.__file__.startswith(sys.prefix + "/") for m in (r, c)))'
tests=()
for argument in "$@"; do
  case "$argument" in tests/*) tests+=("$checkout/$argument") ;; *) tests+=("$argument") ;; esac
done
[ ${#tests[@]} -gt 0 ] || tests=("$checkout/tests")
bin/python -m pytest -q -rs "${tests[@]}"
