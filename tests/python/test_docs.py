"""The user documentation keeps up with the code: every status string the
engine can return is explained in the README's outcome table and in the
changelog."""

from __future__ import annotations

import re
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
