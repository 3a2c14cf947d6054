"""Small encoders for every image format the loader reads, and the broken
variants of them that the hostile-input tests feed it.

Every encoder returns the file's bytes. `Picture` carries the RGB the loader
must deliver for it (3 bytes per pixel, rows top to bottom), so a test can
compare decoded pixels exactly. Nothing here reads a file from elsewhere:
the repository's test images are all made by this module.

    picture = gradient(7, 5)
    data = png(picture, bit_depth=16, interlaced=True)
"""

from __future__ import annotations

import io
import random
import struct
import zlib
from dataclasses import dataclass

# -- pictures ------------------------------------------------------------------


@dataclass(frozen=True)
class Picture:
    width: int
    height: int
    rgb: bytes  # width * height * 3 bytes

    def pixel(self, x: int, y: int) -> tuple[int, int, int]:
        offset = (y * self.width + x) * 3
        return tuple(self.rgb[offset : offset + 3])


def gradient(width: int, height: int) -> Picture:
    """Every channel varies, and no two neighbours share a colour."""
    rgb = bytearray()
    for y in range(height):
        for x in range(width):
            rgb += bytes(((x * 37 + y * 11) % 256, (y * 53 + x * 7 + 40) % 256, (x * y * 5 + 200) % 256))
    return Picture(width, height, bytes(rgb))


def grey(picture: Picture) -> Picture:
    """The picture with every pixel replaced by its red byte, on all three channels."""
    rgb = bytearray()
    for offset in range(0, len(picture.rgb), 3):
        rgb += bytes((picture.rgb[offset],)) * 3
    return Picture(picture.width, picture.height, bytes(rgb))


def zeros(width: int, height: int) -> Picture:
    return Picture(width, height, bytes(width * height * 3))


def _rows(picture: Picture) -> list[bytes]:
    stride = picture.width * 3
    return [picture.rgb[y * stride : (y + 1) * stride] for y in range(picture.height)]


def _wide(byte: int) -> int:
    """A 16-bit sample whose high byte is `byte`; the low byte must not matter."""
    return byte * 256 + (255 - byte)


# -- PNG -----------------------------------------------------------------------

_ADAM7 = ((0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2))


def _png_chunk(kind: bytes, body: bytes) -> bytes:
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def png(
    picture: Picture,
    *,
    colour: str = "rgb",
    bit_depth: int = 8,
    interlaced: bool = False,
    declared_size: tuple[int, int] | None = None,
) -> bytes:
    """colour: "rgb", "rgba" (alpha 0..255 varying), "grey" (red byte),
    "grey_alpha" or "palette" (the picture's distinct colours, at most 256)."""
    width, height = picture.width, picture.height
    palette: list[tuple[int, int, int]] = []
    index: dict[tuple[int, int, int], int] = {}
    if colour == "palette":
        for y in range(height):
            for x in range(width):
                index.setdefault(picture.pixel(x, y), len(index))
        palette = list(index)
        assert len(palette) <= 256

    def sample(value: int) -> bytes:
        return struct.pack(">H", _wide(value)) if bit_depth == 16 else bytes((value,))

    def encode_pixel(x: int, y: int) -> bytes:
        r, g, b = picture.pixel(x, y)
        alpha = (x * 29 + y * 3) % 256
        if colour == "rgb":
            return sample(r) + sample(g) + sample(b)
        if colour == "rgba":
            return sample(r) + sample(g) + sample(b) + sample(alpha)
        if colour == "grey":
            return sample(r)
        if colour == "grey_alpha":
            return sample(r) + sample(alpha)
        return bytes((index[(r, g, b)],))

    def pass_data(x0: int, y0: int, dx: int, dy: int) -> bytes:
        out = bytearray()
        xs = range(x0, width, dx)
        if not xs:
            return b""
        for y in range(y0, height, dy):
            out += b"\x00" + b"".join(encode_pixel(x, y) for x in xs)  # filter type 0
        return bytes(out)

    if interlaced:
        raw = b"".join(pass_data(*p) for p in _ADAM7)
    else:
        raw = pass_data(0, 0, 1, 1)
    colour_type = {"grey": 0, "rgb": 2, "palette": 3, "grey_alpha": 4, "rgba": 6}[colour]
    w, h = declared_size or (width, height)
    header = struct.pack(">IIBBBBB", w, h, bit_depth, colour_type, 0, 0, 1 if interlaced else 0)
    out = b"\x89PNG\r\n\x1a\n" + _png_chunk(b"IHDR", header)
    if palette:
        out += _png_chunk(b"PLTE", b"".join(bytes(c) for c in palette))
    return out + _png_chunk(b"IDAT", zlib.compress(raw, 9)) + _png_chunk(b"IEND", b"")


