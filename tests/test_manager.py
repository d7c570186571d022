"""The module: load-time setup, its globals, re-import, and late binding of
every global through the module namespace."""

import builtins, importlib, json, os, pathlib, shutil
import sys, tomllib, typing

import pytest

import support
from support import MODULE, NAMES, TOML_ERROR

Elsewhere = type("Elsewhere", (), {"home": staticmethod(lambda: pathlib.PurePosixPath("/x"))})

# --- load-time setup -------------------------------------------------------

BASE_GLOBALS = ["shutil", "Path", "Dict", "Optional", "Any", "List", "os"]
PROBE = """
import json, sys
{setup}
try:
    from qivo.user.connections import manager as m
except Exception as error:
    print(json.dumps({{"error": [type(error).__name__, str(error)]}})); raise SystemExit
reader = getattr(m, "tomllib", None)
# (A test build adds the hook for its system calls.)
facts = {{"globals": [n for n in vars(m) if not n.startswith("__") and n != "_set_system_call_hook"],
         "reader": getattr(reader, "__name__", None), "available": m.TOML_AVAILABLE,
         "mode": getattr(m, "TOML_READ_MODE", "absent")}}
# The reader, and a fallback bound under its own name, are the imported modules.
facts["same"] = (reader is None or reader is sys.modules[reader.__name__]) and all(
    getattr(m, n) is sys.modules[n] for n in ("tomli", "toml") if hasattr(m, n))
try:
    m.list_connections()
except Exception as error:  # the shared ValueError, else the missing store
    facts["list"] = str(error) if type(error) is ValueError else type(error).__name__
print(json.dumps(facts))
"""
FINDER = """
class Refuse:
    def find_spec(self, name, path=None, target=None):
        if name == {!r}:
            raise {}
sys.meta_path.insert(0, Refuse())
"""


def probe(home, setup=""):
    result = support.run_python(PROBE.format(setup=setup), env={"HOME": str(home)})
    assert result.returncode == 0, result.stderr
    assert list(home.iterdir()) == []  # importing touches no file
    return json.loads(result.stdout)


@pytest.mark.parametrize("setup, reader, mode, bound", [
    ("", "tomllib", "rb", ["tomllib"]),
    ("sys.modules['tomllib'] = None", "tomli", "rb", ["tomli", "tomllib"]),
    (FINDER.format("tomllib", "ModuleNotFoundError"), "tomli", "rb", ["tomli", "tomllib"]),
    ("sys.modules['tomllib'] = sys.modules['tomli'] = None", "toml", "r", ["toml", "tomllib"]),
    ("for n in ('tomllib', 'tomli', 'toml'): sys.modules[n] = None", None, "absent", []),
])
def test_reader_selection(home, setup, reader, mode, bound):
    flags = ["TOML_AVAILABLE", "TOML_READ_MODE"] if reader else ["TOML_AVAILABLE"]
    assert probe(home, setup) == {
        "globals": BASE_GLOBALS + bound + flags + NAMES, "reader": reader,
        "available": reader is not None, "same": True, "mode": mode,
        "list": "FileNotFoundError" if reader else TOML_ERROR}


@pytest.mark.parametrize("setup", [
    FINDER.format("tomllib", "RuntimeError('refused')"),
    "sys.modules['tomllib'] = None" + FINDER.format("tomli", "RuntimeError('refused')"),
])
def test_other_errors_while_importing_a_reader_fail_the_import(home, setup):
    assert probe(home, setup) == {"error": ["RuntimeError", "refused"]}


def test_without_the_c_datetime_module(home):
    result = support.run_python("""
        import sys
        sys.modules["_datetime"] = None  # the pure-Python datetime stands in
        import datetime
        from qivo.user.connections import manager as m
        m.print = lambda line: None
        m.save_connection_config("p", {"account": "a"})
        print(m.load_connection("p")["account"], *m.list_connections())
        with open(m.get_connections_file(), "a") as store:  # read by tomllib
            store.write("[when]\\nat = 1979-05-27T07:32:00Z\\n")
        print(type(m._load_connections_file()["when"]["at"]) is datetime.datetime)
        for change in (lambda: m.save_connection_config("q", {}),
                       lambda: m._save_connections_file({"t": {"at": datetime.date(2020, 1, 1)}})):
            try:
                change()
            except TypeError as error:
                print("TypeError", "C datetime module, which is not available" in str(error))
        print(*m.list_connections())
        """, env={"HOME": str(home)})
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["a yorsk_dev1 p", "True", "TypeError True", "TypeError True",
                                          "yorsk_dev1 p when"]


def test_globals_after_import(manager):
    assert manager.__name__ == MODULE
    assert manager.__doc__ == (
        "\nConnection management module for Snowflake.\n\n"
        "This module provides functionality to save, load, and manage Snowflake\n"
        "connection configurations stored in TOML format.\n")
    assert [getattr(manager, n) for n in BASE_GLOBALS] == [
        shutil, pathlib.Path, typing.Dict, typing.Optional, typing.Any, typing.List, os]
    assert (manager.tomllib, manager.TOML_AVAILABLE, manager.TOML_READ_MODE) == (
        tomllib, True, "rb")


