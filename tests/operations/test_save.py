"""Saving profiles: stored fields, replacement, key placement (shared with the
update) and refusals."""

import errno, os, re, shutil
from pathlib import Path
from unittest import mock

import pytest

from support import DEFAULTS, EXAMPLE, SNOWFLAKE, kept_mode, mode, read, run_python, symlink


def test_first_save_creates_template_and_keeps_example(manager, store, velmor_dir, capsys):
    creds = {"account": 12345, "user": None, "role": "  ANALYST\t", "warehouse": False,
             "authenticator": "PASSWORD", "password": "secret", "connection_type": "salesforce",
             "private_key_file": "  missing.p8 ", "schema": "  "}
    manager.save_connection_config("  prod\t", creds, " SnowFlake ")
    assert capsys.readouterr().out.splitlines() == [
        f"✓ Created {store}", f"✓ Saved connection 'prod' (snowflake) to {store}"]
    assert [(name, list(entry.items())) for name, entry in read(store).items()] == [
        ("yorsk_dev1", list(EXAMPLE.items())),
        ("prod", list(zip(SNOWFLAKE, ["snowflake", "missing.p8", "", "12345", "",
                                      "SNOWFLAKE_JWT", "False", "", "", "ANALYST"], strict=False)))]
    assert mode(velmor_dir) == kept_mode(0o700, velmor_dir)
    assert (velmor_dir / "connections.toml.lock").exists()


def test_replace_resets_omitted_fields_and_keeps_place(manager, store, home, tmp_path):
    key = tmp_path / "k.p8"
    key.write_text("KEY")
    full = {"client_id": " c ", "client_key": 7, "sandbox": "  Yes ", "my_domain": "d",
            "redirect_url": "https://x/cb", "private_key_file": str(key)}
    manager.save_connection_config("a", full, "SALESFORCE", copy_key=True)
    assert list(read(store)["a"].values()) == ["salesforce", "c", "7", "  Yes ", "d", "https://x/cb"]
    assert not (store.parent / "k.p8").exists()  # a Salesforce save places no key
    manager.save_connection_config("b", {"account": "b1"})
    manager.save_connection_config(" a ", {"client_id": "c2"}, "salesforce")
    manager.save_connection_config("c", {})
    data = read(store)
    assert list(data) == ["yorsk_dev1", "a", "b", "c"]
    assert list(data["a"].items()) == list((DEFAULTS["salesforce"] | {"client_id": "c2"}).items())
    manager.save_connection_config("a", {"role": "r"})  # a type change replaces the entry whole
    assert list(read(store)["a"]) == SNOWFLAKE


@pytest.mark.parametrize("operation", ["save", "update"])
@pytest.mark.parametrize("path, copy_key, line", [
    # Relative paths are taken against the working directory, tmp_path.
    ("rsa.p8", True, "✓ Copied private key to {dest}"),
    ("home/.velmor/rsa.p8", True, "✓ Private key already in .velmor directory"),
    ("{key}", False, None), ("{key}", [], None), ("{tmp}/missing.p8", "yes", None),
    ("{tmp}", 1, None), ("  {key} ", True, None), ("", True, None),
])
def test_key_placement(manager, write_store, tmp_path, monkeypatch, capsys, operation,
                       path, copy_key, line):
    store = write_store("[k]\nconnection_type = 'snowflake'\n")
    dest, key = store.parent / "rsa.p8", tmp_path / "rsa.p8"
    for file in (key, dest) if "velmor" in path else (key,):
        file.write_text("SECRET")
    monkeypatch.chdir(tmp_path)
    path = path.format(dest=dest, key=key, tmp=tmp_path)
    if operation == "save":
        manager.save_connection_config("k", {"private_key_file": path}, "snowflake", copy_key)
        done = f"✓ Saved connection 'k' (snowflake) to {store}"
    else:
        assert manager.update_connection("k", {"private_key_file": path}, "snowflake", copy_key)
        done = "✓ Updated connection 'k' (snowflake)"
    assert capsys.readouterr().out.splitlines() == ([line.format(dest=dest)] if line else []) + [done]
    assert read(store)["k"]["private_key_file"] == (str(dest) if line else path.strip())
    assert dest.exists() == bool(line) and mode(key) == kept_mode(0o644, key)
    assert not line or (dest.read_text(), mode(dest)) == ("SECRET", kept_mode(0o600, dest))


