"""The demo samples are deterministic and the grade is a real look."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
sys.path.insert(0, str(EXAMPLES))
import samples  # noqa: E402


def read_cube(path: Path) -> tuple[int, np.ndarray]:
    lines = [line for line in path.read_text().splitlines() if line and not line.startswith(("#", "TITLE"))]
    size = int(lines[0].split()[1])
    return size, np.array([[float(v) for v in line.split()] for line in lines[1:]])


def test_samples_are_byte_identical_across_runs(tmp_path: Path) -> None:
    # Two interpreters, each with its own hash seed: nothing of one process's
    # state may reach the files.
    code = "import sys; from pathlib import Path; import samples; samples.write_samples(Path(sys.argv[1]))"
    for folder, seed in (("a", "1"), ("b", "2")):
        child = subprocess.run(
            [sys.executable, "-c", code, str(tmp_path / folder)],
            env={**os.environ, "PYTHONPATH": str(EXAMPLES), "PYTHONHASHSEED": seed},
            capture_output=True, text=True, timeout=120, check=False,
        )
        assert child.returncode == 0, child.stderr
    names = (samples.GRADE_NAME, samples.IMAGE_NAME)
    for name in names:
        assert (tmp_path / "a" / name).read_bytes() == (tmp_path / "b" / name).read_bytes()


@pytest.mark.parametrize(
    ("rgb", "check"),
    [
        pytest.param((0.0, 0.0, 0.0), lambda out: out.min() >= 0.04, id="blacks-lifted"),
        pytest.param((1.0, 1.0, 1.0), lambda out: out.max() <= 0.97, id="highlights-rolled"),
        pytest.param((0.5, 0.5, 0.5), lambda out: out[0] > out[2], id="mid-grey-warm"),
    ],
)
def test_grade_is_a_warm_filmic_look(tmp_path: Path, rgb, check) -> None:
    lut_path, _ = samples.write_samples(tmp_path)
    size, table = read_cube(lut_path)
    assert size == samples.GRADE_SIZE
    assert table.shape == (size**3, 3)
    r, g, b = (round(c * (size - 1)) for c in rgb)
    assert check(table[r + size * g + size * size * b])


def test_image_is_photo_like(tmp_path: Path) -> None:
    from PIL import Image

    _, image_path = samples.write_samples(tmp_path)
    with Image.open(image_path) as image:
        assert image.mode == "RGB"
        assert image.size == (samples.IMAGE_WIDTH, samples.IMAGE_HEIGHT)
        pixels = np.asarray(image)
    assert len(np.unique(pixels.reshape(-1, 3), axis=0)) > 5000, "gradients and texture, not flat fills"
