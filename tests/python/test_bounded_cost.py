"""A decode costs in proportion to its file: a header that declares more
pixels than its file could code is refused before anything image-sized is
allocated, a file cut short is refused instead of decoded with zeros, and
the densest valid file of each format (a flat colour) still decodes.

Also: palette indexes past the file's palette are black, the same on every
run, and an image path that is a FIFO is read once, like any stream."""

from __future__ import annotations

import io
import os
import random
import signal
import struct
import subprocess
import sys
import threading
import zlib
from pathlib import Path
from typing import Callable

import pytest

import image_forge as forge
from support import CORPUS
from isolation import CHILD_TIMEOUT, WRAPPED_TIMEOUT, apply_in_child, decode_in_child, decode_tool, wrapper
from isolation import PEAK_MEASURES_TOUCHED_MEMORY

# Peak resident set of the decode driver for a refused file under 1 MB: the
# files here declare hundreds of MB to GB.
REFUSED_PEAK_KIB = 64 * 1024


def decode_with_peak(path: Path) -> tuple[str, int]:
    """The driver's status and its peak resident set (VmHWM) in KiB, 0 under
    a wrapper."""
    command = wrapper() + [str(decode_tool()), "--peak", str(path)]
    completed = subprocess.run(
        command, capture_output=True, timeout=WRAPPED_TIMEOUT if wrapper() else CHILD_TIMEOUT, check=False
    )
    assert completed.returncode == 0 and completed.stderr == b"", completed.stderr[-4000:]
    peak_line, _, rest = completed.stdout.partition(b"\n")
    # Under a wrapper (valgrind) the peak is the wrapper's, under the
    # sanitizers mostly shadow memory: not checked.
    peak = 0 if wrapper() or not PEAK_MEASURES_TOUCHED_MEMORY else int(peak_line.split()[1])
    return rest.split(maxsplit=1)[0].decode(), peak


def write(tmp_path: Path, data: bytes, name: str = "image.img") -> Path:
    path = tmp_path / name
    path.write_bytes(data)
    return path


# ---------------------------------------------------------------- declared sizes


def redeclare(fmt: str, data: bytes, width: int, height: int) -> bytes:
    """`data` with the header's sides replaced, the rest unchanged."""
    out = bytearray(data)
    if fmt == "png":
        out[16:24] = struct.pack(">II", width, height)
        out[29:33] = struct.pack(">I", zlib.crc32(bytes(out[12:29])))
    elif fmt == "gif":
        out[6:10] = struct.pack("<HH", width, height)
        frame = 13 + (3 * (2 << (out[10] & 7)) if out[10] & 0x80 else 0)  # after the global table
        out[frame + 5 : frame + 9] = struct.pack("<HH", width, height)
    elif fmt == "jpeg":
        sof = max(out.find(b"\xff\xc0"), out.find(b"\xff\xc2"))
        out[sof + 5 : sof + 9] = struct.pack(">HH", height, width)
    elif fmt == "tga":
        out[12:16] = struct.pack("<HH", width, height)
    elif fmt == "psd":
        out[14:22] = struct.pack(">II", height, width)
    elif fmt == "pic":
        out[92:96] = struct.pack(">HH", width, height)
    elif fmt == "bmp":
        out[18:26] = struct.pack("<ii", width, height)
    else:
        raise ValueError(fmt)
    return bytes(out)


# The densest coding of each format, as pixels per byte of file (the bounds
# of the loader): a file holding more pixels than this is refused.
PIXELS_PER_BYTE: dict[str, float] = {
    "png-grey8": 1032.0,  # deflate: 258 bytes per 2 bits
    "gif": 8192 / 3,  # LZW: at most 4096 pixels per 12-bit code
    "jpeg-baseline-grey": 256.0,  # 64 pixels per 2-bit block
    "jpeg-progressive-grey": 512.0,  # 64 pixels per 1-bit block
    "tga-rle-rgb": 32.0,  # 128 pixels per 4-byte packet
    "psd": 64 / 3,  # PackBits: 128 bytes per 2-byte packet, three planes
    "pic": 16384.0,  # 65535 pixels per 4-byte packet, rounded up
    "hdr": 16.0,  # 127 pixels per 2 bytes in each of 4 planes, rounded up
}


