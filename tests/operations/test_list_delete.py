"""Listing profile names and deleting tables."""

import pytest

from support import read

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
    assert manager.list_connections() == NAMES and capsys.readouterr().out == ""
    write_store("[_primary]\nname = 'x'\n")
    assert manager.list_connections() == []


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
    data = read(store)
    assert list(data) == ["_primary", "yorsk_dev1", "_meta", "alpha"]
    assert data["_primary"] == {"snowflake_primary": "zeta", "name": "zeta"}
    assert "# profiles" not in store.read_text()
    assert manager.get_primary_connection("snowflake") == "zeta"
    # The metadata table itself can be deleted.
    assert manager.delete_connection("_primary") is True
    assert capsys.readouterr().out == "✓ Deleted connection '_primary'\n"
    assert manager.list_connections() == NAMES[1:] and manager.get_primary_connection() is None
