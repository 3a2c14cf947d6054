"""A LUT path that never ends, or a huge cube file, costs bounded memory: the
reader stops at 256 points per axis (2^24 data lines) or at a line longer than
1 MiB, with the count-mismatch ValueError. Each case runs in a child process
whose peak resident set (VmHWM, which exec resets) is checked; a reader that
never stops is caught by the child's timeout."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import pytest

import image_forge as forge
from isolation import PEAK_MEASURES_TOUCHED_MEMORY
import tonvik

COUNT_MISMATCH = "[lut.exception.parse_error.0] parse error: The lut element does not match the size of lut"

# The largest table's entry list is 48 MiB (3 bytes for each of 2^24 entries)
# and its last growth copies 24 MiB more; with the interpreter that stays well
# below this. Before the bound, a 128 MB file of short lines peaked at 1 GB.
# Under AddressSanitizer the peak also counts shadow and quarantined blocks:
# a looser limit there still tells the bounded reader from the gigabyte.
PEAK_LIMIT = (128 if PEAK_MEASURES_TOUCHED_MEMORY else 512) * 1024 * 1024
# Reading 2^24 random lines (about 4 GB of /dev/urandom) takes most of a
# minute on a loaded two-core machine; this only catches a reader that never stops.
CHILD_TIMEOUT = 900

_CHILD = r"""
import json, sys
import tonvik
try:
    tonvik.apply_lut(sys.argv[1], sys.argv[2], sys.argv[3])
    outcome = "returned"
except ValueError as error:
    outcome = str(error)
with open("/proc/self/status") as status:
    peak = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmHWM:"))
print(json.dumps({"outcome": outcome, "peak": peak}))
"""


def read_in_child(lut: str, tmp_path: Path) -> tuple[str, int]:
    image = tmp_path / "tiny.png"
    image.write_bytes(forge.png(forge.gradient(4, 4)))
    completed = subprocess.run(
        [sys.executable, "-c", _CHILD, lut, str(image), str(tmp_path / "out.jpg")],
        capture_output=True,
        text=True,
        timeout=CHILD_TIMEOUT,
        check=False,
    )
    assert completed.returncode == 0, completed.stderr[-4000:]
    result = json.loads(completed.stdout)
    assert not (tmp_path / "out.jpg").exists()
    return result["outcome"], result["peak"]


@pytest.mark.parametrize(
    "device",
    [
        pytest.param("/dev/urandom", id="urandom-after-2^24-lines", marks=pytest.mark.slow),
        pytest.param("/dev/zero", id="zero-after-1MiB-without-line-end"),
    ],
)
def test_endless_device_ends_in_the_count_error(device: str, tmp_path: Path) -> None:
    outcome, peak = read_in_child(device, tmp_path)
    assert outcome == COUNT_MISMATCH
    assert peak < PEAK_LIMIT, f"{peak / 2**20:.0f} MiB"


def test_128_mb_of_short_lines_stays_within_the_largest_table(tmp_path: Path) -> None:
    lut = tmp_path / "huge.cube"
    with lut.open("wb") as out:
        out.write(b"LUT_3D_SIZE 256\n")
        for _ in range(64):
            out.write(b"0\n" * (1 << 20))  # 2 MiB: 2^20 data lines
    assert lut.stat().st_size > 128 * 10**6
    outcome, peak = read_in_child(str(lut), tmp_path)
    assert outcome == COUNT_MISMATCH
    assert peak < PEAK_LIMIT, f"{peak / 2**20:.0f} MiB"


def test_size_above_256_is_refused_and_the_last_size_line_wins(tmp_path: Path) -> None:
    image = tmp_path / "tiny.png"
    image.write_bytes(forge.png(forge.gradient(4, 4)))
    corners = "".join(f"{r} {g} {b}\n" for b in (0, 1) for g in (0, 1) for r in (0, 1))
    lut = tmp_path / "big.cube"
    lut.write_text("LUT_3D_SIZE 257\n")
    with pytest.raises(ValueError) as raised:
        tonvik.apply_lut(str(lut), str(image), str(tmp_path / "out.jpg"))
    assert str(raised.value) == COUNT_MISMATCH
    lut.write_text("LUT_3D_SIZE 257\n" + corners + "LUT_3D_SIZE 2\n")
    assert tonvik.apply_lut(str(lut), str(image), str(tmp_path / "out.jpg")) == "success:ok"


def test_an_overlong_line_is_refused_even_as_a_comment(tmp_path: Path) -> None:
    image = tmp_path / "tiny.png"
    image.write_bytes(forge.png(forge.gradient(4, 4)))
    corners = "".join(f"{r} {g} {b}\n" for b in (0, 1) for g in (0, 1) for r in (0, 1))
    lut = tmp_path / "remark.cube"
    for length, expected in ((1 << 20, None), ((1 << 20) + 1, COUNT_MISMATCH)):
        lut.write_text("#" * length + "\r\nLUT_3D_SIZE 2\n" + corners)
        if expected is None:
            assert tonvik.apply_lut(str(lut), str(image), str(tmp_path / "out.jpg")) == "success:ok"
        else:
            with pytest.raises(ValueError, match=r"parse_error\.0"):
                tonvik.apply_lut(str(lut), str(image), str(tmp_path / "out.jpg"))
