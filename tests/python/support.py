"""Helpers shared by the tests of the tonvik module."""

import os
import subprocess
import sys


def run_python(code: str, env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter: the module initialises once per process."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=120,
        check=False,
    )
