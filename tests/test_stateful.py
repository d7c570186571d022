"""Random sequences of every function, checked against a small model of the
store: results, printed lines, exceptions and the file's content."""

import contextlib, io, os, re, shutil, tempfile
from pathlib import Path

import pytest
from hypothesis import HealthCheck, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

from qivo.user.connections import manager
from support import EXAMPLE, HOME_ROOT, REDIRECT, SALESFORCE, SNOWFLAKE, kept_mode, mode, read

S, D = type("S", (str,), {}), type("D", (dict,), {})  # subclasses the checks refuse
# Awkward names that many draws share, so that operations meet earlier saves.
texts = st.sampled_from(
    ["prod", " prod ", "yorsk_dev1", "it's", 'q"x', "l\nn", "[x]", "a.b", "ü 名", "\\", "#", "a=b",
     "_primary", "_x", " _x", "", " ", "\t"]) | st.text(min_size=1, max_size=8)
stored = st.integers(0, 9)  # the n-th name in the store, whatever it holds
scalars = (st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | texts
           | st.text(max_size=6).map(S))
valid_types = st.sampled_from(["snowflake", "salesforce"])
types = st.one_of(valid_types, valid_types, texts, st.sampled_from([" SnowFlake ", "SALESFORCE\n", "other"]))
credentials = st.dictionaries(st.sampled_from(SNOWFLAKE + SALESFORCE[1:]) | texts, scalars, max_size=5)
nested = st.recursive(scalars, lambda inner: st.lists(inner, max_size=3)
                      | st.dictionaries(texts, inner, max_size=3), max_leaves=6)
tables = st.dictionaries(texts | st.just(1), nested | st.just(b"") | st.builds(D, a=scalars), max_size=5)
# Every type-checked argument, found through the annotations test_manager pins down:
# (function, position, parameter, annotation); valid values fill the other positions.
VALID = {"str": "n", "Dict[str, Any]": {}, "Optional[str]": None}
CHECKED = [(name, index, parameter, annotation)
           for name, function in vars(manager).items() if type(function) is type(manager.list_connections)
           for index, (parameter, annotation) in enumerate(function.__annotations__.items())
           if parameter != "return" and annotation in VALID]


def text(mapping, key, default=""):
    return str(mapping.get(key, default)).strip()


def entry_text(mapping, key, default=""):
    """A text field of a stored entry: None counts as empty."""
    value = mapping.get(key, default)
    return "" if value is None else str(value).strip()


def stored_type(entry):
    return text(entry, "connection_type", "snowflake").lower()


def requested_type(kind):
    normal = kind.strip().lower()
    if normal not in ("snowflake", "salesforce"):
        raise ValueError(f"Invalid connection_type: {normal}. Must be 'snowflake' or 'salesforce'")
    return normal


def as_written(value):
    """What a value reads back as: None turns into '', a str subclass into str."""
    if isinstance(value, dict):
        return {k: as_written(v) for k, v in value.items()}
    if isinstance(value, list):
        return [as_written(v) for v in value]
    return "" if value is None else str(value) if isinstance(value, str) else value


def writable(value):
    if isinstance(value, dict):
        return all(type(k) is str and writable(v) for k, v in value.items())
    return all(map(writable, value)) if isinstance(value, list) else not isinstance(value, bytes)


def ordered(value):
    if isinstance(value, dict):
        return [(k, ordered(v)) for k, v in value.items()]
    return [ordered(v) for v in value] if isinstance(value, list) else value


class StoreMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.root = Path(tempfile.mkdtemp(prefix="qivo-stateful-", dir=HOME_ROOT))
        self.saved_env = os.environ.get("HOME"), os.getcwd()
        os.environ["HOME"] = str(self.root)
        (self.root / "work").mkdir()
        os.chdir(self.root / "work")  # relative key paths name nothing here
        self.velmor, keys = self.root / ".velmor", self.root / "keys"
        self.store = self.velmor / "connections.toml"
        (keys / "sub").mkdir(parents=True)
        (keys / "k1.p8").write_text("first key")
        (keys / "sub" / "k1.p8").write_text("second key")
        self.private = kept_mode(0o600, keys / "k1.p8")  # 0o600, where the file system keeps modes
        self.key_paths = [str(keys / "k1.p8"), str(keys / "sub" / "k1.p8"), str(self.velmor / "k1.p8"),
                          " " + str(keys / "k1.p8"), str(keys), "missing.p8"]
        self.model = None  # None while neither the directory nor the store exists

    def teardown(self):
        home, cwd = self.saved_env
        os.chdir(cwd)
        if home is not None:
            os.environ["HOME"] = home
        shutil.rmtree(self.root)

    # The model: each `expect` changes the model as the call should change the
    # store, collects the lines it should print and returns or raises what it should.

    def existing(self, name):
        """A name drawn as a number stands for that entry of the store."""
        names = list(self.model or {"prod": 0})
        return names[name % len(names)] if isinstance(name, int) else name

    def require_store(self):
        if self.model is None:
            raise FileNotFoundError(f"Connections file not found: {self.store}")
        return self.model

    def table(self, name):
        """A stored entry read as a profile or as the markers: a table, or a ValueError."""
        entry = self.model[name]
        if not isinstance(entry, dict):
            kind = type(entry)
            found = kind.__name__ if kind.__module__ == "builtins" else f"{kind.__module__}.{kind.__name__}"
            what = "Entry" if name.startswith("_") else "Connection"
            raise ValueError(f"{what} {name!r} in {self.store} is not a table (found {found})")
        return entry

    def initialize_model(self):
        if self.model is None:
            self.model = {"yorsk_dev1": dict(EXAMPLE)}
            self.lines.append(f"✓ Created {self.store}")
        return self.velmor

    def written(self, connections):
        """The store after a write: non-tables first, as the writer places them."""
        self.model = as_written({k: v for k, v in connections.items() if not isinstance(v, dict)}
                                | {k: v for k, v in connections.items() if isinstance(v, dict)})

    def place_key(self, key, name):
        """Where the key is copied: its base name, else the first -N name that is free, holds
        the same key, or is the profile's own old copy that no other profile records."""
        dest = self.velmor / os.path.basename(key)
        if os.path.abspath(key) == str(dest):
            self.lines.append("✓ Private key already in .velmor directory")
            return dest

        def records(table):
            recorded = table.get("private_key_file") if isinstance(table, dict) else None
            return {os.path.abspath(recorded.strip())} if isinstance(recorded, str) and recorded else set()

        own = records(self.model.get(name))
        others = set().union(*(records(table) for other, table in self.model.items() if other != name))
        stem, suffix = os.path.splitext(os.path.basename(key))
        for number in range(1, 100):
            candidate = dest if number == 1 else self.velmor / f"{stem}-{number}{suffix}"
            if (not candidate.exists() or candidate.read_bytes() == Path(key).read_bytes()
                    or str(candidate) in own - others):
                self.lines.append(f"✓ Copied private key to {candidate}")
                return candidate

    def build(self, kind, credentials, copy_key, name=None):
        if kind == "snowflake":
            key = credentials.get("private_key_file", "")
            if copy_key and key and os.path.isfile(key):
                key = self.place_key(key, name)
            return {k: entry_text(credentials, k) for k in SNOWFLAKE} | {
                "connection_type": kind, "private_key_file": entry_text({"k": key}, "k"),
                "authenticator": "SNOWFLAKE_JWT"}
        if kind == "salesforce":
            return {"connection_type": kind, "client_id": entry_text(credentials, "client_id"),
                    "client_key": entry_text(credentials, "client_key"),
                    "sandbox": credentials.get("sandbox", False),
                    "my_domain": entry_text(credentials, "my_domain"),
                    "redirect_url": entry_text(credentials, "redirect_url", REDIRECT)}
        raise ValueError(f"Unknown connection type: {kind}. Must be 'snowflake' or 'salesforce'")

    def run(self, call, expect):
        """Runs the model, then the real call, and compares the two."""
        self.lines = []
        try:
            expected, expected_error = expect(), None
        except Exception as error:
            expected, expected_error = None, error
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            try:
                result, error = call(), None
            except Exception as raised:
                result, error = None, raised
        assert out.getvalue() == "".join(line + "\n" for line in self.lines)
        assert type(error) is type(expected_error), (repr(error), repr(expected_error))
        if expected_error is None:
            assert ordered(result) == ordered(expected)
        elif str(expected_error):
            assert str(error) == str(expected_error)

    @initialize(create=st.booleans())
    def start(self, create):
        """Half the runs start from a store with a profile of each type."""
        if create:
            self.save(" prod", {"account": "acc", "private_key_passphrase": "  "}, "snowflake", True, 0)
            self.save("it's", {"sandbox": True}, "Salesforce", True, 6)

    @rule(name=texts, credentials=credentials, kind=types,
          copy_key=st.sampled_from([True, True, 0, "no", None]), key=st.integers(0, 6))
    def save(self, name, credentials, kind, copy_key, key):
        if key < 6:
            credentials["private_key_file"] = self.key_paths[key]

        def expect():
            stripped, normal = name.strip(), kind.strip().lower()
            if not stripped or stripped.startswith("_"):
                raise ValueError(f"Invalid connection name: {stripped!r}. Names must be non-empty "
                                 "and must not begin with '_'")
            self.initialize_model()
            self.written(self.model | {stripped: self.build(normal, credentials, copy_key, stripped)})
            self.lines.append(f"✓ Saved connection '{stripped}' ({normal}) to {self.store}")

        self.run(lambda: manager.save_connection_config(name, credentials, kind, copy_key), expect)

    @rule(name=stored | texts, credentials=credentials, kind=st.none() | types, copy_key=st.booleans(),
          key=st.integers(0, 6))
    def update(self, name, credentials, kind, copy_key, key):
        name = self.existing(name)
        if key < 6:
            credentials["private_key_file"] = self.key_paths[key]

        def expect():
            if name.startswith("_") or name not in self.require_store():
                return False
            chosen = kind
            if chosen is None:
                stored = self.table(name).get("connection_type", "snowflake")
                chosen = credentials.get("connection_type", stored)
                if chosen is not None and type(chosen) is not str:
                    raise TypeError(f"Expected str, got {type(chosen).__name__}")
            normal = str(chosen).strip().lower()
            self.written(self.model | {name: self.build(normal, credentials, copy_key, name)})
            self.lines.append(f"✓ Updated connection '{name}' ({normal})")
            return True

        self.run(lambda: manager.update_connection(name, credentials, kind, copy_key), expect)

    @rule(name=stored | texts)
    def load(self, name):
        name = self.existing(name)

        def expect():
            stripped = name.strip()
            if not stripped or stripped.startswith("_") or stripped not in self.require_store():
                return None
            entry = self.table(stripped)
            kind = stored_type(entry)
            if kind == "salesforce":
                return self.build(kind, entry, False)
            if kind != "snowflake":
                return {"connection_type": kind}
            return {"connection_type": kind} | {
                k: text(entry, k) for k in ("account", "user", "role", "warehouse", "private_key_file")} | {
                "private_key_passphrase": text(entry, "private_key_passphrase") or None} | {
                k: text(entry, k) for k in ("database", "schema") if text(entry, k)}

        self.run(lambda: manager.load_connection(name), expect)

    @rule(name=stored | texts)
    def delete(self, name):
        name = self.existing(name)

        def expect():
            if name not in self.require_store():
                return False
            self.written({k: v for k, v in self.model.items() if k != name})
            self.lines.append(f"✓ Deleted connection '{name}'")
            return True

        self.run(lambda: manager.delete_connection(name), expect)

    @rule(name=stored | texts, kind=st.none() | types)
    def set_primary(self, name, kind):
        name = self.existing(name)

        def expect():
            if name.startswith("_") or name not in self.require_store():
                return False
            normal = requested_type(stored_type(self.table(name)) if kind is None else kind)
            connections = dict(self.model)
            primary = connections.setdefault("_primary", {})
            primary[f"{normal}_primary"] = primary["name"] = name.strip()
            self.written(connections)
            self.lines.append(f"✓ Set '{name}' as primary {normal} connection")
            return True

        self.run(lambda: manager.set_primary_connection(name, kind), expect)

    @rule(kind=st.none() | types)
    def get_primary(self, kind):
        def expect():
            if "_primary" not in self.require_store():
                return None
            primary = self.table("_primary")
            if not kind:
                legacy = primary.get("name")
                return str(legacy).strip() if legacy else None
            normal = requested_type(kind)
            found = primary.get(f"{normal}_primary")
            legacy = None if found else primary.get("name")
            if legacy and str(legacy).strip() in self.model:  # the untyped marker as a fallback
                if stored_type(self.table(str(legacy).strip())) == normal:
                    found = legacy
            return str(found).strip() if found else None

        self.run(lambda: manager.get_primary_connection(kind), expect)

    @rule(connections=st.dictionaries(texts, tables | scalars, max_size=4))
    def save_mapping(self, connections):
        def expect():
            if not writable(connections):
                raise TypeError  # before any file is touched
            if self.model is None:
                raise FileNotFoundError  # the writer never creates the directory
            self.written(connections)

        self.run(lambda: manager._save_connections_file(connections), expect)

    @rule(name=stored | texts, other=scalars,
          markers=st.lists(st.sampled_from(["name", "snowflake_primary", "salesforce_primary"]), unique=True))
    def edit_primary(self, name, other, markers):
        """A marker table edited by hand: the first marker names a stored profile."""
        if self.model is not None:
            table = {key: self.existing(name) if i == 0 else other for i, key in enumerate(markers)}
            self.save_mapping(self.model | {"_primary": table})

    @rule(call=st.sampled_from(CHECKED), value=st.sampled_from([None, 5, 1.5, b"n", [], S("snowflake"), D()]))
    def wrong_argument_type(self, call, value):
        name, index, parameter, annotation = call
        function = getattr(manager, name)
        arguments = [VALID.get(a, True) for p, a in function.__annotations__.items() if p != "return"]
        arguments[index] = value

        def expect():
            raise TypeError(f"Argument '{parameter}' has incorrect type (expected "
                            f"{'dict' if 'Dict' in annotation else 'str'}, got {type(value).__name__})")

        if value is not None or annotation != "Optional[str]":
            self.run(lambda: function(*arguments), expect)

    @rule()
    def initialize_directory(self):
        self.run(manager.initialize_velmor_directory, self.initialize_model)

    @invariant()
    def store_reads_back_as_the_model(self):
        self.run(manager.get_velmor_dir, lambda: self.velmor)
        self.run(manager.get_connections_file, lambda: self.store)
        self.run(manager._load_connections_file, self.require_store)
        self.run(manager.list_connections,
                 lambda: [name for name in self.require_store() if not name.startswith("_")])
        for kind in (None, "snowflake", "salesforce"):
            self.get_primary(kind)
        for name in list(self.model or ()):
            self.load(name)
        if self.model is None:
            assert not self.velmor.exists()
            return
        assert ordered(read(self.store)) == ordered(self.model)
        extra = {p.name for p in self.velmor.iterdir()} - {"connections.toml", "connections.toml.lock"}
        assert all(re.fullmatch(r"k1(-\d+)?\.p8", name) for name in extra)  # nothing but copied keys
        assert all(mode(self.velmor / name) == self.private for name in extra | {"connections.toml"})


TestStore = pytest.mark.slow(StoreMachine.TestCase)
TestStore.settings = settings(max_examples=100, stateful_step_count=20, deadline=None,
                              suppress_health_check=[HealthCheck.too_slow])