# Steps: (operation, profile, key file name, key bytes, name it is copied to);
# ("stray" | "dir", name) puts an unrecorded file or a directory in .velmor,
# ("link", name, target) a symbolic link, and ("home",) moves HOME to a link
# to the same home directory.
@pytest.mark.parametrize("steps", [
    pytest.param([("save", "a", "rsa.p8", "A", "rsa.p8"), ("save", "b", "rsa.p8", "B", "rsa-2.p8"),
                  ("save", "c", "rsa.p8", "C", "rsa-3.p8")], id="one-base-name-three-profiles"),
    pytest.param([("save", "a", "rsa.p8", "K", "rsa.p8"), ("save", "b", "rsa.p8", "K", "rsa.p8")],
                 id="identical-key-shared"),
    pytest.param([("save", "a", "rsa.p8", "old", "rsa.p8"), ("save", "a", "rsa.p8", "new", "rsa.p8")],
                 id="own-key-rotated"),
    pytest.param([("save", "a", "rsa.p8", "K", "rsa.p8"), ("save", "b", "rsa.p8", "K", "rsa.p8"),
                  ("save", "a", "rsa.p8", "K2", "rsa-2.p8")], id="shared-key-rotated-by-one"),
    pytest.param([("save", "a", "rsa.p8", "A", "rsa.p8"), ("save", "b", "b.p8", "B", "b.p8"),
                  ("update", "b", "rsa.p8", "B2", "rsa-2.p8")], id="update-takes-anothers-name"),
    # A file no profile records is not replaced unless it holds the same key.
    pytest.param([("stray", "rsa.p8"), ("dir", "key"), ("save", "a", "rsa.p8", "A", "rsa-2.p8"),
                  ("save", "b", "key", "B", "key-2"), ("stray", "same.p8"),
                  ("save", "c", "same.p8", "x", "same.p8")], id="stray-file-and-directory"),
    pytest.param([("save", "a", "connections.toml", "A", "connections-2.toml"),
                  ("save", "b", "connections.toml.lock", "B", "connections.toml-2.lock"),
                  ("save", "c", ".connections.toml.tmp-abc123", "C", ".connections.toml-2.tmp-abc123")],
                 id="names-of-the-store"),
    pytest.param([("link", "rsa.p8", "connections.toml"), ("link", "o.p8", "../notes.txt"),
                  ("link", "d.p8", "missing"), ("save", "a", "rsa.p8", "A", "rsa-2.p8"),
                  ("save", "b", "o.p8", "B", "o-2.p8"), ("save", "c", "d.p8", "C", "d-2.p8")],
                 id="links-are-never-written-through"),
    pytest.param([("save", "a", "rsa.p8", "A", "rsa.p8"), ("home",),
                  ("save", "b", "rsa.p8", "B", "rsa-2.p8")], id="home-through-a-link"),
    pytest.param([("save", "a", "key.p8 \t", "A", "key.p8"), ("save", "b", " ", "B", "key")],
                 id="trailing-whitespace-dropped"),
])
def test_key_placement_never_takes_another_profiles_key(manager, store, velmor_dir, home, tmp_path,
                                                         monkeypatch, capsys, steps):
    velmor_dir.mkdir()
    manager.save_connection_config("seed", {})  # the store exists; its own lines are not checked
    (home / "notes.txt").write_text("notes")
    expected, current = {}, velmor_dir
    for number, step in enumerate(steps):
        if step[0] == "stray":
            (velmor_dir / step[1]).write_text("x")
        elif step[0] == "dir":
            (velmor_dir / step[1]).mkdir()
        elif step[0] == "link":
            symlink(velmor_dir / step[1], step[2])
        elif step[0] == "home":
            symlink(tmp_path / "linked", home.name)
            monkeypatch.setenv("HOME", str(tmp_path / "linked"))
            current = tmp_path / "linked" / ".velmor"
        if len(step) < 5:
            continue
        operation, profile, name, content, copied_to = step
        source = tmp_path / str(number) / name
        source.parent.mkdir()
        try:
            source.write_text(content)
        except FileNotFoundError:  # exfat refuses names that end in whitespace
            pytest.skip(f"the file system refuses the file name {name!r}")
        capsys.readouterr()
        if operation == "save":
            manager.save_connection_config(profile, {"private_key_file": str(source)})
        else:
            assert manager.update_connection(profile, {"private_key_file": str(source)})
        assert capsys.readouterr().out.splitlines()[0] == f"✓ Copied private key to {current / copied_to}"
        expected[profile] = (str(current / copied_to), content)
    stored = read(store)
    for profile, (path, content) in expected.items():  # every profile keeps its own key
        assert stored[profile]["private_key_file"] == path
        assert (Path(path).read_text(), mode(path)) == (content, kept_mode(0o600, path))
    assert read(store)["seed"] and (velmor_dir / "connections.toml.lock").stat().st_size == 0
    notes = home / "notes.txt"
    assert (notes.read_text(), mode(notes)) == ("notes", kept_mode(0o644, notes))


