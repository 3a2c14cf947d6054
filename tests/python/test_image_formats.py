"""Every format the loader reads still decodes to the exact pixels it holds:
the hardening of the loader must not change a valid file's result."""

from __future__ import annotations

import random
import struct
from pathlib import Path

import pytest

import image_forge as forge
import tonvik
from isolation import decode_in_child
from support import CORPUS, OK, write_cube

PICTURE = forge.gradient(37, 11)  # odd sizes: partial PNG passes, BMP padding
GREY = forge.grey(PICTURE)
FEW = forge.few_colours(37, 11)
RUNS = forge.runs(37, 11)
HDR_FLAT, HDR_FLAT_PICTURE = forge.hdr(7, 5, rle=False)
HDR_RLE, HDR_RLE_PICTURE = forge.hdr(37, 11, rle=True)

# (file bytes, the RGB the loader must deliver)
LOSSLESS = [
    pytest.param(forge.png(PICTURE), PICTURE, id="png-rgb8"),
    pytest.param(forge.png(PICTURE, bit_depth=16), PICTURE, id="png-rgb16"),
    pytest.param(forge.png(PICTURE, colour="grey"), GREY, id="png-grey8"),
    pytest.param(forge.png(PICTURE, colour="grey", bit_depth=16), GREY, id="png-grey16"),
    pytest.param(forge.png(PICTURE, colour="grey_alpha"), GREY, id="png-grey-alpha"),
    pytest.param(forge.png(PICTURE, colour="rgba"), PICTURE, id="png-rgba8"),
    pytest.param(forge.png(PICTURE, colour="rgba", bit_depth=16), PICTURE, id="png-rgba16"),
    pytest.param(forge.png(FEW, colour="palette"), FEW, id="png-palette"),
    pytest.param(forge.png(PICTURE, interlaced=True), PICTURE, id="png-interlaced"),
    pytest.param(forge.png(PICTURE, colour="rgba", bit_depth=16, interlaced=True), PICTURE, id="png-interlaced-rgba16"),
    pytest.param(forge.bmp(PICTURE), PICTURE, id="bmp-24"),
    pytest.param(forge.tga(PICTURE), PICTURE, id="tga-raw"),
    pytest.param(forge.tga(RUNS, rle=True), RUNS, id="tga-rle"),
    pytest.param(forge.gif(FEW), FEW, id="gif"),
    pytest.param(forge.psd(PICTURE), PICTURE, id="psd-raw"),
    pytest.param(forge.psd(RUNS, rle=True), RUNS, id="psd-rle"),
    pytest.param(forge.psd(PICTURE, bit_depth=16), PICTURE, id="psd-raw-16"),
    pytest.param(forge.psd(RUNS, rle=True, bit_depth=16), RUNS, id="psd-rle-16"),
    pytest.param(forge.pic(PICTURE), PICTURE, id="pic-raw"),
    pytest.param(forge.pic(PICTURE, packet_type=2), PICTURE, id="pic-mixed-rle"),
    pytest.param(forge.pnm(PICTURE), PICTURE, id="ppm-8"),
    pytest.param(forge.pnm(PICTURE, grey_scale=True), GREY, id="pgm-8"),
    pytest.param(forge.pnm(PICTURE, bit_depth=16), PICTURE, id="ppm-16"),
    pytest.param(forge.pnm(PICTURE, grey_scale=True, bit_depth=16), GREY, id="pgm-16"),
    pytest.param(HDR_FLAT, HDR_FLAT_PICTURE, id="hdr-flat"),
    pytest.param(HDR_RLE, HDR_RLE_PICTURE, id="hdr-rle"),
]


@pytest.mark.parametrize("from_memory", [False, True], ids=["file", "memory"])
@pytest.mark.parametrize(("data", "expected"), LOSSLESS)
def test_decode_lossless_formats_exactly(
    tmp_path: Path, data: bytes, expected: forge.Picture, from_memory: bool
) -> None:
    path = tmp_path / "image"
    path.write_bytes(data)
    result = decode_in_child(path, from_memory=from_memory)
    assert (result.status, result.width, result.height) == ("decoded", expected.width, expected.height)
    assert result.rgb == expected.rgb


