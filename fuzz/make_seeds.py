"""Writes the fuzzers' seed corpora, all made by the project's own test forge:
one small file per image format and variant, a handful of cube texts, and
raw pictures for the JPEG writer's differential fuzzer.

    python fuzz/make_seeds.py <directory>   # creates <directory>/image, /cube and /writer
"""

from __future__ import annotations

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))

import image_forge as forge  # noqa: E402


def image_seeds() -> dict[str, bytes]:
    picture = forge.gradient(9, 5)
    few = forge.few_colours(9, 5)
    runs = forge.runs(9, 5)
    seeds = {
        "rgb8.png": forge.png(picture),
        "rgba16-interlaced.png": forge.png(picture, colour="rgba", bit_depth=16, interlaced=True),
        "grey.png": forge.png(picture, colour="grey"),
        "palette.png": forge.png(few, colour="palette"),
        "baseline.jpg": forge.jpeg(picture),
        "progressive.jpg": forge.jpeg(picture, progressive=True),
        "dc-overflow.jpg": forge.jpeg_dc_overflow(progressive=True, blocks_x=2, blocks_y=2),
        "rgb24.bmp": forge.bmp(picture),
        "palette8.bmp": forge.bmp_indexed(4, 2, [(1, 2, 3), (200, 100, 50)], bytes(range(8))),
        "raw.tga": forge.tga(picture),
        "rle.tga": forge.tga(runs, rle=True),
        "palette.gif": forge.gif(few),
        "raw.psd": forge.psd(picture),
        "rle.psd": forge.psd(runs, rle=True),
        "alpha.psd": forge.psd(picture, alpha=bytes(i * 37 % 256 for i in range(picture.width * picture.height))),
        "raw.pic": forge.pic(picture),
        "mixed.pic": forge.pic(picture, packet_type=2),
        "rgb8.ppm": forge.pnm(picture),
        "grey16.pgm": forge.pnm(picture, grey_scale=True, bit_depth=16),
        "flat.hdr": forge.hdr(4, 3, rle=False)[0],
        "rle.hdr": forge.hdr(12, 3, rle=True)[0],
    }
    # The densest file of each format at the apply fuzzer's pixel budget
    # (2^18): every run starts with them, so the run's budgets of time and
    # memory (-timeout, -rss_limit_mb in the Makefile) must hold for a valid
    # flat image of the largest size the fuzzer decodes.
    seeds.update({
        "flat-512.png": forge.png_bomb(512, 512),
        "flat-512.gif": forge.gif_flat_lzw(512, 512, (10, 20, 30)),
        "flat-512-baseline.jpg": forge.jpeg_flat_minimal(512, 512, progressive=False),
        "flat-512-progressive.jpg": forge.jpeg_flat_minimal(512, 512, progressive=True),
        "flat-512-refined-13.jpg": forge.jpeg_empty_refinements(512, 512, 13),
        "flat-512-rle.tga": forge.tga(forge.flat(512, 512, (1, 2, 3)), rle=True),
        "flat-512-rle.psd": forge.psd(forge.flat(512, 512, (4, 5, 6)), rle=True),
        "flat-512.pic": forge.pic_flat(512, 512, (7, 8, 9)),
        "flat-512.hdr": forge.hdr_flat(512, 512, 140)[0],
    })
    for name, data in seeds.items():
        assert len(data) <= 65536, f"{name} is over the fuzzers' -max_len"
    return seeds


def cube_seeds() -> dict[str, bytes]:
    def table(size: int) -> str:
        step = 1 / (size - 1)
        return "".join(
            f"{r * step:.6f} {g * step:.6f} {b * step:.6f}\n"
            for b in range(size)
            for g in range(size)
            for r in range(size)
        )

    return {
        "identity2.cube": f"TITLE \"id\"\nLUT_3D_SIZE 2\n{table(2)}".encode(),
        "identity3-crlf.cube": f"# comment\r\nLUT_3D_SIZE 3\r\n{table(3)}".replace("\n", "\r\n").encode(),
        "domain.cube": f"DOMAIN_MIN 0 0 0\nDOMAIN_MAX 1 1 1\nLUT_3D_SIZE 2\n{table(2)}".encode(),
        "short-lines.cube": b"LUT_3D_SIZE 2\n" + b"0.5 0.25\n" * 8,
        "size-after-data.cube": f"{table(2)}LUT_3D_SIZE 2\n".encode(),
        "out-of-range.cube": b"LUT_3D_SIZE 2\n" + b"-1 2 1e9\n" * 8,
        "huge-size.cube": b"LUT_3D_SIZE 2048\n",
    }


def writer_seeds() -> dict[str, bytes]:
    """The writer fuzzer's input: width - 1 (2 bytes, little-endian), height - 1,
    a quality byte (255: 3 x width, else value + 10), then the pixels."""

    def seed(picture: forge.Picture, quality: int) -> bytes:
        code = 255 if quality < 0 else quality + 10
        return (picture.width - 1).to_bytes(2, "little") + bytes((picture.height - 1, code)) + picture.rgb

    return {
        "gradient-pipeline.raw": seed(forge.gradient(37, 21), -1),
        "gradient-subsampled.raw": seed(forge.gradient(9, 5), -1),
        "few-colours-q100.raw": seed(forge.few_colours(40, 40), 100),
        "runs-q90.raw": seed(forge.runs(17, 33), 90),
        "runs-q91.raw": seed(forge.runs(23, 9), 91),
        "gradient-q1.raw": seed(forge.gradient(16, 16), 1),
        "one-pixel-q0.raw": seed(forge.gradient(1, 1), 0),
    }


def main() -> None:
    root = Path(sys.argv[1])
    for kind, seeds in (("image", image_seeds()), ("cube", cube_seeds()), ("writer", writer_seeds())):
        folder = root / kind
        folder.mkdir(parents=True, exist_ok=True)
        for name, data in seeds.items():
            (folder / name).write_bytes(data)


if __name__ == "__main__":
    main()
