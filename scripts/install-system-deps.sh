#!/usr/bin/env bash
# Installs the Debian/Ubuntu packages the build and the tests need, only those
# that are missing. Uses sudo when not run as root.
#
#   scripts/install-system-deps.sh                 what make demo / make test need
#   scripts/install-system-deps.sh clang valgrind  and more, for the hardening targets
#   scripts/install-system-deps.sh aarch64         the cross build of make test-aarch64
#
# "clang" also brings the sanitizer runtimes that match the installed clang,
# which libFuzzer and the sanitizer builds link against. "aarch64" is the
# cross compiler, the user-mode emulator, and the arm64 builds of the
# libraries the C++ tests link, from Debian's multiarch archive.
set -euo pipefail

PYTHON=${PYTHON:-python3.12}
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
updated=""

is_installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

install() {
  local missing=()
  for pkg in "$@"; do is_installed "$pkg" || missing+=("$pkg"); done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing system packages: ${missing[*]}"
  if [ -z "$updated" ]; then $sudo apt-get update -qq; updated=1; fi
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

packages=(g++ make libgtest-dev libdeflate-dev)
for pkg in "$@"; do
  if [ "$pkg" = aarch64 ]; then
    if ! dpkg --print-foreign-architectures | grep -qx arm64; then
      $sudo dpkg --add-architecture arm64
      updated=""
    fi
    packages+=(g++-aarch64-linux-gnu qemu-user libgtest-dev:arm64 libdeflate-dev:arm64)
  else
    packages+=("$pkg")
  fi
done
# A distribution's own Python keeps venv and the C headers in packages of
# their own; a Python built from source (pyenv, python.org) has both.
if headers=$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_paths()["include"])' 2>/dev/null); then
  if ! "$PYTHON" -c 'import ensurepip, venv' 2>/dev/null || [ ! -f "$headers/Python.h" ]; then
    version=$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    packages+=("python$version-venv" "python$version-dev")
  fi
fi
install "${packages[@]}"

for pkg in "$@"; do
  if [ "$pkg" = clang ]; then
    major=$(clang -dumpversion | cut -d. -f1)
    install "libclang-rt-$major-dev"
  fi
done
