"""Shared fixtures: a throwaway home directory per test and the module."""

import os, shutil, tempfile, textwrap
from pathlib import Path

import pytest

from qivo.user.connections import manager as manager_module
from support import HOME_ROOT, OLD


@pytest.fixture
def manager():
    """The module; attributes a test rebinds with monkeypatch are restored."""
    return manager_module


if HOME_ROOT:
    @pytest.fixture
    def tmp_path():
        """A fresh directory under QIVO_TEST_HOME_ROOT (a file system under
        test), in place of pytest's: the home, and the keys and links beside
        it, live on that file system."""
        path = Path(tempfile.mkdtemp(prefix="test-", dir=HOME_ROOT))
        yield path
        shutil.rmtree(path, ignore_errors=True)


@pytest.fixture
def system_call_hook(manager):
    """Sets the test build's hook on the store's system calls for one test."""
    if not hasattr(manager, "_set_system_call_hook"):
        pytest.skip("only a test build lets tests make system calls fail")
    yield manager._set_system_call_hook
    manager._set_system_call_hook(None)


@pytest.fixture
def home(tmp_path, monkeypatch):
    """A fresh, empty home directory that HOME points at (umask 0o022), in
    the test's directory (under QIVO_TEST_HOME_ROOT when it is set)."""
    home = tmp_path / "home"
    home.mkdir()
    monkeypatch.setenv("HOME", str(home))
    old_mask = os.umask(0o022)
    yield home
    os.umask(old_mask)


@pytest.fixture
def velmor_dir(home):
    return home / ".velmor"


@pytest.fixture
def store(velmor_dir):
    """Path of the store file in the throwaway home (not created)."""
    return velmor_dir / "connections.toml"


@pytest.fixture
def write_store(store):
    """Writes the given text as the store file, creating ~/.velmor."""

    def write(text: str):
        store.parent.mkdir(mode=0o700, exist_ok=True)
        store.write_text(textwrap.dedent(text), encoding="utf-8")
        return store

    return write


@pytest.fixture
def old_store(write_store):
    """A store that a refused or failed write must leave as it is."""
    return write_store(OLD)
