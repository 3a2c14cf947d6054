"""The folder-grading examples, run as a user runs them: as scripts, on a small
generated folder, with a real process pool and a real Dask cluster."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import time
from collections.abc import Iterator
from pathlib import Path

import numpy
import pytest
from PIL import Image

from support import IMAGE_NOT_FOUND, OK, write_cube

REPO = Path(__file__).resolve().parents[2]
EXAMPLES = REPO / "examples"
sys.path.insert(0, str(EXAMPLES))

import before_after  # noqa: E402  (these live in examples/, not in a package)
import grading  # noqa: E402
import samples  # noqa: E402

SCRIPT_TIMEOUT = 120  # seconds; a Dask cluster starts in a few
# A hang guard only: a strict check of Dask's and numpy's stubs from a cold
# cache takes over a minute alone and past two on a busy shared machine.
TYPECHECK_TIMEOUT = 600

# Flat colours, one per image, so that each output can be traced back to its
# source: a mix-up of names shows as a wrong colour.
GOOD_IMAGES = {
    "a.png": ((200, 100, 50), "RGB"),
    "a.jpg": ((40, 160, 220), "RGB"),
    "b.bmp": ((120, 200, 80), "RGB"),
    "grey.png": ((90,), "L"),
    "alpha.png": ((230, 60, 140, 7), "RGBA"),
}
EXPECTED_OUTPUTS = {
    "a.png": "a.png.jpg",
    "a.jpg": "a.jpg.jpg",
    "b.bmp": "b.jpg",
    "grey.png": "grey.jpg",
    "alpha.png": "alpha.jpg",
}
IMAGE_SIZE = (48, 32)
# An identity LUT truncates by at most a step, JPEG adds a little on flat areas.
COLOUR_TOLERANCE = 6


@pytest.fixture
def lut(tmp_path: Path) -> Path:
    return write_cube(tmp_path / "identity.cube", 9, title="identity9")


@pytest.fixture
def photos(tmp_path: Path) -> Path:
    """Five good images (two share the stem "a"), one broken, and files to skip."""
    folder = tmp_path / "photos"
    folder.mkdir()
    for name, (colour, mode) in GOOD_IMAGES.items():
        Image.new(mode, IMAGE_SIZE, colour).save(folder / name, quality=100)
    (folder / "broken.png").write_bytes(b"\x89PNG\r\n\x1a\n but nothing after the signature")
    (folder / "notes.txt").write_text("not an image, not a candidate")
    (folder / ".hidden.png").write_bytes(b"skipped as hidden")
    (folder / "nested").mkdir()
    Image.new("RGB", IMAGE_SIZE).save(folder / "nested" / "deep.png")
    return folder


def run_script(script: str, *args: str | Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, str(EXAMPLES / script), *map(str, args)],
        capture_output=True,
        text=True,
        timeout=SCRIPT_TIMEOUT,
        check=False,
    )


def summary_counts(stdout: str) -> dict[str, int]:
    """Parses the outcome lines of a summary: "  <outcome>  <count>[  (first: ...)]"."""
    counts = {}
    for line in stdout.splitlines():
        if line.startswith("  "):
            outcome, count = line.split()[:2]
            counts[outcome] = int(count)
    return counts


def expected_colour(colour: tuple[int, ...], mode: str) -> tuple[int, int, int]:
    if mode == "L":
        return (colour[0],) * 3
    return colour[0], colour[1], colour[2]  # alpha dropped


def mean_colour(path: Path) -> tuple[float, ...]:
    with Image.open(path) as image:
        assert image.format == "JPEG"
        assert image.size == IMAGE_SIZE
        pixels = numpy.asarray(image.convert("RGB"), dtype=numpy.float64)
    return tuple(pixels.reshape(-1, 3).mean(axis=0))


SCRIPTS = [
    pytest.param("grade_folder.py", ("--workers", "2"), id="process-pool"),
    pytest.param("grade_dask.py", ("--workers", "2"), id="dask-local"),
]


@pytest.mark.parametrize(("script", "options"), SCRIPTS)
def test_grades_every_image_and_counts_the_broken_one(
    script: str, options: tuple[str, ...], lut: Path, photos: Path, tmp_path: Path
) -> None:
    out = tmp_path / "graded"
    result = run_script(script, lut, photos, out, *options)

    assert result.returncode == grading.EXIT_SOME_FAILED, result.stderr
    assert "6 images, 5 graded, 1 failed" in result.stdout
    assert summary_counts(result.stdout) == {OK: 5, IMAGE_NOT_FOUND: 1}
    assert sorted(p.name for p in out.iterdir()) == sorted(EXPECTED_OUTPUTS.values())
    for name, target in EXPECTED_OUTPUTS.items():
        colour, mode = GOOD_IMAGES[name]
        got = mean_colour(out / target)
        for channel, want in zip(got, expected_colour(colour, mode)):
            assert abs(channel - want) <= COLOUR_TOLERANCE, (name, got)


@pytest.mark.parametrize(("script", "options"), SCRIPTS)
def test_a_missing_lut_fails_every_image_with_its_exception_type(
    script: str, options: tuple[str, ...], photos: Path, tmp_path: Path
) -> None:
    missing = tmp_path / "missing.cube"
    out = tmp_path / "graded"
    result = run_script(script, missing, photos, out, *options)

    assert result.returncode == grading.EXIT_SOME_FAILED
    assert summary_counts(result.stdout) == {"FileNotFoundError": 6}
    assert f"failed to open the file: {missing}" in result.stdout
    assert list(out.iterdir()) == []


def test_a_malformed_lut_is_counted_as_value_error(photos: Path, tmp_path: Path) -> None:
    lut = write_cube(tmp_path / "short.cube", 9)
    lut.write_text(lut.read_text().replace("LUT_3D_SIZE 9", "LUT_3D_SIZE 10"))
    result = run_script("grade_folder.py", lut, photos, tmp_path / "graded", "--workers", "1")

    assert result.returncode == grading.EXIT_SOME_FAILED
    assert summary_counts(result.stdout) == {"ValueError": 6}
    assert "The lut element does not match the size of lut" in result.stdout


def test_exits_zero_when_every_image_is_graded(lut: Path, photos: Path, tmp_path: Path) -> None:
    (photos / "broken.png").unlink()
    result = run_script("grade_folder.py", lut, photos, tmp_path / "graded", "--workers", "2")

    assert result.returncode == grading.EXIT_OK, result.stderr
    assert summary_counts(result.stdout) == {OK: 5}


def test_an_empty_folder_is_no_failure(lut: Path, tmp_path: Path) -> None:
    (tmp_path / "empty").mkdir()
    result = run_script("grade_folder.py", lut, tmp_path / "empty", tmp_path / "graded")

    assert result.returncode == grading.EXIT_OK
    assert "0 images, 0 graded, 0 failed" in result.stdout


@pytest.mark.parametrize(
    ("args", "message"),
    [
        pytest.param(("{photos}", "{photos}"), "must differ from the input folder", id="output-is-input"),
        pytest.param(("{photos}", "{photos}/../photos"), "must differ from the input folder", id="same-folder-other-spelling"),
        pytest.param(("{tmp}/nowhere", "{tmp}/graded"), "nowhere", id="missing-input-folder"),
        pytest.param(("{photos}", "{tmp}/graded", "--workers", "0"), "must be at least 1", id="no-workers"),
    ],
)
def test_usage_errors_write_nothing(
    args: tuple[str, ...], message: str, lut: Path, photos: Path, tmp_path: Path
) -> None:
    before = sorted(photos.iterdir())
    filled = [arg.format(photos=photos, tmp=tmp_path) for arg in args]
    result = run_script("grade_folder.py", lut, *filled)

    assert result.returncode == grading.EXIT_USAGE
    assert message in result.stderr
    assert sorted(photos.iterdir()) == before
    assert not (tmp_path / "graded").exists()


@pytest.mark.parametrize(
    ("names", "expected"),
    [
        pytest.param(["x.png", "y.jpg"], {"x.png": "x.jpg", "y.jpg": "y.jpg"}, id="distinct-stems"),
        pytest.param(["a.png", "a.jpg"], {"a.png": "a.png.jpg", "a.jpg": "a.jpg.jpg"}, id="shared-stem"),
        pytest.param(["A.png", "a.jpg"], {"A.png": "A.png.jpg", "a.jpg": "a.jpg.jpg"}, id="stems-differ-in-case"),
        pytest.param(
            ["a.png", "a.jpg", "a.png.jpg"],
            {"a.jpg": "a.jpg.jpg", "a.png": "a.png.jpg", "a.png.jpg": "a.png-2.jpg"},
            id="full-name-taken-by-another-stem",
        ),
        pytest.param(["a.b.png"], {"a.b.png": "a.b.jpg"}, id="dots-in-stem"),
    ],
)
def test_output_names_never_collide(names: list[str], expected: dict[str, str]) -> None:
    mapping = grading.output_names(names)
    assert mapping == expected
    assert len({name.casefold() for name in mapping.values()}) == len(names)


# A cluster of separate scheduler and worker processes, as on real machines:
# the worker's working folder holds no examples, so grading.py reaches it only
# through the client's upload.
@pytest.fixture
def scheduler_address(tmp_path: Path) -> Iterator[str]:
    scheduler_file = tmp_path / "scheduler.json"
    elsewhere = tmp_path / "worker-home"
    elsewhere.mkdir()

    def start(module: str, *args: str) -> subprocess.Popen[bytes]:
        return subprocess.Popen(
            [sys.executable, "-m", f"distributed.cli.{module}", *args, "--no-dashboard"],
            cwd=elsewhere,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )

    def address_once_written() -> str:
        # The scheduler writes the file while the test polls: it may exist
        # before its JSON is complete.
        deadline = time.monotonic() + 30
        while True:
            try:
                return str(json.loads(scheduler_file.read_text())["address"])
            except (FileNotFoundError, json.JSONDecodeError, KeyError):
                assert time.monotonic() < deadline, "scheduler did not start"
                time.sleep(0.1)

    processes = [start("dask_scheduler", "--host", "127.0.0.1", "--port", "0", "--scheduler-file", str(scheduler_file))]
    try:
        address = address_once_written()
        processes.append(
            start("dask_worker", "--scheduler-file", str(scheduler_file), "--nworkers", "1", "--nthreads", "1",
                  "--host", "127.0.0.1")
        )
        yield address
    finally:
        for process in reversed(processes):
            process.terminate()
        for process in reversed(processes):
            try:
                process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


@pytest.mark.slow
def test_dask_example_runs_on_a_separate_cluster(
    scheduler_address: str, lut: Path, photos: Path, tmp_path: Path
) -> None:
    out = tmp_path / "graded"
    result = run_script("grade_dask.py", lut, photos, out, "--scheduler", scheduler_address)

    assert result.returncode == grading.EXIT_SOME_FAILED, result.stderr
    assert summary_counts(result.stdout) == {OK: 5, IMAGE_NOT_FOUND: 1}
    assert sorted(p.name for p in out.iterdir()) == sorted(EXPECTED_OUTPUTS.values())


def test_examples_pass_mypy_strict(tmp_path: Path) -> None:
    # Checked against this tree's stub, whichever tonvik the interpreter would
    # import (an installed wheel, or a build folder on PYTHONPATH that carries
    # no stub): MYPYPATH comes before site-packages.
    stubs = tmp_path / "stubs"
    stubs.mkdir()
    shutil.copy(REPO / "src" / "binding" / "tonvik-stubs" / "__init__.pyi", stubs / "tonvik.pyi")
    # Run from the repository so that the settings in pyproject.toml apply.
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache")],
        cwd=REPO,
        env={**os.environ, "MYPYPATH": str(stubs)},
        capture_output=True,
        text=True,
        timeout=TYPECHECK_TIMEOUT,
        check=False,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    # Every example is checked, not just those mypy happens to find.
    checked = len(list(EXAMPLES.glob("*.py")))
    assert f"no issues found in {checked} source files" in result.stdout


PICTURE_BUDGET = 300 * 1024  # bytes: the picture lives in the repository


def test_before_after_picture_shows_the_grade(tmp_path: Path) -> None:
    picture = tmp_path / "before-after.png"
    result = run_script("before_after.py", picture)

    assert result.returncode == 0, result.stderr
    assert 0 < picture.stat().st_size < PICTURE_BUDGET
    with Image.open(picture) as image:
        pixels = numpy.asarray(image.convert("RGB"), dtype=numpy.int16)
    # Two halves of equal size side by side, below a strip for the labels.
    width = round(samples.IMAGE_WIDTH * before_after.SCALE)
    height = round(samples.IMAGE_HEIGHT * before_after.SCALE)
    top, gap = before_after.LABEL_HEIGHT, before_after.GAP
    assert pixels.shape == (top + height + gap, 2 * width + 3 * gap, 3)
    before = pixels[top : top + height, gap : gap + width]
    after = pixels[top : top + height, 2 * gap + width : 2 * gap + 2 * width]
    # The warm grade: red up against blue, and the picture visibly changed.
    def warmth(part: numpy.ndarray) -> float:
        return float((part[..., 0] - part[..., 2]).mean())

    assert warmth(after) > warmth(before) + 5
    assert float(numpy.abs(after - before).mean()) > 5


def test_committed_picture_is_within_budget() -> None:
    picture = REPO / "docs" / "before-after.png"
    assert 0 < picture.stat().st_size < PICTURE_BUDGET
    assert "docs/before-after.png" in (REPO / "README.md").read_text()
