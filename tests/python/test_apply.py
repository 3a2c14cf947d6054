"""Behaviour of tonvik.apply_lut end to end: statuses, errors, files and pixels."""

from __future__ import annotations

import io
import os
import resource
import signal
import stat
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

import tonvik
from isolation import apply_in_child
from support import (
    CORPUS,
    IMAGE_NOT_FOUND,
    IMAGE_TOO_LARGE,
    OK,
    OUTPUT_NOT_WRITTEN,
    run_unprivileged,
    write_cube,
)

COUNT_MISMATCH = (
    "[lut.exception.parse_error.0] parse error: The lut element does not match the size of lut"
)
SIZE_TOO_SMALL = "[lut.exception.parse_error.1] parse error: The lut size must be at least 2"

OLD_CONTENTS = b"previous contents, must survive"


# ---------------------------------------------------------------- helpers


def save(path: Path, pixels: np.ndarray) -> Path:
    """PNG whose mode follows the array: RGB, RGBA, L (uint8) or I;16 (uint16)."""
    Image.fromarray(pixels).save(path)
    return path


def flat_rgb(width: int, height: int, colour=(128, 128, 128)) -> np.ndarray:
    return np.tile(np.array(colour, dtype=np.uint8), (height, width, 1))


def decode(path: Path) -> np.ndarray:
    with Image.open(path) as image:
        assert image.format == "JPEG"
        assert image.mode == "RGB"
        return np.asarray(image)


def jpeg_segments(data: bytes) -> dict[int, bytes]:
    """Marker -> payload of the first segment with that marker, up to the scan."""
    assert data[:2] == b"\xff\xd8"
    segments: dict[int, bytes] = {}
    pos = 2
    while pos < len(data):
        assert data[pos] == 0xFF
        marker = data[pos + 1]
        (length,) = struct.unpack(">H", data[pos + 2 : pos + 4])
        segments.setdefault(marker, data[pos + 4 : pos + 2 + length])
        if marker == 0xDA:  # start of scan: entropy-coded data follows
            break
        pos += 2 + length
    return segments


def is_jpeg(path: Path) -> bool:
    data = path.read_bytes()
    return data[:3] == b"\xff\xd8\xff" and data[-2:] == b"\xff\xd9"


# ---------------------------------------------------------------- fixtures


@pytest.fixture
def identity_lut(tmp_path: Path) -> Path:
    return write_cube(tmp_path / "identity.cube", 33)


@pytest.fixture
def image(tmp_path: Path) -> Path:
    return save(tmp_path / "in.png", flat_rgb(40, 24))


@pytest.fixture
def existing_output(tmp_path: Path) -> Path:
    path = tmp_path / "existing.jpg"
    path.write_bytes(OLD_CONTENTS)
    return path


# ---------------------------------------------------------------- LUT failures