# How close the flat files come to their bound. LZW reaches its densest codes
# only after some 25 M pixels, and a PIC row of at most 65535 pixels is what
# one 16-bit run holds: test-sized images stay further below.
REACH = {"gif": 0.05, "pic": 0.02}


def _flat_extremes() -> dict[str, tuple[str, Callable[[], tuple[bytes, forge.Picture]]]]:
    grey128 = lambda w, h: forge.flat(w, h, (128, 128, 128))  # noqa: E731
    hdr_data, hdr_picture = forge.hdr_flat(2000, 300, 140)
    return {
        "png-grey8": ("png", lambda: (forge.png_bomb(1500, 1500), forge.zeros(1500, 1500))),
        "gif": ("gif", lambda: (forge.gif_flat_lzw(1000, 1000, (30, 60, 90)), forge.flat(1000, 1000, (30, 60, 90)))),
        "jpeg-baseline-grey": (
            "jpeg",
            lambda: (forge.jpeg_flat_minimal(1000, 1000, progressive=False), grey128(1000, 1000)),
        ),
        "jpeg-progressive-grey": (
            "jpeg",
            lambda: (forge.jpeg_flat_minimal(1000, 1000, progressive=True), grey128(1000, 1000)),
        ),
        "tga-rle-rgb": (
            "tga",
            lambda: (forge.tga(forge.flat(1024, 1000, (1, 2, 3)), rle=True), forge.flat(1024, 1000, (1, 2, 3))),
        ),
        "psd": (
            "psd",
            lambda: (forge.psd(forge.flat(1024, 1000, (9, 8, 7)), rle=True), forge.flat(1024, 1000, (9, 8, 7))),
        ),
        "pic": ("pic", lambda: (forge.pic_flat(3000, 300, (5, 6, 7)), forge.flat(3000, 300, (5, 6, 7)))),
        "hdr": ("hdr", lambda: (hdr_data, hdr_picture)),
    }


FLAT = _flat_extremes()


@pytest.mark.parametrize("kind", FLAT)
def test_flat_colour_at_the_bound_decodes(tmp_path: Path, kind: str) -> None:
    _, make = FLAT[kind]
    data, expected = make()
    pixels = expected.width * expected.height
    # The file is the format's densest coding, within reach of its bound.
    assert REACH.get(kind, 0.6) * PIXELS_PER_BYTE[kind] * len(data) <= pixels <= PIXELS_PER_BYTE[kind] * len(data)
    decoded = decode_in_child(write(tmp_path, data))
    assert (decoded.status, decoded.width, decoded.height) == ("decoded", expected.width, expected.height)
    assert decoded.rgb == expected.rgb


@pytest.mark.parametrize("kind", [k for k in FLAT if FLAT[k][0] not in ("hdr",)])
def test_just_over_the_bound_is_refused_cheaply(tmp_path: Path, kind: str) -> None:
    fmt, make = FLAT[kind]
    data, expected = make()
    width = expected.width
    height = int(PIXELS_PER_BYTE[kind] * len(data)) // width + 1
    status, peak = decode_with_peak(write(tmp_path, redeclare(fmt, data, width, height)))
    assert status == "undecodable"
    assert peak < REFUSED_PEAK_KIB


def test_hdr_just_over_the_bound_is_refused_cheaply(tmp_path: Path) -> None:
    data, picture = forge.hdr_flat(2000, 300, 140)
    height = int(PIXELS_PER_BYTE["hdr"] * len(data)) // 2000 + 1
    over = data.replace(b"-Y 300 +X 2000\n", b"-Y %d +X 2000\n" % height)
    status, peak = decode_with_peak(write(tmp_path, over))
    assert (status, peak < REFUSED_PEAK_KIB) == ("undecodable", True)


