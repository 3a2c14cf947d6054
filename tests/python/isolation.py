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
    status: str  # "decoded", "undecodable", "too_large", or "unsure" (strips only)
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


def decode_in_child(path: Path, *, from_memory: bool = False, stb_inflate: bool = False, strips: int = 0) -> Decoded:
    """Decodes `path` in a driver process. A crash, a timeout or anything the
    driver writes to stderr (a sanitizer or valgrind report) fails the test.
    stb_inflate: PNG streams inflated by stb's own inflate alone; strips: read
    through the lean reader, this many rows at a time."""
    options = (["--memory"] if from_memory else []) + (["--stb-inflate"] if stb_inflate else [])
    options += ["--strips", str(strips)] if strips else []
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


# The peak is the kernel's high-water mark of this process's resident set,
# VmHWM. It starts afresh with the new program at exec; ru_maxrss does not, and
# would start the child at pytest's own peak, hiding growth below it.
#
# Under AddressSanitizer (make test-sanitize) every allocated byte costs an
# eighth of a byte of shadow memory, used or not, so there the peak measures
# what was reserved rather than what was touched: the peak limits hold for the
# plain build (make test) only.
PEAK_MEASURES_TOUCHED_MEMORY = "libasan" not in os.environ.get("LD_PRELOAD", "")
_MEASURING_CHILD = """
import json, sys
import tonvik
def peak_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM in /proc/self/status")
before = peak_bytes()
result = eval(sys.argv[1])
print(json.dumps({"result": result, "peak_growth": peak_bytes() - before}))
"""


@dataclass(frozen=True)
class Measured:
    result: object
    # How far the expression raised the process's peak resident set, in bytes.
    peak_growth: int


def measure_in_child(expression: str, *args: str, env: dict[str, str] | None = None) -> Measured:
    """Evaluates `expression` (tonvik imported, `args` in sys.argv[2:]) in a
    fresh interpreter, with `env` added to its environment, and measures the
    peak memory it took; a crash or hang fails the test."""
    completed = subprocess.run(
        [sys.executable, "-c", _MEASURING_CHILD, expression, *args],
        capture_output=True,
        timeout=CHILD_TIMEOUT,
        check=False,
        text=True,
        env={**os.environ, **(env or {})},
    )
    assert completed.returncode == 0, f"child exited with {completed.returncode}:\n{completed.stderr[-4000:]}"
    result = json.loads(completed.stdout)
    return Measured(result["result"], result["peak_growth"])


@dataclass(frozen=True)
class Applied:
    status: str
    # How far the call raised the process's peak resident set, in bytes: a
    # small file that is refused or fails must not cost what its header claims.
    peak_growth: int


def apply_in_child(lut: Path, image: Path, output: Path, env: dict[str, str] | None = None) -> Applied:
    """One apply_lut call in a fresh interpreter; a crash or hang fails the test."""
    measured = measure_in_child("tonvik.apply_lut(*sys.argv[2:5])", str(lut), str(image), str(output), env=env)
    assert isinstance(measured.result, str)
    return Applied(measured.result, measured.peak_growth)