def test_a_numbered_name_too_long_to_exist_is_an_error(manager, store, velmor_dir, tmp_path, capsys):
    name = "x" * 252 + ".p8"  # 255 bytes, the most a file name holds: "-2" cannot be added
    for profile, content in (("a", "A"), ("b", "B")):
        (tmp_path / profile).mkdir()
        (tmp_path / profile / name).write_text(content)
    manager.save_connection_config("a", {"private_key_file": str(tmp_path / "a" / name)})
    before, _ = store.read_bytes(), capsys.readouterr()
    with pytest.raises(OSError) as raised:
        manager.save_connection_config("b", {"private_key_file": str(tmp_path / "b" / name)})
    assert (raised.value.errno, raised.value.filename) == (errno.ENAMETOOLONG,
                                                           str(velmor_dir / ("x" * 252 + "-2.p8")))
    assert store.read_bytes() == before and (velmor_dir / name).read_text() == "A"
    assert capsys.readouterr().out == ""
    manager.save_connection_config("c", {})  # the lock was released
    assert list(read(store)) == ["yorsk_dev1", "a", "c"]


@pytest.mark.parametrize("name, kind, message", [
    *[("n", kind, f"Unknown connection type: {kind.strip().lower()}. Must be 'snowflake' or "
       "'salesforce'") for kind in (" Oracle ", "", "snow flake")],
    # Reserved names are refused before anything is created, read or written.
    *[(name, "oracle", f"Invalid connection name: {name.strip()!r}. Names must be non-empty and "
       "must not begin with '_'") for name in ("", "   ", "_primary", " _x ")],
])
def test_refused_save_changes_nothing(manager, store, write_store, tmp_path, capsys, name, kind,
                                      message):
    existing = message.startswith("Unknown")  # the type is checked after the store is read
    if existing:
        before = write_store("[kept]\n# comment\nconnection_type = 'salesforce'\n").read_bytes()
    (tmp_path / "rsa.p8").write_text("SECRET")
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        manager.save_connection_config(name, {"private_key_file": str(tmp_path / "rsa.p8")}, kind)
    assert capsys.readouterr().out == "" and not (store.parent / "rsa.p8").exists()
    assert store.read_bytes() == before if existing else not store.parent.exists()


@pytest.mark.parametrize("operation, target", [
    ("save", "copy2"), ("save", "_save_connections_file"), ("update", "copy2"),
    ("update", "_save_connections_file"), ("delete", "_save_connections_file"),
    ("set_primary", "_save_connections_file"),
])
def test_failed_step_keeps_store_and_prints_no_success(
        manager, store, write_store, tmp_path, monkeypatch, capsys, operation, target):
    before = write_store("[kept]\n# comment\nconnection_type = 'snowflake'\n").read_bytes()
    key = {"private_key_file": str(tmp_path / "rsa.p8")}
    (tmp_path / "rsa.p8").write_text("SECRET")
    monkeypatch.setattr(shutil if target == "copy2" else manager, target,
                        mock.Mock(side_effect=OSError("disk full")))
    calls = {"save": lambda: manager.save_connection_config("n", key),
             "update": lambda: manager.update_connection("kept", key),
             "delete": lambda: manager.delete_connection("kept"),
             "set_primary": lambda: manager.set_primary_connection("kept")}
    with pytest.raises(OSError, match="disk full"):
        calls[operation]()
    assert store.read_bytes() == before
    assert [line for line in capsys.readouterr().out.splitlines() if "Copied" not in line] == []


def half_copy_then_disk_full(source, destination):
    Path(destination).write_bytes(Path(source).read_bytes()[:3])
    raise OSError(errno.ENOSPC, "No space left on device")


def copy_through_a_swapped_link(source, destination, copy2=shutil.copy2):
    home = Path(destination).parent.parent
    os.replace(destination, home / "moved-away")  # the private name now leads elsewhere
    if not symlink(destination, home / "elsewhere.txt", required=False):
        Path(destination).write_text("another file")
    copy2(source, destination)


def key_syscall(call, errno_value, destination=False):
    """A hook rule: the first `call` on the key's temporary file (or, with
    `destination`, the rename onto the key's name) fails with `errno_value`."""
    def hook(name, *args):
        if name == call and not hook.fired and (args[-1].endswith("rsa.p8") if destination else True):
            hook.fired = True
            return errno_value
        return None
    hook.fired = False
    return hook


KILLED_AT = """
    import os, signal, sys
    from qivo.user.connections import manager
    def hook(name, *args):
        if name == sys.argv[1] and (name != "rename" or args[1].endswith("rsa.p8")):
            os.kill(os.getpid(), signal.SIGKILL)
    manager._set_system_call_hook(hook)
    manager.save_connection_config("a", {"private_key_file": sys.argv[2]})
"""


