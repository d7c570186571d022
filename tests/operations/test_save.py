"""Saving profiles: stored fields, replacement, key placement and refusals."""

import re
import shutil
import stat
import tomllib
from concurrent.futures import ThreadPoolExecutor
from unittest import mock

import pytest
from support import run_python

SNOWFLAKE_FIELDS = ["connection_type", "private_key_file", "private_key_passphrase", "account",
                    "user", "authenticator", "warehouse", "database", "schema", "role"]
DEFAULT_REDIRECT = "https://localhost:1717//OauthRedirect"


def read(store):
    return tomllib.loads(store.read_text(encoding="utf-8"))


def mode(path):
    return stat.S_IMODE(path.stat().st_mode)


def test_first_save_creates_template_and_keeps_example(manager, store, velmor_dir, capsys):
    manager.save_connection_config("  prod\t", {"account": "xy1"}, " SnowFlake ")
    assert capsys.readouterr().out.splitlines() == [
        f"✓ Created {store}", f"✓ Saved connection 'prod' (snowflake) to {store}"]
    data = read(store)
    assert list(data) == ["yorsk_dev1", "prod"] and data["prod"]["account"] == "xy1"
    assert data["yorsk_dev1"]["authenticator"] == ""  # the example entry stays as read
    assert mode(velmor_dir) == 0o700 and (velmor_dir / "connections.toml.lock").exists()


def test_snowflake_entry_fields_order_and_conversions(manager, store, home):
    creds = {"account": 12345, "user": None, "role": "  ANALYST\t", "warehouse": False,
             "authenticator": "PASSWORD", "password": "secret", "connection_type": "salesforce",
             "private_key_file": "  missing.p8 ", "schema": "  "}
    manager.save_connection_config("n", creds)
    assert list(read(store)["n"].items()) == list(zip(SNOWFLAKE_FIELDS, [
        "snowflake", "missing.p8", "", "12345", "None", "SNOWFLAKE_JWT", "False", "", "",
        "ANALYST"]))


@pytest.mark.parametrize("creds, sandbox", [
    ({}, False), ({"sandbox": True}, True), ({"sandbox": "  Yes "}, "  Yes "), ({"sandbox": 1}, 1),
])
def test_salesforce_entry_passes_sandbox_through(manager, store, home, tmp_path, creds, sandbox):
    key = tmp_path / "k.p8"
    key.write_text("KEY")
    creds = dict(creds, client_id=" cid ", client_key=7, private_key_file=str(key))
    manager.save_connection_config("sf", creds, "SALESFORCE", copy_key=True)
    assert list(read(store)["sf"].items()) == [
        ("connection_type", "salesforce"), ("client_id", "cid"), ("client_key", "7"),
        ("sandbox", sandbox), ("my_domain", ""), ("redirect_url", DEFAULT_REDIRECT)]
    assert not (store.parent / "k.p8").exists()


def test_replace_resets_omitted_fields_and_keeps_place(manager, store, home):
    full = {"client_id": "c", "sandbox": True, "my_domain": "d", "redirect_url": "https://x/cb"}
    manager.save_connection_config("a", full, "salesforce")
    manager.save_connection_config("b", {"account": "b1"})
    manager.save_connection_config(" a ", {"client_id": "c2"}, "salesforce")
    manager.save_connection_config("c", {})
    data = read(store)
    assert list(data) == ["yorsk_dev1", "a", "b", "c"]
    assert data["a"] == {"connection_type": "salesforce", "client_id": "c2", "client_key": "",
                         "sandbox": False, "my_domain": "", "redirect_url": DEFAULT_REDIRECT}
    manager.save_connection_config("a", {"role": "r"})  # a type change replaces the entry whole
    assert list(read(store)["a"]) == SNOWFLAKE_FIELDS