class TestLutFailures:
    def test_missing_lut_wins_over_missing_image(self, tmp_path: Path) -> None:
        lut = tmp_path / "absent.cube"
        output = tmp_path / "out.jpg"
        with pytest.raises(FileNotFoundError) as caught:
            tonvik.apply_lut(str(lut), str(tmp_path / "absent.png"), str(output))
        assert f"failed to open the file: {lut}" in str(caught.value)
        assert not output.exists()

    def test_directory_is_unopenable(self, tmp_path: Path, image: Path) -> None:
        with pytest.raises(IsADirectoryError) as caught:
            tonvik.apply_lut(str(tmp_path), str(image), str(tmp_path / "out.jpg"))
        assert f"failed to open the file: {tmp_path}" in str(caught.value)

    def test_unreadable_lut(self, unprivileged_dir: Path) -> None:
        lut = write_cube(unprivileged_dir / "locked.cube")
        lut.chmod(0)
        image = save(unprivileged_dir / "in.png", flat_rgb(4, 4))
        output = unprivileged_dir / "out.jpg"
        child = run_unprivileged(
            "try:\n"
            "    tonvik.apply_lut(*sys.argv[1:4])\n"
            "except OSError as error:\n"
            "    print(type(error).__name__, error.errno, error.filename == sys.argv[1])\n",
            str(lut), str(image), str(output),
        )
        assert child.returncode == 0, child.stderr
        assert child.stdout.split() == ["PermissionError", "13", "True"]
        assert not output.exists()

    @pytest.mark.parametrize(
        ("text", "message"),
        [
            pytest.param("", SIZE_TOO_SMALL, id="empty-file"),
            pytest.param("# only a comment\nTITLE x\n", SIZE_TOO_SMALL, id="no-size"),
            pytest.param("LUT_3D_SIZE 0\n", SIZE_TOO_SMALL, id="size-0"),
            pytest.param("LUT_3D_SIZE 1\n0.5 0.5 0.5\n", SIZE_TOO_SMALL, id="size-1"),
            pytest.param("LUT_3D_SIZE 2\n" + "0 0 0\n" * 7, COUNT_MISMATCH, id="7-of-8"),
            pytest.param("LUT_3D_SIZE 2\n" + "0 0 0\n" * 9, COUNT_MISMATCH, id="9-of-8"),
        ],
    )
    def test_malformed_lut_raises_and_writes_nothing(
        self, tmp_path: Path, image: Path, existing_output: Path, text: str, message: str
    ) -> None:
        lut = tmp_path / "bad.cube"
        lut.write_text(text)
        fresh = tmp_path / "fresh.jpg"
        for output in (fresh, existing_output):
            with pytest.raises(ValueError) as caught:
                tonvik.apply_lut(str(lut), str(image), str(output))
            assert str(caught.value) == message
        assert not fresh.exists()
        assert existing_output.read_bytes() == OLD_CONTENTS

    def test_small_lut_is_rejected_before_the_image_is_opened(self, tmp_path: Path) -> None:
        lut = tmp_path / "one.cube"
        lut.write_text("LUT_3D_SIZE 1\n0 0 0\n")
        with pytest.raises(ValueError, match=r"must be at least 2"):
            tonvik.apply_lut(str(lut), str(tmp_path / "absent.png"), str(tmp_path / "out.jpg"))


# ---------------------------------------------------------------- image failures


def write_text_file(path: Path) -> Path:
    path.write_text("this is not an image\n")
    return path


def write_truncated_png(path: Path) -> Path:
    buffer = io.BytesIO()
    Image.fromarray(flat_rgb(16, 16)).save(buffer, format="PNG")
    path.write_bytes(buffer.getvalue()[:40])
    return path


def write_ppm_header(width: int, height: int):
    def make(path: Path) -> Path:
        path.write_bytes(f"P6\n{width} {height}\n255\n".encode())
        return path

    return make


IMAGE_FAILURES = [
    pytest.param(lambda p: p / "absent.png", IMAGE_NOT_FOUND, id="missing"),
    pytest.param(lambda p: "", IMAGE_NOT_FOUND, id="empty-path"),
    pytest.param(lambda p: p, IMAGE_NOT_FOUND, id="directory"),
    pytest.param(lambda p: write_text_file(p / "notes.txt"), IMAGE_NOT_FOUND, id="text-file"),
    pytest.param(lambda p: write_truncated_png(p / "cut.png"), IMAGE_NOT_FOUND, id="truncated"),
    pytest.param(lambda p: write_ppm_header(65536, 1)(p / "wide.ppm"), IMAGE_TOO_LARGE, id="wide"),
    pytest.param(lambda p: write_ppm_header(1, 65536)(p / "tall.ppm"), IMAGE_TOO_LARGE, id="tall"),
    pytest.param(lambda p: write_ppm_header(65501, 1)(p / "wide.ppm"), IMAGE_TOO_LARGE, id="wide-65501"),
    pytest.param(lambda p: write_ppm_header(1, 65501)(p / "tall.ppm"), IMAGE_TOO_LARGE, id="tall-65501"),
    pytest.param(
        lambda p: write_ppm_header(65535, 2731)(p / "many.ppm"), IMAGE_TOO_LARGE, id="too-many-pixels"
    ),
]


