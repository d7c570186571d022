"""The store reader: what it returns, what it raises, and that it closes the file."""

import builtins, collections, tomllib, types

import pytest

from support import EXAMPLE, TEMPLATE


@pytest.mark.parametrize("text, expected", [
    ("", {}),
    (TEMPLATE, {"yorsk_dev1": EXAMPLE}),
    ("[zeta]\nz = 'last'\nsandbox = true\na = 1\n[_primary]\nsnowflake_primary = 'zeta'\n"
     "[alpha]\noff = false\n",
     {"zeta": {"z": "last", "sandbox": True, "a": 1}, "_primary": {"snowflake_primary": "zeta"},
      "alpha": {"off": False}}),
])
def test_content_in_file_order(manager, write_store, text, expected):
    write_store(text)
    def ordered(v):
        return [(k, ordered(i)) for k, i in v.items()] if isinstance(v, dict) else (type(v), v)

    assert ordered(manager._load_connections_file()) == ordered(expected)


@pytest.mark.parametrize("call, result", [
    ("_load_connections_file()", FileNotFoundError), ("list_connections()", FileNotFoundError),
    ("load_connection('prod')", FileNotFoundError), ("delete_connection('a')", FileNotFoundError),
    ("update_connection('n', {})", FileNotFoundError),
    ("get_primary_connection('snowflake')", FileNotFoundError),
    ("set_primary_connection('n')", FileNotFoundError),
    # Reserved names are answered before the store is read.
    ("load_connection(' _primary')", None), ("load_connection('  ')", None),
    ("update_connection('_primary', {})", False), ("set_primary_connection('_primary', 'bogus')", False),
])
def test_missing_store(manager, store, velmor_dir, call, result):
    if result is FileNotFoundError:
        with pytest.raises(FileNotFoundError) as raised:
            eval("m." + call, {"m": manager})
        assert str(raised.value) == f"Connections file not found: {store}"
    else:
        assert eval("m." + call, {"m": manager}) is result
    assert not velmor_dir.exists()


def test_each_call_returns_fresh_objects(manager, write_store):
    write_store("[a]\naccount = 'v'\nl = [1]\n[_primary]\n")
    first, names, loaded = (manager._load_connections_file(), manager.list_connections(),
                            manager.load_connection("a"))
    first["a"]["l"].append(2)
    first["b"], names[:], loaded["account"] = {}, ["ghost"], "changed"
    assert manager._load_connections_file() == {"a": {"account": "v", "l": [1]}, "_primary": {}}
    assert (manager.list_connections(), manager.load_connection("a")["account"]) == (["a"], "v")


def fake_reader(result):
    return types.SimpleNamespace(load=lambda file: file.read() and result)


@pytest.mark.parametrize("content, reader, error, message", [
    (b"[a]\nk = 'v'\n", None, None, None),
    (b"[a]\nk = \n", None, tomllib.TOMLDecodeError, None),
    (b"[a]\nk = '\xff\xfe'\n", None, ValueError, None),
    (b"\xef\xbb\xbf[a]\nk = 'v'\n", None, tomllib.TOMLDecodeError, "Invalid statement (at line 1, column 1)"),
    (b"x", fake_reader(collections.OrderedDict(a={})), TypeError,
     "Expected dict, got collections.OrderedDict"),
    (b"x", fake_reader(["a"]), TypeError, "Expected dict, got list"),
    (b"x", fake_reader(None), None, None),
])
def test_results_and_errors_close_the_file(manager, monkeypatch, write_store,
                                           content, reader, error, message):
    store, opened = write_store(""), []
    store.write_bytes(content)

    def recording_open(*args, **kwargs):
        opened.append((args, kwargs, builtins.open(*args, **kwargs)))
        return opened[-1][2]

    monkeypatch.setattr(manager, "open", recording_open, raising=False)
    if reader is not None:
        monkeypatch.setattr(manager, "tomllib", reader)
    if error is None:
        assert manager._load_connections_file() == (None if reader else {"a": {"k": "v"}})
    else:
        with pytest.raises(error) as raised:
            manager._load_connections_file()
        assert message is None or str(raised.value) == message
        # Errors about the content name the file; a byte-order mark is explained.
        notes = [f"while reading the connections file {store}"] * issubclass(error, ValueError)
        if content.startswith(b"\xef\xbb\xbf"):
            notes.append("the file starts with a UTF-8 byte-order mark, which TOML does not allow: "
                         "save it as UTF-8 without one (remove its first three bytes)")
        assert getattr(raised.value, "__notes__", []) == notes
    [(args, kwargs, file)] = opened
    assert args == (store, "rb") and kwargs == {} and file.closed
