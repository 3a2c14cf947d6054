"""Fixtures shared by the tests of the tonvik module, and the corpus count."""

from __future__ import annotations

import os
import shutil
import tempfile
from collections import Counter
from collections.abc import Iterator
from pathlib import Path

import pytest

from support import CORPUS, UNPRIVILEGED_ID

_corpus_outcomes: Counter[str] = Counter()

# Markers of tests whose tools the machine lacks on purpose: the Debian roots
# of scripts/test-in-sid.sh hold an installed wheel and no compiler or browser.
_SKIPPED_MARKS = os.environ.get("TONVIK_SKIP_MARKS", "").split()


def pytest_collection_modifyitems(items: list[pytest.Item]) -> None:
    skips = {mark: pytest.mark.skip(reason=f"{mark}: tools not in this root (TONVIK_SKIP_MARKS)")
             for mark in _SKIPPED_MARKS}
    if not CORPUS.is_dir():
        skips["corpus"] = pytest.mark.skip(reason=f"no corpus at {CORPUS}")
    for item in items:
        for mark, skip in skips.items():
            if item.get_closest_marker(mark):
                item.add_marker(skip)


def pytest_runtest_logreport(report: pytest.TestReport) -> None:
    if "corpus" not in report.keywords:
        return
    if report.when == "call" or (report.when == "setup" and not report.passed):
        _corpus_outcomes[report.outcome] += 1


def pytest_terminal_summary(terminalreporter: pytest.TerminalReporter) -> None:
    """A corpus that is missing skips its cases; say so where CI shows it."""
    ran = _corpus_outcomes["passed"] + _corpus_outcomes["failed"]
    if not ran and not _corpus_outcomes["skipped"]:
        return  # no corpus test was selected
    counts = ", ".join(f"{n} {outcome}" for outcome, n in sorted(_corpus_outcomes.items()))
    terminalreporter.write_line(f"corpus cases: {ran} ran from {CORPUS} ({counts})")


@pytest.fixture
def missing_lut(tmp_path):
    """A LUT path that names no file: reaching the engine with it fails loudly."""
    return str(tmp_path / "missing.cube")


@pytest.fixture
def output_path(tmp_path):
    """An output path that must stay untouched when the call fails early."""
    return tmp_path / "out.jpg"


@pytest.fixture
def unprivileged_dir(tmp_path: Path) -> Iterator[Path]:
    """A folder that support.run_unprivileged's user can reach and write.
    pytest's own folders are private to root, so under root this one is made
    in the system's temporary folder and handed to that user."""
    if os.geteuid() != 0:
        yield tmp_path
        return
    folder = Path(tempfile.mkdtemp(prefix="tonvik-unprivileged-"))
    try:
        os.chown(folder, UNPRIVILEGED_ID, UNPRIVILEGED_ID)
        yield folder
    finally:
        shutil.rmtree(folder)
