"""Coverage-guided round-trip fuzzing of the store writer (run by `./dev fuzz
[seconds]`, after parser_differential.py).

The fuzzer's bytes are decoded into a mapping such as a caller may hand to
`_save_connections_file`: tables and entries outside any table, keys of any
text (empty, quotes, line breaks, any plane of Unicode), str subclasses and
keys that are not str, text with every kind of character, bools, ints up to
past the digit limit of int(), floats of any bits, dates, times and
date-times with and without offsets, lists, nested and subclassed dicts,
values nested around the writer's limit of 100 levels, values that contain
themselves, and values that TOML cannot hold (bytes, sets, tuples, objects,
offsets with seconds, ...). Alongside, the decoding works out what the writer
promises for that mapping, and the save must end that way:

- written: `tomllib` reads the file back as exactly the mapping (exact
  types, key order, float bits, date-time fields and tz objects), after the
  conversions the writer documents: entries outside any table before the
  tables, None as '', a subclass of str, int, float, list or dict as its
  plain value, a nan as tomllib's own nan of its sign, an offset as tomllib's
  tz object for it, the fold of a date-time or time dropped (TOML has no way
  to say it);
- refused: the exception that the first value the writer cannot write calls
  for, in the order it meets them (TypeError for a kind or key TOML cannot
  hold, ValueError for a value it cannot hold exactly or one nested too
  deep, UnicodeEncodeError for a lone surrogate), or ValueError when two keys
  of one table have the same text; the store is byte for byte what it was
  and nothing is left beside it.

Decoding needs no fuzzer (a small reader of bytes, not atheris's), so the
test suite replays the kept inputs (tests/toml/test_text.py) in every
environment it runs in.
"""

import calendar, datetime as dt, decimal, math, os, struct, sys, tomllib
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from support import assert_same  # noqa: E402

MAX_NESTING = 100  # arrays and inline tables; a table of the top level is no level


class Name(str):
    """A str subclass: written as its text."""


class Twin(str):
    """Keys that are different objects with one text (a dict keeps both)."""

    __eq__ = object.__eq__
    __hash__ = object.__hash__


class Count(int):
    def __repr__(self):
        return "not a number"


class Ratio(float):
    def __repr__(self):
        return "not a number"


class Items(list):
    pass


class Reversed(dict):
    """A mapping whose items() the writer follows: in reverse."""

    def items(self):
        return list(reversed(dict.items(self)))


class Repeating(dict):
    """A mapping whose items() gives its first key twice (the second time
    with None, not the first value again: repeating a value that repeats
    its own would double the text at each level)."""

    def items(self):
        pairs = list(dict.items(self))
        return pairs + [(key, None) for key, _ in pairs[:1]]


class Moment(dt.datetime):
    pass


class Day(dt.date):
    pass


class Zone(dt.tzinfo):
    """A tzinfo whose utcoffset() returns whatever it was given."""

    def __init__(self, offset):
        self.offset = offset

    def utcoffset(self, when):
        return self.offset


REFUSED = [b"k", bytearray(b"k"), {"k"}, frozenset(), ("k",), object(), 1j, decimal.Decimal("1.5"),
           range(2), dt.timedelta(1), type, print]
BAD_KEYS = [1, 2.5, None, b"k", ("k",), True]
# Characters worth meeting often: what a literal string cannot hold, what
# needs an escape, line and paragraph separators, a byte-order mark, a
# noncharacter, one outside the basic plane, TOML's punctuation.
SPECIAL = "'\"\\\t\n\r\b\f\x00\x1b\x1f\x7f\x80\x85\xa0\u2028\u2029\ufeff\uffff\U0001f600 #=[]{}.,"
FLOATS = [0.0, -0.0, math.inf, -math.inf, math.nan, -math.nan, 5e-324, -5e-324, 2.2250738585072014e-308,
          2.225073858507201e-308, 1.7976931348623157e308, 1e16, 1e-7, 0.1, 1 / 3, 1.5e300]
SHORT_KEYS = ["k", "", "t"]


