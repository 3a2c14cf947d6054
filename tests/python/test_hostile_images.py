"""Broken and hostile image files: each is refused with a status or decoded to
defined pixels, in its own process (a hang hits the child's timeout), and
never leaks memory contents into the output. A small file that is refused or
fails never costs the memory its header claims.

The decode_* tests run the pipeline's decoder in the C++ driver (make
test-valgrind runs exactly these under memcheck); the apply_* tests go through
the Python module end to end."""

from __future__ import annotations

import struct
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

import pytest

import image_forge as forge
from isolation import PEAK_MEASURES_TOUCHED_MEMORY, Applied, apply_in_child, decode_in_child, measure_in_child
from support import CORPUS, IMAGE_NOT_FOUND, IMAGE_TOO_LARGE, OK, write_cube

OLD_CONTENTS = b"previous contents, must survive"
CORPUS_IMAGES = CORPUS / "images"
# What a call that refuses or fails on a small file may add to the peak
# resident set: the LUT, stdio buffers, allocator noise. The bombs and the
# lying headers tested here would take hundreds of MB or more.
FAILURE_PEAK_GROWTH = 16 * 1024 * 1024

def assert_small_failure_peak(applied: Applied) -> None:
    if PEAK_MEASURES_TOUCHED_MEMORY:
        assert applied.peak_growth < FAILURE_PEAK_GROWTH


STATUS_OF = {"decoded": OK, "undecodable": IMAGE_NOT_FOUND, "too_large": IMAGE_TOO_LARGE}


def _bad_palette_bmp() -> bytes:
    palette = [(10, 200, 30), (250, 5, 100)]
    return forge.bmp_indexed(8, 4, palette, bytes(range(32)))


def _bad_palette_expected() -> forge.Picture:
    colours = {0: (10, 200, 30), 1: (250, 5, 100)}
    rgb = b"".join(bytes(colours.get(i, (0, 0, 0))) for i in range(32))
    return forge.Picture(8, 4, rgb)


# PSD stores colour over a white matte where alpha is partial, and the loader
# undoes it in single precision: 255 + (c - 255) * (255 / alpha), clamped to
# 0 below. The colours run from far below the matte up to full white.
PSD_MATTE_ALPHA = bytes((128, 128, 128, 200, 1, 0, 255, 64))
PSD_MATTE_PICTURE = forge.Picture(
    8, 1, bytes((0, 0, 0, 10, 100, 250, 255, 255, 255, 90, 200, 254, 254, 255, 0, 7, 8, 9, 1, 2, 3, 200, 191, 192))
)


def _float32(value: float) -> float:
    return struct.unpack("f", struct.pack("f", value))[0]


def _psd_unmatted() -> forge.Picture:
    rgb = bytearray(PSD_MATTE_PICTURE.rgb)
    for i, alpha in enumerate(PSD_MATTE_ALPHA):
        if alpha in (0, 255):
            continue
        ra = _float32(1.0 / _float32(alpha / 255.0))
        inv_a = _float32(255.0 * _float32(1.0 - ra))
        for c in range(3):
            value = _float32(_float32(rgb[3 * i + c] * ra) + inv_a)
            rgb[3 * i + c] = int(value) if value > 0 else 0
    return forge.Picture(PSD_MATTE_PICTURE.width, PSD_MATTE_PICTURE.height, bytes(rgb))


TGA_PICTURE = forge.gradient(40, 20)
BMP_HEADER = forge.bmp(TGA_PICTURE)[:54]
_bmp_header_only = lambda width, height: BMP_HEADER[:18] + struct.pack("<ii", width, height) + BMP_HEADER[26:]  # noqa: E731
TGA_HEADER = 18
TGA_KEPT_PIXELS = 333
HDR_PICTURE_DATA, _ = forge.hdr(7, 6, rle=False)
HDR_HEADER = len(b"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 6 +X 7\n")
HDR_RLE_DATA, _ = forge.hdr(64, 8, rle=True)


@dataclass(frozen=True)
class Case:
    make: Callable[[], bytes]
    status: str  # decode status: "decoded", "undecodable" or "too_large"
    # For a decoded case, the exact pixels; None where only determinism is checked.
    expected: Callable[[], forge.Picture] | None = None


