"""The installed stub, typed use, and the wheel as users install it."""

import os, re, subprocess, sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]

pytestmark = pytest.mark.skipif(
    bool(os.environ.get("QIVO_SANITIZED")),
    reason="packaging checks do not depend on the sanitized build",
)


def run(*command, **kwargs):
    result = subprocess.run(command, capture_output=True, text=True, timeout=600, **kwargs)
    assert result.returncode == 0, result.stdout + result.stderr
    return result


def test_stub_matches_the_built_module(tmp_path):
    run(sys.executable, "-m", "mypy.stubtest", "qivo.user.connections.manager", cwd=tmp_path)


def test_typed_usage_passes_and_wrong_use_fails_type_checks(tmp_path):
    wrong = tmp_path / "wrong.py"
    wrong.write_text("from qivo.user.connections import manager\n"
                     "manager.save_connection_config('n', ['not', 'a', 'dict'])\n"
                     "x: int = manager.list_connections()\n")
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "c"),
                             str(ROOT / "examples" / "typed_usage.py"), str(wrong)],
                            capture_output=True, text=True, cwd=tmp_path)
    # Only the two wrong lines are reported.
    assert result.returncode == 1 and result.stdout.count("error:") == 2, result.stdout
    assert 'wrong.py:2: error: Argument 2 to "save_connection_config" has incompatible type' \
        in result.stdout
    assert "wrong.py:3: error: Incompatible types in assignment" in result.stdout


@pytest.mark.slow
def test_repaired_wheel_installs_and_runs_the_demo(tmp_path):
    if os.environ.get("QIVO_WHEEL"):  # ./dev test has built it
        wheel = Path(os.environ["QIVO_WHEEL"])
    else:
        run(str(ROOT / "dev"), "wheel", str(tmp_path / "dist"))
        (wheel,) = (tmp_path / "dist").glob("*.whl")
    # Installable where glibc 2.28 is found: no C++ runtime of the system's.
    shown = run(str(Path(sys.executable).parent / "auditwheel"), "show", str(wheel)).stdout
    tags = re.findall(r'"manylinux_(\d+)_(\d+)_\w+"', shown)
    assert tags and all((int(major), int(minor)) <= (2, 28) for major, minor in tags), shown
    assert "libstdc++" not in shown and "libc++" not in shown, shown
    venv = tmp_path / "venv"
    run(sys.executable, "-m", "venv", "--without-pip", str(venv))
    python = venv / "bin" / "python"
    site = run(python, "-c", "import sysconfig; print(sysconfig.get_path('purelib'))").stdout
    run(sys.executable, "-m", "pip", "install", "--no-deps", "--target", site.strip(), str(wheel))
    installed = Path(site.strip(), "qivo", "user", "connections")
    assert {p.name for p in installed.iterdir()} >= {"manager.pyi", "py.typed"}
    assert not (installed / "__init__.py").exists()
    # Run from an empty directory with a clean environment: only the wheel
    # can provide the module.
    env = {"PATH": os.environ["PATH"], "HOME": str(tmp_path)}
    demo = run(python, "-I", str(ROOT / "examples" / "demo.py"), cwd=tmp_path, env=env)
    assert "✓ Saved connection 'analytics_prod' (snowflake)" in demo.stdout
    origin = run(python, "-I", "-c", "import qivo.user.connections.manager as m; print(m.__file__)",
                 cwd=tmp_path, env=env).stdout
    assert origin.startswith(str(venv))
    # The module exports its entry point alone: the libc++ linked into it
    # stays hidden.
    exported = run("nm", "-D", "--defined-only", origin.strip()).stdout.split()
    assert exported[2::3] == ["PyInit_manager"], exported


@pytest.mark.skipif(not os.environ.get("QIVO_TESTING_WHEEL"), reason="the suite runs on a test build")
def test_the_suite_runs_against_the_installed_wheel(manager):
    assert manager.__file__.startswith(sys.prefix) and not hasattr(manager, "_set_system_call_hook")
