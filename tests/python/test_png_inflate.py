"""The PNG reader's fast inflate against stb's own: every file here decodes in
the C++ driver twice, once as the pipeline does (libdeflate, stb's inflate when
libdeflate refuses the stream) and once with stb's inflate alone, and both
must give the same status and the same pixels. The streams come from zlib at
every level and strategy, from Pillow's encoder, from the corpus, and from
damaging them: checksums, trailing bytes, extra data, cuts and bit flips."""

from __future__ import annotations

import io
import random
import struct
import zlib
from pathlib import Path

import pytest
from PIL import Image

import image_forge as forge
from isolation import Decoded, decode_in_child
from support import CORPUS

# (colour type, bit depth, samples per pixel)
LAYOUTS = {
    "grey1": (0, 1, 1),
    "grey4": (0, 4, 1),
    "grey16": (0, 16, 1),
    "rgb8": (2, 8, 3),
    "rgb16": (2, 16, 3),
    "palette2": (3, 2, 1),
    "palette8": (3, 8, 1),
    "grey_alpha8": (4, 8, 2),
    "rgba8": (6, 8, 4),
    "rgba16": (6, 16, 4),
}
ADAM7 = ((0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2))
STRATEGIES = {
    "default": zlib.Z_DEFAULT_STRATEGY,
    "filtered": zlib.Z_FILTERED,
    "huffman_only": zlib.Z_HUFFMAN_ONLY,
    "rle": zlib.Z_RLE,
    "fixed": zlib.Z_FIXED,
}


def _chunk(kind: bytes, body: bytes) -> bytes:
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def scanlines(width: int, height: int, layout: str, interlaced: bool, seed: int) -> bytes:
    """Filtered rows for the layout: smooth ramps with noise, and every filter
    type in turn (the bytes are read as already filtered, which any bytes can be)."""
    _, depth, samples = LAYOUTS[layout]
    rng = random.Random(seed)
    passes = ADAM7 if interlaced else ((0, 0, 1, 1),)
    out = bytearray()
    row_index = 0
    for x0, y0, dx, dy in passes:
        columns = len(range(x0, width, dx))
        rows = len(range(y0, height, dy))
        if columns == 0 or rows == 0:
            continue
        row_bytes = (columns * samples * depth + 7) // 8
        for _ in range(rows):
            out.append(row_index % 5)
            row_index += 1
            out += bytes((i * 3 + rng.randrange(4)) % 256 for i in range(row_bytes))
    return bytes(out)


