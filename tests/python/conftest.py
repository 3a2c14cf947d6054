"""Fixtures shared by the tests of the tonvik module."""

import pytest


@pytest.fixture
def missing_lut(tmp_path):
    """A LUT path that names no file: reaching the engine with it fails loudly."""
    return str(tmp_path / "missing.cube")


@pytest.fixture
def output_path(tmp_path):
    """An output path that must stay untouched when the call fails early."""
    return tmp_path / "out.jpg"
