#!/usr/bin/env bash
# Debian sid in a folder, for the CPython releases this Debian 12 machine
# lacks (3.14, 3.15 and their debug builds for x86-64; 3.13 to 3.15 for
# arm64, run under qemu-user). Needs root.
#
#   tools/sid/root.sh make ARCH       make build/sid-ARCH once (amd64 or arm64)
#   tools/sid/run.sh ARCH COMMAND...  run COMMAND inside it (tools/sid/run.sh)
#
# ZORVAN_SID_DIR names another folder for the roots (another checkout's
# build/, say), which several checkouts can then share.
#
# amd64 gets the interpreters, their headers and debug builds, a compiler,
# and what the tests start (gnome-keyring, D-Bus, zsh, bash-completion).
# arm64 gets the interpreters and their headers only: its second debootstrap
# stage would run emulated for a quarter of an hour, so the packages are
# only unpacked, and nothing is ever built inside it (the modules are
# cross-built with Zig on this machine).
set -euo pipefail
cd "$(dirname "$0")/../.."

command=${1:?usage: tools/sid/root.sh make amd64|arm64}
arch=${2:?usage: tools/sid/root.sh make amd64|arm64}
[ "$command" = make ] || { echo "tools/sid/root.sh: unknown command $command" >&2; exit 2; }
root=${ZORVAN_SID_DIR:-build}/sid-$arch

# qemu-user runs arm64 programs for the kernel, once registered; the
# registration is checked every time, since it does not outlive a restart
# of the machine while the root does.
if [ "$arch" = arm64 ]; then
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  fi
  if ! dpkg -s qemu-user-static binfmt-support >/dev/null 2>&1; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq qemu-user-static binfmt-support
  fi
  update-binfmts --enable qemu-aarch64 >/dev/null 2>&1 || true
fi
[ -e "$root/.made" ] && exit 0

# The archive this machine's own apt sources name.
mirror=$(sed -n 's/^URIs: *\(http[^ ]*debian\)\/\?$/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n 1)
mirror=${mirror:-http://deb.debian.org/debian}
command -v debootstrap >/dev/null || { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap; }

rm -rf "$root" && mkdir -p "$root"
case "$arch" in
amd64)
  packages=python3.14-dev,python3.15-dev,python3.14-venv,python3.15-venv,python3.14-dbg,python3.15-dbg
  packages=$packages,g++,make,cmake,ca-certificates,gnome-keyring,dbus,dbus-x11,zsh,bash-completion,procps
  debootstrap --variant=minbase --include="$packages" sid "$root" "$mirror" >"$root.log" 2>&1 ||
    { tail -n 20 "$root.log" >&2; exit 1; }
  # pip inside reaches PyPI through the same certificate authorities as here.
  cp /usr/local/share/ca-certificates/*.crt "$root/usr/local/share/ca-certificates/" 2>/dev/null || true
  chroot "$root" update-ca-certificates >/dev/null
  ;;
arm64)
  packages=python3.13-dev,python3.14-dev,python3.15-dev
  debootstrap --foreign --arch=arm64 --variant=minbase --include="$packages" sid "$root" "$mirror" >"$root.log" 2>&1 ||
    { tail -n 20 "$root.log" >&2; exit 1; }
  for deb in "$root"/var/cache/apt/archives/*.deb; do dpkg-deb -x "$deb" "$root"; done
  ;;
*)
  echo "tools/sid/root.sh: no such architecture: $arch (amd64 or arm64)" >&2
  exit 2
  ;;
esac
touch "$root/.made"