CASES = {
    # A run-length scanline cut short: at end of file every count read is 0.
    "hdr-rle-truncated": Case(lambda: forge.truncated(HDR_RLE_DATA, len(HDR_RLE_DATA) // 2), "undecodable"),
    "hdr-rle-zero-count": Case(lambda: HDR_RLE_DATA[:-40] + bytes(40), "undecodable"),
    # Pixels cut short: refused, where the loader once filled the rest with
    # zeros (and before that with old heap).
    "hdr-flat-truncated": Case(lambda: forge.truncated(HDR_PICTURE_DATA, HDR_HEADER + 4 * 20), "undecodable"),
    "tga-raw-truncated": Case(
        lambda: forge.truncated(forge.tga(TGA_PICTURE), TGA_HEADER + 3 * TGA_KEPT_PIXELS), "undecodable"
    ),
    "tga-rle-truncated": Case(lambda: forge.truncated(forge.tga(forge.runs(40, 20), rle=True), 300), "undecodable"),
    # A chunk that declares a gigabyte and ends: the failure must not first
    # touch the gigabyte it was sized for.
    "png-idat-declares-1gb": Case(lambda: forge.png_chunk_declaring(1 << 30, after_real_chunk=False), "undecodable"),
    "png-second-idat-declares-1gb": Case(
        lambda: forge.png_chunk_declaring(1 << 30, after_real_chunk=True), "undecodable"
    ),
    "png-truncated": Case(lambda: forge.truncated(forge.png(forge.gradient(40, 20)), 200), "undecodable"),
    "psd-truncated": Case(lambda: forge.truncated(forge.psd(forge.gradient(40, 20)), 500), "undecodable"),
    # Colours darker than their matte: the conversion of a negative value to a
    # byte was undefined and came out white.
    "psd-alpha-below-matte": Case(
        lambda: forge.psd(PSD_MATTE_PICTURE, alpha=PSD_MATTE_ALPHA), "decoded", _psd_unmatted
    ),
    "gif-truncated": Case(lambda: forge.truncated(forge.gif(forge.few_colours(40, 20)), 60), "undecodable"),
    "jpeg-truncated": Case(lambda: forge.truncated(forge.jpeg(forge.gradient(64, 64)), 700), "undecodable"),
    "bmp-palette-index-past-palette": Case(_bad_palette_bmp, "decoded", _bad_palette_expected),
    "pgm16-grey": Case(
        lambda: forge.pnm(forge.gradient(33, 9), grey_scale=True, bit_depth=16),
        "decoded",
        lambda: forge.grey(forge.gradient(33, 9)),
    ),
    # Valid, and large enough that the 8-bit conversion of 16-bit data ran
    # far past its buffer.
    "pgm16-large": Case(
        lambda: forge.pgm16_header(3000, 3000) + bytes(3000 * 3000 * 2),
        "decoded",
        lambda: forge.zeros(3000, 3000),
    ),
    "pgm16-truncated": Case(lambda: forge.pgm16_header(300, 200) + b"\xff" * 1000, "undecodable"),
    "pnm-height-overflows-int": Case(lambda: b"P6\n1 99999999999\n255\n" + bytes(30), "too_large"),
    "pnm-width-overflows-int": Case(lambda: b"P5\n4294967297 1\n255\n" + bytes(30), "too_large"),
    "pnm-maxval-overflows-int": Case(lambda: b"P5\n2 2\n99999999999\n" + bytes(30), "undecodable"),
    "pic-bad-packet-type": Case(lambda: forge.pic(forge.gradient(8, 8), packet_type=3), "undecodable"),
    "pic-truncated-body": Case(lambda: forge.truncated(forge.pic(forge.gradient(8, 8)), 120), "undecodable"),
    "pic-mixed-rle-overrun": Case(
        lambda: forge.pic(forge.gradient(8, 8), packet_type=2)[:108] + bytes((0x80, 0x7F, 0xFF)) + bytes(40),
        "undecodable",
    ),
    "jpeg-dc-overflow-baseline": Case(lambda: forge.jpeg_dc_overflow(progressive=False), "undecodable"),
    "jpeg-dc-overflow-progressive": Case(lambda: forge.jpeg_dc_overflow(progressive=True), "undecodable"),
    # Its codes draw on bits the file does not have: refused (the draw once
    # shifted by 32 or more, which was undefined).
    "jpeg-progressive-ac-scan-without-data": Case(forge.jpeg_progressive_ac_scan_without_data, "undecodable"),
    "jpeg-huffman-table-too-long": Case(
        lambda: forge.jpeg_oversized_huffman_table(forge.jpeg(forge.gradient(16, 16))), "undecodable"
    ),
    "empty-file": Case(lambda: b"", "undecodable"),
    "text-file": Case(lambda: b"LUT_3D_SIZE 2\n0 0 0\n", "undecodable"),
    # Decompression bombs and sizes a JPEG cannot hold: refused before decoding.
    "png-bomb-20000-square": Case(lambda: forge.png_bomb(20000, 20000), "too_large"),
    "png-side-65536": Case(
        lambda: forge.png(forge.gradient(2, 2), declared_size=(65536, 1)), "too_large"
    ),
    # Beyond the loader's own 2^30-byte bound: still too large, not unreadable.
    "png-rgb-declares-20000-square": Case(
        lambda: forge.png(forge.gradient(2, 2), declared_size=(20000, 20000)), "too_large"
    ),
    "png-rgba-declares-65535-square": Case(
        lambda: forge.png(forge.gradient(2, 2), colour="rgba", declared_size=(65535, 65535)), "too_large"
    ),
    "png-palette-declares-30000-square": Case(
        lambda: forge.png(forge.gradient(2, 2), colour="palette", declared_size=(30000, 30000)), "too_large"
    ),
    "png-pixels-just-over-limit": Case(
        lambda: forge.png(forge.gradient(2, 2), declared_size=(13378, 13377)), "too_large"
    ),
    "bmp-declares-huge": Case(
        lambda: forge.bmp(forge.gradient(2, 2))[:18] + (70000).to_bytes(4, "little") + forge.bmp(forge.gradient(2, 2))[22:],
        "too_large",
    ),
    "pic-declares-huge-valid-packets": Case(
        lambda: forge.pic(forge.gradient(1, 1), declared_size=(20000, 15000)), "too_large"
    ),
    "pic-declares-huge-broken-packets": Case(
        lambda: forge.pic(forge.gradient(1, 1), packet_type=3, declared_size=(20000, 15000))[:104] + b"\x00\x07",
        "undecodable",
    ),
    "psd-declares-huge": Case(
        lambda: forge.psd(forge.gradient(2, 2))[:14] + (30000).to_bytes(4, "big") * 2 + forge.psd(forge.gradient(2, 2))[22:],
        "too_large",
    ),
    "pgm-declares-huge": Case(lambda: forge.pgm16_header(60000, 60000) + bytes(64), "too_large"),
    "hdr-declares-huge": Case(lambda: b"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 30000 +X 30000\n" + bytes(64), "too_large"),
    # Header-only files whose sides the screen read otherwise than the loader:
    # a top-down BMP's negative height (54 bytes took 0.4-2 GB), or a side of
    # 2^31 or more that a signed read made negative.
    "bmp-top-down-header-only": Case(lambda: _bmp_header_only(12000, -12000), "undecodable"),
    "bmp-top-down-declares-huge": Case(lambda: _bmp_header_only(20000, -20000), "too_large"),
    "bmp-negative-width": Case(lambda: _bmp_header_only(-12000, 12000), "too_large"),
    "bmp-zero-height": Case(lambda: _bmp_header_only(12000, 0), "undecodable"),
    "psd-side-over-2-31": Case(
        lambda: forge.psd(forge.gradient(2, 2))[:14] + struct.pack(">II", 3 << 30, 2) + forge.psd(forge.gradient(2, 2))[22:],
        "too_large",
    ),
    "hdr-negative-height": Case(lambda: b"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y -12000 +X 12000\n", "undecodable"),
    # Exactly the pixel limit, 12470 x 14351 = 178,956,970: not too large, but
    # far more than its file holds; one row more is too large.
    "pnm-pixels-at-limit": Case(lambda: b"P6\n12470 14351\n255\n" + bytes(64), "undecodable"),
    "pnm-pixels-row-over-limit": Case(lambda: b"P6\n12470 14352\n255\n" + bytes(64), "too_large"),
    # A maxval of 0 leaves nothing to scale samples by.
    "pnm-maxval-zero": Case(lambda: b"P5\n2 2\n0\n" + bytes(4), "undecodable"),
}


def _write(tmp_path: Path, name: str) -> Path:
    path = tmp_path / f"{name}.img"
    path.write_bytes(CASES[name].make())
    return path


@pytest.mark.parametrize("from_memory", [False, True], ids=["file", "memory"])
@pytest.mark.parametrize("name", CASES)
def test_decode_hostile(tmp_path: Path, name: str, from_memory: bool) -> None:
    case = CASES[name]
    path = _write(tmp_path, name)
    first = decode_in_child(path, from_memory=from_memory)
    assert first.status == case.status
    if case.status != "decoded":
        return
    if case.expected is not None:
        expected = case.expected()
        assert (first.width, first.height) == (expected.width, expected.height)
        assert first.rgb == expected.rgb
    else:
        # Whatever a damaged file decodes to, it comes from the file alone.
        assert decode_in_child(path, from_memory=from_memory) == first


@pytest.mark.parametrize("name", CASES)
def test_apply_hostile(tmp_path: Path, identity_cube: Path, name: str) -> None:
    case = CASES[name]
    image = _write(tmp_path, name)
    output = tmp_path / "out.jpg"
    output.write_bytes(OLD_CONTENTS)
    first = apply_in_child(identity_cube, image, output)
    assert first.status == STATUS_OF[case.status]
    if case.status != "decoded":
        assert_small_failure_peak(first)
        assert output.read_bytes() == OLD_CONTENTS
        return
    written = output.read_bytes()
    assert written[:2] == b"\xff\xd8"
    # A second process, with a different heap history, writes the same bytes.
    again = apply_in_child(identity_cube, image, tmp_path / "again.jpg")
    assert again.status == OK
    assert (tmp_path / "again.jpg").read_bytes() == written


@pytest.fixture
def identity_cube(tmp_path: Path) -> Path:
    return write_cube(tmp_path / "identity.cube")


def test_peak_check_sees_a_child_touch_100_mb() -> None:
    """The check above, checked: a child that touches 100 MB must read as at
    least that much growth, even when pytest's own peak is higher still (a
    peak inherited across exec would hide it)."""
    ballast = bytearray(b"\x01") * (300 << 20)
    del ballast
    touched = measure_in_child("len(bytearray(b'\\x01') * (100 << 20))")
    assert touched.result == 100 << 20
    # Pages the child already had resident before the bytearray (the
    # interpreter's own arenas) may be reused by it: allow a few MB of them.
    assert touched.peak_growth >= 95 << 20 > FAILURE_PEAK_GROWTH
    idle = measure_in_child("len(b'')")
    assert idle.peak_growth < FAILURE_PEAK_GROWTH


# ---------------------------------------------------------------- third-party files


def _corpus_files() -> list[str]:
    if not CORPUS_IMAGES.is_dir():
        return ["<corpus absent>"]
    return sorted(p.name for p in CORPUS_IMAGES.iterdir() if p.name != "MANIFEST.md")


@pytest.mark.corpus
@pytest.mark.parametrize("name", _corpus_files())
def test_decode_corpus_file(name: str) -> None:
    path = CORPUS_IMAGES / name
    first = decode_in_child(path)
    assert first.status in STATUS_OF
    if first.status == "decoded":
        assert decode_in_child(path, from_memory=True) == first


@pytest.mark.corpus
@pytest.mark.parametrize(
    ("name", "status"),
    [
        ("poc_stb_issue1859_pic_nullderef.pic", IMAGE_NOT_FOUND),
        ("pnm_pillow_hopper_16bit.pgm", OK),
        ("pnm_pillow_negative_size.ppm", IMAGE_TOO_LARGE),
        ("bmp_suite_b_pal8badindex.bmp", OK),
        ("bmp_suite_b_reallybig.bmp", IMAGE_TOO_LARGE),
        ("gif_pillow_decompression_bomb.gif", IMAGE_NOT_FOUND),
    ],
)
def test_apply_corpus_crashers(tmp_path: Path, identity_cube: Path, name: str, status: str) -> None:
    output = tmp_path / "out.jpg"
    result = apply_in_child(identity_cube, CORPUS_IMAGES / name, output)
    assert result.status == status
    if status != OK:
        assert_small_failure_peak(result)
    assert output.exists() == (status == OK)


@pytest.mark.corpus
@pytest.mark.parametrize(
    ("name", "keep", "status"),
    [
        ("hdr_vips_sample.hdr", 20000, "undecodable"),
        ("tga_pillow_200x32_la_bl_raw.tga", 3000, "undecodable"),
    ],
)
def test_decode_truncated_corpus_file(tmp_path: Path, name: str, keep: int, status: str) -> None:
    path = tmp_path / name
    path.write_bytes((CORPUS_IMAGES / name).read_bytes()[:keep])
    result = decode_in_child(path)
    assert result.status == status
    if status == "decoded":
        assert decode_in_child(path) == result