@pytest.mark.parametrize("maxval", [1, 15, 100, 254, 256, 1023, 4095, 65534])
def test_pnm_samples_scale_by_their_maxval(tmp_path: Path, maxval: int) -> None:
    # Up to 4096 values from 0 to maxval become value x 255 / maxval rounded,
    # as Pillow gives them, except that an exact half rounds up (as in netpbm).
    values = sorted({v * maxval // 4095 for v in range(4096)})
    sample = (lambda v: struct.pack(">H", v)) if maxval > 255 else (lambda v: bytes((v,)))
    expected = bytes((510 * v + maxval) // (2 * maxval) for v in values)
    grey = b"P5\n%d 1\n%d\n" % (len(values), maxval) + b"".join(map(sample, values))
    colour = b"P6\n%d 1\n%d\n" % (len(values), maxval) + b"".join(map(sample, values * 3))
    halves = [510 * v % (2 * maxval) == maxval for v in values * 3]
    pillow = forge.pillow_decode(colour).rgb
    assert [p for p, h in zip(pillow, halves) if not h] == [e for e, h in zip(expected * 3, halves) if not h]
    for data, rgb in ((grey, bytes(b for b in expected for _ in range(3))), (colour, expected * 3)):
        (tmp_path / "image").write_bytes(data)
        assert decode_in_child(tmp_path / "image").rgb == rgb


@pytest.mark.parametrize("progressive", [False, True], ids=["baseline", "progressive"])
def test_decode_jpeg_close_to_reference(tmp_path: Path, progressive: bool) -> None:
    # Two JPEG decoders legitimately differ by rounding in the inverse DCT and
    # the colour conversion; a broken coefficient path differs by far more.
    data = forge.jpeg(PICTURE, progressive=progressive)
    path = tmp_path / "image.jpg"
    path.write_bytes(data)
    result = decode_in_child(path)
    reference = forge.pillow_decode(data)
    assert (result.width, result.height) == (reference.width, reference.height)
    differences = [abs(a - b) for a, b in zip(result.rgb, reference.rgb)]
    assert max(differences) <= 6
    assert sum(differences) / len(differences) < 1.0


NOISE = forge.Picture(1000, 700, bytes(b >> 2 for b in random.Random(7).randbytes(1000 * 700 * 3)))
LAYOUTS = {"440": [(1, 2), (1, 1), (1, 1)], "mixed": [(2, 1), (1, 2), (1, 1)], "generic": [(3, 1), (1, 1), (1, 1)]}
STRIP_JPEGS = [
    *(pytest.param(forge.jpeg(NOISE, subsampling=s, progressive=p), id=f"noise-{s}-{p}") for s in (0, 1, 2) for p in (0, 1)),
    *(pytest.param(forge.jpeg(PICTURE, mode=mode, subsampling=2), id=mode) for mode in ("RGB", "L", "CMYK")),
    *(pytest.param(forge.jpeg_dc_blocks(61, 37, layout), id=name) for name, layout in LAYOUTS.items()),
    *(pytest.param(path.read_bytes(), id=path.name) for path in sorted((CORPUS / "images").glob("*.jpg"))),
]


@pytest.mark.parametrize("data", STRIP_JPEGS)
def test_jpeg_strips_give_the_whole_decode(tmp_path: Path, data: bytes) -> None:
    # Strips of 8 and 16 rows, the last one shorter; the file whole, then cut
    # in half, where the lean reader may leave the outcome to the whole decode.
    path = tmp_path / "image.jpg"
    for cut in (False, True):
        path.write_bytes(data[: len(data) // 2] if cut else data)
        expected = decode_in_child(path)
        for rows in (8, 16):
            strips = decode_in_child(path, strips=rows)
            assert strips == expected or (cut and strips.status == "unsure")


def test_every_format_applies_in_process(tmp_path: Path) -> None:
    lut = write_cube(tmp_path / "identity.cube")
    datas = [p.values[0] for p in LOSSLESS] + [forge.jpeg(PICTURE), forge.jpeg(PICTURE, progressive=True)]
    for index, data in enumerate(datas):
        image = tmp_path / f"in{index}"
        image.write_bytes(data)
        output = tmp_path / f"out{index}.jpg"
        assert tonvik.apply_lut(str(lut), str(image), str(output)) == OK
        assert output.read_bytes()[:2] == b"\xff\xd8"