class TestImageFailures:
    @pytest.mark.parametrize(("make_image", "status"), IMAGE_FAILURES)
    def test_status_and_outputs_untouched(
        self, tmp_path: Path, identity_lut: Path, existing_output: Path, make_image, status: str
    ) -> None:
        image_path = str(make_image(tmp_path))
        fresh = tmp_path / "fresh.jpg"
        assert tonvik.apply_lut(str(identity_lut), image_path, str(fresh)) == status
        assert tonvik.apply_lut(str(identity_lut), image_path, str(existing_output)) == status
        assert not fresh.exists()
        assert existing_output.read_bytes() == OLD_CONTENTS


# ---------------------------------------------------------------- output failures


def _capped_apply(lut: str, image: str, output: str, limit: int) -> None:  # pragma: no cover
    """Runs in a child: every file this process writes is capped at `limit` bytes."""
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))
    print(tonvik.apply_lut(lut, image, output))


class TestOutputFailures:
    @pytest.mark.parametrize(
        "make_output",
        [
            pytest.param(lambda p: p / "no" / "such" / "dir" / "out.jpg", id="missing-directory"),
            pytest.param(lambda p: p / "plain.txt" / "out.jpg", id="through-a-file"),
            pytest.param(lambda p: p, id="directory-itself"),
            pytest.param(lambda p: Path("/dev/full"), id="full-device"),
        ],
    )
    def test_unwritable_output_is_reported(
        self, tmp_path: Path, identity_lut: Path, image: Path, make_output
    ) -> None:
        (tmp_path / "plain.txt").write_text("keep")
        before = sorted(os.listdir(tmp_path))
        output = make_output(tmp_path)
        assert tonvik.apply_lut(str(identity_lut), str(image), str(output)) == OUTPUT_NOT_WRITTEN
        assert sorted(os.listdir(tmp_path)) == before, "no file anywhere, no temporary left"
        assert (tmp_path / "plain.txt").read_text() == "keep"

    def test_failed_write_keeps_existing_file(
        self, tmp_path: Path, identity_lut: Path, existing_output: Path
    ) -> None:
        noisy = np.random.default_rng(7).integers(0, 256, (200, 300, 3), dtype=np.uint8)
        image = save(tmp_path / "noisy.png", noisy)
        before = sorted(os.listdir(tmp_path))
        code = (
            "import sys; sys.path.insert(0, sys.argv[1]);"
            "import test_apply as t; t._capped_apply(*sys.argv[2:5], int(sys.argv[5]))"
        )
        done = subprocess.run(
            [sys.executable, "-c", code, str(Path(__file__).parent),
             str(identity_lut), str(image), str(existing_output), "4096"],
            capture_output=True, text=True, check=True,
        )
        assert done.stdout.strip() == OUTPUT_NOT_WRITTEN
        assert existing_output.read_bytes() == OLD_CONTENTS
        assert sorted(os.listdir(tmp_path)) == before

    def test_read_only_output_is_kept(self, unprivileged_dir: Path) -> None:
        lut = write_cube(unprivileged_dir / "identity.cube")
        image = save(unprivileged_dir / "in.png", flat_rgb(8, 8))
        output = unprivileged_dir / "read_only.jpg"
        output.write_bytes(OLD_CONTENTS)
        output.chmod(0o444)
        # The folder is writable: only the file's own mode may refuse the write.
        child = run_unprivileged("print(tonvik.apply_lut(*sys.argv[1:4]))", str(lut), str(image), str(output))
        assert child.returncode == 0, child.stderr
        assert child.stdout.strip() == OUTPUT_NOT_WRITTEN
        assert output.read_bytes() == OLD_CONTENTS
        assert sorted(p.name for p in unprivileged_dir.iterdir()) == ["identity.cube", "in.png", "read_only.jpg"]

    def test_dev_null_is_written_not_replaced(self, identity_lut: Path, image: Path) -> None:
        assert tonvik.apply_lut(str(identity_lut), str(image), "/dev/null") == OK
        assert stat.S_ISCHR(os.stat("/dev/null").st_mode)


