"""Every function, called thousands of times on its success and failure paths,
leaves the interpreter's allocated blocks and the process's memory flat, and,
on a debug build of CPython, the interpreter's total of references too."""

import contextlib, gc, os, shutil, sys, tempfile
from pathlib import Path

import pytest

ROUNDS = 1000


class S(str):
    pass


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def fails(call):
    try:
        call()
    except Exception:
        return
    raise AssertionError("expected an exception")


@pytest.mark.slow
@pytest.mark.skipif(bool(os.environ.get("QIVO_SANITIZED")), reason="the allocator is replaced")
def test_calls_leak_nothing(manager, monkeypatch):
    m = manager
    # A tmpfs keeps the thousands of synced writes fast.
    root = Path(tempfile.mkdtemp(dir="/dev/shm" if os.access("/dev/shm", os.W_OK) else None))
    good, missing, broken, directory, rich, late = (
        root / name for name in ("good", "missing", "broken", "dir", "rich", "late"))
    for home in (good, broken, directory, rich, late):
        (home / ".velmor").mkdir(parents=True)
    (broken / ".velmor" / "connections.toml").write_text("[p\n")
    # Every kind of value the native parser builds, and the same text spoiled
    # at its very end, after all of them were built.
    rich_text = ("top = 1\n[p]\ns = \"\\u00e9\\t\\U0001F600\" # note \u00e9\nl = 'x'\n"
                 "i = -123456789012345678901234567890\nf = [-0.0, -nan, 1e300, inf]\n"
                 "d = [1979-05-27, 07:32:00.1234567, 1979-05-27T07:32:00Z, "
                 "1979-05-27 07:32:00-05:30]\nt = { a = [true, { b = false }], c = {} }\n")
    (rich / ".velmor" / "connections.toml").write_text(rich_text, encoding="utf-8")
    (late / ".velmor" / "connections.toml").write_text(rich_text + "[p]\n", encoding="utf-8")
    (directory / ".velmor" / "connections.toml").mkdir()
    (root / "key.p8").write_text("KEY")
    key, big = str(root / "key.p8"), "x" * 20_000  # a leaked copy of the store shows in the RSS
    successes = [
        m.get_velmor_dir, m.get_connections_file, m.initialize_velmor_directory,
        lambda: m.save_connection_config(" prod ", {"account": big, "private_key_file": key}),
        lambda: m.save_connection_config("sf", {"sandbox": True, "client_key": "it's\n"}, "Salesforce"),
        lambda: m.update_connection("prod", {"role": "r", "private_key_file": key}),
        lambda: m.load_connection("prod"), lambda: m.load_connection(" sf"), m.list_connections,
        lambda: m.set_primary_connection("sf"), lambda: m.get_primary_connection("snowflake"),
        m.get_primary_connection, lambda: m.delete_connection("sf"),
        lambda: m._save_connections_file(m._load_connections_file()),
        lambda: m.load_connection("none"), lambda: m.update_connection("none", {}),
        lambda: m.delete_connection("none"), lambda: m.set_primary_connection("none"),
        lambda: m.update_connection("_primary", {})]
    failures = [
        lambda: m.save_connection_config(S("n"), {}), lambda: m.save_connection_config("n", []),
        lambda: m.save_connection_config("_n", {}), lambda: m.save_connection_config("n", {}, "other"),
        lambda: m.update_connection("prod", {"connection_type": 5}),
        lambda: m.update_connection("prod", {}, "other"), lambda: m.set_primary_connection("prod", " "),
        lambda: m.get_primary_connection("other"), lambda: m._save_connections_file({"p": {"v": b""}}),
        lambda: m._save_connections_file({"p": {"v": [[]] * 3, "w": {1: 2}}}),
        lambda: m.get_velmor_dir(1), lambda: m.load_connection(None), lambda: m.delete_connection(b"p"),
        lambda: m.update_connection("p", {}, 5), lambda: m.set_primary_connection(1),
        lambda: m._save_connections_file(None)]
    unreadable = [  # raised by every home but the good one
        m.list_connections, lambda: m.load_connection("p"), lambda: m.delete_connection("p"),
        lambda: m.update_connection("p", {}), lambda: m.set_primary_connection("p"),
        m.get_primary_connection, m._load_connections_file, lambda: m.save_connection_config("p", {})]

    def one_round():
        os.environ["HOME"] = str(good)
        for call in successes:
            call()
        for call in failures:
            fails(call)
        os.environ["HOME"] = str(rich)
        m._load_connections_file()
        for home in (missing, broken, directory, late):
            os.environ["HOME"] = str(home)
            for call in unreadable:
                fails(call)

    monkeypatch.setenv("HOME", str(good))  # restored afterwards
    try:
        with open(os.devnull, "w") as devnull, contextlib.redirect_stdout(devnull):
            for _ in range(100):  # warm-up: caches, interned names, first imports
                one_round()
            counts = []
            for _ in range(2):
                gc.collect()
                counts.append((sys.getallocatedblocks(), resident_bytes()))
                for _ in range(ROUNDS // 2):
                    one_round()
            gc.collect()
            counts.append((sys.getallocatedblocks(), resident_bytes()))
    finally:
        shutil.rmtree(root)
    first, second = (counts[i + 1][0] - counts[i][0] for i in (0, 1))
    grown_bytes = counts[2][1] - counts[0][1]
    print(f"blocks: {first:+} in the first {ROUNDS // 2} rounds, {second:+} in the next; "
          f"{grown_bytes:+} bytes of memory")
    # Once warm, nothing grows: one object leaked per call of any one function
    # would add ROUNDS // 2 blocks to the second half.
    assert second < ROUNDS // 20
    assert grown_bytes < 10 << 20  # allocator noise stays well below this


def raising(error, call):
    def call_raising(m):
        with pytest.raises(error):
            call(m)
    return call_raising


# One row per call: the store it starts from ("profiles": two profiles, one of
# them the primary; "not TOML"; "none": no store), and the call.
DRIFT_CALLS = {
    "get_velmor_dir": ("profiles", lambda m: m.get_velmor_dir()),
    "get_connections_file": ("profiles", lambda m: m.get_connections_file()),
    "initialize_velmor_directory": ("profiles", lambda m: m.initialize_velmor_directory()),
    "_load_connections_file": ("profiles", lambda m: m._load_connections_file()),
    "_save_connections_file": ("profiles", lambda m: m._save_connections_file(m._load_connections_file())),
    "list_connections": ("profiles", lambda m: m.list_connections()),
    "load_connection": ("profiles", lambda m: m.load_connection("prod")),
    "load_connection missing": ("profiles", lambda m: m.load_connection("none")),
    "get_primary_connection": ("profiles", lambda m: m.get_primary_connection()),
    "get_primary_connection type": ("profiles", lambda m: m.get_primary_connection("salesforce")),
    "save_connection_config": ("profiles", lambda m: m.save_connection_config(
        " prod ", {"account": "a", "private_key_file": os.path.expanduser("~/key.p8")})),
    "update_connection": ("profiles", lambda m: m.update_connection("sf", {"client_id": "c"}, "salesforce")),
    "set_primary_connection": ("profiles", lambda m: m.set_primary_connection("prod")),
    "delete_connection": ("profiles", lambda m: (m.save_connection_config("gone", {}),
                                                 m.delete_connection("gone"))),
    "unknown type": ("profiles", raising(ValueError, lambda m: m.save_connection_config("x", {}, "mysql"))),
    "value TOML cannot hold": ("profiles", raising(TypeError, lambda m: m._save_connections_file(
        {"a": {"b": {1, 2}}}))),
    "unexpected keyword": ("profiles", raising(TypeError, lambda m: m.load_connection(nme="x"))),
    "argument of the wrong type": ("profiles", raising(TypeError, lambda m: m.load_connection(3))),
    "store not TOML": ("not TOML", raising(ValueError, lambda m: m.load_connection("p"))),
    "no store": ("none", raising(FileNotFoundError, lambda m: m.list_connections())),
}


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs CPython built with Py_DEBUG")
@pytest.mark.parametrize("row", DRIFT_CALLS)
def test_calls_balance_references(manager, home, monkeypatch, row):
    store, call = DRIFT_CALLS[row]
    m = manager
    monkeypatch.setattr(m, "print", lambda line: None, raising=False)
    (home / "key.p8").write_text("KEY")
    if store == "profiles":
        m.save_connection_config("prod", {"account": "a"})
        m.save_connection_config("sf", {"client_id": "c"}, "salesforce")
        m.set_primary_connection("sf")
    elif store == "not TOML":
        (home / ".velmor").mkdir()
        (home / ".velmor" / "connections.toml").write_text("[p\n")

    def total():
        # The type attribute cache keeps a reference to the name last looked
        # up in each of its slots, placed by the name's address; CPython's own
        # codec lookup for a text file (every write) uses a name made afresh
        # each time, so slots fill up one by one. Emptied, it holds nothing
        # that a call left behind.
        sys._clear_type_cache()
        gc.collect()
        return sys.gettotalrefcount()

    for _ in range(20):
        call(m)
    before = total()
    for _ in range(100):
        call(m)
    per_call = (total() - before - 1) / 100  # less the int `before` itself
    assert per_call <= 0.05, f"{row}: {per_call:+.2f} references per call"
