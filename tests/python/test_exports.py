"""The module's dynamic symbol table holds what the interpreter calls and the
bridge seam that test_bridge_outcomes.py replaces, nothing else: no stb
loader or writer, no engine, no standard-library instance, so no other
library in the process can bind to ours or stand in for them."""

import shutil
import subprocess

import pytest
import tonvik

EXPORTS = {
    "PyInit_tonvik",
    # The bridge seam (src/bridge/public/bridge_api.hpp).
    "tonvik_bridge_client_new",
    "tonvik_bridge_apply_lut",
    "tonvik_bridge_client_drop",
}


def dynamic_symbols(*options: str) -> list[str]:
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("needs nm from binutils")
    listing = subprocess.run(
        [nm, "-D", *options, tonvik.__file__], capture_output=True, text=True, check=True, timeout=60
    )
    return [line.split()[-1] for line in listing.stdout.splitlines() if line.strip()]


def test_exports_are_the_init_function_and_the_bridge_seam():
    assert sorted(dynamic_symbols("--defined-only")) == sorted(EXPORTS)


def test_stb_and_the_engine_are_not_even_imported():
    # An undefined stbi_ or engine symbol would mean the module takes them
    # from whichever library of the process offers them.
    leaked = [s for s in dynamic_symbols("--undefined-only") if s.startswith(("stbi", "_ZN6vireth", "_ZN6tonvik"))]
    assert leaked == []


def test_module_takes_only_stable_abi_symbols_from_the_interpreter():
    # Built on the limited API, the module loads on every CPython from 3.12 on;
    # one call outside the stable ABI would tie it to the interpreter it was
    # built with. The interpreter's own test suite lists the stable ABI's
    # symbols, less those a debug build renames (PyModule_Create2).
    try:
        from test.test_stable_abi_ctypes import SYMBOL_NAMES
    except ImportError:
        pytest.skip("needs the interpreter's test package (the stable ABI's symbol list)")
    assert tonvik.__file__.endswith(".abi3.so")
    taken = {s for s in dynamic_symbols("--undefined-only") if s.startswith(("Py", "_Py"))}
    assert taken - set(SYMBOL_NAMES) - {"PyModule_Create2"} == set()
