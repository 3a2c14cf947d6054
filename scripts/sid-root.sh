#!/usr/bin/env bash
# Builds, once, a small Debian unstable root file system with the CPython
# releases that the machine's own Pythons lack (3.14 and 3.15). The roots live
# in the user's cache, outside the repository, and are rebuilt only when this
# script changes.
#
#   scripts/sid-root.sh ARCH                  builds the root if needed, prints its path
#   scripts/sid-root.sh ARCH COMMAND [ARG...] and runs COMMAND with SID_ROOT set to
#                                             it, holding the root's lock throughout
#
#   amd64: a root to chroot into: python3.14, python3.15 and their venv modules,
#          every package installed
#   arm64: a root for qemu-aarch64 -L: only unpacked (no arm64 program can run
#          here to configure it), python3.14 and what it loads
#
# One build or command at a time per root, across worktrees: a command never
# sees its root rebuilt under it. TONVIK_CACHE_DIR moves the cache (default
# ~/.cache/tonvik); DEBIAN_MIRROR picks another mirror. Needs root
# (debootstrap, chroot).
set -euo pipefail

arch=${1:?usage: sid-root.sh amd64|arm64 [COMMAND...]}
shift
cache=${TONVIK_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/tonvik}
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
root=$cache/sid-$arch
stamp=$root/.tonvik-root

case $arch in
  # libstdc++6 runs the C++ decode driver that the image tests call (built on
  # the host, mounted in with the tree); gcc and libc6-dev build the bridge
  # outcome tests' preloaded shim; binutils' nm and the interpreters' test
  # packages (the stable ABI's symbol list) check the module's symbols.
  amd64) include=python3.14,python3.14-venv,libpython3.14-testsuite,python3.15,python3.15-venv,libpython3.15-testsuite,libstdc++6,binutils,gcc,libc6-dev ;;
  arm64) include=python3.14 ;;
  *) echo "sid-root.sh: unknown architecture $arch" >&2; exit 2 ;;
esac

mkdir -p "$cache"
exec 9>"$root.lock"
flock 9

# The root is current when it was made by this very script.
want=$(sha256sum "$0" | cut -d' ' -f1)
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
  command -v debootstrap >/dev/null || "$(dirname "$0")/install-system-deps.sh" debootstrap >&2
  work=$root.partial
  log=$root.log
  rm -rf "$work" "$root"
  echo "sid-root: building the $arch root in $root (once; log in $log)" >&2
  # debootstrap's progress goes to the log, shown when it fails.
  bootstrap() {
    debootstrap "$@" >"$log" 2>&1 || { tail -n 40 "$log" >&2; return 1; }
  }
  if [ "$arch" = amd64 ]; then
    bootstrap --variant=minbase --include="$include" sid "$work" "$mirror"
    # Mount points for the runs (scripts/test-in-sid.sh).
    mkdir -p "$work/src" "$work/corpus" "$work/wheels"
  else
    # --foreign unpacks the essential packages without running anything and
    # only downloads those named in --include: they are unpacked here. No
    # maintainer script ever runs, which a library prefix for qemu does not need.
    bootstrap --foreign --arch=arm64 --variant=minbase --include="$include" sid "$work" "$mirror"
    for deb in "$work"/var/cache/apt/archives/*.deb; do
      dpkg-deb -x "$deb" "$work"
    done
    rm -f "$work"/var/cache/apt/archives/*.deb
  fi
  echo "$want" >"$work/.tonvik-root"
  mv "$work" "$root"
fi

if [ $# -eq 0 ]; then
  echo "$root"
else
  SID_ROOT=$root "$@"
fi
