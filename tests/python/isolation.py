"""Runs one decode or one apply in a child process with a timeout, so that a
loader regression (a crash, a hang, a sanitizer report) fails one test
instead of taking the whole run down.

Two kinds of child:
- the C++ driver `tonvik_decode` (the pipeline's decoder alone; found through
  TONVIK_DECODE_TOOL, else the default C++ build). TONVIK_DECODE_WRAPPER, when
  set, is a command that the driver runs under (make test-valgrind uses it);
- a fresh Python interpreter that imports tonvik and calls apply_lut once.
"""

from __future__ import annotations

import json
import os
import shlex
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
DEFAULT_DECODE_TOOL = REPO / "build" / "cpp" / "tests" / "cpp" / "tonvik_decode"

# Only a guard against hangs (a loader stuck in a loop never returns): a
# hostile file is refused or decoded in well under a second, but a shared
# machine or a sanitizer build may be many times slower, so no test asserts on
# elapsed time.
CHILD_TIMEOUT = 60.0
# Under valgrind every instruction is about fifty times slower.
WRAPPED_TIMEOUT = 600.0


@dataclass(frozen=True)
class Decoded:
    status: str  # "decoded", "not_found" or "too_large"
    width: int = 0
    height: int = 0
    rgb: bytes = b""


def decode_tool() -> Path:
    tool = Path(os.environ.get("TONVIK_DECODE_TOOL", DEFAULT_DECODE_TOOL))
    if not tool.is_file():
        raise RuntimeError(f"decode driver {tool} is missing: build the C++ tree first (make cpp-test)")
    return tool


def wrapper() -> list[str]:
    return shlex.split(os.environ.get("TONVIK_DECODE_WRAPPER", ""))


def decode_in_child(path: Path, *, from_memory: bool = False, stb_inflate: bool = False) -> Decoded:
    """Decodes `path` in a driver process. A crash, a timeout or anything the
    driver writes to stderr (a sanitizer or valgrind report) fails the test.
    stb_inflate: PNG streams inflated by stb's own inflate alone."""
    options = (["--memory"] if from_memory else []) + (["--stb-inflate"] if stb_inflate else [])
    command = wrapper() + [str(decode_tool())] + options + [str(path)]
    timeout = WRAPPED_TIMEOUT if wrapper() else CHILD_TIMEOUT
    completed = subprocess.run(command, capture_output=True, timeout=timeout, check=False)
    report = completed.stderr.decode(errors="replace")
    assert completed.returncode == 0, f"driver exited with {completed.returncode}:\n{report[-4000:]}"
    assert report == "", f"driver reported on stderr:\n{report[-4000:]}"
    head, _, body = completed.stdout.partition(b"\n")
    words = head.decode().split()
    if words[0] != "decoded":
        assert body == b"", "a refused image must deliver no pixels"
        return Decoded(words[0])
    width, height = int(words[1]), int(words[2])
    assert len(body) == width * height * 3
    return Decoded("decoded", width, height, body)


_APPLY_CHILD = """
import json, resource, sys
import tonvik
def peak_kib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
before = peak_kib()
status = tonvik.apply_lut(sys.argv[1], sys.argv[2], sys.argv[3])
print(json.dumps({"status": status, "peak_growth": (peak_kib() - before) * 1024}))
"""


@dataclass(frozen=True)
class Applied:
    status: str
    # How far the call raised the process's peak resident set, in bytes: a
    # small file that is refused or fails must not cost what its header claims.
    peak_growth: int


def apply_in_child(lut: Path, image: Path, output: Path) -> Applied:
    """One apply_lut call in a fresh interpreter; a crash or hang fails the test."""
    completed = subprocess.run(
        [sys.executable, "-c", _APPLY_CHILD, str(lut), str(image), str(output)],
        capture_output=True,
        timeout=CHILD_TIMEOUT,
        check=False,
        text=True,
    )
    assert completed.returncode == 0, f"child exited with {completed.returncode}:\n{completed.stderr[-4000:]}"
    result = json.loads(completed.stdout)
    return Applied(result["status"], result["peak_growth"])