# Small files whose headers declare a large image (under the pixel limit): each
# once cost hundreds of MB to GB and seconds before failing or "decoding".
HEADER_BOMBS: dict[str, Callable[[], bytes]] = {
    "gif-18-bytes-13377-square": lambda: b"GIF89a" + struct.pack("<HHBBB", 13377, 13377, 0, 0, 0) + b",\0\0\0\0",
    "hdr-header-only": lambda: b"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 12000 +X 12000\n",
    "psd-header-only": lambda: forge.psd(forge.gradient(1, 1))[:14] + struct.pack(">IIHH", 12000, 12000, 8, 3)
    + bytes(14),
    "tga-header-only": lambda: struct.pack("<BBBHHBHHHHBB", 0, 0, 2, 0, 0, 0, 0, 0, 12000, 12000, 24, 0x20),
    "tga-rle-header-only": lambda: struct.pack("<BBBHHBHHHHBB", 0, 0, 10, 0, 0, 0, 0, 0, 12000, 12000, 24, 0x20),
    "pnm-header-only": lambda: b"P6\n12000 12000\n255\n",
    "bmp-header-only": lambda: redeclare("bmp", forge.bmp(forge.gradient(2, 2)), 12000, 12000),
    "pic-header-only": lambda: forge.pic(forge.gradient(1, 1), declared_size=(12000, 12000))[:104],
    "png-4-pixels-declaring-12000-square": lambda: forge.png(forge.gradient(2, 2), declared_size=(12000, 12000)),
    "jpeg-cut-after-scan-header-8000-square": lambda: _cut_after_scan_header(
        redeclare("jpeg", forge.jpeg(forge.gradient(16, 16)), 8000, 8000)
    ),
    # A progressive file of empty refinement scans: each costs ten bytes and
    # a walk over every block. Past 16 walks over the image and past the
    # budget of 9 M block walks (here 42 walks of 262,144 blocks), it is refused.
    "jpeg-progressive-4096-square-40-empty-scans": lambda: forge.jpeg_empty_refinements(4096, 4096, 40),
    # The same at 8192 x 8192 (134 KB, and 1 MB of 7000 scans): the scan
    # headers are counted before the decode, so the 134 MB of coefficients
    # the first scan would fill are never touched.
    "jpeg-progressive-8192-square-20-empty-scans": lambda: forge.jpeg_empty_refinements(8192, 8192, 20),
    "jpeg-progressive-8192-square-7000-empty-scans": lambda: forge.jpeg_empty_refinements(8192, 8192, 7000),
}


def _cut_after_scan_header(data: bytes) -> bytes:
    sos = data.index(b"\xff\xda")
    return data[: sos + 2 + struct.unpack(">H", data[sos + 2 : sos + 4])[0]]


@pytest.mark.parametrize("name", HEADER_BOMBS)
def test_header_bomb_is_refused_cheaply(tmp_path: Path, name: str) -> None:
    data = HEADER_BOMBS[name]()
    assert len(data) < 1 << 20
    status, peak = decode_with_peak(write(tmp_path, data))
    assert status == "undecodable"
    assert peak < REFUSED_PEAK_KIB


def test_progressive_scans_within_the_budget_decode(tmp_path: Path) -> None:
    # 66 scans over an ordinary size decode; 145 walks of 62,500 blocks are
    # one walk over the budget of 9 M block walks.
    decoded = decode_in_child(write(tmp_path, forge.jpeg_empty_refinements(640, 480, 64)))
    assert decoded.status == "decoded"
    assert decoded.rgb == forge.flat(640, 480, (128, 128, 128)).rgb
    assert decode_in_child(write(tmp_path, forge.jpeg_empty_refinements(2000, 2000, 143))).status == "undecodable"


@pytest.mark.parametrize("mode", ["RGB", "L"])
@pytest.mark.parametrize("subsampling", [0, 2])
@pytest.mark.parametrize("restart_blocks", [0, 3])
def test_encoder_progressions_pass_the_scan_count(
    tmp_path: Path, mode: str, subsampling: int, restart_blocks: int
) -> None:
    # The scan headers are counted before the decode, skipping the coded
    # data: stuffed 0xFF bytes and restart markers must not end a scan early
    # or start a phantom one. Noise makes every scan's data dense.
    from PIL import Image

    rng = random.Random(7)
    image = Image.frombytes("RGB", (200, 120), bytes(rng.randrange(256) for _ in range(200 * 120 * 3))).convert(mode)
    out = io.BytesIO()
    options = {"restart_marker_blocks": restart_blocks} if restart_blocks else {}
    image.save(out, "JPEG", quality=90, progressive=True, subsampling=subsampling, **options)
    data = out.getvalue()
    assert data.count(b"\xff\xda") >= 6
    decoded = decode_in_child(write(tmp_path, data))
    assert (decoded.status, decoded.width, decoded.height) == ("decoded", 200, 120)


# ---------------------------------------------------------------- truncation