def png_bomb(width: int, height: int) -> bytes:
    """A grey PNG of zeros: a few hundred KB that declares width x height."""
    row = bytes(width + 1)
    compressor = zlib.compressobj(9)
    body = b"".join(compressor.compress(row) for _ in range(height)) + compressor.flush()
    header = struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0)
    return (
        b"\x89PNG\r\n\x1a\n"
        + _png_chunk(b"IHDR", header)
        + _png_chunk(b"IDAT", body)
        + _png_chunk(b"IEND", b"")
    )


def png_chunk_declaring(length: int, *, after_real_chunk: bool) -> bytes:
    """A 4 x 4 grey PNG that ends in an IDAT chunk declaring `length` bytes
    and holding eight, after a real IDAT chunk if `after_real_chunk`."""
    header = struct.pack(">IIBBBBB", 4, 4, 8, 0, 0, 0, 0)
    out = b"\x89PNG\r\n\x1a\n" + _png_chunk(b"IHDR", header)
    if after_real_chunk:
        out += _png_chunk(b"IDAT", zlib.compress(bytes(20))[:10])
    return out + struct.pack(">I", length) + b"IDAT" + bytes(8)


# -- Pillow-written formats (JPEG, GIF) ----------------------------------------


def _pillow_image(picture: Picture):
    from PIL import Image

    return Image.frombytes("RGB", (picture.width, picture.height), picture.rgb)


def jpeg(picture: Picture, *, progressive: bool = False, subsampling: int = 0, mode: str = "RGB") -> bytes:
    out = io.BytesIO()
    _pillow_image(picture).convert(mode).save(out, "JPEG", quality=95, progressive=progressive, subsampling=subsampling)
    return out.getvalue()


def pillow_decode(data: bytes) -> Picture:
    from PIL import Image

    image = Image.open(io.BytesIO(data)).convert("RGB")
    return Picture(image.width, image.height, image.tobytes())


def gif(picture: Picture) -> bytes:
    """The picture must have at most 256 colours; they are kept exactly."""
    from PIL import Image

    colours = sorted({picture.pixel(x, y) for y in range(picture.height) for x in range(picture.width)})
    assert len(colours) <= 256
    lookup = {c: i for i, c in enumerate(colours)}
    image = Image.new("P", (picture.width, picture.height))
    image.putpalette(b"".join(bytes(c) for c in colours) + bytes(3 * (256 - len(colours))))
    image.putdata([lookup[picture.pixel(x, y)] for y in range(picture.height) for x in range(picture.width)])
    out = io.BytesIO()
    image.save(out, "GIF", optimize=False)
    return out.getvalue()


