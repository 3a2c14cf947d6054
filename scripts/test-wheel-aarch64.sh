#!/usr/bin/env bash
# Proves the aarch64 wheel on an arm64 CPython rather than assuming it: an
# arm64 python3.14 from Debian unstable (scripts/sid-root.sh arm64), run under
# qemu's user-mode emulator with the root as its library prefix, grades the
# same-bytes set (tests/python/same_bytes.py, pinned fingerprints) and the
# demo's samples with the wheel's module; the x86-64 wheel grades the same
# files on this machine's Python, and every output must be the same bytes.
#
#   scripts/test-wheel-aarch64.sh AARCH64_WHEEL X86_64_WHEEL
#
# PYTHON is the host Python with numpy and Pillow for the demo's samples
# (default: the build venv's).
set -euo pipefail

arm_wheel=$(realpath "${1:?usage: test-wheel-aarch64.sh AARCH64_WHEEL X86_64_WHEEL}")
x86_wheel=$(realpath "${2:?usage: test-wheel-aarch64.sh AARCH64_WHEEL X86_64_WHEEL}")
repo=$(realpath "$(dirname "$0")/..")
python=${PYTHON:-$repo/.venv/bin/python}
[ -n "${SID_ROOT:-}" ] || exec "$repo/scripts/sid-root.sh" arm64 "$0" "$arm_wheel" "$x86_wheel"
root=$SID_ROOT

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for name in aarch64 x86_64; do
  wheel=$arm_wheel
  [ "$name" = aarch64 ] || wheel=$x86_wheel
  # A wheel is a zip of the site-packages tree: unpacked, it goes on sys.path.
  "$python" -m zipfile -e "$wheel" "$work/$name"
  mkdir -p "$work/$name-run/demo"
done
PYTHONPATH=$repo/examples "$python" -c 'import sys, pathlib, samples; samples.write_samples(pathlib.Path(sys.argv[1]))' \
  "$work/x86_64-run/demo"
cp "$work/x86_64-run/demo/"* "$work/aarch64-run/demo/"

same_bytes=$repo/tests/python/same_bytes.py
# PYTHONPATH comes before site-packages: the wheel's module, not one installed.
PYTHONPATH=$work/x86_64 "$python" "$same_bytes" "$work/x86_64-run" >"$work/x86_64.json"
started=$SECONDS
PYTHONPATH=$work/aarch64 qemu-aarch64 -L "$root" "$root/usr/bin/python3.14" "$same_bytes" "$work/aarch64-run" \
  >"$work/aarch64.json"
echo "== aarch64: graded under qemu in $((SECONDS - started)) s"

"$python" - "$work" <<'PY'
import json, sys
work = sys.argv[1]
x86, arm = (json.load(open(f"{work}/{name}.json")) for name in ("x86_64", "aarch64"))
for name, result in (("x86_64", x86), ("aarch64", arm)):
    module = result.pop("module")
    print(f"{name:8} {module}")
    if not module.startswith(f"{work}/{name}/"):
        sys.exit(f"{name}: graded by {module}, not the wheel's module")
print(f"{'case':16} {'x86_64':16} {'aarch64':16}")
for case in x86:
    print(f"{case:16} {x86[case]:16} {arm[case]:16}{'' if x86[case] == arm[case] else '  DIFFERENT'}")
sys.exit(0 if x86 == arm else "the aarch64 wheel's outputs differ from the x86-64 wheel's")
PY
