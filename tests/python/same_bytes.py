"""The same-bytes set: whole applies whose outputs every build of tonvik, on
every architecture and Python, gives to the byte; inputs made from integer
arithmetic as tests/cpp/same_bytes_test.cpp makes them, outputs pinned by its
FNV-1a fingerprints. Standard library only: it runs on an emulated arm64
interpreter with nothing else installed.

`python same_bytes.py FOLDER` grades the set in FOLDER with the tonvik on
sys.path and prints {"module": path, case: fingerprint}, failing when a pinned
output differs; a FOLDER/demo with one .cube and one .png is graded too.
"""

from __future__ import annotations

import json
import struct
import sys
import zlib
from pathlib import Path

import tonvik

# same_bytes_test.cpp's fingerprints; "jpeg" grades the full-chroma output
# again, through the decoder's JPEG path; "hdr" goes through the Radiance
# loader, whose conversion to bytes calls the C library's powf.
PINNED = {
    "ppm_full_chroma": 0x89238162E6A67FC1,
    "ppm_subsampled": 0xCBA7E7EF9AA931C5,
    "png": 0x89238162E6A67FC1,
    "jpeg": 0xDABB3F4BCE8E39B0,
    "hdr": 0xF4B36DB2FBDD7E76,
}


def fingerprint(data: bytes) -> int:
    """FNV-1a, 64 bits."""
    value = 0xCBF29CE484222325
    for byte in data:
        value = ((value ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return value


def mixing_cube() -> str:
    """A curved, channel-mixing 17-point table, in millionths printed by hand."""
    size = 17
    lines = ['TITLE "mixing"', f"LUT_3D_SIZE {size}"]
    for b in range(size):
        for g in range(size):
            for r in range(size):
                red = (r * r * 3125 + g * 700 + b * 300) % 1000001
                green = (g * 62500 * (size - 1 - b) // (size - 1) + r * b * 900) % 1000001
                blue = (1000000 - b * 62500 + r * g * 450) % 1000001
                lines.append(" ".join(f"{v // 1000000}.{v % 1000000:06d}" for v in (red, green, blue)))
    return "\n".join(lines) + "\n"


def noisy_gradient(width: int, height: int) -> bytes:
    """Gradients under xorshift32 noise, so flat areas and edges both occur."""
    state = 2463534242
    rgb = bytearray()
    for y in range(height):
        for x in range(width):
            state ^= (state << 13) & 0xFFFFFFFF
            state ^= state >> 17
            state ^= (state << 5) & 0xFFFFFFFF
            rgb += bytes((x * 255 // (width - 1), (y * 255 // (height - 1) + (state & 31)) & 255, state >> 24))
    return bytes(rgb)


def png(width: int, height: int, rgb: bytes) -> bytes:
    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    rows = b"".join(b"\0" + rgb[y * width * 3:(y + 1) * width * 3] for y in range(height))
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b"")


def radiance(width: int, height: int, rgb: bytes) -> bytes:
    """An uncompressed Radiance picture: the bytes as mantissas under two
    exponents, so the loader's float-to-byte step (powf) sees many values."""
    pixels = bytearray()
    for i in range(width * height):
        pixels += rgb[i * 3:i * 3 + 3] + bytes((127 + i % 2,))
    return f"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y {height} +X {width}\n".encode() + pixels


def grade(folder: Path) -> dict[str, int]:
    """Writes the set into `folder` and grades it: case -> output fingerprint."""
    lut = folder / "mixing.cube"
    lut.write_text(mixing_cube())
    full, small = noisy_gradient(61, 37), noisy_gradient(29, 23)
    inputs = {
        "ppm_full_chroma": b"P6\n61 37\n255\n" + full,
        "ppm_subsampled": b"P6\n29 23\n255\n" + small,
        "png": png(61, 37, full),
        "hdr": radiance(61, 37, full),
    }
    jobs = [(case, lut, folder / f"{case}.in") for case in inputs]
    for case, _, path in jobs:
        path.write_bytes(inputs[case])
    jobs.append(("jpeg", lut, folder / "ppm_full_chroma.jpg"))
    demo = folder / "demo"
    if demo.is_dir():
        jobs.append(("demo", next(demo.glob("*.cube")), next(demo.glob("*.png"))))
    results = {}
    for case, cube, image in jobs:
        output = folder / f"{case}.jpg"
        status = tonvik.apply_lut(str(cube), str(image), str(output))
        if status != "success:ok":
            raise RuntimeError(f"{case}: {status}")
        results[case] = fingerprint(output.read_bytes())
    return results


if __name__ == "__main__":
    results = grade(Path(sys.argv[1]))
    print(json.dumps({"module": tonvik.__file__, **{case: f"{value:016x}" for case, value in results.items()}}))
    wrong = [f"{case}: {results[case]:016x}, pinned {value:016x}" for case, value in PINNED.items()
             if results[case] != value]
    sys.exit("\n".join(wrong) or None)