def _without_end(fmt: str, data: bytes) -> bytes:
    if fmt == "jpeg":
        assert data.endswith(b"\xff\xd9")
        return data[:-2]
    if fmt == "png":
        return forge.png_without_iend(data)
    assert fmt == "gif" and data.endswith(b"\x00;")
    return data[:-2]  # the block terminator and the trailer


COMPLETE_BUT_UNENDED = {
    "jpeg-baseline": ("jpeg", lambda: forge.jpeg(forge.gradient(40, 24))),
    "jpeg-restart-intervals": ("jpeg", lambda: forge.jpeg_flat_minimal(64, 64, progressive=False, restart_interval=16)),
    "png": ("png", lambda: forge.png(forge.gradient(40, 24))),
    "png-interlaced": ("png", lambda: forge.png(forge.gradient(40, 24), interlaced=True)),
    "gif": ("gif", lambda: forge.gif_flat_lzw(40, 24, (1, 2, 3))),
}


@pytest.mark.parametrize("name", COMPLETE_BUT_UNENDED)
def test_complete_image_without_end_marker_decodes(tmp_path: Path, name: str) -> None:
    fmt, make = COMPLETE_BUT_UNENDED[name]
    data = make()
    whole = decode_in_child(write(tmp_path, data, "whole"))
    assert whole.status == "decoded"
    assert decode_in_child(write(tmp_path, _without_end(fmt, data), "unended")) == whole