def test_reimport_runs_setup_again(manager, monkeypatch):
    import qivo.user.connections as package
    monkeypatch.setattr(package, "manager", manager)
    monkeypatch.delitem(sys.modules, MODULE)
    monkeypatch.setitem(sys.modules, "tomllib", None)
    fresh = importlib.import_module(MODULE)
    assert fresh is not manager and manager.tomllib is tomllib
    assert fresh.tomllib is fresh.tomli is sys.modules["tomli"]
    assert all(getattr(fresh, n) is not getattr(manager, n) for n in NAMES)
    # Each module's functions read their own module's globals.
    monkeypatch.setattr(fresh, "Path", Elsewhere)
    assert (fresh.get_velmor_dir(), type(manager.get_velmor_dir())) == (
        pathlib.PurePosixPath("/x/.velmor"), pathlib.PosixPath)


# --- late binding -------------------------------------------------------------


@pytest.mark.parametrize("namespace", [None, builtins])
def test_path_is_looked_up_at_call_time(manager, monkeypatch, namespace):
    if namespace is builtins:
        monkeypatch.delattr(manager, "Path")
    monkeypatch.setattr(namespace or manager, "Path", Elsewhere, raising=False)
    assert manager.get_connections_file() == pathlib.PurePosixPath("/x/.velmor/connections.toml")


@pytest.mark.parametrize("value", [False, 0, None])
@pytest.mark.parametrize("name, args", [
    ("_load_connections_file", ()), ("_save_connections_file", ({},)),
    ("save_connection_config", ("n", {})), ("load_connection", ("n",)),
    ("list_connections", ()), ("delete_connection", ("n",)),
    ("update_connection", ("n", {})), ("get_primary_connection", ()),
    ("set_primary_connection", ("n",)),
])
def test_false_toml_available_stops_store_access(manager, monkeypatch, home, name, args, value):
    monkeypatch.setattr(manager, "TOML_AVAILABLE", value)
    # Checked first: before the store path is even computed (or a lock taken).
    monkeypatch.setattr(manager, "get_connections_file", lambda: pytest.fail("path computed"))
    with pytest.raises(ValueError) as caught:
        getattr(manager, name)(*args)
    assert str(caught.value) == TOML_ERROR and list(home.iterdir()) == []


def test_operations_reach_print_and_the_paths_through_the_module(manager, monkeypatch, home,
                                                                tmp_path, capsys):
    velmor, other, key, printed = tmp_path / "dir", tmp_path / "other.toml", tmp_path / "k.p8", []
    key.write_text("KEY")
    monkeypatch.setattr(manager, "get_velmor_dir", lambda: velmor)
    monkeypatch.setattr(manager, "get_connections_file", lambda: other)
    monkeypatch.setattr(manager, "print", printed.append, raising=False)
    assert manager.initialize_velmor_directory() is velmor
    manager.save_connection_config("a", {"private_key_file": str(key)})
    manager.save_connection_config("b", {}, "salesforce")
    assert manager.update_connection("a", {"private_key_file": str(velmor / "k.p8"), "role": "r"})
    assert manager.set_primary_connection("b") and manager.delete_connection("yorsk_dev1")
    assert manager.list_connections() == ["a", "b"] and manager.get_primary_connection() == "b"
    assert manager.load_connection("a")["role"] == "r"
    assert printed == [
        f"✓ Created {other}", f"✓ Copied private key to {velmor / 'k.p8'}",
        f"✓ Saved connection 'a' (snowflake) to {other}",
        f"✓ Saved connection 'b' (salesforce) to {other}",
        "✓ Private key already in .velmor directory", "✓ Updated connection 'a' (snowflake)",
        "✓ Set 'b' as primary salesforce connection", "✓ Deleted connection 'yorsk_dev1'"]
    assert capsys.readouterr().out == "" and os.listdir(velmor) == ["k.p8"]
    assert list(home.iterdir()) == []


@pytest.mark.parametrize("deleted, call", [
    ("Path", "get_velmor_dir()"), ("get_velmor_dir", "get_connections_file()"),
    ("get_connections_file", "initialize_velmor_directory()"),
    ("TOML_AVAILABLE", "list_connections()"), ("_load_connections_file", "list_connections()"),
    ("_load_connections_file", "load_connection('n')"),
    ("_load_connections_file", "get_primary_connection()"),
])
def test_deleted_global_raises_name_error(manager, monkeypatch, home, deleted, call):
    monkeypatch.delattr(manager, deleted)
    with pytest.raises(NameError) as caught:
        eval("m." + call, {"m": manager})
    assert (str(caught.value), caught.value.name) == (f"name '{deleted}' is not defined", deleted)
    assert list(home.iterdir()) == []


def test_endless_recursion_through_the_namespace_raises(home):
    result = support.run_python("""
        from qivo.user.connections import manager
        manager.get_velmor_dir = manager.get_connections_file
        try:
            manager.get_connections_file()
        except RecursionError:
            print("RecursionError")
        """, env={"HOME": str(home)})
    assert (result.returncode, result.stdout) == (0, "RecursionError\n")