# A profile's new key of the same name fails at one step of its copy (or the
# store's write after it fails): (what is patched, with what; the error).
ROTATION_FAULTS = {
    "copy hits a full disk": (("shutil", "copy2", half_copy_then_disk_full), OSError),
    "chmod fails": (("os", "chmod", mock.Mock(side_effect=OSError(errno.EIO, "I/O error"))), OSError),
    "sync fails": (("hook", key_syscall("fsync", errno.EIO)), OSError),
    "rename fails": (("hook", key_syscall("rename", errno.EIO, destination=True)), OSError),
    "store write hits a full disk": (("manager", "open", lambda path, mode, **kw: open(path, mode, **kw)
                                      if mode == "rb" else (_ for _ in ()).throw(
                                          OSError(errno.ENOSPC, "No space left on device"))), OSError),
    "link swapped in for the private copy": (("shutil", "copy2", copy_through_a_swapped_link), OSError),
    "killed at the sync": (("killed", "fsync"), None),
    "killed at the rename": (("killed", "rename"), None),
}


@pytest.mark.parametrize("fault", ROTATION_FAULTS)
def test_a_failed_key_copy_keeps_the_old_key_and_the_store(manager, store, velmor_dir, home, tmp_path,
                                                           monkeypatch, capsys, fault):
    (patch, *how), error = ROTATION_FAULTS[fault]
    if patch in ("hook", "killed") and not hasattr(manager, "_set_system_call_hook"):
        pytest.skip("only a test build lets tests make system calls fail")
    for content in ("old", "new"):
        (tmp_path / content).mkdir()
        (tmp_path / content / "rsa.p8").write_text(content)
    (home / "outside.txt").write_text("notes")
    manager.save_connection_config("a", {"private_key_file": str(tmp_path / "old" / "rsa.p8")})
    before, _ = store.read_bytes(), capsys.readouterr()
    credentials = {"private_key_file": str(tmp_path / "new" / "rsa.p8")}
    if patch == "killed":
        result = run_python(KILLED_AT, args=[how[0], credentials["private_key_file"]],
                            env={"HOME": str(home)})
        assert result.returncode == -9, result.stderr
        assert set(os.listdir(velmor_dir)) > {"connections.toml", "connections.toml.lock",
                                              "rsa.p8"}  # the dead writer's private copy
    else:
        if patch == "hook":
            manager._set_system_call_hook(how[0])
        else:
            monkeypatch.setattr({"shutil": shutil, "os": os, "manager": manager}[patch], how[0], how[1],
                                raising=False)
        try:
            with pytest.raises(error):
                manager.save_connection_config("a", credentials)
        finally:
            manager._set_system_call_hook(None) if patch == "hook" else None
            monkeypatch.undo()
        assert "Copied" not in capsys.readouterr().out
    assert store.read_bytes() == before
    assert ((velmor_dir / "rsa.p8").read_text(), mode(velmor_dir / "rsa.p8")) == (
        "old", kept_mode(0o600, velmor_dir / "rsa.p8"))
    assert (home / "outside.txt").read_text() == "notes"
    manager.save_connection_config("b", {})  # the next change leaves nothing behind
    assert sorted(os.listdir(velmor_dir)) == ["connections.toml", "connections.toml.lock", "rsa.p8"]


def test_a_link_swapped_in_at_the_destination_is_replaced_not_written_through(
        manager, store, velmor_dir, home, tmp_path, system_call_hook):
    manager.save_connection_config("seed", {})
    (tmp_path / "rsa.p8").write_text("KEY")
    (home / "outside.txt").write_text("notes")
    symlink(home / "probe", home / "outside.txt")  # skips where there are no links
    os.unlink(home / "probe")

    def swap_in_a_link(name, *args):  # the key's copy is synced after its name was judged free
        if name == "fsync" and not os.path.lexists(velmor_dir / "rsa.p8"):
            (velmor_dir / "rsa.p8").symlink_to(home / "outside.txt")

    system_call_hook(swap_in_a_link)
    manager.save_connection_config("a", {"private_key_file": str(tmp_path / "rsa.p8")})
    assert ((home / "outside.txt").read_text(), mode(home / "outside.txt")) == (
        "notes", kept_mode(0o644, home / "outside.txt"))
    assert not (velmor_dir / "rsa.p8").is_symlink()
    assert ((velmor_dir / "rsa.p8").read_text(), mode(velmor_dir / "rsa.p8")) == (
        "KEY", kept_mode(0o600, velmor_dir / "rsa.p8"))