# ---------------------------------------------------------------- output files


class TestOutputFiles:
    @pytest.mark.parametrize("name", ["out.png", "out.bmp", "out", "OUT.JPG", "out.jpeg.tmp"])
    def test_any_extension_gives_jpeg(
        self, tmp_path: Path, identity_lut: Path, image: Path, name: str
    ) -> None:
        output = tmp_path / name
        assert tonvik.apply_lut(str(identity_lut), str(image), str(output)) == OK
        assert is_jpeg(output)
        assert jpeg_segments(output.read_bytes())[0xE0].startswith(b"JFIF\x00")

    def test_output_may_be_the_input(self, identity_lut: Path, image: Path) -> None:
        assert tonvik.apply_lut(str(identity_lut), str(image), str(image)) == OK
        assert decode(image).shape == (24, 40, 3)

    def test_replacing_keeps_mode_and_symlink(self, tmp_path: Path, identity_lut: Path, image: Path) -> None:
        target = tmp_path / "target.jpg"
        target.write_bytes(OLD_CONTENTS)
        target.chmod(0o640)
        link = tmp_path / "link.jpg"
        link.symlink_to(target.name)
        assert tonvik.apply_lut(str(identity_lut), str(image), str(link)) == OK
        assert link.is_symlink()
        assert is_jpeg(target)
        assert stat.S_IMODE(target.stat().st_mode) == 0o640
        assert sorted(os.listdir(tmp_path)) == sorted(["identity.cube", "in.png", "target.jpg", "link.jpg"])

    def test_separate_processes_write_identical_bytes(self, tmp_path: Path) -> None:
        # Noise through a real grade, in two interpreters whose heaps differ
        # (the second fills fresh and freed blocks with a pattern): a byte that
        # came from uninitialised or leftover memory shows as a difference.
        lut = write_cube(tmp_path / "grade.cube", 17, lambda rgb: (rgb[0] ** 0.8, rgb[1], rgb[2] * 0.9))
        noisy = np.random.default_rng(11).integers(0, 256, (120, 160, 3), dtype=np.uint8)
        image = save(tmp_path / "noisy.png", noisy)
        first = apply_in_child(lut, image, tmp_path / "a.jpg")
        second = apply_in_child(lut, image, tmp_path / "b.jpg", env={"MALLOC_PERTURB_": "165"})
        assert first.status == second.status == OK
        assert (tmp_path / "a.jpg").read_bytes() == (tmp_path / "b.jpg").read_bytes()


# ---------------------------------------------------------------- input kinds and pixels

# Flat images of one colour survive a quality-100 JPEG unchanged, so the
# mapped colour can be compared exactly.
INPUT_KINDS = [
    pytest.param(lambda: flat_rgb(34, 10, (200, 100, 50)), (199, 99, 49), id="rgb"),
    pytest.param(
        lambda: np.dstack([flat_rgb(34, 10, (200, 100, 50)), np.zeros((10, 34), np.uint8)]),
        (199, 99, 49),
        id="alpha-dropped",
    ),
    pytest.param(lambda: np.full((10, 34), 128, np.uint8), (127, 127, 127), id="grey"),
    # 0x80FF: its high byte, 128, enters the mapping, not the rounded 130.
    pytest.param(lambda: np.full((10, 34), 0x80FF, np.uint16), (127, 127, 127), id="grey-16-bit"),
]


