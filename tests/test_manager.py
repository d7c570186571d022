"""The module's interface: load-time setup, the functions' metadata, argument
binding and checks, and late binding through the module namespace."""

import builtins, copy, importlib, inspect, itertools, json, os, pathlib, pickle, pydoc, re, shutil
import sys, tomllib, typing

import pytest

import support
from support import TOML_ERROR

MODULE = "qivo.user.connections.manager"

# Plain Python functions with the interface of the module's twelve functions,
# compiled at top level so that their qualified names are the bare names too.
REFERENCES = {}
exec('''
def get_velmor_dir() -> "Path": pass
def get_connections_file() -> "Path": pass
def initialize_velmor_directory() -> "Path": pass
def _load_connections_file() -> "Dict[str, Any]": pass
def _save_connections_file(connections: "Dict[str, Any]") -> "None": pass
def save_connection_config(connection_name: "str", credentials: "Dict[str, Any]",
        connection_type: "str" = "snowflake", copy_key: "bool" = True) -> "None": pass
def load_connection(connection_name: "str") -> "Optional[Dict[str, Any]]": pass
def list_connections() -> "List[str]": pass
def delete_connection(connection_name: "str") -> "bool": pass
def update_connection(connection_name: "str", credentials: "Dict[str, Any]",
        connection_type: "Optional[str]" = None, copy_key: "bool" = True) -> "bool": pass
def get_primary_connection(connection_type: "Optional[str]" = None) -> "Optional[str]": pass
def set_primary_connection(connection_name: "str",
        connection_type: "Optional[str]" = None) -> "bool": pass
''', REFERENCES)
del REFERENCES["__builtins__"]
NAMES = list(REFERENCES)
PARAMETERS = {name: list(inspect.signature(f).parameters) for name, f in REFERENCES.items()}


