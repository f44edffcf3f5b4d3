#!/usr/bin/env bash
# Runs a command inside build/sid-ARCH (made by tools/sid/root.sh):
#
#   tools/sid/run.sh amd64 python3.14 -m pytest
#
# The checkout appears at the same path inside, so that paths agree on both
# sides, with proc and the host's /dev (pseudo-terminals, /dev/shm). The
# mounts live in a mount namespace of this command's own: they vanish with
# it, whatever way it ends, and runs side by side never see each other's.
# The working folder is kept when it lies in the checkout. ZORVAN_SID_DIR
# names the folder of the roots, as for tools/sid/root.sh.
# ZORVAN_SID_USR_LOCAL names a folder to stand for /usr/local inside, for
# this command only: packages installed there (pip install --target from
# this machine) are the interpreter's own, as in site-packages, without a
# venv and without touching the root.
set -euo pipefail
checkout=$(cd "$(dirname "$0")/../.." && pwd)
arch=${1:?usage: tools/sid/run.sh amd64|arm64 COMMAND...}
shift
root=${ZORVAN_SID_DIR:-$checkout/build}/sid-$arch
# For arm64 every time: it also checks that qemu-user is registered.
if [ ! -e "$root/.made" ] || [ "$arch" = arm64 ]; then "$checkout/tools/sid/root.sh" make "$arch"; fi
case "$PWD/" in
"$checkout"/*) workdir=$PWD ;;
*) workdir=$checkout ;;
esac

# The host's pip settings name host folders; inside there are none.
exec env -u PIP_FIND_LINKS -u VIRTUAL_ENV -u PYTHONPATH -u PYTHONHOME \
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  unshare --mount --propagation private -- bash -euc '
    root=$1 checkout=$2 workdir=$3 usr_local=$4
    shift 4
    mkdir -p "$root$checkout"
    mount --bind "$checkout" "$root$checkout"
    if [ -n "$usr_local" ]; then
      mkdir -p "$root/usr/local"
      mount --bind "$usr_local" "$root/usr/local"
    fi
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    exec chroot "$root" /bin/sh -c "cd \"\$0\" && exec \"\$@\"" "$workdir" "$@"
  ' sh "$root" "$checkout" "$workdir" "${ZORVAN_SID_USR_LOCAL:+$(realpath "$ZORVAN_SID_USR_LOCAL")}" "$@"