class TestInputKinds:
    @pytest.mark.parametrize(("make_pixels", "expected"), INPUT_KINDS)
    def test_mapped_colour(
        self, tmp_path: Path, identity_lut: Path, make_pixels, expected: tuple[int, int, int]
    ) -> None:
        source = save(tmp_path / "in.png", make_pixels())
        output = tmp_path / "out.jpg"
        assert tonvik.apply_lut(str(identity_lut), str(source), str(output)) == OK
        decoded = decode(output).astype(int)
        assert decoded.shape == (10, 34, 3)
        assert (decoded == np.array(expected)).all()

    def test_rgb_16_bit_png_uses_high_bytes(self, tmp_path: Path, identity_lut: Path) -> None:
        # Pillow cannot write 16-bit RGB; build the PNG by hand with zlib.
        import zlib

        width, height = 34, 8
        sample = struct.pack(">HHH", 0xC8FF, 0x64FF, 0x32FF)  # high bytes 200, 100, 50
        raw = b"".join(b"\x00" + sample * width for _ in range(height))

        def chunk(kind: bytes, payload: bytes) -> bytes:
            return struct.pack(">I", len(payload)) + kind + payload + struct.pack(
                ">I", zlib.crc32(kind + payload)
            )

        png = (
            b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 16, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw))
            + chunk(b"IEND", b"")
        )
        source = tmp_path / "deep.png"
        source.write_bytes(png)
        output = tmp_path / "out.jpg"
        assert tonvik.apply_lut(str(identity_lut), str(source), str(output)) == OK
        assert (decode(output) == np.array((199, 99, 49))).all()

    def test_grade_moves_colours(self, tmp_path: Path, image: Path) -> None:
        lut = write_cube(tmp_path / "invert.cube", 17, lambda rgb: tuple(1.0 - v for v in rgb))
        output = tmp_path / "out.jpg"
        assert tonvik.apply_lut(str(lut), str(image), str(output)) == OK
        assert np.abs(decode(output).astype(int) - 127).max() <= 2


# ---------------------------------------------------------------- JPEG quality by width


def luminance_table(data: bytes) -> bytes:
    table = jpeg_segments(data)[0xDB]
    assert table[0] == 0x00  # 8-bit precision, table 0
    return table[1:65]


class TestQualityByWidth:
    @pytest.mark.parametrize(
        ("width", "sampling", "all_ones"),
        [
            pytest.param(30, 0x22, False, id="30-subsampled"),
            pytest.param(31, 0x11, False, id="31-full-chroma"),
            pytest.param(33, 0x11, False, id="33-quality-99"),
            pytest.param(34, 0x11, True, id="34-quality-100"),
            pytest.param(300, 0x11, True, id="300-quality-100"),
        ],
    )
    def test_sof0_sampling_and_quantisation(
        self, tmp_path: Path, identity_lut: Path, width: int, sampling: int, all_ones: bool
    ) -> None:
        source = save(tmp_path / "in.png", flat_rgb(width, 9))
        output = tmp_path / "out.jpg"
        assert tonvik.apply_lut(str(identity_lut), str(source), str(output)) == OK
        data = output.read_bytes()
        sof0 = jpeg_segments(data)[0xC0]
        precision, height, w, components = struct.unpack(">BHHB", sof0[:6])
        assert (precision, height, w, components) == (8, 9, width, 3)
        assert sof0[6 + 1] == sampling  # luma sampling factors
        assert (set(luminance_table(data)) == {1}) is all_ones

    def test_quality_90_at_width_30(self, tmp_path: Path, identity_lut: Path) -> None:
        source = save(tmp_path / "in.png", flat_rgb(30, 9))
        output = tmp_path / "out.jpg"
        assert tonvik.apply_lut(str(identity_lut), str(source), str(output)) == OK
        # Quality 90 scales the base table by 20%: its first entry, 16, becomes 3.
        assert luminance_table(output.read_bytes())[0] == 3


# ---------------------------------------------------------------- third-party samples


@pytest.mark.corpus
class TestCorpus:
    @pytest.mark.parametrize(
        ("name", "status"),
        [
            ("bmp_suite_b_reallybig.bmp", IMAGE_TOO_LARGE),
            ("bmp_suite_b_badrle.bmp", IMAGE_NOT_FOUND),
            ("gif_pillow_hopper.gif", OK),
            ("hdr_vips_sample.hdr", OK),
        ],
    )
    def test_image_status(self, tmp_path: Path, identity_lut: Path, name: str, status: str) -> None:
        source = CORPUS / "images" / name
        output = tmp_path / "out.jpg"
        assert tonvik.apply_lut(str(identity_lut), str(source), str(output)) == status
        assert output.exists() == (status == OK)