@pytest.mark.parametrize("inside, line", [
    (False, "✓ Copied private key to {dest}"), (True, "✓ Private key already in .velmor directory"),
])
def test_key_placed_with_owner_only_mode(manager, store, velmor_dir, tmp_path, monkeypatch,
                                         capsys, inside, line):
    manager.initialize_velmor_directory()
    dest, source = velmor_dir / "rsa.p8", tmp_path / "rsa.p8"
    (dest if inside else source).write_text("SECRET")
    monkeypatch.chdir(velmor_dir if inside else tmp_path)  # relative paths are made absolute
    capsys.readouterr()
    manager.save_connection_config("k", {"private_key_file": "rsa.p8"})
    assert capsys.readouterr().out.splitlines() == [
        line.format(dest=dest), f"✓ Saved connection 'k' (snowflake) to {store}"]
    assert dest.read_text() == "SECRET" and mode(dest) == 0o600
    assert inside or mode(source) == 0o644
    assert read(store)["k"]["private_key_file"] == str(dest)


@pytest.mark.parametrize("path, copy_key", [
    ("{key}", False), ("{key}", []), ("{tmp}/missing.p8", "yes"), ("{tmp}", 1),
    ("  {key} ", True), ("", True),
])
def test_key_placement_skipped(manager, store, velmor_dir, tmp_path, capsys, path, copy_key):
    key = tmp_path / "rsa.p8"
    key.write_text("SECRET")
    path = path.format(key=key, tmp=tmp_path)
    manager.save_connection_config("k", {"private_key_file": path}, "snowflake", copy_key)
    assert "private key" not in capsys.readouterr().out.lower()
    assert read(store)["k"]["private_key_file"] == path.strip()
    assert not (velmor_dir / "rsa.p8").exists() and mode(key) == 0o644


def test_keys_with_same_base_name_share_destination(manager, store, velmor_dir, tmp_path):
    for name in ("one", "two"):
        (tmp_path / name).mkdir()
        (tmp_path / name / "rsa.p8").write_text(name)
        manager.save_connection_config(name, {"private_key_file": str(tmp_path / name / "rsa.p8")})
    assert (velmor_dir / "rsa.p8").read_text() == "two"
    assert {read(store)[n]["private_key_file"] for n in ("one", "two")} == {
        str(velmor_dir / "rsa.p8")}


@pytest.mark.parametrize("kind", [" Oracle ", "", "snow flake"])
def test_unknown_type_leaves_store_unchanged(manager, store, write_store, tmp_path, capsys, kind):
    before = write_store("[kept]\n# comment\nconnection_type = 'salesforce'\n").read_bytes()
    (tmp_path / "rsa.p8").write_text("SECRET")
    message = f"Unknown connection type: {kind.strip().lower()}. Must be 'snowflake' or 'salesforce'"
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        manager.save_connection_config("n", {"private_key_file": str(tmp_path / "rsa.p8")}, kind)
    assert store.read_bytes() == before and capsys.readouterr().out == ""
    assert not (store.parent / "rsa.p8").exists()


@pytest.mark.parametrize("name", ["", "   ", "_primary", " _x "])
def test_reserved_names_refused_before_anything(manager, velmor_dir, capsys, name):
    message = (f"Invalid connection name: {name.strip()!r}. "
               "Names must be non-empty and must not begin with '_'")
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        manager.save_connection_config(name, {}, "oracle")
    assert not velmor_dir.exists() and capsys.readouterr().out == ""


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


def test_concurrent_first_saves_keep_every_profile(manager, home):
    code = """
        import os
        from qivo.user.connections import manager
        for i in range(10):
            manager.save_connection_config(f"p{os.environ['WORKER']}_{i}", {"account": str(i)})
    """
    with ThreadPoolExecutor(4) as pool:
        runs = list(pool.map(lambda n: run_python(code, env={"WORKER": str(n)}), range(4)))
    assert [run.returncode for run in runs] == [0] * 4, [run.stderr for run in runs]
    assert sum(run.stdout.count("✓ Created") for run in runs) == 1
    assert sorted(manager.list_connections()) == sorted(
        ["yorsk_dev1"] + [f"p{n}_{i}" for n in range(4) for i in range(10)])
