"""The store writer: exact layout, faithful round trips, and no damage on failure."""

import builtins, copy, errno, fcntl, json, math, os, stat, types
import datetime as dt

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from support import EXAMPLE, TEMPLATE, mode, run_python

OLD = "[keep]\n\nk = 'old'\n\n"


@pytest.fixture
def old_store(write_store):
    return write_store(OLD)


def assert_untouched(store):
    assert store.read_text(encoding="utf-8") == OLD
    assert os.listdir(store.parent) == ["connections.toml"]


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
        store.symlink_to(store.name)
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
    assert mode(store) == (existing_mode or 0o600)


def test_symlinked_store_stays_a_link(manager, store, velmor_dir, tmp_path):
    velmor_dir.mkdir()
    real = tmp_path / "real.toml"
    real.write_text(OLD)
    store.symlink_to(os.path.join("..", "..", "real.toml"))
    manager._save_connections_file({"a": {"k": "v"}})
    assert store.is_symlink() and os.readlink(store) == os.path.join("..", "..", "real.toml")
    assert real.read_text() == "[a]\n\nk = 'v'\n\n"
    assert os.listdir(velmor_dir) == ["connections.toml"]
    assert sorted(os.listdir(tmp_path)) == ["home", "real.toml"]


@pytest.mark.parametrize("kind", ["null device", "fifo"])
def test_store_linked_to_a_device_or_fifo_is_never_replaced(manager, store, velmor_dir, tmp_path, kind):
    velmor_dir.mkdir()
    node = tmp_path / "node"
    if kind == "fifo":
        os.mkfifo(node)
    elif os.geteuid() == 0:
        os.mknod(node, 0o666 | stat.S_IFCHR, os.makedev(1, 3))  # a null device of our own
    else:
        node = "/dev/null"
    store.symlink_to(node)
    if kind == "fifo":  # (reading it would wait for a writer, as open() does)
        with pytest.raises(OSError, match="Not a regular file"):
            manager._save_connections_file({"a": {}})
        assert os.listdir(velmor_dir) == ["connections.toml"]
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
    assert os.listdir(store.parent) == ["connections.toml"]


HEX = "0123456789abcdef"


def test_only_dead_writers_temporary_files_are_removed(manager, old_store):
    directory = old_store.parent
    dead, live = f".connections.toml.tmp-{HEX}", f".connections.toml.tmp-{HEX[::-1]}"
    kept = [live, ".connections.toml.tmp-backup", f".connections.toml.tmp-{HEX.upper()}",
            f".connections.toml.tmp-{HEX}0", f".other.toml.tmp-{HEX}", f".connections.toml.tmp-{HEX[1:]}x"]
    for name in [dead] + kept:
        (directory / name).write_text("secret")
    (directory / f".connections.toml.tmp-{HEX[2:]}ab").mkdir()
    (directory / f".connections.toml.tmp-{HEX[2:]}cd").symlink_to(dead)
    with open(directory / live) as writer:
        fcntl.flock(writer, fcntl.LOCK_EX)  # a writer that is still at work
        manager._save_connections_file({"a": {}})
    assert sorted(os.listdir(directory)) == sorted(
        ["connections.toml", f".connections.toml.tmp-{HEX[2:]}ab",
         f".connections.toml.tmp-{HEX[2:]}cd"] + kept)