def _cut_in_last_scan(data: bytes) -> bytes:
    return data[: (data.rindex(b"\xff\xda") + len(data)) // 2]


def _cut_before_last_scan(data: bytes) -> bytes:
    return data[: data.rindex(b"\xff\xda")]


def _drop_after_second_restart(data: bytes) -> bytes:
    return data[: data.index(b"\xff\xd1")] + b"\xff\xd9"


def _cut_at(data: bytes, fraction: float) -> bytes:
    return data[: int(len(data) * fraction)]


def _gradient_jpeg(side: int) -> bytes:  # sequential, chroma at full resolution
    from PIL import Image

    out = io.BytesIO()
    Image.linear_gradient("L").resize((side, side)).convert("RGB").save(out, "JPEG", quality=90, subsampling=0)
    return out.getvalue()


TRUNCATED: dict[str, Callable[[], bytes]] = {
    "jpeg-baseline-mid-scan": lambda: forge.jpeg(forge.gradient(64, 64))[:-200],
    "jpeg-baseline-after-scan-header": lambda: _cut_after_scan_header(forge.jpeg(forge.gradient(64, 64))),
    "jpeg-progressive-in-last-scan": lambda: _cut_in_last_scan(forge.jpeg(forge.gradient(64, 64), progressive=True)),
    "jpeg-progressive-between-scans": lambda: _cut_before_last_scan(
        forge.jpeg(forge.gradient(64, 64), progressive=True)
    ),
    "jpeg-minimal-baseline-one-block-short": lambda: forge.jpeg_flat_minimal(64, 64, progressive=False)[:-3],
    # Two of four restart intervals, then the end: the rest of the scan is lost.
    "jpeg-restart-intervals-missing": lambda: _drop_after_second_restart(
        forge.jpeg_flat_minimal(64, 64, progressive=False, restart_interval=16)
    ),
    "gif-flat-half": lambda: forge.gif_flat_lzw(400, 300, (1, 2, 3))[:60],
    "gif-last-code-missing": lambda: forge.gif_flat_lzw(400, 300, (1, 2, 3))[:-4],
    "bmp-half": lambda: forge.bmp(forge.gradient(40, 24))[:1500],
    "pnm-half": lambda: forge.pnm(forge.gradient(40, 24))[:1500],
    "pic-flat-half": lambda: forge.pic_flat(300, 200, (5, 6, 7))[:700],
    "hdr-flat-half": lambda: forge.hdr_flat(300, 200, 140)[0][:3000],
    "psd-rle-half": lambda: forge.psd(forge.runs(40, 24), rle=True)[:400],
    # A progressive file that ends in its last scan's data may be cut there or
    # miss only its end marker: only a walk of every earlier scan over the
    # whole image could tell, so both are refused.
    "jpeg-progressive-without-end-marker": lambda: forge.jpeg(forge.gradient(40, 24), progressive=True)[:-2],
    # Files under 1 MB declaring 9 to 180 M pixels, cut: each touched 80 MB
    # to 1.5 GB (its canvas, or every block from zero bits) before refusal.
    "gif-13000-square-cut-at-65-kb": lambda: forge.gif_flat_lzw(13000, 13000, (30, 60, 90))[:65000],
    "gif-3000-square-cut-in-half": lambda: _cut_at(forge.gif(forge.few_colours(3000, 3000)), 0.5),
    "pic-13000x13300-cut-at-three-quarters": lambda: _cut_at(forge.pic_flat(13000, 13300, (5, 6, 7)), 0.75),
    "jpeg-progressive-8000-square-cut-in-last-scan": lambda: _cut_in_last_scan(
        forge.jpeg_flat_minimal(8000, 8000, progressive=True)
    ),
    "jpeg-baseline-6000-square-cut-at-two-fifths": lambda: _cut_at(_gradient_jpeg(6000), 0.4),
}


@pytest.mark.parametrize("name", TRUNCATED)
def test_truncated_image_is_refused_cheaply(tmp_path: Path, name: str) -> None:
    status, peak = decode_with_peak(write(tmp_path, TRUNCATED[name]()))
    assert (status, peak < REFUSED_PEAK_KIB) == ("undecodable", True)


def test_bmp_without_padding_after_its_last_row_decodes(tmp_path: Path) -> None:
    data = forge.bmp(forge.gradient(1, 3))  # rows of 3 bytes padded to 4
    whole = decode_in_child(write(tmp_path, data, "whole"))
    assert decode_in_child(write(tmp_path, data[:-1], "short")) == whole


# ---------------------------------------------------------------- palettes

PALETTE_COLOURS = [((i * 37 + 11) % 256, (i * 91 + 5) % 256, (i * 53 + 200) % 256) for i in range(256)]


def _palette_cases() -> dict[str, tuple[Callable[[], bytes], forge.Picture]]:
    cases: dict[str, tuple[Callable[[], bytes], forge.Picture]] = {}
    for depth in (1, 2, 4, 8):
        indexes = [i % (1 << depth) for i in range(1 << depth)] * 2
        for size in sorted({1, (1 << depth) - 1, (1 << depth) // 2 + 1}):
            palette = PALETTE_COLOURS[:size]
            expected = forge.Picture(
                len(indexes) // 2, 2, b"".join(bytes(palette[i] if i < size else (0, 0, 0)) for i in indexes)
            )
            cases[f"png-{depth}bit-{size}-entries"] = (
                lambda d=depth, p=palette, x=indexes: forge.png_palette(len(x) // 2, 2, d, p, x),
                expected,
            )
    indexes = bytes(range(256))
    for name, make, size in (
        ("bmp-os2-252-entries", forge.bmp_os2, 252),
        ("bmp-200-entries", forge.bmp_indexed, 200),
        ("tga-200-entries", forge.tga_indexed, 200),
    ):
        palette = PALETTE_COLOURS[:size]
        expected = forge.Picture(
            32, 8, b"".join(bytes(palette[i] if i < size else (0, 0, 0)) for i in indexes)
        )
        cases[name] = (lambda m=make, p=palette: m(32, 8, p, indexes), expected)
    return cases


PALETTES = _palette_cases()


@pytest.mark.parametrize("name", PALETTES)
def test_index_past_the_palette_is_black_on_every_run(tmp_path: Path, name: str) -> None:
    make, expected = PALETTES[name]
    path = write(tmp_path, make())
    first = decode_in_child(path)
    assert (first.status, first.width, first.height) == ("decoded", expected.width, expected.height)
    assert first.rgb == expected.rgb
    # Another process, another stack and heap history: the same bytes.
    assert decode_in_child(path, from_memory=True) == first


# ---------------------------------------------------------------- one open


def _feed_fifo(path: Path, data: bytes, hold_open: threading.Event | None = None) -> threading.Thread:
    """Writes `data`; with `hold_open`, keeps the FIFO open until it is set."""

    def writer() -> None:
        with open(path, "wb") as fifo:  # blocks until the reader opens
            try:
                fifo.write(data)
                fifo.flush()
            except BrokenPipeError:
                pass  # the reader refused the stream early
            if hold_open is not None:
                hold_open.wait(CHILD_TIMEOUT)

    thread = threading.Thread(target=writer, daemon=True)
    thread.start()
    return thread


@pytest.mark.parametrize(
    "make",
    [
        lambda: forge.png(forge.gradient(300, 200)),
        lambda: forge.jpeg(forge.gradient(300, 200), progressive=True),
        lambda: forge.tga(forge.gradient(300, 200)),
    ],
    ids=["png", "jpeg", "tga"],
)
def test_fifo_decodes_like_the_file(tmp_path: Path, make: Callable[[], bytes]) -> None:
    data = make()
    expected = decode_in_child(write(tmp_path, data))
    fifo = tmp_path / "image.fifo"
    os.mkfifo(fifo)
    thread = _feed_fifo(fifo, data)
    assert decode_in_child(fifo) == expected
    thread.join(timeout=CHILD_TIMEOUT)


def test_fifo_of_no_image_is_refused_after_its_first_bytes(tmp_path: Path) -> None:
    # The writer stays open: a reader that went on past the first bytes
    # would wait for the end of the stream until its timeout.
    fifo = tmp_path / "text.fifo"
    os.mkfifo(fifo)
    done = threading.Event()
    thread = _feed_fifo(fifo, b"not an image at all\n" * 1000, done)
    try:
        assert decode_in_child(fifo).status == "undecodable"
    finally:
        done.set()
    thread.join(timeout=CHILD_TIMEOUT)


def test_apply_reads_a_fifo(tmp_path: Path) -> None:
    cube = tmp_path / "identity.cube"
    cube.write_text("LUT_3D_SIZE 2\n" + "".join(f"{r} {g} {b}\n" for b in (0, 1) for g in (0, 1) for r in (0, 1)))
    fifo = tmp_path / "image.fifo"
    os.mkfifo(fifo)
    thread = _feed_fifo(fifo, forge.png(forge.gradient(64, 48)))
    output = tmp_path / "out.jpg"
    assert apply_in_child(cube, fifo, output).status == "success:ok"
    assert output.read_bytes()[:2] == b"\xff\xd8"
    thread.join(timeout=CHILD_TIMEOUT)


def test_ctrl_c_ends_a_fifo_that_no_one_writes(tmp_path: Path) -> None:
    cube = tmp_path / "identity.cube"
    cube.write_text("LUT_3D_SIZE 2\n" + "".join(f"{r} {g} {b}\n" for b in (0, 1) for g in (0, 1) for r in (0, 1)))
    fifo = tmp_path / "silent.fifo"
    os.mkfifo(fifo)
    # Python leaves SIGINT ignored when it starts with it ignored (a job started
    # with & by a shell): the child asks for the usual Ctrl-C handler itself.
    code = (
        "import signal, sys, tonvik\n"
        "signal.signal(signal.SIGINT, signal.default_int_handler)\n"
        "print('calling', flush=True)\n"
        "tonvik.apply_lut(sys.argv[1], sys.argv[2], sys.argv[3])\n"
    )
    child = subprocess.Popen(
        [sys.executable, "-c", code, str(cube), str(fifo), str(tmp_path / "out.jpg")],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    assert child.stdout is not None
    assert child.stdout.readline() == b"calling\n"
    # A signal that lands before the open only sets the interpreter's flag;
    # one that lands while the open waits for a writer ends the call, which
    # then raises for it. So signal until the child is gone.
    for _ in range(int(CHILD_TIMEOUT * 2)):
        child.send_signal(signal.SIGINT)
        try:
            _, stderr = child.communicate(timeout=0.5)
            break
        except subprocess.TimeoutExpired:
            continue
    else:
        child.kill()
        child.communicate()
        pytest.fail("the call waited on the FIFO through every signal")
    assert child.returncode != 0
    assert b"KeyboardInterrupt" in stderr


# Third-party files whose outcome changed on purpose: data that ends early is
# refused, and so is a progressive JPEG that ends in a scan's data.
@pytest.mark.corpus
@pytest.mark.parametrize(
    ("name", "status"),
    [
        ("bmp_suite_b_shortfile.bmp", "undecodable"),
        ("gif_vips_truncated.gif", "undecodable"),
        ("psd_pillow_combined_larger_than_size.psd", "undecodable"),
        ("tga_pillow_cross_scan_line_truncated.tga", "undecodable"),
        ("jpg_vips_truncated.jpg", "undecodable"),
        ("png_pillow_truncated_image.png", "undecodable"),
        ("jpg_pillow_truncated_progressive.jpg", "undecodable"),
    ],
)
def test_corpus_file_cut_short(name: str, status: str) -> None:
    assert decode_in_child(CORPUS / "images" / name).status == status
