#!/usr/bin/env bash
# The aarch64 wheel of one CPython release, tested on Debian's arm64
# interpreter of that release under qemu-user (build/sid-arm64, made by
# tools/sid/root.sh):
#
#   tools/linux/test-aarch64.sh 3.14 [pytest arguments...]
#
# Nothing is built or installed under emulation. This machine's pip (PYTHON,
# make's tools venv) fetches the wheel's dependencies for that release and
# platform into a folder that stands for the root's /usr/local during the
# run (tools/sid/run.sh): the interpreter finds them in its own
# dist-packages and the commands in /usr/local/bin, as after an ordinary
# install. The Secret Service tests skip there: that root has no
# gnome-keyring.
set -euo pipefail
cd "$(dirname "$0")/../.."
release=${1:?usage: tools/linux/test-aarch64.sh 3.13|3.14|3.15 [pytest arguments...]}
shift
: "${PYTHON:?name the tools interpreter in PYTHON}"
tag=cp${release/./}
version=$(sed -n 's/^version = "\(.*\)"$/\1/p' pyproject.toml)
wheel=$(ls dist/zorvan-"$version-$tag-$tag"-*manylinux_2_17_aarch64*.whl)

work=build/aarch64-$release
usr_local=$work/usr-local
site=$usr_local/lib/python$release/dist-packages
# The dependencies once (again when pyproject.toml changes), the wheel every
# time. No byte-code: this machine's pip would compile it for its own release.
install() {
  "$PYTHON" -m pip install --quiet --no-compile --target "$site" --only-binary=:all: \
    --platform manylinux2014_aarch64 --python-version "$release" --implementation cp "$@"
}
if [ ! -e "$work/.dependencies" ] || [ pyproject.toml -nt "$work/.dependencies" ]; then
  rm -rf "$work" && mkdir -p "$site" "$usr_local/bin"
  install "$wheel[test]"
  touch "$work/.dependencies"
else
  rm -rf "$site"/zorvan "$site"/zorvan-*.dist-info "$usr_local/bin/zorvan"
  install --no-deps "$wheel"
fi
# pip --target leaves the commands beside the packages, started by this
# machine's interpreter.
mv "$site"/bin/* "$usr_local/bin/" && rmdir "$site/bin"
sed -i "1s|^#!.*|#!/usr/bin/python$release|" "$usr_local"/bin/*

checkout=$PWD
# Every module compiled under emulation once, not once per process: the
# byte-code is written (whatever PYTHONDONTWRITEBYTECODE says here) to a
# folder of its own under build/, kept from run to run, the root untouched.
pycache=$checkout/build/aarch64-pycache-$release
run() {
  (cd "$work" && env -u PYTHONDONTWRITEBYTECODE PYTHONPYCACHEPREFIX="$pycache" \
    ZORVAN_SID_USR_LOCAL="$checkout/$usr_local" "$checkout/tools/sid/run.sh" arm64 "$@")
}
echo "== $wheel on $(run "python$release" -c 'import platform, sys; print(sys.version.split()[0], platform.machine())') under qemu-user"
run "python$release" -c "import sys, zorvan.amazon_rufus.runtime.regionet as r, zorvan.seller_sprite.services.credarium as c
[print('testing', m.__file__) for m in (r, c)]
sys.exit(not all(m.__file__.startswith('/usr/local/lib/python$release/dist-packages/') for m in (r, c)))"
start=$(date +%s)
# From a folder where the source tree is not importable; no cache written
# into the checkout.
# into the checkout. Test paths are the checkout's (tests/test_x.py).
tests=()
for argument in "$@"; do
  case "$argument" in tests/*) tests+=("$checkout/$argument") ;; *) tests+=("$argument") ;; esac
done
[ ${#tests[@]} -gt 0 ] || tests=("$checkout/tests")
run "python$release" -m pytest -q -rs -p no:cacheprovider "${tests[@]}"
echo "aarch64 $release: the tests took $(($(date +%s) - start)) s under qemu-user"
