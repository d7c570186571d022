"""The native store parser against the interpreter's own tomllib: for every
text, `_load_connections_file` gives exactly what `tomllib.load` gives (the
same types, key order, float bits and tzinfo objects), or raises the same
exception with the same message. Whether tomllib ran is counted, not guessed:
the code of `tomllib.load` is watched with sys.monitoring."""

import builtins, datetime as dt, decimal, functools, gc, io, math, os, random, sys, time
import tomllib, types
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from support import REDIRECT, SALESFORCE, SNOWFLAKE, assert_same, outcome, run_python

EVENTS = sys.monitoring.events


@pytest.fixture(scope="module")
def tomllib_runs():
    """Returns `count(call)`: the result (or exception) of `call()` and how many
    times the code of `tomllib.load` started meanwhile."""
    tool = next(i for i in (3, 4, 0, 1, 2, 5) if sys.monitoring.get_tool(i) is None)
    sys.monitoring.use_tool_id(tool, "store parser tests")
    starts = []
    sys.monitoring.register_callback(tool, EVENTS.PY_START, lambda code, offset: starts.append(1))
    code = tomllib.load.__code__

    def count(call):
        starts.clear()
        sys.monitoring.set_local_events(tool, code, EVENTS.PY_START)
        try:
            return outcome(call), len(starts)
        finally:
            sys.monitoring.set_local_events(tool, code, 0)

    yield count
    sys.monitoring.register_callback(tool, EVENTS.PY_START, None)
    sys.monitoring.free_tool_id(tool)


@pytest.fixture
def differential(manager, store, tomllib_runs):
    """Returns `check(data, native)`: writes `data` as the store, reads it, and
    compares with `tomllib.load` of the same bytes. `native` says whether the
    parse must be the module's own (True), tomllib's (False) or either
    (None); a declined text costs exactly one tomllib parse. Returns whether
    it was parsed natively."""
    store.parent.mkdir(mode=0o700, exist_ok=True)

    def check(data: bytes, native: bool | None = None) -> bool:
        store.write_bytes(data)
        got, runs = tomllib_runs(manager._load_connections_file)
        # Called from the same depth of Python frames as the module calls it
        # (partial adds none), so that deep nesting meets the same limit.
        expected = outcome(functools.partial(tomllib.load, io.BytesIO(data)))
        assert_same(got, expected)
        assert runs in ((0,) if native else (1,) if native is False else (0, 1)), (data, runs)
        return runs == 0

    return check


# --- stores as the writer lays them out --------------------------------------

names = st.text(max_size=6)
offsets = st.one_of(st.none(), st.just(dt.timezone.utc), st.builds(
    dt.timezone, st.integers(-1439, 1439).map(lambda minutes: dt.timedelta(minutes=minutes))))
scalars = st.one_of(
    st.text(), st.booleans(), st.none(), st.integers(), st.integers(-10**60, 10**60),
    st.floats(), st.sampled_from([-0.0, math.inf, -math.inf, math.nan, -math.nan]),
    st.dates(), st.times(), st.datetimes(timezones=offsets))
values = st.recursive(scalars, lambda inner: st.one_of(
    st.lists(inner, max_size=3), st.dictionaries(names, inner, max_size=3)), max_leaves=10)
stores = st.dictionaries(names, st.one_of(st.dictionaries(names, values, max_size=6), scalars),
                         max_size=5)


