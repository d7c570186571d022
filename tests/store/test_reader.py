"""The store reader: what it returns, what it raises, and that it closes the file."""

import builtins
import collections
import tomllib
import types

import pytest

TOML_MISSING = "TOML library is required. Install one of: tomli, toml, or use Python 3.11+"
TEMPLATE_FIELDS = ["connection_type", "private_key_file", "private_key_passphrase", "account",
                   "user", "authenticator", "warehouse", "database", "schema", "role"]
TEMPLATE = "[yorsk_dev1]\n\n" + "".join(
    f"{field} = '{'snowflake' if field == 'connection_type' else ''}'\n"
    for field in TEMPLATE_FIELDS)


@pytest.fixture
def opened(manager, monkeypatch):
    """Records every file the module opens through its namespace's `open`."""
    files = []

    def recording_open(*args, **kwargs):
        file = builtins.open(*args, **kwargs)
        files.append((args, kwargs, file))
        return file

    monkeypatch.setattr(manager, "open", recording_open, raising=False)
    return files


def ordered(value):
    """The value with dict order and exact scalar types made part of equality."""
    if isinstance(value, dict):
        return [(key, ordered(item)) for key, item in value.items()]
    return (type(value), value)


@pytest.mark.parametrize("text, expected", [
    ("", {}),
    (TEMPLATE, {"yorsk_dev1": {field: "snowflake" if field == "connection_type" else ""
                               for field in TEMPLATE_FIELDS}}),
    ("[zeta]\nz = 'last'\nsandbox = true\na = 1\n[_primary]\nsnowflake_primary = 'zeta'\n"
     "[alpha]\noff = false\n",
     {"zeta": {"z": "last", "sandbox": True, "a": 1}, "_primary": {"snowflake_primary": "zeta"},
      "alpha": {"off": False}}),
])
def test_content_in_file_order(manager, write_store, text, expected):
    write_store(text)
    assert ordered(manager._load_connections_file()) == ordered(expected)


def test_unavailable_toml_is_checked_before_the_path(manager, monkeypatch, store):
    def must_not_be_called():
        raise AssertionError("the path was computed")

    monkeypatch.setattr(manager, "TOML_AVAILABLE", False)
    monkeypatch.setattr(manager, "get_connections_file", must_not_be_called)
    with pytest.raises(ValueError) as raised:
        manager._load_connections_file()
    assert str(raised.value) == TOML_MISSING and not store.exists()


def test_missing_file_and_directory_in_its_place(manager, store, velmor_dir):
    with pytest.raises(FileNotFoundError) as raised:
        manager._load_connections_file()
    assert str(raised.value) == f"Connections file not found: {store}"
    assert not velmor_dir.exists()
    store.mkdir(parents=True)
    with pytest.raises(IsADirectoryError):
        manager._load_connections_file()


def test_path_is_looked_up_at_call_time(manager, monkeypatch, write_store, tmp_path):
    write_store("[home_store]\n")
    other = tmp_path / "elsewhere.toml"
    other.write_text("[other_store]\nk = 'v'\n", encoding="utf-8")
    monkeypatch.setattr(manager, "get_connections_file", lambda: other)
    assert manager._load_connections_file() == {"other_store": {"k": "v"}}


def test_each_call_returns_an_independent_mapping(manager, write_store):
    write_store("[a]\nk = 'v'\nl = [1]\n")
    first = manager._load_connections_file()
    first["a"]["k"] = "changed"
    first["a"]["l"].append(2)
    first["b"] = {}
    assert manager._load_connections_file() == {"a": {"k": "v", "l": [1]}}


def fake_reader(result):
    return types.SimpleNamespace(load=lambda file: file.read() and result)


@pytest.mark.parametrize("content, reader, error, message", [
    (b"[a]\nk = 'v'\n", None, None, None),
    (b"[a]\nk = \n", None, tomllib.TOMLDecodeError, None),
    (b"[a]\nk = '\xff\xfe'\n", None, ValueError, None),
    (b"x", fake_reader(collections.OrderedDict(a={})), TypeError,
     "Expected dict, got collections.OrderedDict"),
    (b"x", fake_reader(["a"]), TypeError, "Expected dict, got list"),
    (b"x", fake_reader(None), None, None),
])
def test_results_and_errors_close_the_file(manager, monkeypatch, opened, write_store,
                                           content, reader, error, message):
    store = write_store("")
    store.write_bytes(content)
    if reader is not None:
        monkeypatch.setattr(manager, "tomllib", reader)
    if error is None:
        result = manager._load_connections_file()
        assert result == (None if reader else {"a": {"k": "v"}})
    else:
        with pytest.raises(error) as raised:
            manager._load_connections_file()
        assert message is None or str(raised.value) == message
    [(args, kwargs, file)] = opened
    assert args == (store, "rb") and kwargs == {} and file.closed


def test_text_mode_reader_decodes_utf8(manager, monkeypatch, opened, write_store):
    toml = pytest.importorskip("toml")
    monkeypatch.setattr(manager, "tomllib", toml)
    monkeypatch.setattr(manager, "TOML_READ_MODE", "r")
    store = write_store("[\"café\"]\nk = 'naïve €'\n")
    assert manager._load_connections_file() == {"café": {"k": "naïve €"}}
    [(args, kwargs, file)] = opened
    assert args == (store, "r") and kwargs == {"encoding": "utf-8"} and file.closed
