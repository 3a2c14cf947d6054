"""The distributions as a user gets them: `python -m build` makes the sdist and
the wheel (the wheel from the sdist, so a file missing from the sdist breaks
the build), and the wheel installed into a fresh virtual environment runs the
demo with no source tree anywhere on the path.

Slow (a full build in an isolated environment): select with `-m packaging`,
leave out with `-m "not packaging"`. The full run includes it.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
BUILD_TIMEOUT = 900  # seconds: an isolated build installs its tools, then compiles
RUN_TIMEOUT = 300

pytestmark = pytest.mark.packaging


def run(command: list[str], cwd: Path, timeout: int, env: dict[str, str] | None = None) -> str:
    result = subprocess.run(
        command, cwd=cwd, env=env, capture_output=True, text=True, timeout=timeout, check=False
    )
    assert result.returncode == 0, f"{command} failed:\n{result.stdout}\n{result.stderr}"
    return result.stdout


def clean_environment() -> dict[str, str]:
    """The caller's environment without anything that points Python at a tree
    or preloads a runtime: a sanitizer run instruments the module under test,
    not the compiler of a user's build nor the wheel a user installs."""
    drop = {
        "PYTHONPATH", "PYTHONHOME", "PYTHONSTARTUP", "PYTHONUSERBASE", "VIRTUAL_ENV",
        "LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS",
    }
    env = {key: value for key, value in os.environ.items() if key not in drop}
    env["PYTHONNOUSERSITE"] = "1"
    env["CMAKE_BUILD_PARALLEL_LEVEL"] = "2"  # the machine is shared
    return env


@pytest.fixture(scope="module")
def distributions(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, Path]:
    """(sdist, wheel), built once for the tests of this file."""
    out = tmp_path_factory.mktemp("dist")
    run([sys.executable, "-m", "build", "--outdir", str(out), str(REPO)], REPO, BUILD_TIMEOUT, clean_environment())
    sdists = sorted(out.glob("tonvik-*.tar.gz"))
    wheels = sorted(out.glob("tonvik-*.whl"))
    assert len(sdists) == 1 and len(wheels) == 1, sorted(p.name for p in out.iterdir())
    return sdists[0], wheels[0]


def test_wheel_holds_module_stubs_and_licence(distributions: tuple[Path, Path]) -> None:
    _, wheel = distributions
    assert "-cp312-cp312-" in wheel.name
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        metadata = archive.read(next(n for n in names if n.endswith(".dist-info/METADATA"))).decode()
    assert [n for n in names if n.startswith("tonvik.") and n.endswith(".so")], names
    assert "tonvik-stubs/__init__.pyi" in names
    assert any(n.endswith(".dist-info/licenses/LICENSE") for n in names), names
    headers = [line for line in metadata.splitlines() if ": " in line]
    for expected in ("License-Expression: MIT", "Requires-Python: >=3.12", "Name: tonvik"):
        assert expected in headers
    assert "Classifier: Programming Language :: Python :: 3.12" in headers
    # The long description is the README, picture and all.
    assert "## Outcomes" in metadata


def test_sdist_holds_sources_docs_and_examples(distributions: tuple[Path, Path]) -> None:
    sdist, _ = distributions
    with tarfile.open(sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    for expected in (
        "pyproject.toml",
        "CMakeLists.txt",
        "README.md",
        "LICENSE",
        "CHANGELOG.md",
        "src/binding/tonvik-stubs/__init__.pyi",
        "examples/grade_folder.py",
        "examples/demo.py",
        "examples/samples.py",
    ):
        assert expected in names
    assert not [name for name in names if name.startswith((".venv/", "build/"))]


def test_wheel_runs_the_demo_in_a_fresh_environment(distributions: tuple[Path, Path], tmp_path: Path) -> None:
    _, wheel = distributions
    venv = tmp_path / "venv"
    run([sys.executable, "-m", "venv", str(venv)], tmp_path, RUN_TIMEOUT)
    python = venv / "bin" / "python"
    env = clean_environment()
    run([str(python), "-m", "pip", "install", "--quiet", "--no-index", "--no-deps", str(wheel)], tmp_path, RUN_TIMEOUT, env)
    # The demo's sample maker draws with numpy and Pillow; tonvik itself needs neither.
    run([str(python), "-m", "pip", "install", "--quiet", "numpy", "pillow"], tmp_path, RUN_TIMEOUT, env)

    # The demo and its sample maker, alone in a folder outside the repository.
    work = tmp_path / "work"
    work.mkdir()
    for name in ("demo.py", "samples.py"):
        shutil.copy(REPO / "examples" / name, work / name)
    where = run([str(python), "-c", "import tonvik; print(tonvik.__file__)"], work, RUN_TIMEOUT, env).strip()
    assert Path(where).is_relative_to(venv), where

    output = run([str(python), "demo.py"], work, RUN_TIMEOUT, env)
    assert "status: success:ok" in output.splitlines()
    written = Path(next(line for line in output.splitlines() if line.startswith("output: ")).split(": ", 1)[1])
    assert written.is_relative_to(tmp_path), written
    assert written.read_bytes()[:3] == b"\xff\xd8\xff"  # a JPEG
