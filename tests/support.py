"""Helpers shared by the tests (imported as `support`)."""

import os
import subprocess
import sys
import textwrap


def run_python(code: str, *, env: dict | None = None, timeout: float = 60,
               **kwargs) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter of this environment."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=full_env, capture_output=True, text=True, timeout=timeout, **kwargs,
    )