@settings(max_examples=150, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(connections=stores)
def test_written_stores_are_parsed_natively(manager, store, differential, connections):
    store.parent.mkdir(mode=0o700, exist_ok=True)
    manager._save_connections_file(connections)
    differential(store.read_bytes(), native=True)


def profile_store(size):
    """Half Snowflake profiles with ten text fields, half Salesforce ones, and
    the primaries, as the module itself writes them."""
    store = {}
    for index in range(size):
        if index % 2 == 0:
            store[f"snowflake_{index}"] = {key: f"{key}-{index}" for key in SNOWFLAKE}
        else:
            store[f"salesforce_{index}"] = {key: f"{key}-{index}" for key in SALESFORCE} | {
                "sandbox": index % 4 == 1, "redirect_url": REDIRECT}
    return store | {"_primary": {"snowflake_primary": "snowflake_0", "name": "snowflake_0"}}


def test_profile_store_is_parsed_natively(manager, store, differential):
    store.parent.mkdir(mode=0o700, exist_ok=True)
    manager._save_connections_file(profile_store(200))
    differential(store.read_bytes(), native=True)


# --- hand-written text ---------------------------------------------------------

ESCAPES = {"\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r", '"': '\\"', "\\": "\\\\"}


def is_control(char):
    return ord(char) < 0x20 and char != "\t" or char == "\x7f"


def spelled(draw, text, bare=False):
    """`text` as a bare key (when allowed), a literal string or a basic string
    with escapes of every kind."""
    how = draw(st.sampled_from(["bare", "literal", "basic"]))
    if how == "bare" and bare and text and all(c.isascii() and (c.isalnum() or c in "-_")
                                               for c in text):
        return text
    if how != "basic" and "'" not in text and not any(map(is_control, text)):
        return f"'{text}'"
    return '"' + "".join(escaped(c, draw(st.sampled_from(["plain", "u", "U"]))) for c in text) + '"'


def escaped(char, form):
    if form == "plain" and (char in ESCAPES or not is_control(char)):
        return ESCAPES.get(char, char)
    return f"\\u{ord(char):04x}" if form == "u" and ord(char) < 0x10000 else f"\\U{ord(char):08X}"


@st.composite
def moment_texts(draw):
    clock = draw(st.times())
    fraction = draw(st.sampled_from(["", ".1", ".12", ".1234567", ".000000009",
                                     f".{clock.microsecond:06d}"]))
    clock_text = f"{clock:%H:%M:%S}{fraction}"
    offset = draw(st.one_of(st.sampled_from(["", "Z", "z", "+00:00", "-00:00"]),
                            st.from_regex(r"[+-]([01][0-9]|2[0-3]):[0-5][0-9]", fullmatch=True)))
    date = draw(st.dates()).isoformat()
    return draw(st.sampled_from([date, clock_text, date + draw(st.sampled_from("Tt ")) + clock_text
                                 + offset]))


number_texts = st.one_of(
    st.from_regex(r"[+-]?(0|[1-9][0-9]{0,40})", fullmatch=True),
    st.from_regex(r"[+-]?(0|[1-9][0-9]{0,5})(\.[0-9]{1,20}|(\.[0-9]{1,5})?[eE][+-]?[0-9]{1,3})",
                  fullmatch=True),
    st.sampled_from(["inf", "+inf", "-inf", "nan", "+nan", "-nan", "-0.0", "+0.0", "0e0"]))
space = st.sampled_from(["", " ", "  ", "\t", " \t "])
comment = st.one_of(st.just(""), st.text(max_size=8).filter(
    lambda text: not any(map(is_control, text))).map(lambda text: "#" + text))


@st.composite
def value_texts(draw, depth=0):
    kind = draw(st.sampled_from(["string", "number", "bool", "moment"]
                                + ["array", "table"] * (depth < 3)))
    if kind == "string":
        return spelled(draw, draw(st.text(max_size=8)))
    if kind in ("number", "bool", "moment"):
        return draw({"number": number_texts, "bool": st.sampled_from(["true", "false"]),
                     "moment": moment_texts()}[kind])
    items = draw(st.lists(value_texts(depth + 1), max_size=3))
    if kind == "array":
        separator = draw(st.sampled_from([",", ", ", " ,\n  ", ", # note\n"]))
        trailer = draw(st.sampled_from(["", ",", ",\n", "\n# end\n"])) if items else ""
        return "[" + draw(space) + separator.join(items) + trailer + "]"
    keys = draw(st.lists(names, min_size=len(items), max_size=len(items), unique=True))
    return "{" + draw(space) + ("," + draw(space)).join(
        entry(draw, key, item) for key, item in zip(keys, items, strict=False)) + draw(space) + "}"


def entry(draw, key, value):
    return spelled(draw, key, bare=True) + draw(space) + "=" + draw(space) + value


@st.composite
def documents(draw):
    """Top-level entries, then tables (names unique where TOML needs them)."""
    lines, in_table = [], False
    for key in draw(st.lists(names, max_size=8, unique=True)):
        in_table = in_table or draw(st.integers(0, 3)) == 0
        if in_table:
            lines.append(draw(space) + "[" + draw(space) + spelled(draw, key, bare=True)
                         + draw(space) + "]" + draw(space) + draw(comment))
        for inner in draw(st.lists(names, max_size=3, unique=True)) if in_table else [key]:
            lines.append(draw(space) + entry(draw, inner, draw(value_texts())) + draw(space)
                         + draw(comment))
        lines.extend([""] * draw(st.integers(0, 1)) + [draw(comment)] * draw(st.integers(0, 1)))
    return "\n".join(lines) + draw(st.sampled_from(["", "\n"]))


@settings(max_examples=300, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(text=documents())
def test_hand_written_stores_are_parsed_natively(differential, text):
    differential(text.encode(), native=True)


# --- damaged stores -------------------------------------------------------------

SEED_TEXT = (
    "# connections\ntop = 1\nwhen = 1979-05-27T07:32:00.999999-07:00\n\n"
    "[snowflake_prod]\n\naccount = 'xy12345.eu-west-1'\nuser = \"ETL \\u00e9\\t\\\"q\\\"\"\n"
    "port = -443\nratio = 6.02e+23\nneg = -0.0\nodd = -nan\nsandbox = false\n"
    "list = [1, 2.5, 'x', [true], { a = 1, \"b c\" = 'd' }]\n"
    "moments = [1979-05-27, 07:32:00, 1979-05-27 07:32:00Z, 1979-05-27t07:32:00.5+05:30]\n\n"
    "['_primary']\n\nsnowflake_primary = 'snowflake_prod' # set by hand\n"
    "arr = [\n  1, # one\n  2,\n]\nbig = 123456789012345678901234567890\n")
INTERESTING = b"\"'\\\n\r\t #[]{},=.:+-_eE0123456789TZtuUnaif\x00\x7f\xc3\xa9\xed\xa0\x80\xef\xbb\xbf\xff"


def mutate(data: bytearray, rng: random.Random):
    for _ in range(rng.randint(1, 3)):
        at = rng.randrange(len(data) + 1)
        byte = rng.choice(INTERESTING) if rng.random() < 0.8 else rng.randrange(256)
        action = rng.randrange(5)
        if action == 0 and at < len(data):
            data[at] = byte
        elif action == 1:
            data.insert(at, byte)
        elif action == 2 and at < len(data):
            del data[at:at + rng.randint(1, 3)]
        else:  # a line repeated or moved: duplicate keys and tables
            lines = data.split(b"\n")
            line = rng.choice(lines)
            lines.insert(rng.randrange(len(lines) + 1), line)
            if action == 4:
                del lines[rng.randrange(len(lines))]
            data[:] = b"\n".join(lines)


def test_mutated_stores_match_tomllib(differential):
    rng, parsed = random.Random(20240607), {True: 0, False: 0}
    started = time.perf_counter()
    for _ in range(3000):
        data = bytearray(SEED_TEXT.encode())
        mutate(data, rng)
        parsed[differential(bytes(data))] += 1
    # Both paths are taken: the mutations are neither all fatal nor all harmless.
    assert min(parsed.values()) > 300, parsed
    print(f"3000 mutations in {time.perf_counter() - started:.2f}s: {parsed}")


# --- hostile and rare text ---------------------------------------------------------

def nested(depth):
    return b"a = " + b"[" * depth + b"]" * depth + b"\n"


DATE_TIMES = [
    f"1979-05-27{sep}07:32:00{fraction}{offset}".encode()
    for sep in "Tt " for fraction in ["", ".5", ".123456", ".1234567", ".999999999"]
    for offset in ["", "Z", "z", "+00:00", "-00:00", "+05:30", "-23:59"]]


@pytest.mark.parametrize("data, native", [
    # names given twice, in every spelling
    (b"a = 1\na = 2\n", False), (b"a = 1\n\"a\" = 2\n", False), (b"a = 1\n'a' = 2\n", False),
    (b"[t]\n[t]\n", False), (b"[t]\n[\"t\"]\n", False), (b"[t]\n['t']\n", False),
    (b"[t.k]\n[t]\n", False), (b"[t]\n[t.k]\n", False), (b"[t]\nk = 1\n[t.k]\n", False),
    (b"a = 1\n[a]\n", False), (b"a = {}\n[a]\n", False), (b"[t]\nk = 1\n\"k\" = 2\n", False),
    (b"t = { x = 1, x = 2 }\n", False), (b"t = { \"x\" = 1, 'x' = 2 }\n", False),
    (b"[\"\"]\n['']\n", False), (b"[t]\n[u]\n[t]\n", False),
    # byte-level trouble
    (b"\xef\xbb\xbfa = 1\n", False), (b"a = 1\r\nb = 2\r\n", False), (b"a = 1\rb = 2\n", False),
    (b"a = 'x\r'\n", False), (b"# x\r\na = 1\n", False), (b"a = '\x7f'\n", False),
    (b"a = \"\x00\"\n", False), (b"# \x01\n", False), (b"a = '\x1f'\n", False),
    (b"a = '\t'\n", True), (b"a = \"\x7f\"\n", False), (b"a\x00 = 1\n", False),
    (b"a = \"\\ud800\"\n", False), (b"a = \"\\uDFFF\"\n", False), (b"a = \"\\U0000d800\"\n", False),
    (b"a = \"\\U00110000\"\n", False), (b"a = \"\\U0010FFFF\\u0000\\u007F\"\n", True),
    (b"a = \"\\x41\"\n", False), (b"a = \"\\e\"\n", False), (b"a = \"\\u12\"\n", False),
    (b"a = \"\\u12g4\"\n", False), (b"a = \"\\\n", False), (b"a = \"\\", False),
    (b"a = '\xc0\xaf'\n", False), (b"a = '\xe0\x80\xaf'\n", False), (b"a = '\xc3'\n", False),
    (b"a = '\xe2\x82'\n", False), (b"a = '\xed\xa0\x80'\n", False),
    (b"a = '\xf4\x90\x80\x80'\n", False), (b"a = '\x80'\n", False), (b"# \xff\na = 1\n", False),
    (b"# \xc3\xa9\xf0\x9f\x98\x80\na = '\xc3\xa9'\n", True), (b"\xc3\xa9 = 1\n", False),
    (b"a = \"\xc3\\u00e9\"\n", False), (b"a = '\xc3\xa9\xc3'\n", False),
    # numbers
    (b"a = " + b"9" * 4300 + b"\n", True), (b"a = " + b"9" * 4301 + b"\n", False),
    (b"a = -" + b"9" * 4301 + b"\n", False), (b"a = +0\nb = -0\nc = +12\n", True),
    (b"a = 00\n", False), (b"a = 01\n", False), (b"a = 0x1f\n", False), (b"a = 0o7\n", False),
    (b"a = 0b1\n", False), (b"a = 1_000\n", False), (b"a = 1__0\n", False), (b"a = 0xg\n", False),
    (b"a = -0.0\nb = +0.0\nc = 0e0\nd = 1E-3\ne = 1.5e+3\nf = 4.9e-324\n", True),
    (b"a = nan\nb = -nan\nc = +nan\nd = inf\ne = -inf\nf = +inf\n", True),
    (b"a = 1e400\nb = -1e400\nc = 1e-400\n", True), (b"a = 1.\n", False), (b"a = .5\n", False),
    (b"a = 1e\n", False), (b"a = 1.0_1\n", False), (b"a = NaN\n", False),
    (b"a = Infinity\n", False), (b"a = -\n", False), (b"a = 1.5.2\n", False),
    # dates and times
    *[(b"a = " + text + b"\n", True) for text in DATE_TIMES],
    (b"a = [1979-05-27 07:32:00 , 1979-05-27 , 07:32:00.1]\n", True),
    (b"a = 1979-05-27 # a date, not a date-time\n", True), (b"a = 1979-05-27T\n", False),
    (b"a = 2020-02-29\nb = 00:00:00\nc = 23:59:59.999999999\n", True),
    (b"a = 2021-02-29\n", False), (b"a = 0000-01-01\n", False), (b"a = 2020-13-01\n", False),
    (b"a = 2020-04-31T00:00:00+05:00\n", False), (b"a = 2020-01-01T24:00:00\n", False),
    (b"a = 2020-01-01T23:60:00\n", False), (b"a = 23:59:60\n", False),
    (b"a = 2020-01-01T10:00\n", False), (b"a = 10:00:00.\n", False),
    (b"a = 2020-01-01T10:00:00+24:00\n", False), (b"a = 2020-01-01T10:00:00+05\n", False),
    (b"a = 2020-01-01T10:00:00Zz\n", False), (b"a = 2020-1-01\n", False),
    # structure
    (b"[[a]]\n", False), (b"a.b = 1\n", False), (b"[a.b]\n", False), (b"[a . b]\n", False),
    (b"a = '''x'''\n", False), (b"a = \"\"\"x\"\"\"\n", False), (b"a = ''\nb = \"\"\n", True),
    (b"a = [1, 2,]\n", True), (b"a = [\n1, # c\n2\n# d\n]\n", True), (b"a = [,]\n", False),
    (b"a = { x = 1, }\n", False), (b"a = {\nx = 1}\n", False), (b"a = { x = 1 # c\n}\n", False),
    (b"[ t ]\n[\t'u'\t]  # c\n", True), (b"a = 1 # comment\n", True), (b"a = 1 b = 2\n", False),
    (b"a = true1\n", False), (b"a = truex\n", False), (b"a = tru\n", False), (b"a = True\n", False),
    (b"a =\n", False), (b"a\n", False), (b"= 1\n", False), (b"[]\n", False), (b"[a\n", False),
    (b"a = 1\n\n\n[t]\n\n\nb = 2\n# end", True), (b"", True), (b"\n \t\n", True),
    (b"# only a comment", True), (b"''= 1\n\"\" = 2\n", False), (b"[\"\"]\n'' = 1\n", True),
    (b"a = {}\nb = []\nc = { d = { e = [{}] } }\n", True),
    (nested(99), True), (nested(100), True), (nested(101), False), (nested(400), False),
])
def test_hostile_and_rare_text(differential, data, native):
    differential(data, native)


# --- when the native parse is allowed ------------------------------------------------

DOCUMENT = b"[a]\nk = 'v'\nn = 7\nf = 1.5\nwhen = 1979-05-27T07:32:00+05:30\nc = \"\\u00e9\"\n"


def through(calls, original):
    def replacement(*args, **kwargs):
        calls.append(1)
        return original(*args, **kwargs)
    return replacement


def injecting_new(_cls, data, flags):
    """Code for the namedtuple `__new__` that tomllib's loads() calls: adds a
    profile. `_tuple_new` is what that function's own globals name."""
    data.dict["injected"] = {}
    return _tuple_new(_cls, (data, flags))  # noqa: F821


def injecting_tuple_new(cls, fields):
    fields[0].dict["injected"] = {}
    return tuple.__new__(cls, fields)


def inject_profile(p):
    p.setattr(tomllib._parser.Output.__new__, "__code__", injecting_new.__code__)


def opens_a_file_whose_read(patch):
    """An open() giving a plain binary file over DOCUMENT whose read makes
    `patch()` while it runs, as a read that blocks meanwhile would."""
    def readinto(raw, buffer):
        patch()
        return raw.data.readinto(buffer)
    raw_type = type("Raw", (io.RawIOBase,), {"readable": lambda raw: True, "readinto": readinto})

    def open_store(*args):
        raw = raw_type()
        raw.data = io.BytesIO(DOCUMENT)
        return io.BufferedReader(raw)
    return open_store


@pytest.mark.parametrize("change, runs, called", [
    # (the change, runs of tomllib.load's code, whether the replacement is called)
    (lambda p, m, c: p.setattr(tomllib, "load", through(c, tomllib.load)), 1, True),
    (lambda p, m, c: p.setattr(tomllib._parser, "loads", through(c, tomllib._parser.loads)), 1,
     True),
    (lambda p, m, c: p.setattr(tomllib._parser, "match_to_datetime",
                               through(c, tomllib._parser.match_to_datetime)), 1, True),
    (lambda p, m, c: p.setattr(tomllib._re, "cached_tz", through(c, tomllib._re.cached_tz)), 1,
     True),
    (lambda p, m, c: p.setattr(tomllib._parser.NestedDict, "get_or_create_nest",
                               through(c, tomllib._parser.NestedDict.get_or_create_nest)), 1, True),
    (lambda p, m, c: p.setattr(builtins, "chr", through(c, chr)), 1, True),
    (lambda p, m, c: p.setattr(m, "tomllib", types.SimpleNamespace(load=through(c, tomllib.load))),
     1, True),
    (lambda p, m, c: p.setattr(m, "TOML_READ_MODE", type("Mode", (str,), {})("rb")), 1, False),
    # Another open() that gives a plain binary file still reads natively.
    (lambda p, m, c: p.setattr(m, "open", through(c, builtins.open), raising=False), 0, True),
    (lambda p, m, c: p.setattr(tomllib.load, "__kwdefaults__", {"parse_float": decimal.Decimal}),
     1, False),
    (lambda p, m, c: p.setitem(tomllib.load.__kwdefaults__, "parse_float", decimal.Decimal), 1,
     False),
    (lambda p, m, c: p.setattr(tomllib._parser.loads, "__code__", (
        lambda s, /, *, parse_float=float: {"replaced": float("1.5")}).__code__), 1, False),
    # A module whose class answers attribute lookups its own way.
    (lambda p, m, c: p.setattr(tomllib, "__class__", type("Swapped", (types.ModuleType,), {
        "__getattribute__": lambda self, name: through(c, tomllib._parser.load) if name == "load"
        else types.ModuleType.__getattribute__(self, name)})), 1, True),
    # The same result either way: only the count tells that tomllib parsed.
    (lambda p, m, c: p.setattr(builtins, "float", decimal.Decimal), 1, False),
    (lambda p, m, c: p.delattr(tomllib._parser, "loads"), 1, False),
    # A table that loads() reads, behind a read-only proxy, changed all the same.
    (lambda p, m, c: p.setitem(gc.get_referents(tomllib._parser.BASIC_STR_ESCAPE_REPLACEMENTS)[0],
                               "\\t", "T"), 1, False),
    # What loads() runs through the namedtuple it builds: its __new__'s code,
    # and the names that code looks up in its own globals.
    (lambda p, m, c: inject_profile(p), 1, False),
    (lambda p, m, c: p.setitem(tomllib._parser.Output.__new__.__globals__, "_tuple_new",
                               through(c, injecting_tuple_new)), 1, True),
    # Changed while the store's bytes are being read.
    (lambda p, m, c: p.setattr(m, "open", opens_a_file_whose_read(lambda: inject_profile(p)),
                               raising=False), 1, False),
])
def test_changed_reader_is_used_as_it_is(manager, differential, tomllib_runs, change, runs, called):
    differential(DOCUMENT, native=True)
    calls = []
    with pytest.MonkeyPatch.context() as patcher:
        change(patcher, manager, calls)
        got, counted = tomllib_runs(manager._load_connections_file)
        called_by_the_read = bool(calls)
        # What tomllib.load returns now, after whatever the read itself changed.
        expected = outcome(lambda: tomllib.load(io.BytesIO(DOCUMENT)))
    assert_same(got, expected)
    assert (counted, called_by_the_read) == (runs, called)
    # All restored (a deleted name comes back at another place in its dict): native again.
    differential(DOCUMENT, native=True)


@pytest.mark.parametrize("make_file, runs", [
    (io.BytesIO, 1),
    (lambda data: type("Reader", (io.BufferedReader,), {})(io.BytesIO(data)), 1),
    (lambda data: io.BufferedReader(io.BytesIO(data)), 0),
])
def test_other_files_from_open(manager, monkeypatch, differential, tomllib_runs, make_file, runs):
    differential(DOCUMENT, native=True)
    monkeypatch.setattr(manager, "open", lambda *args: make_file(DOCUMENT), raising=False)
    got, counted = tomllib_runs(manager._load_connections_file)
    assert_same(got, tomllib.load(io.BytesIO(DOCUMENT)))
    assert counted == runs


def test_non_blocking_file_that_reads_none(manager, monkeypatch, differential, tomllib_runs):
    differential(DOCUMENT, native=True)
    opened = []

    def open_empty_pipe(*args):
        read_end, write_end = os.pipe()
        os.set_blocking(read_end, False)
        opened.append((builtins.open(read_end, "rb"), write_end))
        return opened[-1][0]

    monkeypatch.setattr(manager, "open", open_empty_pipe, raising=False)
    try:
        got = outcome(manager._load_connections_file)
        expected = outcome(lambda: tomllib.load(open_empty_pipe()))
    finally:
        for file, write_end in opened:
            file.close()
            os.close(write_end)
    assert got == expected and expected[0] is TypeError


@pytest.mark.parametrize("setup, runs", [
    ("", 0),
    ("shutil.copytree(os.path.dirname(os.__file__) + '/tomllib', 'copy/tomllib'); "
     "sys.path.insert(0, 'copy')", 1),  # the same code, but not the standard library's
    # Changed before the module is imported.
    ("import tomllib, decimal; tomllib.load.__kwdefaults__['parse_float'] = decimal.Decimal", 1),
    ("import tomllib; tomllib.load = lambda fp, /, *, parse_float=float: tomllib._parser.load(fp)", 1),
    ("import tomllib, functools; tomllib._parser.loads = functools.partial(tomllib._parser.loads)", 1),
    ("import builtins; builtins.chr = lambda code, chr=chr: chr(code)", 1),
    ("import tomllib; tomllib._parser.Output.__new__.__globals__['_tuple_new'] = "
     "lambda cls, fields: tuple.__new__(cls, fields)", 1),
    ("import tomllib; tomllib._parser.Output.__new__.__code__ = (lambda _cls, data, flags: "
     "_tuple_new(_cls, (data, flags)) if data.dict.setdefault('added', {}) is not None else 0).__code__", 1),
])
def test_only_the_standard_library_tomllib_is_trusted(home, tmp_path, setup, runs):
    result = run_python(f"""
        import os, shutil, sys
        os.chdir({str(tmp_path)!r})
        {setup}
        from qivo.user.connections import manager
        manager.print = lambda line: None
        manager.initialize_velmor_directory()
        starts = []
        sys.monitoring.use_tool_id(3, "test")
        sys.monitoring.register_callback(3, sys.monitoring.events.PY_START,
                                        lambda *args: starts.append(1))
        sys.monitoring.set_local_events(3, manager.tomllib.load.__code__,
                                        sys.monitoring.events.PY_START)
        assert manager._load_connections_file()["yorsk_dev1"]["connection_type"] == "snowflake"
        print(manager.tomllib.__file__.startswith(os.path.dirname(os.__file__)), len(starts))
        """, env={"HOME": str(home)})
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.split() == [str("copy" not in setup), str(runs)]


# --- what the fuzzer keeps -------------------------------------------------------------

FUZZ = Path(__file__).resolve().parents[2] / "fuzz"
KEPT = sorted(path for folder in ("corpus", "findings") for path in (FUZZ / folder / "parser").glob("*")
              if path.is_file() and not path.name.startswith("."))


@pytest.mark.parametrize("path", KEPT, ids=[f"{path.parent.name}/{path.name}" for path in KEPT])
def test_kept_fuzz_inputs_read_as_tomllib_reads_them(differential, path):
    differential(path.read_bytes())
