#!/usr/bin/env bash
# The test suite against built wheels: each installed with its test
# dependencies into a fresh venv of the CPython release it is for, and
# tested from that venv's folder, where the source tree is not importable
# (as `make test-wheel` does for one wheel).
#
#   tools/test-wheels.sh FOLDER [RELEASE...]     releases 3.12 to 3.15 by default
#
# FOLDER must hold one wheel of each release for this machine, and
# tools/find-python.sh must find each release. Every release is tested; the
# script fails if any of them failed.
set -euo pipefail
cd "$(dirname "$0")/.."
folder=$(cd "$1" && pwd)
shift
[ $# -gt 0 ] || set -- 3.12 3.13 3.14 3.15
tests=$PWD/tests

status=0
for release in "$@"; do
  tag=cp${release/./}
  wheels=("$folder"/zorvan-*-"$tag-$tag"-*"$(uname -m)".whl)
  if [ "${#wheels[@]}" -ne 1 ] || [ ! -f "${wheels[0]}" ]; then
    echo "$folder: expected one wheel for CPython $release on $(uname -m), found: ${wheels[*]##*/}" >&2
    status=1
    continue
  fi
  if ! python=$(tools/find-python.sh "$release"); then
    status=1
    continue
  fi
  venv=build/wheel-test-$release
  rm -rf "$venv"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet "${wheels[0]}[test]"
  echo "== CPython $release: ${wheels[0]##*/}"
  (cd "$venv" && bin/python -m pytest -q -rs "$tests") || status=1
done
exit "$status"
