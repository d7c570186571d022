"""Listing profile names and deleting tables."""

import tomllib

import pytest

# Hand-written layout (comment, spacing) that a rewrite would not reproduce.
STORE = """\
    # profiles
    [zeta]
    connection_type = 'snowflake'
    [_primary]
    snowflake_primary = 'zeta'
    name = 'zeta'
    [yorsk_dev1]
    [_meta]
    [alpha]
    connection_type =   'salesforce'
    """
NAMES = ["zeta", "yorsk_dev1", "alpha"]


def test_list_keeps_file_order_and_leaves_out_metadata(manager, write_store, capsys):
    write_store(STORE)
    names = manager.list_connections()
    assert names == NAMES
    names.append("ghost")
    assert manager.list_connections() == NAMES and capsys.readouterr().out == ""
    write_store("[_primary]\nname = 'x'\n")
    assert manager.list_connections() == []


def test_profile_saved_after_primary_table_is_listed_last(manager, home):
    manager.save_connection_config("a", {})
    manager.set_primary_connection("a")
    manager.save_connection_config("b", {}, "salesforce")
    assert manager.list_connections() == ["yorsk_dev1", "a", "b"]
    assert manager.get_primary_connection() == "a"  # the save kept the table


@pytest.mark.parametrize("call", [lambda m: m.list_connections(),
                                  lambda m: m.delete_connection("a")])
def test_missing_store_raises(manager, store, velmor_dir, call):
    with pytest.raises(FileNotFoundError, match=f"^Connections file not found: {store}$"):
        call(manager)
    assert not velmor_dir.exists()


@pytest.mark.parametrize("name", ["missing", "ZETA", " zeta", "zeta ", "_other"])
def test_delete_absent_name_changes_nothing(manager, write_store, capsys, name):
    store = write_store(STORE)
    before = store.read_bytes()
    assert manager.delete_connection(name) is False
    assert store.read_bytes() == before and capsys.readouterr().out == ""


def test_delete_rewrites_store_and_leaves_marker_dangling(manager, write_store, capsys):
    store = write_store(STORE)
    assert manager.delete_connection("zeta") is True
    assert capsys.readouterr().out == "✓ Deleted connection 'zeta'\n"
    data = tomllib.loads(store.read_text(encoding="utf-8"))
    assert list(data) == ["_primary", "yorsk_dev1", "_meta", "alpha"]
    assert data["_primary"] == {"snowflake_primary": "zeta", "name": "zeta"}
    assert "# profiles" not in store.read_text()
    assert (store.parent / "connections.toml.lock").exists()
    assert manager.get_primary_connection("snowflake") == "zeta"


def test_delete_primary_table(manager, write_store, capsys):
    write_store(STORE)
    assert manager.delete_connection("_primary") is True
    assert capsys.readouterr().out == "✓ Deleted connection '_primary'\n"
    assert manager.list_connections() == NAMES and manager.get_primary_connection() is None


def test_late_bound_store_location(manager, home, tmp_path, monkeypatch):
    other = tmp_path / "other.toml"
    other.write_text("[b]\n[_x]\n[a]\n")
    monkeypatch.setattr(manager, "get_connections_file", lambda: other)
    assert manager.list_connections() == ["b", "a"] and manager.delete_connection("b") is True
    assert list(tomllib.loads(other.read_text())) == ["_x", "a"]
