"""The same-bytes set (same_bytes.py) through the module under test: the
pinned outputs hold for this build, on this Python and this machine."""

import same_bytes


def test_the_same_bytes_set_gives_the_pinned_outputs(tmp_path):
    results = same_bytes.grade(tmp_path)
    assert {case: f"{results[case]:016x}" for case in same_bytes.PINNED} == {
        case: f"{value:016x}" for case, value in same_bytes.PINNED.items()
    }
