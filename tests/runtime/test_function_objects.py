"""The module's function objects: their metadata and documentation, argument
binding with the interpreter's messages, and the argument checks."""

import copy, inspect, itertools, pickle, pydoc, re, typing

import pytest

from support import MODULE, NAMES, REFERENCES, TOML_ERROR

PARAMETERS = {name: list(inspect.signature(f).parameters) for name, f in REFERENCES.items()}
Text, Mapping = type("Text", (str,), {}), type("Mapping", (dict,), {})  # subclasses


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
    body = "".join(f"    {h}:\n{entries}{s}" for (h, entries), s in zip(sections, separators, strict=False))
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
