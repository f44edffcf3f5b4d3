#!/usr/bin/env bash
# `make test-windows`: installs WHEEL into the Windows CPython of build/wine/
# and runs the test suite, then the demo, there under Wine. Further arguments
# go to pytest (a file, -k ...).
#   tools/wine/test.sh WHEEL [PYTEST ARGUMENTS...]
set -euo pipefail
cd "$(dirname "$0")/../.."

wheel=$1
shift
tools/wine/install.sh wheel "$wheel"

# -rs: every skipped test with its reason. No cache folder: the Linux runs
# share this source tree.
status=0
tools/wine/python -m pytest -rs -p no:cacheprovider "$@" || status=$?
if [ $# -eq 0 ]; then
  # The demo prints to a console on Windows; here its output is a pipe, so
  # it is told the encoding a console would take.
  tools/wine/python PYTHONIOENCODING=utf-8 demo/main_job.py || status=$?
fi
exit "$status"
