"""Primary markers: setting them, reading them and the legacy fallback."""

import re

import pytest

from support import read

PROFILES = """\
    snow = {connection_type = 'snowflake'}
    sales = {connection_type = ' SalesForce '}
    untyped = {account = 'a'}
    blank = {connection_type = ''}
    " spaced " = {connection_type = 'snowflake'}
    """


def invalid(kind):
    return f"^{re.escape(f'Invalid connection_type: {kind}.')} Must be 'snowflake' or 'salesforce'$"


def primary_table(store):
    data = read(store)
    assert list(data)[-1] == "_primary"
    return list(data["_primary"].items())


@pytest.fixture
def profiles(write_store):
    return write_store(PROFILES)


@pytest.mark.parametrize("kind", [None, "", "snowflake", "salesforce", "bogus", "   "])
def test_no_table_means_no_primary_for_any_type(manager, profiles, kind):
    assert manager.get_primary_connection(kind) is None


def test_set_snowflake_then_salesforce(manager, profiles, capsys):
    assert manager.set_primary_connection("snow") is True
    assert capsys.readouterr().out == "✓ Set 'snow' as primary snowflake connection\n"
    assert primary_table(profiles) == [("snowflake_primary", "snow"), ("name", "snow")]
    assert [manager.get_primary_connection(k) for k in (None, "", " SNOWflake ", "salesforce")] \
        == ["snow", "snow", "snow", None]
    assert manager.set_primary_connection("sales") is True
    assert capsys.readouterr().out == "✓ Set 'sales' as primary salesforce connection\n"
    assert primary_table(profiles) == [
        ("snowflake_primary", "snow"), ("name", "sales"), ("salesforce_primary", "sales")]
    assert [manager.get_primary_connection(k) for k in (None, "snowflake", "salesforce")] \
        == ["sales", "snow", "sales"]
    before = profiles.read_bytes()
    assert manager.set_primary_connection("sales", "Salesforce") is True  # again: same markers
    assert profiles.read_bytes() == before and "Set 'sales'" in capsys.readouterr().out


@pytest.mark.parametrize("name, kind, marker, line", [
    ("untyped", None, "snowflake_primary", "✓ Set 'untyped' as primary snowflake connection"),
    ("sales", "snowflake", "snowflake_primary", "✓ Set 'sales' as primary snowflake connection"),
    ("snow", " SALESFORCE ", "salesforce_primary", "✓ Set 'snow' as primary salesforce connection"),
    (" spaced ", None, "snowflake_primary", "✓ Set ' spaced ' as primary snowflake connection"),
])
def test_set_resolves_or_takes_the_type(manager, profiles, capsys, name, kind, marker, line):
    assert manager.set_primary_connection(name, kind) is True
    assert capsys.readouterr().out == line + "\n"
    assert primary_table(profiles) == [(marker, name.strip()), ("name", name.strip())]


@pytest.mark.parametrize("name, kind, error", [
    ("missing", None, None), ("missing", "bogus", None), ("SNOW", "snowflake", None),
    ("spaced", None, None), ("_primary", None, None), ("blank", None, invalid("")),
    ("snow", " Oracle ", invalid("oracle")), ("snow", "   ", invalid("")), ("snow", "", invalid("")),
])
def test_set_refusals_leave_store_unchanged(manager, write_store, capsys, name, kind, error):
    store = write_store(PROFILES + "_primary = {name = 'snow'}\n")
    before = store.read_bytes()
    if error is None:
        assert manager.set_primary_connection(name, kind) is False
    else:
        with pytest.raises(ValueError, match=error):
            manager.set_primary_connection(name, kind)
    assert store.read_bytes() == before and capsys.readouterr().out == ""


@pytest.mark.parametrize("table, expected", [
    ("name = 'snow'", {None: "snow", "snowflake": "snow", "salesforce": None}),
    ("name = ' sales '", {None: "sales", "snowflake": None, "salesforce": "sales"}),
    ("name = 'gone'", {None: "gone", "snowflake": None, "salesforce": None}),
    ("name = 'untyped'", {None: "untyped", "snowflake": "untyped", "salesforce": None}),
    ("name = 'blank'", {None: "blank", "snowflake": None, "salesforce": None}),
    ("name = 'gone', salesforce_primary = ' old '", {None: "gone", "salesforce": "old"}),
    ("snowflake_primary = '', name = 'snow'", {None: "snow", "snowflake": "snow"}),
    ("snowflake_primary = 'x', name = ''", {None: None, "": None, "snowflake": "x"}),
    ("name = 7", {None: "7", "snowflake": None}),
    ("other = 'kept'", {None: None, "snowflake": None, "salesforce": None}),
])
def test_get_with_legacy_fallback(manager, write_store, table, expected):
    write_store(PROFILES + f"_primary = {{{table}}}\n")
    assert {k: manager.get_primary_connection(k) for k in expected} == expected


@pytest.mark.parametrize("kind, message", [("  ", ""), (" BOGUS", "bogus")])
def test_get_with_invalid_type_and_table_raises(manager, write_store, kind, message):
    write_store(PROFILES + "_primary = {name = 'snow'}\n")
    with pytest.raises(ValueError, match=invalid(message)):
        manager.get_primary_connection(kind)


def test_set_keeps_unknown_keys_and_deleted_profile_marker(manager, write_store):
    store = write_store(PROFILES + "_primary = {note = 'hand', name = 'gone'}\n")
    manager.set_primary_connection("sales")
    assert primary_table(store) == [
        ("note", "hand"), ("name", "sales"), ("salesforce_primary", "sales")]
    manager.delete_connection("sales")
    assert manager.get_primary_connection("salesforce") == "sales"
