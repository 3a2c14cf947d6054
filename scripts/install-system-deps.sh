#!/usr/bin/env bash
# Installs the Debian/Ubuntu packages the build and the tests need, only those
# that are missing. Uses sudo when not run as root.
#
#   scripts/install-system-deps.sh                 what make demo / make test need
#   scripts/install-system-deps.sh clang valgrind  and more, for the hardening targets
#
# "clang" also brings the sanitizer runtimes that match the installed clang,
# which libFuzzer and the sanitizer builds link against.
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

packages=(g++ make libgtest-dev libdeflate-dev "$@")
# A distribution's own Python 3.12 keeps venv and the C headers in packages of
# their own; a Python built from source (pyenv, python.org) has both.
if headers=$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_paths()["include"])' 2>/dev/null); then
  if ! "$PYTHON" -c 'import ensurepip, venv' 2>/dev/null || [ ! -f "$headers/Python.h" ]; then
    packages+=(python3.12-venv python3.12-dev)
  fi
fi
install "${packages[@]}"

for pkg in "$@"; do
  if [ "$pkg" = clang ]; then
    major=$(clang -dumpversion | cut -d. -f1)
    install "libclang-rt-$major-dev"
  fi
done
