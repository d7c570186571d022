"""Saving profiles: stored fields, replacement, key placement (shared with the
update) and refusals."""

import re, shutil
from unittest import mock

import pytest

from support import DEFAULTS, EXAMPLE, SNOWFLAKE, mode, read


def test_first_save_creates_template_and_keeps_example(manager, store, velmor_dir, capsys):
    creds = {"account": 12345, "user": None, "role": "  ANALYST\t", "warehouse": False,
             "authenticator": "PASSWORD", "password": "secret", "connection_type": "salesforce",
             "private_key_file": "  missing.p8 ", "schema": "  "}
    manager.save_connection_config("  prod\t", creds, " SnowFlake ")
    assert capsys.readouterr().out.splitlines() == [
        f"✓ Created {store}", f"✓ Saved connection 'prod' (snowflake) to {store}"]
    assert [(name, list(entry.items())) for name, entry in read(store).items()] == [
        ("yorsk_dev1", list(EXAMPLE.items())),
        ("prod", list(zip(SNOWFLAKE, ["snowflake", "missing.p8", "", "12345", "None",
                                      "SNOWFLAKE_JWT", "False", "", "", "ANALYST"])))]
    assert mode(velmor_dir) == 0o700 and (velmor_dir / "connections.toml.lock").exists()


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
    assert dest.exists() == bool(line) and mode(key) == 0o644
    assert not line or (dest.read_text(), mode(dest)) == ("SECRET", 0o600)


def test_keys_with_same_base_name_share_destination(manager, store, velmor_dir, tmp_path):
    for name in ("one", "two"):
        (tmp_path / name).mkdir()
        (tmp_path / name / "rsa.p8").write_text(name)
        manager.save_connection_config(name, {"private_key_file": str(tmp_path / name / "rsa.p8")})
    assert (velmor_dir / "rsa.p8").read_text() == "two"
    assert {read(store)[n]["private_key_file"] for n in ("one", "two")} == {str(velmor_dir / "rsa.p8")}


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