class Reader:
    """The fuzzer's bytes, read from the front; past their end every read
    gives zeros (the first option)."""

    def __init__(self, data: bytes):
        self.data, self.at = data, 0

    def take(self, size):
        piece = self.data[self.at:self.at + size]
        self.at += size
        return piece

    def number(self, top):
        """0 to `top`, from as many bytes as `top` needs."""
        size = (top.bit_length() + 7) // 8
        return int.from_bytes(self.take(size), "big") % (top + 1) if size else 0

    def pick(self, options):
        return options[self.number(len(options) - 1)]


def plain(key):
    """A key as the text it is written as (a key that is not a str is refused)."""
    return str.__str__(key) if isinstance(key, str) else key


def tomllib_nan(value):
    return float("-nan") if math.copysign(1, value) < 0 else float("nan")


_zones = {}


def tomllib_zone(offset: dt.timedelta):
    """The tz object tomllib gives the offset the writer writes for `offset`."""
    minutes = int(offset.total_seconds()) // 60
    text = f"{'-' if minutes < 0 else '+'}{abs(minutes) // 60:02d}:{abs(minutes) % 60:02d}"
    if text not in _zones:
        _zones[text] = tomllib.loads(f"x = 2000-01-01T00:00:00{text}")["x"].tzinfo
    return _zones[text]


