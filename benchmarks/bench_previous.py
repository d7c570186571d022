"""The previous release, built once into its own virtual environment.

Its module has the same import name as the current build, so it is timed in
another interpreter: the source tree of the release (``git archive``) is
installed into ``.venv-previous`` with the build requirements pinned in that
tree and the harness's own pyperf pin (the worker processes talk to the
current pyperf).  The environment is reused while it holds the same commit.
"""

from __future__ import annotations

import hashlib
import io
import shutil
import subprocess
import sys
import tarfile
import tempfile
from pathlib import Path

DEFAULT_REF = "dc36a4c"  # version 0.1.0
DISTRIBUTION = "qivo-user-connections-manager"


def resolve_commit(project_dir: Path, ref: str) -> str | None:
    """The commit `ref` names, or None without git or without that history."""
    try:
        found = subprocess.run(
            ["git", "-C", str(project_dir), "rev-parse", "--verify", "--quiet", f"{ref}^{{commit}}"],
            capture_output=True, text=True,
        )
    except OSError:
        return None
    commit = found.stdout.strip()
    return commit if found.returncode == 0 and commit else None


def pip(venv: Path, *args: str) -> None:
    """Runs pip in `venv`, showing its output only when it fails."""
    done = subprocess.run([str(venv / "bin" / "python"), "-m", "pip", *args],
                          capture_output=True, text=True)
    if done.returncode != 0:
        sys.stderr.write(done.stdout + done.stderr)
        raise RuntimeError(f"pip {' '.join(args)} failed in {venv}")


def build(project_dir: Path, commit: str, venv: Path) -> None:
    print(f"== building the previous release ({commit[:12]}) into {venv}", flush=True)
    shutil.rmtree(venv, ignore_errors=True)
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
    archive = subprocess.run(["git", "-C", str(project_dir), "archive", "--format=tar", commit],
                             check=True, capture_output=True).stdout
    with tempfile.TemporaryDirectory(prefix="bench-previous-") as temporary:
        source = Path(temporary)
        with tarfile.open(fileobj=io.BytesIO(archive)) as tar:
            tar.extractall(source, filter="data")
        build_requirements = source / "requirements" / "build.txt"
        if not build_requirements.exists():
            build_requirements = project_dir / "requirements" / "build.txt"
        pip(venv, "install", "-r", str(build_requirements),
            "-r", str(project_dir / "requirements" / "bench.txt"))
        pip(venv, "install", "--no-build-isolation", "--no-deps", str(source))


def prepare_previous(project_dir: Path, ref: str, venv: Path) -> dict:
    """The previous release's interpreter, commit and version, built if need be;
    {"ref", "skipped"} when git cannot name the release here."""
    commit = resolve_commit(project_dir, ref) if ref else None
    if commit is None:
        reason = "no previous release asked for" if not ref else \
            f"git history unavailable: cannot resolve {ref!r} in {project_dir}"
        return {"ref": ref, "skipped": reason}
    wanted = commit + " " + hashlib.sha256(
        (project_dir / "requirements" / "bench.txt").read_bytes()).hexdigest()
    stamp, python = venv / ".bench-previous", venv / "bin" / "python"
    if not python.exists() or not stamp.exists() or stamp.read_text() != wanted:
        build(project_dir, commit, venv)
        stamp.write_text(wanted)
    version = subprocess.run(
        [str(python), "-c", f"import importlib.metadata as m; print(m.version({DISTRIBUTION!r}))"],
        check=True, capture_output=True, text=True,
    ).stdout.strip()
    return {"ref": ref, "commit": commit, "python": str(python), "version": version,
            "venv": str(venv)}