Text, Mapping = type("Text", (str,), {}), type("Mapping", (dict,), {})  # subclasses
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
facts = {{"globals": [n for n in vars(m) if not n.startswith("__")],
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


# --- the functions' metadata -------------------------------------------------

@pytest.mark.parametrize("name", NAMES)
def test_function_metadata(manager, name):
    function, reference = getattr(manager, name), REFERENCES[name]
    assert (function.__name__, function.__qualname__, function.__module__) == (name, name, MODULE)
    assert repr(function.__defaults__) == repr(reference.__defaults__)
    assert function.__kwdefaults__ is None
    assert list(function.__annotations__.items()) == list(reference.__annotations__.items())
    assert inspect.signature(function) == inspect.signature(reference)
    # Tools that check calls against the hints resolve them in __globals__.
    assert function.__globals__ is vars(manager)
    assert typing.get_type_hints(function) == typing.get_type_hints(reference, vars(manager))
    with pytest.raises(AttributeError):
        function.__globals__ = {}
    assert pickle.loads(pickle.dumps(function)) is function is copy.deepcopy(function)


@pytest.mark.parametrize("name", NAMES)
def test_docstring_layout(manager, name):
    doc = getattr(manager, name).__doc__
    sections = re.findall(r"^    (Args|Returns|Raises):\n((?:        \S.*\n(?: {24}\S.*\n)*)+)",
                          doc, re.M)
    headings = [heading for heading, _ in sections]
    assert headings == [h for h in ("Args", "Returns", "Raises") if h in headings]
    assert ("Args" in headings) == bool(PARAMETERS[name])
    assert ("Returns" in headings) == (REFERENCES[name].__annotations__["return"] != "None")
    if PARAMETERS[name]:
        assert re.findall(r"^        (\w+): ", sections[0][1], re.M) == PARAMETERS[name]
    separators = ["        \n"] * (len(sections) - 1) + [""]
    if name == "get_primary_connection":
        separators[0] = "    \n"
    summary = doc.split("\n")[1]
    assert re.fullmatch(r"    \S.*\.", summary)
    body = "".join(f"    {h}:\n{entries}{s}" for (h, entries), s in zip(sections, separators))
    assert doc == f"\n{summary}\n    \n{body}    "


def test_docstrings_exact(manager):
    assert manager.initialize_velmor_directory.__doc__ == (
        "\n    Create the .velmor directory and connections.toml file if they don't exist.\n"
        "    \n    Returns:\n        Path to the .velmor directory\n        \n"
        "    Raises:\n        OSError: If directory creation fails\n    ")
    assert manager.get_primary_connection.__doc__ == (
        "\n    Get the name of the primary/default connection.\n    \n    Args:\n"
        "        connection_type: Optional connection type ('snowflake' or 'salesforce').\n"
        + " " * 24 + "If None, returns the legacy primary connection for backward compatibility.\n"
        "    \n    Returns:\n        Name of primary connection, or None if not set\n        \n"
        "    Raises:\n        ValueError: If TOML library is not available\n"
        "        FileNotFoundError: If connections.toml doesn't exist\n    ")


def test_help_lists_public_functions(manager):
    text = pydoc.render_doc(manager, renderer=pydoc.plaintext)
    for name in NAMES:  # the underscored ones are internal and not listed
        summary = getattr(manager, name).__doc__.split("\n")[1].strip()
        assert {f"\n    {name}(" in text, summary in text} == {not name.startswith("_")}


# --- binding and argument checks ---------------------------------------------

def type_error_of(function, *args, **kwargs):
    try:
        function(*args, **kwargs)
    except TypeError as error:
        return str(error)


@pytest.mark.parametrize("name", [name for name in NAMES if PARAMETERS[name]])
def test_binding_errors_match_python(manager, name):
    keywords = PARAMETERS[name] + ["connection_nam", "copykey"]
    mismatches = []
    for positional in range(len(PARAMETERS[name]) + 2):
        for count in range(len(keywords) + 1):
            for chosen in itertools.combinations(keywords, count):
                for order in {chosen, chosen[::-1]}:
                    if (name, positional, order) == ("get_primary_connection", 0, ()):
                        continue  # binds with its default and runs the body
                    args, kwargs = [object()] * positional, dict.fromkeys(order, object())
                    expected = type_error_of(REFERENCES[name], *args, **kwargs)
                    got = type_error_of(getattr(manager, name), *args, **kwargs)
                    # A call that binds fails the type check of an object() instead.
                    if got != expected and not (expected is None and "incorrect type" in got):
                        mismatches.append((positional, order, expected, got))
    assert mismatches == []


@pytest.mark.parametrize("name", [name for name in NAMES if not PARAMETERS[name]])
@pytest.mark.parametrize("args, kwargs, message", [
    ((1,), {}, "{}() takes no arguments (1 given)"),
    ((1, None), {}, "{}() takes no arguments (2 given)"),
    ((), {"x": 1}, "{}() takes no keyword arguments"),
    ((1,), {"x": 1}, "{}() takes no keyword arguments"),
])
def test_functions_without_parameters_reject_arguments(manager, home, name, args, kwargs,
                                                       message):
    assert type_error_of(getattr(manager, name), *args, **kwargs) == message.format(name)
    assert list(home.iterdir()) == []


@pytest.mark.parametrize("name, args, parameter, expected, got", [
    ("_save_connections_file", (None,), "connections", "dict", "NoneType"),
    ("_save_connections_file", (Mapping(),), "connections", "dict", "Mapping"),
    ("save_connection_config", (Text("n"), {}), "connection_name", "str", "Text"),
    ("save_connection_config", ("n", []), "credentials", "dict", "list"),
    ("save_connection_config", ("n", {}, None), "connection_type", "str", "NoneType"),
    ("save_connection_config", (1, [], None), "connection_name", "str", "int"),
    ("delete_connection", (None,), "connection_name", "str", "NoneType"),
    ("update_connection", ("n", Mapping(), 5), "credentials", "dict", "Mapping"),
    ("update_connection", ("n", {}, True), "connection_type", "str", "bool"),
    ("get_primary_connection", (Text("salesforce"),), "connection_type", "str", "Text"),
    ("set_primary_connection", (b"n",), "connection_name", "str", "bytes"),
])
def test_type_checks(manager, home, capsys, name, args, parameter, expected, got):
    with pytest.raises(TypeError) as caught:
        getattr(manager, name)(*args)
    assert str(caught.value) == (
        f"Argument '{parameter}' has incorrect type (expected {expected}, got {got})")
    notes = getattr(caught.value, "__notes__", [])
    assert len(notes) == (got in ("Text", "Mapping")) and all(n.strip() for n in notes)
    assert list(home.iterdir()) == [] and capsys.readouterr().out == ""  # nothing ran


@pytest.mark.parametrize("name", ["save_connection_config", "update_connection"])
def test_copy_key_truth_is_taken_once_before_type_checks(manager, monkeypatch, home, name):
    class Flag:
        calls = 0

        def __bool__(self):
            Flag.calls += 1
            if Flag.calls == 1:
                raise ZeroDivisionError("no truth")
            return False

    with pytest.raises(ZeroDivisionError, match="no truth"):
        getattr(manager, name)(1, [], copy_key=Flag())
    monkeypatch.setattr(manager, "TOML_AVAILABLE", False)
    with pytest.raises(ValueError, match=re.escape(TOML_ERROR)):
        getattr(manager, name)("n", {}, "snowflake", Flag())
    assert Flag.calls == 2


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