class Case:
    """The mapping that `data` decodes to (`mapping`), what tomllib must read
    back after it is written (`expected`), or the exception the writer must
    raise instead (`error`, None when the mapping must be written)."""

    def __init__(self, data: bytes):
        self.read = Reader(data)
        self.events = []  # the exceptions due, in the order the writer meets their values
        self.repeated_text = False
        self.mapping, self.expected = self.top_level()
        self.error = self.events[0] if self.events else ValueError if self.repeated_text else None

    def due(self, error):
        self.events.append(error)

    def enter(self, depth):
        """An array or inline table opened with `depth` levels around it."""
        if depth >= MAX_NESTING:
            self.due(ValueError)

    def top_level(self):
        pairs = self.replay(self.entries(lambda: self.value(0, top=True), 5))
        mapping = {key: value for key, value, _ in pairs}
        # Entries outside any table are written first.
        expected = {plain(key): wanted for key, value, wanted in pairs if not isinstance(value, dict)}
        expected |= {plain(key): wanted for key, value, wanted in pairs if isinstance(value, dict)}
        if self.read.number(31) == 0:  # the argument must be a dict itself
            self.events.insert(0, TypeError)
            mapping = Reversed(mapping)
        return mapping, expected

    def entries(self, make_value, most):
        """Up to `most` entries as (key, value, expected value, events), each
        with the events of its key and value, for the caller to replay in the
        order its mapping's items() gives."""
        entries, keys = [], set()
        for _ in range(self.read.number(most)):
            outer, self.events = self.events, []
            key = self.key()
            if key not in keys:  # (the same key again: a dict keeps one)
                keys.add(key)
                entries.append((key, *make_value(), self.events))
            self.events = outer
        texts = [str.__str__(key) for key in keys if isinstance(key, str)]
        self.repeated_text |= len(set(texts)) < len(texts)
        return entries

    def replay(self, entries):
        for *_, events in entries:
            self.events.extend(events)
        return [(key, value, wanted) for key, value, wanted, _ in entries]

    def table(self, depth, inline):
        """A dict, or a dict subclass whose items() reverses or repeats its
        entries."""
        if inline:
            self.enter(depth)
            depth += 1
        entries = self.entries(lambda: self.value(depth), 4)
        mapping = {key: value for key, value, *_ in entries}
        kind = self.read.number(15)
        if kind == 14:
            mapping = Reversed(mapping)
            entries.reverse()
        elif kind == 15 and entries:
            mapping = Repeating(mapping)
            entries.append((entries[0][0], None, "", []))  # (its events came with the first)
            self.repeated_text = True
        pairs = self.replay(entries)
        return mapping, {plain(key): wanted for key, _, wanted in pairs}

    def key(self):
        kind = self.read.number(31)
        if kind <= 23:
            return self.text(8)
        if kind <= 25:
            return Name(self.text(8))
        if kind <= 27:  # one of a few texts, so that twins and plain keys meet
            return Twin(self.read.pick(SHORT_KEYS))
        if kind <= 29:
            return self.read.pick(SHORT_KEYS)
        if kind == 30:
            return self.lone_surrogate(self.text(4))[0]
        self.due(TypeError)
        return self.read.pick(BAD_KEYS)

    def character(self):
        kind = self.read.number(7)
        if kind <= 2:
            return chr(0x20 + self.read.number(0x5e))  # printable ASCII
        if kind == 3:
            return chr(self.read.pick([*range(0x20), 0x7f]))  # control characters
        if kind == 4:
            return self.read.pick(SPECIAL)
        if kind <= 6:  # the basic plane, without surrogates
            code = 0x80 + self.read.number(0xffff - 0x80 - 0x800)
            return chr(code + 0x800 if code >= 0xd800 else code)
        return chr(0x10000 + self.read.number(0x10ffff - 0x10000))

    def text(self, most):
        return "".join(self.character() for _ in range(self.read.number(most)))

    def lone_surrogate(self, text):
        at = self.read.number(len(text))
        text = text[:at] + chr(0xd800 + self.read.number(0x7ff)) + text[at:]
        self.due(UnicodeEncodeError)
        return text, text

    def value(self, depth, top=False):
        kind = self.read.number(63)
        if depth > MAX_NESTING and 42 <= kind <= 57:
            kind = 0  # already too deep: text, so that decoding stays within Python's recursion limit
        if kind <= 13 or kind >= 60:
            text = self.text(24)
            return text, text
        if kind <= 15:
            text = Name(self.text(8))
            return text, str.__str__(text)
        if kind == 16:
            return self.lone_surrogate(self.text(8))
        if kind <= 18:
            return None, ""
        if kind <= 21:
            flag = self.read.number(1) == 1
            return flag, flag
        if kind <= 27:
            return self.integer()
        if kind <= 33:
            return self.floating()
        if kind <= 41:
            return self.moment()
        if kind <= 47:
            return self.array(depth)
        if kind <= 53:
            return self.table(depth, inline=not top)
        if kind <= 56:
            return self.nested(depth, 90 + self.read.number(15), top)
        if kind == 57:
            return self.cycle()
        self.due(TypeError)
        return self.read.pick(REFUSED), None

    def integer(self):
        if self.read.number(1):
            number = int.from_bytes(self.read.take(1 + self.read.number(15)), "big", signed=True)
        else:  # around int()'s limit of 4300 digits for text
            number = (10 ** (4290 + self.read.number(20)) - self.read.number(1)) * self.read.pick([1, -1])
            try:
                repr(number)
            except ValueError:
                self.due(ValueError)
        return (Count(number) if self.read.number(3) == 0 else number), number

    def floating(self):
        kind = self.read.number(3)
        if kind <= 1:
            number = struct.unpack("<d", self.read.take(8).ljust(8, b"\0"))[0]
        else:
            number = self.read.pick(FLOATS)
        wanted = tomllib_nan(number) if math.isnan(number) else number
        return (Ratio(number) if kind == 3 else number), wanted

    def moment(self):
        read = self.read
        year, month = 1 + read.number(9998), 1 + read.number(11)
        day = 1 + read.number(calendar.monthrange(year, month)[1] - 1)
        clock = (read.number(23), read.number(59), read.number(59),
                 read.number(999_999) if read.number(1) else 0)
        fold = int(read.number(3) == 0)
        kind = read.number(5)
        if kind == 0:
            return (Day if read.number(1) else dt.date)(year, month, day), dt.date(year, month, day)
        if kind == 1:
            zone = dt.timezone.utc if read.number(7) == 0 else None
            if zone is not None:  # TOML times have no offset
                self.due(ValueError)
            return dt.time(*clock, tzinfo=zone, fold=fold), dt.time(*clock)
        zone, wanted_zone = self.zone()
        made = (Moment if read.number(1) else dt.datetime)(year, month, day, *clock, tzinfo=zone, fold=fold)
        return made, dt.datetime(year, month, day, *clock, tzinfo=wanted_zone)

    def zone(self):
        """A tzinfo and the one tomllib reads back, noting the refusals due."""
        kind = self.read.number(7)
        if kind <= 2:
            return None, None
        if kind == 3:
            return dt.timezone.utc, tomllib_zone(dt.timedelta(0))
        if kind <= 5:  # whole minutes
            offset = dt.timedelta(minutes=self.read.number(2 * 1439) - 1439)
            return dt.timezone(offset), tomllib_zone(offset)
        if kind == 6:  # seconds or microseconds, which TOML offsets do not have
            offset = dt.timedelta(seconds=self.read.number(2 * 86398) - 86399 + 0.5 * self.read.number(1))
            if offset % dt.timedelta(minutes=1):
                self.due(ValueError)
                return dt.timezone(offset), None
            return dt.timezone(offset), tomllib_zone(offset)
        # A tzinfo of its own: None (naive), out of range, or not a timedelta.
        offset = self.read.pick([None, dt.timedelta(days=2), "+01:00"])
        if offset is not None:
            self.due(ValueError if isinstance(offset, dt.timedelta) else TypeError)
        return Zone(offset), None

    def array(self, depth):
        self.enter(depth)
        items = [self.value(depth + 1) for _ in range(self.read.number(4))]
        values = [value for value, _ in items]
        return (Items(values) if self.read.number(3) == 0 else values), [wanted for _, wanted in items]

    def nested(self, depth, levels, top):
        """A value in `levels` arrays or inline tables."""
        if levels == 0:
            return self.value(depth, top)
        as_table = self.read.number(1) == 1
        if not (as_table and top):
            self.enter(depth)
            depth += 1
        inner, wanted = self.nested(depth, levels - 1, top=False)
        return ({"k": inner}, {"k": wanted}) if as_table else ([inner], [wanted])

    def cycle(self):
        """A list or dict that contains itself: nested deeper than any limit."""
        if self.read.number(1):
            value = []
            value.append(value)
        else:
            value = {}
            value["k"] = value
        self.due(ValueError)
        return value, None