def few_colours(width: int, height: int) -> Picture:
    rgb = bytearray()
    for y in range(height):
        for x in range(width):
            k = (x // 3 + y // 2) % 12
            rgb += bytes((k * 20, 255 - k * 17, (k * 67) % 256))
    return Picture(width, height, bytes(rgb))


# -- BMP -----------------------------------------------------------------------


def bmp(picture: Picture) -> bytes:
    """24-bit, bottom-up, rows padded to 4 bytes."""
    stride = (picture.width * 3 + 3) & ~3
    body = bytearray()
    for row in reversed(_rows(picture)):
        bgr = bytearray()
        for offset in range(0, len(row), 3):
            bgr += bytes((row[offset + 2], row[offset + 1], row[offset]))
        body += bgr + bytes(stride - len(bgr))
    return _bmp_file(picture.width, picture.height, 24, b"", 0, bytes(body))


def bmp_indexed(width: int, height: int, palette: list[tuple[int, int, int]], indexes: bytes) -> bytes:
    """8-bit palette BMP, top row first in `indexes`; indexes may point past the palette."""
    stride = (width + 3) & ~3
    body = b"".join(
        indexes[y * width : (y + 1) * width] + bytes(stride - width) for y in reversed(range(height))
    )
    table = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    return _bmp_file(width, height, 8, table, len(palette), body)


def _bmp_file(width: int, height: int, bits: int, table: bytes, colours_used: int, body: bytes) -> bytes:
    offset = 14 + 40 + len(table)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, 0, len(body), 2835, 2835, colours_used, 0)
    return b"BM" + struct.pack("<IHHI", offset + len(body), 0, 0, offset) + info + table + body


# -- TGA -----------------------------------------------------------------------


def tga(picture: Picture, *, rle: bool = False) -> bytes:
    """24-bit true colour, top-left origin; RLE packs runs of equal pixels."""
    header = struct.pack("<BBBHHBHHHHBB", 0, 0, 10 if rle else 2, 0, 0, 0, 0, 0,
                         picture.width, picture.height, 24, 0x20)
    pixels = [bytes((r, g, b))[::-1] for r, g, b in
              (picture.pixel(x, y) for y in range(picture.height) for x in range(picture.width))]
    if not rle:
        return header + b"".join(pixels)
    body = bytearray()
    i = 0
    while i < len(pixels):
        run = 1
        while i + run < len(pixels) and run < 128 and pixels[i + run] == pixels[i]:
            run += 1
        if run > 1:
            body += bytes((0x80 | (run - 1),)) + pixels[i]
            i += run
            continue
        start = i
        while i < len(pixels) and i - start < 128 and (i + 1 >= len(pixels) or pixels[i + 1] != pixels[i]):
            i += 1
        if i == start:
            i += 1
        body += bytes((i - start - 1,)) + b"".join(pixels[start:i])
    return header + bytes(body)


def runs(width: int, height: int) -> Picture:
    """Horizontal runs of equal colour broken by single pixels: both RLE packet kinds."""
    rgb = bytearray()
    for y in range(height):
        for x in range(width):
            rgb += bytes((x * 9 % 256, y * 31 % 256, 77)) if x % 5 == 0 else bytes((y * 13 % 256, 90, 200))
    return Picture(width, height, bytes(rgb))


# -- PNM -----------------------------------------------------------------------


def pnm(picture: Picture, *, grey_scale: bool = False, bit_depth: int = 8) -> bytes:
    """P6 (RGB) or P5 (the red byte as grey), 8 or 16 bits per sample."""
    magic = b"P5" if grey_scale else b"P6"
    maxval = 65535 if bit_depth == 16 else 255
    samples = picture.rgb[::3] if grey_scale else picture.rgb
    if bit_depth == 16:
        body = b"".join(struct.pack(">H", _wide(v)) for v in samples)
    else:
        body = bytes(samples)
    return magic + b"\n# made by the test forge\n%d %d\n%d\n" % (picture.width, picture.height, maxval) + body


def pgm16_header(width: int, height: int) -> bytes:
    return b"P5\n%d %d\n65535\n" % (width, height)


# -- PSD -----------------------------------------------------------------------


