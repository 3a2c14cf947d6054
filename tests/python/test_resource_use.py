"""Thousands of calls, failing in every way the module knows, must not grow
the process: every path releases what it took."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import image_forge as forge
from support import write_cube

# What the 2,400 measured calls may add to the resident set once the
# allocator has warmed up: far above allocator noise (well under 1 MB here),
# while a leak of 2 KB per call (a small pixel buffer, a LUT strip, a path
# string or two) adds 4.8 MB and fails.
RSS_GROWTH_LIMIT = 4 * 1024 * 1024

_CHILD = r"""
import json, sys
import tonvik

folder = sys.argv[1]
lut, broken_lut, image, broken_image, output = (folder + "/" + n for n in
    ("identity.cube", "broken.cube", "tiny.png", "broken.png", "out.jpg"))
calls = [
    lambda: tonvik.apply_lut(lut, image, output),                     # success
    lambda: tonvik.apply_lut(lut, broken_image, output),              # status
    lambda: tonvik.apply_lut(lut, folder + "/absent.png", output),    # status
    lambda: tonvik.apply_lut(lut, folder + "/bomb.png", output),      # status
    lambda: tonvik.apply_lut(lut, folder + "/cut.tga", output),       # success, damaged
    lambda: tonvik.apply_lut(folder + "/absent.cube", image, output), # OSError
    lambda: tonvik.apply_lut(broken_lut, image, output),              # ValueError
    lambda: tonvik.apply_lut(lut, image),                             # TypeError
    lambda: tonvik.apply_lut(lut, 3, output),                         # TypeError
    lambda: tonvik.apply_lut(lut, "\udcff", output),                  # UnicodeEncodeError
    lambda: tonvik.apply_lut(lut, image, output, nope=1),             # TypeError
    lambda: tonvik.apply_lut(lut + "\0x", image, output),             # NUL in a path
]

def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096

def round_of_calls():
    for call in calls:
        try:
            call()
        except Exception:
            pass

for _ in range(50):  # warm-up: caches, interned names, allocator arenas
    round_of_calls()
before = resident_bytes()
for _ in range(200):
    round_of_calls()
after = resident_bytes()
print(json.dumps({"before": before, "after": after, "calls": 200 * len(calls)}))
"""


def test_many_calls_keep_resident_memory_flat(tmp_path: Path) -> None:
    write_cube(tmp_path / "identity.cube")
    (tmp_path / "broken.cube").write_text("LUT_3D_SIZE 2\n0 0 0\n")
    (tmp_path / "tiny.png").write_bytes(forge.png(forge.gradient(5, 3)))
    (tmp_path / "broken.png").write_bytes(forge.truncated(forge.png(forge.gradient(40, 20)), 200))
    (tmp_path / "bomb.png").write_bytes(forge.png(forge.gradient(2, 2), declared_size=(30000, 30000)))
    (tmp_path / "cut.tga").write_bytes(forge.truncated(forge.tga(forge.gradient(30, 10)), 400))
    # Under AddressSanitizer (make test-sanitize) freed blocks wait in a
    # quarantine of up to 256 MB, which would read as growth; without the
    # sanitizer the variable is inert.
    env = dict(os.environ)
    env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"), "quarantine_size_mb=0"]))
    completed = subprocess.run(
        [sys.executable, "-c", _CHILD, str(tmp_path)],
        capture_output=True,
        text=True,
        timeout=300,
        check=False,
        env=env,
    )
    assert completed.returncode == 0, completed.stderr[-4000:]
    result = json.loads(completed.stdout)
    assert result["calls"] == 2400
    assert result["after"] - result["before"] < RSS_GROWTH_LIMIT, result
