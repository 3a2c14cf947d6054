"""The same-bytes set (same_bytes.py) gives the pinned outputs with the
module under test, on this Python and this machine."""

import same_bytes


def test_the_same_bytes_set_gives_the_pinned_outputs(tmp_path):
    results = same_bytes.grade(tmp_path)
    assert {case: hex(results[case]) for case in same_bytes.PINNED} == {
        case: hex(value) for case, value in same_bytes.PINNED.items()}