def psd(picture: Picture, *, rle: bool = False, alpha: bytes | None = None, bit_depth: int = 8) -> bytes:
    """RGB, 8 or 16 bits, planar channels (a fourth for `alpha`), raw or
    PackBits-compressed (each row's bytes, 16-bit samples big-endian)."""
    planes = [picture.rgb[c::3] for c in range(3)] + ([alpha] if alpha is not None else [])
    if bit_depth == 16:
        planes = [b"".join(struct.pack(">H", _wide(v)) for v in plane) for plane in planes]
    head = b"8BPS" + struct.pack(">H6sHIIHH", 1, bytes(6), len(planes), picture.height, picture.width, bit_depth, 3)
    sections = struct.pack(">III", 0, 0, 0)  # colour mode data, resources, layers: all empty
    if not rle:
        return head + sections + struct.pack(">H", 0) + b"".join(planes)
    row = picture.width * bit_depth // 8
    packed_rows: list[bytes] = []
    for plane in planes:
        for y in range(picture.height):
            packed_rows.append(_packbits(plane[y * row : (y + 1) * row]))
    counts = b"".join(struct.pack(">H", len(r)) for r in packed_rows)
    return head + sections + struct.pack(">H", 1) + counts + b"".join(packed_rows)


def _packbits(row: bytes) -> bytes:
    out = bytearray()
    i = 0
    while i < len(row):
        run = 1
        while i + run < len(row) and run < 128 and row[i + run] == row[i]:
            run += 1
        if run >= 2:
            out += bytes((257 - run,)) + row[i : i + 1]
            i += run
        else:
            start = i
            while i < len(row) and i - start < 128 and not (i + 1 < len(row) and row[i + 1] == row[i]):
                i += 1
            if i == start:
                i += 1
            out += bytes((i - start - 1,)) + row[start:i]
    return bytes(out)


# -- Softimage PIC -------------------------------------------------------------

_PIC_RGB = 0x80 | 0x40 | 0x20