def png_file(
    width: int,
    height: int,
    layout: str,
    stream: bytes,
    *,
    interlaced: bool = False,
    idat_size: int = 1 << 20,
) -> bytes:
    colour_type, depth, _ = LAYOUTS[layout]
    header = struct.pack(">IIBBBBB", width, height, depth, colour_type, 0, 0, 1 if interlaced else 0)
    out = b"\x89PNG\r\n\x1a\n" + _chunk(b"IHDR", header)
    if colour_type == 3:
        out += _chunk(b"PLTE", bytes((i, 255 - i, i // 2 + 60)[k] for i in range(256) for k in range(3)))
    for start in range(0, len(stream), idat_size):
        out += _chunk(b"IDAT", stream[start : start + idat_size])
    return out + _chunk(b"IEND", b"")


def compress(raw: bytes, level: int, strategy: str = "default") -> bytes:
    encoder = zlib.compressobj(level, zlib.DEFLATED, 15, 9, STRATEGIES[strategy])
    return encoder.compress(raw) + encoder.flush()


def decode_both(tmp_path: Path, data: bytes) -> Decoded:
    """The outcome, after checking that stb's inflate alone gives the same."""
    path = tmp_path / "image.png"
    path.write_bytes(data)
    fast = decode_in_child(path)
    assert fast == decode_in_child(path, stb_inflate=True)
    return fast


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
@pytest.mark.parametrize("interlaced", [False, True], ids=["plain", "interlaced"])
def test_every_zlib_level(tmp_path: Path, layout: str, interlaced: bool) -> None:
    width, height = 37, 23
    raw = scanlines(width, height, layout, interlaced, seed=len(layout))
    for level in range(10):  # 0: stored blocks
        result = decode_both(tmp_path, png_file(width, height, layout, compress(raw, level), interlaced=interlaced))
        assert result.status == "decoded", level
        assert (result.width, result.height) == (width, height)


@pytest.mark.parametrize("strategy", sorted(STRATEGIES))
def test_every_zlib_strategy(tmp_path: Path, strategy: str) -> None:
    for layout in ("rgb8", "palette2", "rgba16"):
        raw = scanlines(150, 90, layout, False, seed=3)
        data = png_file(150, 90, layout, compress(raw, 6, strategy), idat_size=1000)
        assert decode_both(tmp_path, data).status == "decoded"


def test_stored_blocks_across_many_chunks(tmp_path: Path) -> None:
    """Level 0 writes stored blocks of at most 64 KiB; chunks of 1 byte split
    every block header."""
    raw = scanlines(300, 200, "rgba8", False, seed=5)
    stream = compress(raw, 0)
    assert len(stream) > 3 * 65535
    assert decode_both(tmp_path, png_file(300, 200, "rgba8", stream, idat_size=7919)).status == "decoded"
    small = compress(scanlines(20, 10, "rgb8", True, seed=6), 0)
    assert decode_both(tmp_path, png_file(20, 10, "rgb8", small, interlaced=True, idat_size=1)).status == "decoded"


@pytest.mark.parametrize("level", [0, 6])
def test_large_image_in_small_chunks(tmp_path: Path, level: int) -> None:
    """Megabytes of stream gathered from 8 KiB chunks: the loader's buffers
    grow many times, past the size where they become mappings of their own."""
    width, height = 800, 600
    rgb = random.Random(level).randbytes(width * height * 3)
    raw = b"".join(b"\0" + rgb[y * width * 3 : (y + 1) * width * 3] for y in range(height))
    data = png_file(width, height, "rgb8", compress(raw, level), idat_size=8192)
    assert decode_both(tmp_path, data) == Decoded("decoded", width, height, rgb)


@pytest.mark.parametrize("level", range(10))
def test_pillow_photo_every_level(tmp_path: Path, level: int) -> None:
    """Pillow's own filter choice (mostly Paeth on a photograph) and its zlib calls."""
    rng = random.Random(level)
    width, height = 320, 200
    pixels = bytes(
        min(255, max(0, (x * (c + 1) + y * (3 - c)) // 3 + rng.randrange(-6, 7)))
        for y in range(height)
        for x in range(width)
        for c in range(3)
    )
    buffer = io.BytesIO()
    Image.frombytes("RGB", (width, height), pixels).save(buffer, format="PNG", compress_level=level)
    result = decode_both(tmp_path, buffer.getvalue())
    assert result.status == "decoded"
    assert result.rgb == pixels


@pytest.mark.parametrize(
    ("colour", "bit_depth", "interlaced"),
    [
        ("rgb", 8, False),
        ("rgb", 16, True),
        ("grey", 8, True),
        ("grey", 16, False),
        ("grey_alpha", 8, False),
        ("rgba", 16, True),
        ("palette", 8, True),
    ],
)
def test_forged_pictures_decode_exactly(tmp_path: Path, colour: str, bit_depth: int, interlaced: bool) -> None:
    picture = forge.few_colours(45, 31) if colour == "palette" else forge.gradient(45, 31)
    result = decode_both(tmp_path, forge.png(picture, colour=colour, bit_depth=bit_depth, interlaced=interlaced))
    expected = forge.grey(picture) if colour.startswith("grey") else picture
    assert result == Decoded("decoded", picture.width, picture.height, expected.rgb)


def _corpus_pngs() -> list[str]:
    images = CORPUS / "images"
    if not images.is_dir():
        return ["<corpus absent>"]
    return sorted(p.name for p in images.iterdir() if p.suffix == ".png")


@pytest.mark.corpus
@pytest.mark.skipif(not (CORPUS / "images").is_dir(), reason="corpus not present")
@pytest.mark.parametrize("name", _corpus_pngs())
def test_corpus_png(tmp_path: Path, name: str) -> None:
    decode_both(tmp_path, (CORPUS / "images" / name).read_bytes())


# ---------------------------------------------------------------- damaged streams

WIDTH, HEIGHT = 61, 40


def _raw() -> bytes:
    return scanlines(WIDTH, HEIGHT, "rgb8", False, seed=11)


def test_bad_checksum_still_decodes(tmp_path: Path) -> None:
    stream = bytearray(compress(_raw(), 6))
    stream[-1] ^= 0x40
    assert decode_both(tmp_path, png_file(WIDTH, HEIGHT, "rgb8", bytes(stream))).status == "decoded"


def test_bytes_after_the_stream_are_ignored(tmp_path: Path) -> None:
    data = png_file(WIDTH, HEIGHT, "rgb8", compress(_raw(), 6) + bytes(range(200)))
    assert decode_both(tmp_path, data).status == "decoded"


def test_extra_data_after_the_image_still_decodes(tmp_path: Path) -> None:
    data = png_file(WIDTH, HEIGHT, "rgb8", compress(_raw() + bytes(3000), 6))
    assert decode_both(tmp_path, data).status == "decoded"


@pytest.mark.parametrize("interlaced", [False, True], ids=["plain", "interlaced"])
def test_short_data_is_refused(tmp_path: Path, interlaced: bool) -> None:
    raw = scanlines(WIDTH, HEIGHT, "rgb8", interlaced, seed=12)
    data = png_file(WIDTH, HEIGHT, "rgb8", compress(raw[:-1], 6), interlaced=interlaced)
    assert decode_both(tmp_path, data).status == "undecodable"


def test_cut_streams(tmp_path: Path) -> None:
    stream = compress(_raw(), 9)
    for keep in (0, 1, 2, 3, 10, len(stream) // 2, len(stream) - 6, len(stream) - 4, len(stream) - 1):
        decode_both(tmp_path, png_file(WIDTH, HEIGHT, "rgb8", stream[:keep]))


@pytest.mark.parametrize("level", [0, 1, 6, 9])
def test_bit_flips(tmp_path: Path, level: int) -> None:
    stream = compress(_raw(), level)
    rng = random.Random(level)
    for _ in range(40):
        damaged = bytearray(stream)
        at = rng.randrange(len(damaged))
        damaged[at] ^= 1 << rng.randrange(8)
        decode_both(tmp_path, png_file(WIDTH, HEIGHT, "rgb8", bytes(damaged)))
