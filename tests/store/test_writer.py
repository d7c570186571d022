"""The store writer: no damage on failure, permissions, links and devices,
and what dead writers leave."""

import builtins, errno, fcntl, json, os, stat, types

import pytest

from support import OLD, assert_untouched, kept_mode, listing, mode, run_python, symlink

def dump_half_then_fail(connections, file):
    file.write("[half")
    raise RuntimeError("dump failed")


@pytest.mark.parametrize("fault", ["write fails", "write is lost", "dump fails"])
def test_failed_write_leaves_old_store(manager, monkeypatch, old_store, fault):
    calls = []

    def failing_open(*args, **kwargs):
        calls.append((args, kwargs))
        file = builtins.open(*args, **kwargs)

        def write_half_then_fail(text, write=file.write):
            write(text[: len(text) // 2])
            raise OSError(errno.ENOSPC, "No space left on device")

        # A full disk, or a file object that drops the text without an error.
        file.write = write_half_then_fail if fault == "write fails" else len
        return file

    monkeypatch.setattr(manager, "open", failing_open, raising=False)
    if fault == "dump fails":  # the selected TOML module writes the text itself
        monkeypatch.setattr(manager, "tomllib", types.SimpleNamespace(dump=dump_half_then_fail))
    with pytest.raises(RuntimeError if fault == "dump fails" else OSError):
        manager._save_connections_file({"new": {"k": "v" * 100}})
    [((path, open_mode), kwargs)] = calls
    assert os.path.dirname(path) == str(old_store.parent) and open_mode == "w"
    assert os.path.basename(path).startswith(".connections.toml.tmp-")
    assert kwargs == {"encoding": "utf-8"}
    assert_untouched(old_store)


@pytest.mark.parametrize("setup, error", [("no directory", FileNotFoundError), ("link loop", OSError)])
def test_os_errors_name_the_store_as_text(manager, store, velmor_dir, setup, error):
    if setup != "no directory":
        velmor_dir.mkdir()
    if setup == "link loop":
        symlink(store, store.name)
    with pytest.raises(error) as raised:
        manager._save_connections_file({"a": {}})
    assert type(raised.value.filename) is str and raised.value.filename == str(store)
    assert str(raised.value).endswith(f": {str(store)!r}")


@pytest.mark.parametrize("existing_mode", [None, 0o640, 0o604])
def test_permission_bits(manager, store, write_store, existing_mode):
    if existing_mode is None:
        store.parent.mkdir()
    else:
        write_store(OLD).chmod(existing_mode)
    manager._save_connections_file({"a": {}})
    assert mode(store) == kept_mode(existing_mode or 0o600, store)


def test_symlinked_store_stays_a_link(manager, store, velmor_dir, tmp_path):
    velmor_dir.mkdir()
    real = tmp_path / "real.toml"
    real.write_text(OLD)
    symlink(store, os.path.join("..", "..", "real.toml"))
    manager._save_connections_file({"a": {"k": "v"}})
    assert store.is_symlink() and os.readlink(store) == os.path.join("..", "..", "real.toml")
    assert real.read_text() == "[a]\n\nk = 'v'\n\n"
    assert os.listdir(velmor_dir) == ["connections.toml"]  # the lock goes beside the file replaced
    assert sorted(os.listdir(tmp_path)) == ["home", "real.toml", "real.toml.lock"]


@pytest.mark.parametrize("kind", ["null device", "fifo"])
def test_store_linked_to_a_device_or_fifo_is_never_replaced(manager, store, velmor_dir, tmp_path, kind):
    velmor_dir.mkdir()
    node = tmp_path / "node"
    try:
        if kind == "fifo":
            os.mkfifo(node)
        elif os.geteuid() == 0:
            os.mknod(node, 0o666 | stat.S_IFCHR, os.makedev(1, 3))  # a null device of our own
            if os.statvfs(node).f_flag & os.ST_NODEV:  # FUSE mounts are nodev by default
                pytest.skip("the file system opens no device nodes (nodev)")
        else:
            node = "/dev/null"
    except OSError as error:  # exfat (EIO), sshfs (EPERM)
        if error.errno not in (errno.EIO, errno.EPERM, errno.ENOSYS, errno.EOPNOTSUPP):
            raise
        pytest.skip(f"the file system holds no {kind}: {error.strerror}")
    symlink(store, node)
    if kind == "fifo":  # (reading it would wait for a writer, as open() does)
        with pytest.raises(OSError, match="Not a regular file"):
            manager._save_connections_file({"a": {}})
        assert listing(velmor_dir) == ["connections.toml"]
    else:  # written through the device, as opening it for writing would
        manager.save_connection_config("a", {})
        assert manager.list_connections() == []
        assert sorted(os.listdir(velmor_dir)) == ["connections.toml", "connections.toml.lock"]
    assert store.is_symlink() and (stat.S_ISFIFO if kind == "fifo" else stat.S_ISCHR)(os.stat(node).st_mode)


@pytest.mark.parametrize("only_toml", [False, True])
def test_utf8_under_ascii_locale(write_store, only_toml):
    # With only `toml` installed, its `dump` writes and its text-mode `load` reads.
    store = write_store(OLD)
    result = run_python(f"""
        import json, sys, locale
        if {only_toml}:
            sys.modules["tomllib"] = sys.modules["tomli"] = None
        from qivo.user.connections import manager
        assert locale.getpreferredencoding(False) != "UTF-8"
        connections = {{"caf\\u00e9 \\u20ac": {{"k": "it's \\u00f1", "n": 3, "b": True}}}}
        manager._save_connections_file(connections)
        print(json.dumps([manager.tomllib.__name__, manager._load_connections_file() == connections]))
        """, env={"HOME": str(store.parent.parent), "LC_ALL": "C", "LANG": "C",
                  "PYTHONUTF8": "0", "PYTHONIOENCODING": "ascii"})
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == ["toml" if only_toml else "tomllib", True]
    assert "café €" in store.read_bytes().decode("utf-8")
    assert listing(store.parent) == ["connections.toml"]


HEX = "0123456789abcdef"


def test_only_dead_writers_temporary_files_are_removed(manager, old_store):
    directory = old_store.parent
    # A dead writer's file, and one it left on the way to its name (older versions).
    dead, live = [f".connections.toml.tmp-{HEX}", f".connections.toml.tmp-{HEX[::-1]}.new"], \
        f".connections.toml.tmp-{HEX[::-1]}"
    kept = [live, ".connections.toml.tmp-backup", ".connections.toml.tmp-AABBCCDDEEFF0011",
            f".connections.toml.tmp-{HEX}0", f".other.toml.tmp-{HEX}", f".connections.toml.tmp-{HEX[1:]}x",
            f".connections.toml.tmp-{HEX}.old"]
    for name in dead + kept:
        (directory / name).write_text("secret")
    (directory / f".connections.toml.tmp-{HEX[2:]}ab").mkdir()
    linked = symlink(directory / f".connections.toml.tmp-{HEX[2:]}cd", dead[0], required=False)
    with open(directory / live) as writer:
        fcntl.flock(writer, fcntl.LOCK_EX)  # a writer that is still at work
        manager._save_connections_file({"a": {}})
    assert listing(directory) == sorted(
        ["connections.toml", f".connections.toml.tmp-{HEX[2:]}ab"] + kept +
        [f".connections.toml.tmp-{HEX[2:]}cd"] * linked)
