#!/usr/bin/env bash
# Prints a folder of CPython's headers for one release and Linux platform,
# made under build/python-include/, whose pyconfig.h is that platform's own:
#
#   tools/linux/headers.sh 3.14 aarch64   -> build/python-include/cp314-aarch64
#
#   3.12, 3.13 x86_64    this machine's interpreter (tools/find-python.sh)
#   3.14, 3.15 x86_64    Debian sid's, in build/sid-amd64 (tools/sid/)
#   3.13-3.15 aarch64    Debian sid's arm64 packages, in build/sid-arm64
#   3.12 aarch64         3.12's x86_64 headers: no arm64 3.12 exists here
#
# For that last one: Include/ is the same on every platform, and pyconfig.h
# differs between x86_64 and aarch64 Linux only in macros that no header
# these modules include acts on (as Debian's pairs for 3.14 and 3.15 show:
# the x87/x64 assembly flags, read by an internal header; HAVE_USABLE_WCHAR_T,
# which only includes <wchar.h>, as HAVE_WCHAR_H does anyway; the support
# tier; HACL's vector units; 3.15's SOABI_PLATFORM). Both are LP64 with the
# same type sizes. Built for aarch64 with 3.14's x86_64 pyconfig.h and with
# its arm64 one, the stripped modules are byte for byte the same.
#
# Debian's own pyconfig.h is a wrapper that picks a multiarch folder by the
# compiler's macros, and a cross compiler sees none of the root's
# /usr/include: hence one folder with the platform's file in its place.
set -euo pipefail
cd "$(dirname "$0")/../.."
usage="usage: tools/linux/headers.sh 3.12|3.13|3.14|3.15 x86_64|aarch64"
release=${1:?$usage}
arch=${2:?$usage}
case "$release" in 3.1[2-5]) ;; *) echo "$usage" >&2; exit 2 ;; esac
case "$arch" in
x86_64) debian_arch=amd64 ;;
aarch64) debian_arch=arm64 ;;
*) echo "$usage" >&2; exit 2 ;;
esac

case "$arch-$release" in
x86_64-3.12 | x86_64-3.13 | aarch64-3.12)
  include=$("$(tools/find-python.sh "$release")" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
  ;;
*)
  sid=${ZORVAN_SID_DIR:-build}/sid-$debian_arch
  [ -e "$sid/.made" ] || tools/sid/root.sh make "$debian_arch" >&2
  include=$sid/usr/include/python$release
  ;;
esac
pyconfig=$include/pyconfig.h
multiarch=$include/../$arch-linux-gnu/python$release/pyconfig.h
[ -e "$multiarch" ] && pyconfig=$multiarch

headers=$PWD/build/python-include/cp${release/./}-$arch
rm -rf "$headers" && mkdir -p "$headers"
for entry in "$include"/*; do
  [ "${entry##*/}" = pyconfig.h ] || ln -s "$(realpath "$entry")" "$headers/"
done
ln -s "$(realpath "$pyconfig")" "$headers/pyconfig.h"
echo "headers for $release $arch: $(realpath "$include"), pyconfig.h $(realpath "$pyconfig")" >&2
echo "$headers"
