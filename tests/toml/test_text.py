"""The store's text: the exact layout of what is written, faithful round
trips, and values or renderings that could not be read back refused before
the store is touched."""

import copy, importlib.util, math
import datetime as dt
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from support import EXAMPLE, TEMPLATE, assert_untouched

@pytest.mark.parametrize("connections, text", [
    ({}, ""),
    ({"t": {}}, "[t]\n\n\n"),
    ({"t": {"a": "", "b": None}}, "[t]\n\na = ''\nb = ''\n\n"),
    ({"sf": {"sandbox": False, "on": True}}, "[sf]\n\nsandbox = false\non = true\n\n"),
    ({"t": {"n": 42, "m": -7, "f": 0.1, "g": -2.0}}, "[t]\n\nn = 42\nm = -7\nf = 0.1\ng = -2.0\n\n"),
    ({"t": {"private_key_file": "C:\\keys\\rsa key.p8"}},
     "[t]\n\nprivate_key_file = 'C:\\keys\\rsa key.p8'\n\n"),
    ({"a": {"k": "1"}, "_primary": {"snowflake_primary": "a"}, "b": {}},
     "[a]\n\nk = '1'\n\n[_primary]\n\nsnowflake_primary = 'a'\n\n[b]\n\n\n"),
    ({"yorsk_dev1": EXAMPLE}, TEMPLATE + "\n"),  # the template, read and written again
])
def test_layout(manager, store, write_store, capsys, connections, text):
    write_store("")
    given_mapping = copy.deepcopy(connections)
    assert manager._save_connections_file(connections) is None
    assert store.read_bytes() == text.encode()
    assert connections == given_mapping and capsys.readouterr() == ("", "")


names = st.text(st.characters(exclude_categories=["Cs"]), max_size=8)
scalars = st.one_of(
    names, st.text(st.characters(exclude_categories=["Cs"])), st.booleans(), st.none(),
    st.integers(), st.floats(), st.dates(), st.times(),
    st.datetimes(timezones=st.one_of(st.none(), st.builds(
        dt.timezone, st.integers(-1439, 1439).map(lambda m: dt.timedelta(minutes=m))))))
values = st.recursive(scalars, lambda inner: st.one_of(
    st.lists(inner, max_size=3), st.dictionaries(names, inner, max_size=3)), max_leaves=8)
stores = st.dictionaries(names, st.one_of(st.dictionaries(names, values, max_size=5), scalars),
                         max_size=4)


def comparable(value):
    """Equal exactly when a faithful round trip would give it back (dict order counts)."""
    if value is None:
        return (str, "")
    if isinstance(value, float):
        return "nan" if math.isnan(value) else repr(value)
    if isinstance(value, dict):
        return [(key, comparable(item)) for key, item in value.items()]
    if isinstance(value, list):
        return [comparable(item) for item in value]
    if isinstance(value, (dt.datetime, dt.time)):
        return (type(value), value, value.utcoffset())
    return (type(value), value)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(connections=stores)
def test_round_trip(manager, write_store, connections):
    write_store("")
    given_mapping = copy.deepcopy(connections)
    manager._save_connections_file(connections)
    back = manager._load_connections_file()
    assert comparable(connections) == comparable(given_mapping)
    # Entries outside any table are written first; the tables keep their order.
    expected = comparable({k: v for k, v in connections.items() if not isinstance(v, dict)}
                          | {k: v for k, v in connections.items() if isinstance(v, dict)})
    assert comparable(back) == expected


def nested(depth):
    value = []
    for _ in range(depth - 1):
        value = [value]
    return value


cyclic_list, cyclic_dict = [], {}
cyclic_list.append(cyclic_list)
cyclic_dict["k"] = cyclic_dict


@pytest.mark.parametrize("bad, error, named", [
    (b"key", TypeError, "bytes"), ({"k"}, TypeError, "set"), (("a",), TypeError, "tuple"),
    (object(), TypeError, "object"), ([1, {"k": b""}], TypeError, "bytes"), ({1: "x"}, TypeError, "int"),
    ("lone \ud800", UnicodeEncodeError, "surrogate"),
    (dt.datetime(2024, 1, 1, tzinfo=dt.timezone(dt.timedelta(seconds=90))), ValueError, "minutes"),
    (dt.time(1, tzinfo=dt.timezone.utc), ValueError, "zone"),
    (cyclic_list, ValueError, "100 levels"), (cyclic_dict, ValueError, "100 levels"),
    (nested(101), ValueError, "100 levels"), ([{"k": nested(100)}], ValueError, "100 levels"),
])
def test_unwritable_values_refused_before_the_store_is_touched(manager, old_store, bad, error, named):
    with pytest.raises(error, match=named):
        manager._save_connections_file({"ok": {"k": "v"}, "bad": {"first": 1, "x": bad}})
    assert_untouched(old_store)


def test_values_nested_100_levels_read_back_from_a_deep_call(manager, old_store):
    manager._save_connections_file({"a": {"k": nested(100), "t": [{"k": nested(98)}]}})

    def read_at_depth(depth):  # the reader runs well inside the recursion limit
        return read_at_depth(depth - 1) if depth else manager._load_connections_file()

    assert read_at_depth(500) == {"a": {"k": nested(100), "t": [{"k": nested(98)}]}}


class Key(str):
    """Keys that are different objects but have one text."""

    def __eq__(self, other):
        return self is other

    __hash__ = object.__hash__


class Repeating(dict):
    def items(self):
        return [("k", 1), ("k", 2)]


class Meddling(dt.datetime):
    """Changes an entry already written, the first time its offset is asked for."""

    table = None

    def utcoffset(self):
        Meddling.table["a"] = "after"
        return None


@pytest.mark.parametrize("make", [
    lambda: {"t": {Key("k"): 1, Key("k"): 2}},
    lambda: {Key("t"): {}, Key("t"): {}},
    lambda: {"t": {"inline": Repeating()}},
    lambda: {"t": (table := {"a": "before", "when": Meddling(2020, 1, 1)}),
             "_": setattr(Meddling, "table", table)},
], ids=["same-text-keys", "same-text-tables", "items-repeats-a-key", "changed-while-written"])
def test_renderings_that_would_not_read_back_are_refused(manager, old_store, make):
    connections = make()
    connections.pop("_", None)
    with pytest.raises(ValueError, match="would (not )?read back"):
        manager._save_connections_file(connections)
    assert_untouched(old_store)


# --- what the writer's fuzzer keeps --------------------------------------------

FUZZ = Path(__file__).resolve().parents[2] / "fuzz"
_spec = importlib.util.spec_from_file_location("writer_roundtrip", FUZZ / "writer_roundtrip.py")
writer_roundtrip = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(writer_roundtrip)
KEPT = sorted(path for folder in ("corpus", "findings") for path in (FUZZ / folder / "writer").glob("*")
              if path.is_file() and not path.name.startswith("."))


@pytest.mark.parametrize("path", KEPT, ids=[f"{path.parents[1].name}/{path.name}" for path in KEPT])
def test_kept_fuzz_inputs_are_written_or_refused_as_promised(manager, old_store, path):
    writer_roundtrip.check(manager, old_store, path.read_bytes())
