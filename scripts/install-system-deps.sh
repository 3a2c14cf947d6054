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
# Another apt-get or dpkg (a second make, the system's own updates) holds the
# package manager's locks for a while: wait for them, up to ten minutes, rather
# than fail. apt-get waits for dpkg's lock itself; the package lists' lock,
# which update takes, it does not wait for, so update is tried again.
wait_for_lock=(-o DPkg::Lock::Timeout=600)

apt_update() {
  local output
  for _ in $(seq 60); do
    if output=$($sudo apt-get "${wait_for_lock[@]}" update -qq 2>&1); then
      [ -z "$output" ] || echo "$output"
      return 0
    fi
    grep -q "Could not get lock" <<<"$output" || break
    echo "waiting for another apt-get to release the package lists"
    sleep 10
  done
  echo "$output" >&2
  return 1
}

is_installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

install() {
  local missing=()
  for pkg in "$@"; do is_installed "$pkg" || missing+=("$pkg"); done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing system packages: ${missing[*]}"
  if [ -z "$updated" ]; then apt_update; updated=1; fi
  DEBIAN_FRONTEND=noninteractive $sudo apt-get "${wait_for_lock[@]}" install -y -qq --no-install-recommends "${missing[@]}"
}

packages=(gcc g++ make libgtest-dev)
for pkg in "$@"; do
  if [ "$pkg" = aarch64 ]; then
    if ! dpkg --print-foreign-architectures | grep -qx arm64; then
      $sudo dpkg --add-architecture arm64
      updated=""
    fi
    packages+=(gcc-aarch64-linux-gnu g++-aarch64-linux-gnu qemu-user libgtest-dev:arm64)
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