def pic(picture: Picture, *, packet_type: int = 0, declared_size: tuple[int, int] | None = None) -> bytes:
    """One chained-off packet carrying R, G and B; type 0 raw, 2 mixed RLE
    (written as raw runs). Another packet_type is refused by the loader."""
    width, height = declared_size or (picture.width, picture.height)
    header = b"\x53\x80\xf6\x34" + bytes(84) + b"PICT" + struct.pack(">HHIHH", width, height, 0, 0, 0)
    packet = bytes((0, 8, packet_type, _PIC_RGB))
    body = bytearray()
    for row in _rows(picture):
        if packet_type == 2:
            for start in range(0, picture.width, 128):
                chunk = row[start * 3 : (start + 128) * 3]
                body += bytes((len(chunk) // 3 - 1,)) + chunk
        else:
            body += row
    return header + packet + bytes(body)


# -- Radiance HDR --------------------------------------------------------------

HDR_GAMMA = 1 / 2.2


def hdr_levels() -> list[int]:
    """Mantissas m (with exponent 128, value m/256) whose 8-bit result lies
    well inside its rounding interval, so float noise cannot move it."""
    levels = []
    for m in range(1, 256):
        z = (m / 256) ** HDR_GAMMA * 255 + 0.5
        if 0.1 < z % 1 < 0.9:
            levels.append(m)
    return levels


def hdr_byte(mantissa: int) -> int:
    return int((mantissa / 256) ** HDR_GAMMA * 255 + 0.5)


def hdr(width: int, height: int, *, rle: bool) -> tuple[bytes, Picture]:
    """RGBE pixels at exponent 128 from hdr_levels(); returns the file and the
    8-bit picture the loader makes of it."""
    levels = hdr_levels()
    rgbe_rows: list[list[tuple[int, int, int, int]]] = []
    rgb = bytearray()
    for y in range(height):
        row = []
        for x in range(width):
            m = [levels[(x * 7 + y * 3 + c * 11) % len(levels)] for c in range(3)]
            if x % 4 == 1:  # some runs of equal pixels for the RLE coder
                m = [levels[(y + c) % len(levels)] for c in range(3)]
            row.append((m[0], m[1], m[2], 128))
            rgb += bytes(hdr_byte(v) for v in m)
        rgbe_rows.append(row)
    head = b"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y %d +X %d\n" % (height, width)
    body = bytearray()
    for row in rgbe_rows:
        if not rle:
            body += b"".join(bytes(p) for p in row)
            continue
        assert 8 <= width < 32768
        body += bytes((2, 2, width >> 8, width & 0xFF))
        for channel in range(4):
            values = bytes(p[channel] for p in row)
            i = 0
            while i < width:
                run = 1
                while i + run < width and run < 127 and values[i + run] == values[i]:
                    run += 1
                if run >= 3:
                    body += bytes((128 + run, values[i]))
                    i += run
                else:
                    count = min(128, width - i)
                    body += bytes((count,)) + values[i : i + count]
                    i += count
    return head + bytes(body), Picture(width, height, bytes(rgb))


# -- hand-made JPEG streams for the decoder's integer paths ---------------------


def _bits_to_bytes(bits: str) -> bytes:
    bits += "1" * (-len(bits) % 8)  # pad with ones, as an encoder does
    out = bytearray()
    for i in range(0, len(bits), 8):
        byte = int(bits[i : i + 8], 2)
        out.append(byte)
        if byte == 0xFF:
            out.append(0)  # byte stuffing
    return bytes(out)


def _segment(marker: int, body: bytes) -> bytes:
    return bytes((0xFF, marker)) + struct.pack(">H", len(body) + 2) + body


def jpeg_dc_overflow(*, progressive: bool, blocks_x: int = 32, blocks_y: int = 32) -> bytes:
    """A grey JPEG whose every block adds the largest DC difference (+2047) to
    the running prediction, until it and its scaled value leave int range."""
    width, height = blocks_x * 8, blocks_y * 8
    # 16-bit quantisation table: a DC step of 65535 multiplies the prediction.
    dqt = _segment(0xDB, bytes((0x10,)) + struct.pack(">64H", *([65535] + [1] * 63)))
    sof = _segment(0xC2 if progressive else 0xC0,
                   struct.pack(">BHHB", 8, height, width, 1) + bytes((1, 0x11, 0)))
    # DC table 0: one code "0" of length 1 for category 11.
    dht = _segment(0xC4, bytes((0x00,)) + bytes((1,) + (0,) * 15) + bytes((11,)))
    # AC table 0: one code "0" for end of block.
    dht += _segment(0xC4, bytes((0x10,)) + bytes((1,) + (0,) * 15) + bytes((0,)))
    if progressive:
        sos = _segment(0xDA, bytes((1, 1, 0x00, 0, 0, 13)))  # DC first scan, Al = 13
        block = "0" + "1" * 11
    else:
        sos = _segment(0xDA, bytes((1, 1, 0x00, 0, 63, 0)))
        block = "0" + "1" * 11 + "0"  # DC, then end of block
    scan = _bits_to_bytes(block * (blocks_x * blocks_y))
    return b"\xff\xd8" + dqt + sof + dht + sos + scan + b"\xff\xd9"


def jpeg_dc_blocks(width: int, height: int, sampling: list[tuple[int, int]]) -> bytes:
    """A baseline JPEG of random DC values and no AC, in any layout of
    components (`sampling`: each one's (h, v)): upsampling across blocks shows."""
    rng = random.Random(width * 7919 + height)
    n, h_max, v_max = len(sampling), max(h for h, _ in sampling), max(v for _, v in sampling)
    components = b"".join(bytes((i + 1, h << 4 | v, 0)) for i, (h, v) in enumerate(sampling))
    head = _segment(0xDB, bytes(1) + bytes([1] * 64)) + _segment(0xC0, struct.pack(">BHHB", 8, height, width, n) + components)
    head += _segment(0xC4, bytes((0x00, 0, 0, 0, 11) + (0,) * 12) + bytes(range(11)))  # DC: 4-bit code c -> category c
    head += _segment(0xC4, bytes((0x10, 1) + (0,) * 15) + bytes(1))  # AC: "0" -> end of block
    head += _segment(0xDA, bytes((n,)) + b"".join(bytes((i + 1, 0)) for i in range(n)) + bytes((0, 63, 0)))
    bits, prediction = "", [0] * n
    for _ in range(-(-width // (8 * h_max)) * -(-height // (8 * v_max))):
        for i, (h, v) in enumerate(sampling):
            for _ in range(h * v):
                diff = rng.randrange(-500, 500) - prediction[i]
                prediction[i] += diff
                c = abs(diff).bit_length()
                value = diff if diff >= 0 else diff + (1 << c) - 1  # the category's low bits
                bits += format(c, "04b") + (format(value, f"0{c}b") if c else "") + "0"
    return b"\xff\xd8" + head + _bits_to_bytes(bits) + b"\xff\xd9"


def jpeg_oversized_huffman_table(base: bytes) -> bytes:
    """`base` with a DHT segment declaring 16 x 17 = 272 codes inserted after
    SOI: more symbols than a table holds."""
    counts = bytes([17] * 16)
    dht = _segment(0xC4, bytes((0x00,)) + counts + bytes(272))
    return base[:2] + dht + base[2:]


def jpeg_progressive_ac_scan_without_data() -> bytes:
    """A progressive 9 x 5 JPEG whose only scan refines AC coefficients 1-5 of
    the first component and carries no entropy-coded data: the decoder pads
    with zero bits, and its codes then drew more bits than its buffer held."""
    sof = _segment(0xC2, struct.pack(">BHHB", 8, 5, 9, 3) + bytes((1, 0x11, 0, 2, 0x11, 1, 3, 0x11, 1)))
    # AC table 0: one code of length 2, five of length 3.
    dht = _segment(0xC4, bytes((0x10,)) + bytes((0, 1, 5) + (0,) * 13) + bytes((0x06, 0x00, 0x02, 0x03, 0x05, 0x16)))
    sos = _segment(0xDA, bytes((1, 1, 0x00, 1, 5, 0x02)))  # Ss = 1, Se = 5, Al = 2
    return b"\xff\xd8" + sof + dht + sos + b"\xff\xd9"


# -- damage ------------------------------------------------------------------


def truncated(data: bytes, keep: int) -> bytes:
    return data[:keep]


# -- extremes and damage for the bounded-cost tests ----------------------------


def flat(width: int, height: int, colour: tuple[int, int, int]) -> Picture:
    return Picture(width, height, bytes(colour) * (width * height))


def png_palette(width: int, height: int, bit_depth: int, palette: list[tuple[int, int, int]], indexes: list[int]) -> bytes:
    """A palette PNG with `indexes` (top row first), packed at `bit_depth`;
    indexes may point past the palette."""
    per_byte = 8 // bit_depth
    raw = bytearray()
    for y in range(height):
        row = indexes[y * width : (y + 1) * width]
        packed = bytearray()
        for start in range(0, width, per_byte):
            byte = 0
            for i, index in enumerate(row[start : start + per_byte]):
                byte |= index << (8 - bit_depth * (i + 1))
            packed.append(byte)
        raw += b"\x00" + packed
    header = struct.pack(">IIBBBBB", width, height, bit_depth, 3, 0, 0, 0)
    return (
        b"\x89PNG\r\n\x1a\n"
        + _png_chunk(b"IHDR", header)
        + _png_chunk(b"PLTE", b"".join(bytes(c) for c in palette))
        + _png_chunk(b"IDAT", zlib.compress(bytes(raw), 9))
        + _png_chunk(b"IEND", b"")
    )


def png_without_iend(data: bytes) -> bytes:
    assert data.endswith(_png_chunk(b"IEND", b""))
    return data[:-12]


def bmp_os2(width: int, height: int, palette: list[tuple[int, int, int]], indexes: bytes) -> bytes:
    """8-bit BMP with the 12-byte OS/2 v1 header and 3-byte palette entries."""
    stride = (width + 3) & ~3
    body = b"".join(
        indexes[y * width : (y + 1) * width] + bytes(stride - width) for y in reversed(range(height))
    )
    table = b"".join(bytes((b, g, r)) for r, g, b in palette)
    offset = 14 + 12 + len(table)
    info = struct.pack("<IHHHH", 12, width, height, 1, 8)
    return b"BM" + struct.pack("<IHHI", offset + len(body), 0, 0, offset) + info + table + body


def tga_indexed(width: int, height: int, palette: list[tuple[int, int, int]], indexes: bytes) -> bytes:
    """Colour-mapped TGA, 8-bit indexes, 24-bit map, top-left origin."""
    header = struct.pack("<BBBHHBHHHHBB", 0, 1, 1, 0, len(palette), 24, 0, 0, width, height, 8, 0x20)
    table = b"".join(bytes((b, g, r)) for r, g, b in palette)
    return header + table + indexes


def gif_flat_lzw(width: int, height: int, colour: tuple[int, int, int]) -> bytes:
    """A one-colour GIF whose LZW stream is as dense as the decoder allows:
    each code names the longest string so far (one pixel longer each time),
    and once the dictionary is full, the longest string over and over, with
    a clear code before the decoder's table of 8192 entries overflows."""
    min_size = 2
    clear, end = 1 << min_size, (1 << min_size) + 1
    codes: list[tuple[int, int]] = []  # (code, width in bits)

    total = width * height
    done = 0
    while done < total:
        size, avail = min_size + 1, clear + 2
        codes.append((clear, size))
        longest_code, longest = 0, 1  # the root for colour 0
        first = True
        while done < total and avail < 8192:
            remaining = total - done
            if first:
                code, length = 0, 1
                first = False
            else:
                # The next code to be defined is the previous string plus one pixel.
                if avail < 4096 and remaining >= longest + 1:
                    code, length = avail, longest + 1
                else:
                    code, length = (longest_code, longest) if remaining >= longest else (0, 1)
                # The decoder defines entry `avail` on every code after the first.
                avail += 1
            codes.append((code, size))
            if length > longest:
                longest_code, longest = code, length
            done += length
            if (avail & ((1 << size) - 1)) == 0 and avail <= 0xFFF:
                size += 1
    codes.append((end, size))
    bits = bits_count = 0
    stream = bytearray()
    for code, size in codes:
        bits |= code << bits_count
        bits_count += size
        while bits_count >= 8:
            stream.append(bits & 0xFF)
            bits >>= 8
            bits_count -= 8
    if bits_count:
        stream.append(bits & 0xFF)
    blocks = b"".join(bytes((len(stream[i : i + 255]),)) + stream[i : i + 255] for i in range(0, len(stream), 255))
    screen = struct.pack("<HHBBB", width, height, 0x80, 0, 0)  # global table of 2 colours
    table = bytes(colour) + bytes(3)
    descriptor = b"," + struct.pack("<HHHHB", 0, 0, width, height, 0)
    return b"GIF89a" + screen + table + descriptor + bytes((min_size,)) + blocks + b"\x00;"


def jpeg_flat_minimal(width: int, height: int, *, progressive: bool, restart_interval: int = 0) -> bytes:
    """A grey JPEG of value 128 coded as densely as the format allows: a
    1-bit DC code for difference 0 and (sequential) a 1-bit end-of-block
    code per block. A sequential file may have restart markers every
    `restart_interval` blocks."""
    blocks = ((width + 7) // 8) * ((height + 7) // 8)
    dqt = _segment(0xDB, bytes((0x00,)) + bytes([1] * 64))
    sof = _segment(0xC2 if progressive else 0xC0, struct.pack(">BHHB", 8, height, width, 1) + bytes((1, 0x11, 0)))
    dht = _segment(0xC4, bytes((0x00,)) + bytes((1,) + (0,) * 15) + bytes((0,)))  # DC: "0" -> category 0
    dht += _segment(0xC4, bytes((0x10,)) + bytes((1,) + (0,) * 15) + bytes((0,)))  # AC: "0" -> end of block
    if progressive:
        sos = _segment(0xDA, bytes((1, 1, 0x00, 0, 0, 0)))  # DC first scan, full precision
        scan = _bits_to_bytes("0" * blocks)
        # One AC scan of end-of-band runs: EOBn (4-bit code n) skips
        # 2^n plus n extra bits of blocks, up to 32767 at n = 14.
        ac_table = _segment(0xC4, bytes((0x10,)) + bytes((0, 0, 0, 15) + (0,) * 12) + bytes(n << 4 for n in range(15)))
        runs = ""
        left = blocks
        while left > 0:
            n = min(14, left.bit_length() - 1)
            run = min(left, (1 << (n + 1)) - 1)
            runs += format(n, "04b") + (format(run - (1 << n), "0%db" % n) if n else "")
            left -= run
        ac = ac_table + _segment(0xDA, bytes((1, 1, 0x00, 1, 63, 0))) + _bits_to_bytes(runs)
        return b"\xff\xd8" + dqt + sof + dht + sos + scan + ac + b"\xff\xd9"
    sos = _segment(0xDA, bytes((1, 1, 0x00, 0, 63, 0)))
    if not restart_interval:
        return b"\xff\xd8" + dqt + sof + dht + sos + _bits_to_bytes("00" * blocks) + b"\xff\xd9"
    dri = _segment(0xDD, struct.pack(">H", restart_interval))
    intervals = [_bits_to_bytes("00" * min(restart_interval, blocks - start)) for start in range(0, blocks, restart_interval)]
    scan = b"".join(data + (bytes((0xFF, 0xD0 + i % 8)) if i + 1 < len(intervals) else b"") for i, data in enumerate(intervals))
    return b"\xff\xd8" + dqt + sof + dht + dri + sos + scan + b"\xff\xd9"


def jpeg_empty_refinements(width: int, height: int, scans: int) -> bytes:
    """A progressive grey JPEG: a DC scan, then `scans` AC refinement scans
    that skip every block with end-of-band runs and so cost the file a few
    bytes each while the decoder walks the whole image."""
    base = jpeg_flat_minimal(width, height, progressive=True)
    cut = base.rindex(b"\xff\xc4")  # the AC table and scan
    ac = base[cut:-2]
    # The first AC scan sets Al = 1; the refinements (Ah = 1, Al = 0) follow.
    first = ac.replace(bytes((1, 1, 0x00, 1, 63, 0)), bytes((1, 1, 0x00, 1, 63, 0x01)))
    refine_sos = ac[ac.index(b"\xff\xda") :].replace(bytes((1, 1, 0x00, 1, 63, 0)), bytes((1, 1, 0x00, 1, 63, 0x10)))
    return base[:cut] + first + refine_sos * scans + b"\xff\xd9"


def pic_flat(width: int, height: int, colour: tuple[int, int, int]) -> bytes:
    """One mixed run-length packet per row: a 16-bit repeat count and the colour."""
    header = b"\x53\x80\xf6\x34" + bytes(84) + b"PICT" + struct.pack(">HHIHH", width, height, 0, 0, 0)
    packet = bytes((0, 8, 2, _PIC_RGB))
    row = bytearray()
    left = width
    while left > 0:
        run = min(left, 65535)
        row += b"\x80" + struct.pack(">H", run) + bytes(colour)
        left -= run
    return header + packet + bytes(row) * height


def hdr_flat(width: int, height: int, mantissa: int) -> tuple[bytes, Picture]:
    """Run-length Radiance file of one grey value (exponent 128)."""
    assert 8 <= width < 32768
    head = b"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y %d +X %d\n" % (height, width)
    row = bytearray((2, 2, width >> 8, width & 0xFF))
    for value in (mantissa, mantissa, mantissa, 128):
        left = width
        while left > 0:
            run = min(left, 127)
            if run >= 3:
                row += bytes((128 + run, value))
            else:
                row += bytes((run,)) + bytes((value,)) * run
            left -= run
    byte = hdr_byte(mantissa)
    return head + bytes(row) * height, flat(width, height, (byte, byte, byte))