def entries(store: Path) -> list:
    """What stands beside the store but its lock file, which every write
    creates and none removes."""
    return sorted(set(os.listdir(store.parent)) - {store.name + ".lock"})


def check(manager, store: Path, data: bytes) -> None:
    """Saves the mapping `data` decodes to with `manager` into `store` (an
    existing file that the module's get_connections_file() names) and checks
    that the save ends as the module promises (see the module's text)."""
    case = Case(data)
    before, listing = store.read_bytes(), entries(store)
    try:
        manager._save_connections_file(case.mapping)
    except (TypeError, ValueError) as error:
        if case.error is None:
            raise
        assert type(error) is case.error, (error, case.error)
        assert store.read_bytes() == before and entries(store) == listing
        return
    assert case.error is None, f"written, but the writer should have raised {case.error.__name__}"
    assert entries(store) == listing
    with open(store, "rb") as file:
        back = tomllib.load(file)
    assert_same(back, case.expected)
    assert_same(manager._load_connections_file(), back)  # and natively, as tomllib reads it


def main():
    import tempfile

    import atheris

    from qivo.user.connections import manager

    assert manager._save_connections_file is not None and os.environ.get("LD_PRELOAD")
    # A store of its own, for the module to find through its own global, in
    # the scratch directory that ./dev fuzz makes in memory (syncing costs
    # nothing there) and removes afterwards; run alone, in a directory of its
    # own that stays behind (libFuzzer's exit() runs no Python atexit handler).
    store = Path(os.environ.get("QIVO_FUZZ_SCRATCH") or tempfile.mkdtemp()) / "connections.toml"
    store.write_text("[keep]\n\nk = 'old'\n\n", encoding="utf-8")
    manager.get_connections_file = lambda: store
    # The decoder's own branches count as coverage too, so that inputs making
    # new kinds of values are kept (tomllib stays uninstrumented: the module
    # would rightly stop trusting it).
    for name, function in list(vars(Case).items()):
        if callable(function):
            setattr(Case, name, atheris.instrument_func(function))
    atheris.Setup(sys.argv, lambda data: check(manager, store, data))
    atheris.Fuzz()


if __name__ == "__main__":
    main()
