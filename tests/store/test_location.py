"""Where the per-user directory and the store file live, and their creation."""

import builtins, errno, os, pathlib

import pytest

from support import TEMPLATE, kept_mode, listing, mode, symlink


@pytest.mark.parametrize("existing_mode", [None, 0o755])
def test_first_call_creates_second_call_keeps(manager, velmor_dir, store, capsys, existing_mode):
    if existing_mode:
        velmor_dir.mkdir(mode=existing_mode)  # an existing directory keeps its mode
    assert manager.initialize_velmor_directory() == velmor_dir
    assert (mode(velmor_dir), mode(store), sorted(os.listdir(velmor_dir))) == (
        kept_mode(existing_mode or 0o700, velmor_dir), kept_mode(0o600, store),
        ["connections.toml", "connections.toml.lock"])
    assert store.read_bytes() == TEMPLATE.encode() and len(TEMPLATE) == 187
    assert capsys.readouterr().out == f"✓ Created {store}\n"
    os.utime(store, ns=(10**9, 10**9))
    assert manager.initialize_velmor_directory() == velmor_dir
    assert (store.read_text(), store.stat().st_mtime_ns) == (TEMPLATE, 10**9)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("make", [lambda store: store.write_text(""), pathlib.Path.mkdir])
def test_existing_store_entry_is_left_alone(manager, velmor_dir, store, capsys, make):
    velmor_dir.mkdir()
    make(store)
    before = os.stat(store)
    assert manager.initialize_velmor_directory() == velmor_dir
    assert os.stat(store) == before and os.listdir(velmor_dir) == ["connections.toml"]
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("target", ["real.toml", "loop"])
def test_broken_link_at_store_path_counts_as_missing(manager, velmor_dir, store, capsys, target):
    velmor_dir.mkdir()
    symlink(store, target)
    if target == "loop":  # writing through a loop of links fails
        symlink(velmor_dir / "loop", store.name)
        with pytest.raises(OSError) as caught:
            manager.initialize_velmor_directory()
        assert caught.value.errno == errno.ELOOP and capsys.readouterr().out == ""
    else:
        manager.initialize_velmor_directory()
        assert store.is_symlink() and (velmor_dir / target).read_text() == TEMPLATE
        assert capsys.readouterr().out == f"✓ Created {store}\n"


@pytest.mark.parametrize("home_entry, error", [("file", FileExistsError),
                                               ("missing", FileNotFoundError)])
def test_unusable_home(manager, monkeypatch, home, capsys, home_entry, error):
    if home_entry == "file":
        (home / ".velmor").write_text("x")
    else:
        monkeypatch.setenv("HOME", str(home / "missing"))
    with pytest.raises(error):
        manager.initialize_velmor_directory()
    assert [(p.name, p.read_text()) for p in home.iterdir()] == (
        [(".velmor", "x")] if home_entry == "file" else [])
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("failing, error", [
    ("open", OSError(errno.ENOSPC, "No space left on device")), ("open", RuntimeError("stop")),
    ("write", OSError(errno.ENOSPC, "No space left on device")), ("write", RuntimeError("stop"))])
def test_failed_template_write_leaves_no_file(manager, monkeypatch, velmor_dir, store, capsys,
                                              failing, error):
    def failing_open(*args, **kwargs):
        if failing == "open":
            raise error
        file = builtins.open(*args, **kwargs)

        def write(text):  # part of the text reaches the disk, then the write fails
            file.buffer.write(text[:20].encode())
            file.flush()
            raise error

        file.write = write
        return file

    monkeypatch.setattr(manager, "open", failing_open, raising=False)
    with pytest.raises(type(error)) as caught:
        manager.initialize_velmor_directory()
    assert caught.value is error and capsys.readouterr().out == ""
    assert (listing(velmor_dir), mode(velmor_dir)) == ([], kept_mode(0o700, velmor_dir))
    # Once writing works again, the next call writes the whole template.
    monkeypatch.delattr(manager, "open")
    manager.initialize_velmor_directory()
    assert store.read_text() == TEMPLATE
