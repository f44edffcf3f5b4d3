#!/usr/bin/env bash
# `make test-windows`, for one release: installs WHEEL into that release's
# Windows CPython of build/wine/ and runs the test suite, then the demo, there
# under Wine. Further arguments go to pytest (a file, -k ...) instead of the
# whole suite, and leave the demo out.
#   tools/wine/test.sh 3.12|3.13 WHEEL [PYTEST ARGUMENTS...]
set -euo pipefail
cd "$(dirname "$0")/../.."

release=${1:?usage: tools/wine/test.sh 3.12|3.13 WHEEL [PYTEST ARGUMENTS...]}
wheel=${2:?usage: tools/wine/test.sh 3.12|3.13 WHEEL [PYTEST ARGUMENTS...]}
shift 2
export ZORVAN_WINE_PYTHON=$release
tools/wine/install.sh "$release" wheel "$wheel"
echo "== $(tools/wine/python -c 'import sys; print("CPython", sys.version.split()[0], "for", sys.platform)') under $(wine --version 2>/dev/null), ${*:-the whole suite}"

# -rs: every skipped test with its reason. No cache folder: the Linux runs
# share this source tree.
status=0
start=$SECONDS
tools/wine/python -m pytest -rs -p no:cacheprovider "$@" || status=$?
echo "pytest on Windows CPython $release: $((SECONDS - start)) s"
if [ $# -eq 0 ]; then
  # The demo prints to a console on Windows; here its output is a pipe, so
  # it is told the encoding a console would take.
  tools/wine/python PYTHONIOENCODING=utf-8 demo/main_job.py || status=$?
fi
exit "$status"
