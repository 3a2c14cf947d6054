"""The user documentation keeps up with the code: every status string the
engine can return is explained in the README's outcome table and in the
changelog."""

from __future__ import annotations

import re
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
STATUS_HEADER = REPO / "src" / "bridge" / "status.hpp"


def defined_statuses() -> list[str]:
    statuses = re.findall(r'constexpr const char\* \w+ = "([a-z_]+:[a-z_]+)";', STATUS_HEADER.read_text())
    assert len(statuses) >= 2, "status constants not found; has their header moved?"
    return statuses


def outcome_table(readme: str) -> str:
    start = readme.index("## Outcomes")
    return readme[start : readme.index("\n## ", start + 1)]


@pytest.mark.parametrize("status", defined_statuses())
def test_every_status_is_documented(status: str) -> None:
    assert f'| `"{status}"` |' in outcome_table((REPO / "README.md").read_text())
    if status not in ("success:ok", "error:image_not_found"):
        assert f'`"{status}"`' in (REPO / "CHANGELOG.md").read_text()


def python_blocks(markdown: str) -> list[str]:
    return re.findall(r"```python\n(.*?)```", markdown, flags=re.DOTALL)


def test_usage_example_runs_as_written(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    """The first snippet, with the files it names made from the demo's samples."""
    sys.path.insert(0, str(REPO / "examples"))
    try:
        import samples
    finally:
        sys.path.pop(0)
    lut, image = samples.write_samples(tmp_path)
    lut.rename(tmp_path / "warm_film.cube")
    image.rename(tmp_path / "beach.png")
    monkeypatch.chdir(tmp_path)

    usage = python_blocks((REPO / "README.md").read_text())[0]
    assert len(usage.strip().splitlines()) <= 5
    exec(compile(usage, "README.md", "exec"), {})

    assert (tmp_path / "beach_graded.jpg").read_bytes()[:3] == b"\xff\xd8\xff"
