"""Helpers shared by the tests of the tonvik module."""

from __future__ import annotations

import os
import subprocess
import sys
from collections.abc import Callable, Sequence
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]

# Third-party sample files live beside the repository, never in it, as for the
# C++ tests. TONVIK_CORPUS_DIR points elsewhere (a checkout that has no
# shared/ next to it). Tests that read it carry the "corpus" marker: they skip
# when it is absent, and the run's summary says how many ran.
CORPUS = Path(os.environ.get("TONVIK_CORPUS_DIR") or REPO.parent / "shared" / "corpus")

# The statuses apply_lut returns (src/bridge/status.hpp).
OK = "success:ok"
IMAGE_NOT_FOUND = "error:image_not_found"
IMAGE_TOO_LARGE = "error:image_too_large"
OUTPUT_NOT_WRITTEN = "error:output_not_written"

# The user a permission check runs as when the tests run as root, who reads
# and writes any file: "nobody" on Debian and most Linux systems.
UNPRIVILEGED_ID = 65534

RGB = tuple[float, float, float]


def cube_text(size: int = 2, transform: Callable[[RGB], Sequence[float]] = lambda rgb: rgb,
              title: str | None = None) -> str:
    """A cube file with `size` points per axis, red running fastest; the
    identity table unless `transform` maps each grid colour elsewhere."""
    lines = [f"TITLE {title}"] if title else []
    lines.append(f"LUT_3D_SIZE {size}")
    step = 1.0 / (size - 1)
    for b in range(size):
        for g in range(size):
            for r in range(size):
                lines.append(" ".join(f"{v:.6f}" for v in transform((r * step, g * step, b * step))))
    return "\n".join(lines) + "\n"


def write_cube(path: Path, size: int = 2, transform: Callable[[RGB], Sequence[float]] = lambda rgb: rgb,
               title: str | None = None) -> Path:
    path.write_text(cube_text(size, transform, title))
    return path


def run_python(code: str, env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter: the module initialises once per process."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=120,
        check=False,
    )


# Runs before the code of run_unprivileged: the interpreter and tonvik are
# loaded while still root (the interpreter may live where only root can read),
# then the process gives up root for good.
_DROP_ROOT = f"""
import os, sys
import tonvik
if os.geteuid() == 0:
    os.setgroups([])
    os.setgid({UNPRIVILEGED_ID})
    os.setuid({UNPRIVILEGED_ID})
    assert os.geteuid() != 0
"""


def run_unprivileged(code: str, *args: str) -> subprocess.CompletedProcess[str]:
    """Runs `code` (with `args` in sys.argv[1:]) in a fresh interpreter that
    is not root, so that file permissions hold as they do for a real user. The
    files it touches must be reachable by UNPRIVILEGED_ID: the unprivileged_dir
    fixture makes a folder that is."""
    return subprocess.run(
        [sys.executable, "-c", _DROP_ROOT + code, *args],
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )

