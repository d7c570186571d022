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


@pytest.mark.parametrize("kind", [None, "", "snowflake", "salesforce", "bogus", "   "])
def test_no_table_means_no_primary_for_any_type(manager, write_store, kind):
    write_store(PROFILES)
    assert manager.get_primary_connection(kind) is None


@pytest.mark.parametrize("name, kind, outcome", [
    ("untyped", None, "snowflake"), ("sales", "snowflake", "snowflake"),
    ("snow", " SALESFORCE ", "salesforce"), (" spaced ", None, "snowflake"),
    ("missing", None, False), ("missing", "bogus", False), ("SNOW", "snowflake", False),
    ("spaced", None, False), ("_primary", None, False), ("blank", None, invalid("")),
    ("snow", " Oracle ", invalid("oracle")), ("snow", "   ", invalid("")), ("snow", "", invalid("")),
])
def test_set(manager, write_store, capsys, name, kind, outcome):
    done = outcome in ("snowflake", "salesforce")
    store = write_store(PROFILES + ("" if done else "_primary = {name = 'snow'}\n"))
    before = store.read_bytes()
    if done:  # the type resolved from the profile, or the one given
        assert manager.set_primary_connection(name, kind) is True
        assert capsys.readouterr().out == f"✓ Set '{name}' as primary {outcome} connection\n"
        assert primary_table(store) == [(f"{outcome}_primary", name.strip()), ("name", name.strip())]
        return
    if outcome is False:
        assert manager.set_primary_connection(name, kind) is False
    else:
        with pytest.raises(ValueError, match=outcome):
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
