"""Objects that Python code hands the operations (through a rebound reader,
credentials or a datetime subclass) may behave in any way their type allows:
every operation gives the Python result or raises a Python exception, and a
refused write leaves the store as it was."""

import datetime as dt

import pytest

from support import read


class Odd(str):
    """A str whose strip() and lower() return whatever it was made with."""

    def __new__(cls, text, lowered):
        self = super().__new__(cls, text)
        self.lowered = lowered
        return self

    def strip(self):
        return self

    def lower(self):
        return self.lowered


class Text:
    """An object whose str() is an Odd."""

    def __init__(self, text, lowered):
        self.odd = Odd(text, lowered)

    def __str__(self):
        return self.odd


class EqualsAll:
    """Equal to everything; strip() and lower() give itself."""

    def __eq__(self, other):
        return True

    __hash__ = object.__hash__
    strip = lower = lambda self: self


def typed(lowered):
    return {"p": {"connection_type": Text("snowflake", lowered)},
            "_primary": {"name": "p"}}


BIG = 10 ** 100
NOT_A_TABLE = "{} in {{store}} is not a table (found {})"


@pytest.mark.parametrize("connections, call, outcome", [
    (typed(1.5), "load_connection('p')", {"connection_type": 1.5}),
    (typed(BIG), "load_connection('p')", {"connection_type": BIG}),
    (typed(EqualsAll()), "load_connection('p')", "keys"),  # compares equal to "snowflake"
    (typed(1.5), "set_primary_connection('p')", (AttributeError, "'float' object has no attribute 'strip'")),
    (typed(b"x"), "set_primary_connection('p')",
     (TypeError, 'can only concatenate str (not "bytes") to str')),
    (typed(EqualsAll()), "set_primary_connection('p')",
     (TypeError, 'can only concatenate str (not "EqualsAll") to str')),
    (typed(1.5), "get_primary_connection('snowflake')", None),
    (typed(EqualsAll()), "get_primary_connection('salesforce')", "p"),
    (typed(Odd("", "")), "update_connection('p', {})", (TypeError, "Expected str, got Text")),
    # A hand-edited entry that is not a table: an error about the file where
    # it would be read as a profile; listed, deleted and replaced as any other.
    ({"version": 1}, "load_connection('version')",
     (ValueError, NOT_A_TABLE.format("Connection 'version'", "int"))),
    ({"p": [{}]}, "update_connection('p', {'connection_type': 'salesforce'})",
     (ValueError, NOT_A_TABLE.format("Connection 'p'", "list"))),
    ({"p": "x"}, "set_primary_connection('p')", (ValueError, NOT_A_TABLE.format("Connection 'p'", "str"))),
    ({"p": 1.5, "_primary": {"name": "p"}}, "get_primary_connection('snowflake')",
     (ValueError, NOT_A_TABLE.format("Connection 'p'", "float"))),
    ({"_primary": [1]}, "get_primary_connection()",
     (ValueError, NOT_A_TABLE.format("Entry '_primary'", "list"))),
    ({"p": 1}, "list_connections()", ["p"]), ({"p": 1}, "delete_connection('p')", True),
    ({"p": 1}, "update_connection('p', {}, 'salesforce')", True),
])
def test_hostile_stored_values(manager, monkeypatch, write_store, connections, call, outcome):
    store = write_store("")
    monkeypatch.setattr(manager, "_load_connections_file", lambda: connections)
    monkeypatch.setattr(manager, "_save_connections_file", lambda connections: None)
    monkeypatch.setattr(manager, "print", lambda *args: None, raising=False)
    if isinstance(outcome, tuple):
        with pytest.raises(outcome[0]) as raised:
            eval("m." + call, {"m": manager})
        assert str(raised.value) == outcome[1].replace("{store}", str(store))
    elif outcome == "keys":
        assert len(eval("m." + call, {"m": manager})) == 7  # the Snowflake result
    else:
        assert eval("m." + call, {"m": manager}) == outcome


class Offset(dt.datetime):
    """A datetime whose utcoffset() returns whatever the class says."""

    result = None

    def utcoffset(self):
        return self.result


@pytest.mark.parametrize("offset, error", [
    ((1, 2), TypeError), ([1], TypeError), (b"x", TypeError), (BIG, TypeError), ("+01:00", TypeError),
    (dt.timedelta(hours=30), ValueError), (dt.timedelta(days=-3), ValueError),
    (dt.timedelta(days=-999999999), ValueError), (dt.timedelta(seconds=30), ValueError),
])
def test_datetime_subclass_offsets_are_checked(manager, monkeypatch, write_store, offset, error):
    store = write_store("[keep]\nk = 1\n")
    monkeypatch.setattr(Offset, "result", offset)
    with pytest.raises(error, match="utcoffset|offsets"):
        manager._save_connections_file({"t": {"when": Offset(2020, 1, 2, 3, 4)}})
    assert store.read_text() == "[keep]\nk = 1\n"


def test_text_fields_take_what_str_and_strip_give(manager, store):
    manager.save_connection_config("p", {"account": Text("a", "a"), "user": EqualsAll(),
                                         "role": Odd(" r ", "r")}, "snowflake")
    stored = read(store)["p"]
    assert stored["account"] == "a" and stored["role"] == "r" and stored["user"].startswith("<")
