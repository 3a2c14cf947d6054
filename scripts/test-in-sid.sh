#!/usr/bin/env bash
# Runs the Python test suite against an installed wheel on the CPython
# releases of Debian unstable that the machine itself lacks, in the root that
# scripts/sid-root.sh builds and caches.
#
#   scripts/test-in-sid.sh WHEEL [PYTHON_VERSION...]    (default: 3.14 3.15)
#
# Each version gets a virtual environment inside the root, made once with the
# test dependencies (downloaded here by PIP, the build venv's pip, as wheels
# for that version; installed offline in the root). Each run installs WHEEL
# there with pip and runs the suite from the source tree, which is mounted
# read-only at /src with the corpus at /corpus. The mounts live in a mount
# namespace of their own: they vanish with the run, however it ends.
#
# PYTEST_ARGS replaces the default pytest arguments (/src/tests/python).
set -euo pipefail

wheel=$(realpath "${1:?usage: test-in-sid.sh WHEEL [PYTHON_VERSION...]}")
shift
versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.14 3.15)
repo=$(realpath "$(dirname "$0")/..")
pip=${PIP:-$repo/.venv/bin/python -m pip}
corpus=${TONVIK_CORPUS_DIR:-$repo/../shared/corpus}
requirements=$repo/requirements-test.txt

# The whole run holds the root's lock: the environments inside it are shared.
[ -n "${SID_ROOT:-}" ] || exec "$repo/scripts/sid-root.sh" amd64 "$0" "$wheel" "$@"
root=$SID_ROOT

# Runs COMMAND inside the root, with the tree, the corpus and the wheels
# folder WHEELS mounted, in a private mount namespace.
in_root() {
  local wheels=$1
  shift
  local mounts="mount -t proc proc $root/proc && mount --bind /dev $root/dev"
  mounts+=" && mount -t tmpfs -o mode=1777 tmpfs $root/dev/shm && mount -t tmpfs -o mode=1777 tmpfs $root/tmp"
  mounts+=" && mount --bind -o ro $repo $root/src && mount --bind -o ro $wheels $root/wheels"
  if [ -d "$corpus" ]; then mounts+=" && mount --bind -o ro $(realpath "$corpus") $root/corpus"; fi
  # fd 9 holds the root's lock (sid-root.sh): no process of the run keeps it.
  unshare --mount --propagation private -- sh -c "$mounts && exec chroot $root \"\$@\"" in-root \
    env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 TMPDIR=/tmp PYTHONDONTWRITEBYTECODE=1 "$@" 9>&-
}

# Without a corpus beside the tree its cases skip, as they do outside.
corpus_env=TONVIK_CORPUS_DIR=/corpus
[ -d "$corpus" ] || corpus_env=TONVIK_CORPUS_DIR=/corpus-absent

status=0
for version in "${versions[@]}"; do
  venv=/opt/venv-$version
  want=$(cat "$requirements" "$0" | sha256sum | cut -d' ' -f1)
  if [ "$(cat "$root$venv/.tonvik-deps" 2>/dev/null)" != "$want" ]; then
    echo "== sid: test dependencies for Python $version (once)"
    downloads=${root%/*}/wheels-$version
    rm -rf "$downloads" "$root$venv"
    abi=cp${version/./}
    $pip download -qq --only-binary=:all: --dest "$downloads" --requirement "$requirements" \
      --python-version "$version" --implementation cp --abi "$abi" --platform manylinux_2_28_x86_64 \
      --platform manylinux_2_17_x86_64 --platform manylinux2014_x86_64
    in_root "$downloads" "python$version" -m venv "$venv"
    in_root "$downloads" "$venv/bin/python" -m pip install --quiet --no-index --find-links /wheels \
      --requirement /src/requirements-test.txt
    echo "$want" >"$root$venv/.tonvik-deps"
  fi

  echo "== sid: Python $version, $(basename "$wheel")"
  in_root "$(dirname "$wheel")" "$venv/bin/python" -m pip install --quiet --no-index --no-deps \
    --force-reinstall "/wheels/$(basename "$wheel")"
  # The tree is read-only: pytest keeps no cache, Python writes no bytecode.
  in_root "$(dirname "$wheel")" "$corpus_env" TONVIK_SKIP_MARKS="packaging browser" sh -c "cd /tmp && exec $venv/bin/python -m pytest \
    -p no:cacheprovider --rootdir /src ${PYTEST_ARGS:-/src/tests/python}" || status=$?
done
exit $status
