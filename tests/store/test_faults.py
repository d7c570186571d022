"""Faults while the store is changed (killed writers, full disk, unwritable or
vanished directory, a directory in the store's place, closed standard output)
and hand-edited stores never leave a damaged or partial store."""

import errno, fcntl, io, os, random, re, shutil, subprocess, sys, tempfile, textwrap, time, tomllib
from pathlib import Path

import pytest

from support import HOME_ROOT, kept_mode, mode, read, run_python, symlink

CHANGES = {  # the calls that change the store
    "save": "m.save_connection_config('new', {'role': 'x'})",
    "update": "m.update_connection('p1', {'role': 'x'})",
    "delete": "m.delete_connection('p1')",
    "set_primary": "m.set_primary_connection('p1')",
}


def call(manager, code):
    return eval(code, {"m": manager})


def populate(manager, store, profiles=3):
    store.parent.mkdir(mode=0o700, exist_ok=True)
    manager._save_connections_file({f"p{i}": {"connection_type": "snowflake", "role": f"r{i}"}
                                    for i in range(profiles)})
    return store.read_bytes()


def strays(velmor_dir):
    return {path.name for path in velmor_dir.iterdir()} - {"connections.toml", "connections.toml.lock"}


KILLED_WRITER = """
    import itertools, sys
    from qivo.user.connections import manager
    print("ready", flush=True)
    for i in itertools.count(int(sys.argv[1])):
        manager.save_connection_config(f"k{i}", {"role": f"r{i}"})
"""


@pytest.mark.slow
def test_killed_writers_leave_a_whole_store(manager, home, store, velmor_dir):
    populate(manager, store, profiles=3000)
    expected, rng, kills, saved = read(store), random.Random(3), 0, 0
    private = kept_mode(0o600, store)
    # At least 20 kills and 12 seconds, however slowly interpreters start here
    # (a sanitized build, an emulated machine).
    deadline = time.monotonic() + 12
    while kills < 20 or time.monotonic() < deadline:
        writer = subprocess.Popen([sys.executable, "-c", textwrap.dedent(KILLED_WRITER), str(saved)],
                                  env=os.environ | {"HOME": str(home)}, text=True,
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        assert writer.stdout.readline() == "ready\n"
        time.sleep(rng.uniform(0, 0.3))
        writer.kill()  # SIGKILL
        writer.communicate(timeout=10)
        kills += 1
        # The store holds the saves that completed, in order, and nothing else.
        data = read(store)
        while f"k{saved}" in data:
            expected[f"k{saved}"] = data[f"k{saved}"]
            assert data[f"k{saved}"]["role"] == f"r{saved}" and len(data[f"k{saved}"]) == 10
            saved += 1
        assert list(data) == list(expected) and data == expected
        # A writer killed before its rename leaves its temporary file behind,
        # readable by its owner only.
        names = strays(velmor_dir)
        assert all(re.fullmatch(r"\.connections\.toml\.tmp-[0-9a-f]{16}", name) and
                   mode(velmor_dir / name) == private for name in names), names
    left = len(strays(velmor_dir))
    manager.save_connection_config("after", {})  # a killed lock holder blocks no one
    print(f"{kills} kills, {saved} saves completed, {left} temporary files left, "
          f"{len(strays(velmor_dir))} after one more save")
    # The next write removes what dead writers left.
    assert saved > 0 and strays(velmor_dir) == set()


OTHER_WRITER = """
    from qivo.user.connections import manager
    print("ready", flush=True)
    manager._save_connections_file({"other": {}})
"""


def test_no_sweep_meets_a_temporary_file_before_it_is_locked(manager, home, store, velmor_dir,
                                                            system_call_hook):
    populate(manager, store)
    seen = []

    def hook(call, *args):
        if call == "open" and anonymous(*args):
            return errno.EOPNOTSUPP  # a file system without anonymous files
        if call == "flock" and args[1] == fcntl.LOCK_EX | fcntl.LOCK_NB and not seen:
            # Created, not yet locked: another writer, which would sweep an
            # unlocked file away, must wait for the store's lock meanwhile.
            other = subprocess.Popen([sys.executable, "-c", textwrap.dedent(OTHER_WRITER)], text=True,
                                     env=os.environ | {"HOME": str(home)}, stdout=subprocess.PIPE)
            assert other.stdout.readline() == "ready\n"
            time.sleep(0.5)
            seen.append((other, strays(velmor_dir)))
        return None

    system_call_hook(hook)
    manager._save_connections_file({"mine": {"k": "v"}})
    system_call_hook(None)
    [(other, during)] = seen
    assert other.communicate(timeout=30)[0] == "" and other.returncode == 0 and len(during) == 1
    assert read(store) == {"other": {}} and strays(velmor_dir) == set()  # it wrote after this one


def fail(calls, error, times=1, when=lambda *args: True, first_save_only=False):
    """A hook rule: the first `times` calls named in `calls` for which
    `when(*args)` holds fail with `error`; `rule.fired` counts them. A rule
    `first_save_only` concerns a call that only a first save makes."""
    def rule(name, *args):
        if name in calls.split() and rule.fired < times and when(*args):
            rule.fired += 1
            return error
        return None
    rule.fired, rule.first_save_only = 0, first_save_only
    return rule


def anonymous_files_work(directory):
    try:
        os.close(os.open(directory, os.O_TMPFILE | os.O_RDWR, 0o600))
        return True
    except OSError as error:
        if error.errno != errno.EOPNOTSUPP:
            raise
        return False


def anonymous(path, flags):
    return flags & os.O_TMPFILE == os.O_TMPFILE


def lock_file(path, flags):
    return path.endswith(".lock")


def no_anonymous_files():
    return fail("open", errno.EOPNOTSUPP, times=99, when=anonymous)


def no_exclusive_rename():  # FUSE file systems; only a new store is placed exclusively
    return fail("renameat2", errno.EINVAL, times=99, first_save_only=True)


def write_only_half(path, mode, **kwargs):  # a short write that reports success
    file = open(path, mode, **kwargs)
    real_write = file.write
    file.write = lambda text: real_write(text[:len(text) // 2]) and len(text)
    return file


def no_space_left(path, mode, **kwargs):
    file = open(path, mode, **kwargs)
    file.write = lambda text: (_ for _ in ()).throw(OSError(errno.ENOSPC, os.strerror(errno.ENOSPC)))
    return file


# Each fallback and failure of the POSIX layer: (the hook's rules, made
# afresh for each test; the module's open; whether the store ends written or
# unchanged; the errno raised; which file the error names, the store or its
# lock file).
FAULTS = {
    "no anonymous files": (lambda: [no_anonymous_files()], None, "written", None, None),
    "no /proc to name them": (lambda: [fail("linkat", errno.ENOENT), fail("access", errno.ENOENT)],
                              None, "written", None, None),
    "no exclusive rename": (lambda: [no_anonymous_files(), no_exclusive_rename()], None, "written",
                            None, None),
    "interrupted calls": (lambda: [fail(name, errno.EINTR) for name in ("open", "fsync", "flock")],
                          None, "written", None, None),
    "no random source": (lambda: [fail("getrandom", errno.ENOSYS, times=99)], None, "written", None,
                         None),
    "no locks in the file system": (lambda: [fail("flock", errno.ENOLCK, times=99)], None, "written",
                                    None, None),
    "fsync fails": (lambda: [fail("fsync", errno.EIO)], None, "unchanged", errno.EIO, "store"),
    "rename fails": (lambda: [fail("rename renameat2", errno.EIO)], None, "unchanged", errno.EIO,
                     "store"),
    "temporary file cannot be made": (lambda: [no_anonymous_files(), fail("open", errno.EACCES, when=(
        lambda path, flags: flags & os.O_EXCL))], None, "unchanged", errno.EACCES, "store"),
    "lock file cannot be opened": (lambda: [fail("open", errno.EACCES, times=2, when=lock_file)], None,
                                   "unchanged", errno.EACCES, "lock"),
    "lock file cannot be locked": (lambda: [fail("flock", errno.EIO, when=lambda fd, operation: (
        operation == fcntl.LOCK_EX))], None, "unchanged", errno.EIO, "lock"),
    "disk full while writing": (lambda: [], no_space_left, "unchanged", errno.ENOSPC, None),
    "short write": (lambda: [], write_only_half, "unchanged", None, "store"),
}


@pytest.mark.parametrize("first_save", [False, True], ids=["change", "first-save"])
@pytest.mark.parametrize("fault", FAULTS)
def test_posix_fallbacks_and_failures(manager, store, velmor_dir, monkeypatch, system_call_hook,
                                      fault, first_save):
    make_rules, opener, outcome, error_number, names = FAULTS[fault]
    if fault == "no /proc to name them" and not anonymous_files_work(velmor_dir.parent):
        pytest.skip("the file system has no anonymous files (O_TMPFILE) to name")
    rules = make_rules()
    before = None if first_save else populate(manager, store)
    if opener:
        monkeypatch.setattr(manager, "open", opener, raising=False)
    system_call_hook(lambda name, *args: next(
        (error for rule in rules if (error := rule(name, *args)) is not None), None))
    try:
        manager.save_connection_config("new", {"role": "x"})
        raised = None
    except OSError as error:
        raised = error
    finally:
        system_call_hook(None)
    if outcome == "written":
        assert read(store)["new"]["role"] == "x"
        assert first_save or store.read_bytes().startswith(before[:-1])
    elif first_save:
        assert not store.exists() or read(store) == {"yorsk_dev1": read(store)["yorsk_dev1"]}
    else:
        assert store.read_bytes() == before
    assert strays(velmor_dir) == set()
    assert all(rule.fired for rule in rules if first_save or not rule.first_save_only)
    expected_error = error_number is not None or outcome == "unchanged"
    assert (raised is not None) == expected_error, raised
    if raised is not None and error_number is not None:
        assert raised.errno == error_number
    if names == "store":
        assert str(store) in str(raised) and ".lock" not in str(raised)
    elif names == "lock":
        assert raised.filename == f"{store}.lock"


@pytest.mark.parametrize("lock", ["link", "dangling link"])
def test_a_lock_file_that_cannot_be_opened_stops_every_write(manager, store, velmor_dir, home, lock,
                                                             capsys):
    before = populate(manager, store)
    lock_file = velmor_dir / "connections.toml.lock"
    lock_file.unlink()  # a link is never followed: every writer must lock one file
    (home / "notes").write_text("notes")
    symlink(lock_file, home / ("notes" if lock == "link" else "missing"))
    for code in [*CHANGES.values(), "m._save_connections_file({})"]:
        with pytest.raises(OSError) as raised:
            call(manager, code)
        assert raised.value.filename == str(lock_file), code
    assert store.read_bytes() == before and strays(velmor_dir) == set()
    assert capsys.readouterr().out == "" and (home / "notes").read_text() == "notes"


def test_a_store_mounted_over_as_a_single_file_is_never_replaced(manager, store, velmor_dir, tmp_path):
    before = populate(manager, store)
    (tmp_path / "mounted.toml").write_bytes(before)
    if os.geteuid() != 0 or subprocess.run(["mount", "--bind", tmp_path / "mounted.toml", store],
                                           capture_output=True).returncode != 0:
        pytest.skip("needs root and bind mounts")
    try:
        for code in CHANGES.values():
            with pytest.raises(OSError) as raised:
                call(manager, code)
            assert raised.value.errno == errno.EBUSY
            assert any("mount the directory that holds it instead" in note for note in raised.value.__notes__)
    finally:
        subprocess.run(["umount", store], check=True)
    assert store.read_bytes() == before and strays(velmor_dir) == set()


FULL_DISK = """
    import resource
    from qivo.user.connections import manager as m
    resource.setrlimit(resource.RLIMIT_FSIZE, (64, 64))
    try:
        {call}
    except OSError as exc:
        print("OSError", exc)
"""


@pytest.mark.parametrize("name", [*CHANGES, "first_save"])
def test_full_disk_leaves_store_unchanged(manager, home, store, velmor_dir, name):
    before = populate(manager, store) if name != "first_save" else None
    code = FULL_DISK.format(call=CHANGES.get(name, CHANGES["save"]))
    result = run_python(code, env={"HOME": str(home)})
    assert (result.stdout[:7], result.stderr) == ("OSError", "")
    assert (store.read_bytes() if store.exists() else None) == before
    assert strays(velmor_dir) == set()


AS_OTHER_USER = """
    import os, sys
    from qivo.user.connections import manager as m
    m.list_connections()
    if os.geteuid() == 0:  # root ignores permission bits: act as nobody from here on
        os.setgid(65534)
        os.setuid(65534)
        if not os.access(m.get_velmor_dir(), os.X_OK):  # a FUSE mount without allow_other
            sys.exit("other users cannot reach this file system")
    for code in {calls}:
        try:
            eval(code, {{"m": m}})
            print("no error")
        except Exception as exc:
            print(type(exc).__name__)
    print(m.list_connections())
"""


@pytest.mark.parametrize("protected", ["directory", "store"])
def test_unwritable_directory_or_read_only_store_is_left_unchanged(manager, monkeypatch, protected):
    home = Path(tempfile.mkdtemp(prefix="qivo-home-", dir=HOME_ROOT))  # reachable by another user
    store = home / ".velmor" / "connections.toml"
    try:
        if kept_mode(0o400, home / "probe") != 0o400:
            pytest.skip("the file system has no permission bits")
        home.chmod(0o755)
        monkeypatch.setenv("HOME", str(home))
        before = populate(manager, store)
        if protected == "directory":
            store.chmod(0o644)
            store.parent.chmod(0o755 if os.geteuid() == 0 else 0o555)
        else:  # its owner keeps it from being changed, though the directory is writable
            store.chmod(0o400)
            if os.geteuid() == 0:
                for path in (store.parent, store):
                    os.chown(path, 65534, 65534)
        result = run_python(AS_OTHER_USER.format(calls=list(CHANGES.values())), env={"HOME": str(home)})
        if "other users cannot reach this file system" in result.stderr:
            pytest.skip(result.stderr.strip())
        assert result.stdout.splitlines() == ["PermissionError"] * 4 + ["['p0', 'p1', 'p2']"], result.stderr
        assert store.read_bytes() == before and strays(store.parent) == set()
    finally:
        if store.parent.exists():
            store.parent.chmod(0o755)
        shutil.rmtree(home)


@pytest.mark.parametrize("name", CHANGES)
@pytest.mark.parametrize("replaced_by", [None, "a file"])
def test_directory_vanishing_before_the_write(manager, home, store, velmor_dir, name, replaced_by,
                                              monkeypatch, capsys):
    populate(manager, store)
    real_load = manager._load_connections_file

    def load_then_vanish():
        connections = real_load()
        try:
            shutil.rmtree(velmor_dir)
        except OSError as error:  # libfuse keeps the open lock file, removed, as .fuse_hidden*
            if error.errno != errno.ENOTEMPTY or not all(
                    name.startswith(".fuse_hidden") for name in os.listdir(velmor_dir)):
                raise
            pytest.skip("the file system keeps a removed file that is open, so its directory stays")
        if replaced_by:
            velmor_dir.write_text("x")
        return connections

    monkeypatch.setattr(manager, "_load_connections_file", load_then_vanish)
    with pytest.raises(NotADirectoryError if replaced_by else FileNotFoundError):
        call(manager, CHANGES[name])
    assert [p.name for p in home.iterdir()] == ([".velmor"] if replaced_by else [])
    assert not replaced_by or velmor_dir.read_text() == "x"
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("code", [*CHANGES.values(), "m.list_connections()", "m.load_connection('p1')",
                                  "m.get_primary_connection()", "m._save_connections_file({})"])
def test_directory_in_place_of_the_store(manager, home, store, velmor_dir, code, capsys):
    (store / "inside").mkdir(parents=True)
    with pytest.raises(IsADirectoryError):
        call(manager, code)
    assert [p.name for p in store.iterdir()] == ["inside"] and strays(velmor_dir) == set()
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("name", CHANGES)
def test_closed_stdout_after_a_complete_write(manager, home, store, velmor_dir, name, monkeypatch):
    before = populate(manager, store)
    call(manager, CHANGES[name])
    complete = store.read_bytes()
    store.write_bytes(before)
    closed = io.StringIO()
    closed.close()
    monkeypatch.setattr(sys, "stdout", closed)
    with pytest.raises(ValueError, match="closed file"):
        call(manager, CHANGES[name])
    assert store.read_bytes() == complete != before and strays(velmor_dir) == set()


HAND_EDITED = {
    "invalid_toml": b"[p]\nconnection_type = 'snowflake\n",
    "empty": b"",
    "binary_junk": bytes(range(256)) * 8,
    "non_utf8": b"[p]\naccount = '\xff\xfe'\n",
    "top_level_scalars": b"title = 'x'\nwhen = 1979-05-27T07:32:00Z\n[p]\nconnection_type = 'snowflake'\n",
    "scalar_profiles": b"p = 5\n_primary = 'p'\n[q]\nrole = 'r'\n",
    "arrays": b"[[p]]\nconnection_type = 'snowflake'\n[[p]]\nx = 1\n"
              b"[q]\nl = [1, 'two', [3.5, true], {a = 1}]\n",
    "nested_tables": b"[p]\nconnection_type = 'Salesforce'\nsandbox = {on = true}\n[p.sub.deeper]\nk = 1\n"
                     b"[_primary]\nname = {x = 1}\nsnowflake_primary = ['p']\n",
    "primary_not_a_table": b"_primary = [1]\n[p]\nrole = 'r'\n",
    "legacy_marker_to_a_scalar": b"p = 'x'\n[_primary]\nname = 'p'\n",
    "odd_types": b"[p]\nconnection_type = 5\naccount = 1e308\nuser = -inf\nrole = 2000-01-01\n",
    "huge_values": b"[p]\naccount = '" + b"x" * 2_000_000 + b"'\nbig = " + b"9" * 500 +
                   b"\ndeep = " + b"[" * 200 + b"]" * 200 + b"\n",
    "too_deep": b"x = " + b"[" * 5000 + b"]" * 5000 + b"\n",
    "many_tables": b"".join(b"[t%d]\nk = %d\n" % (i, i) for i in range(5000)),
}


@pytest.mark.parametrize("content", HAND_EDITED.values(), ids=HAND_EDITED)
@pytest.mark.parametrize("code", [
    "m.list_connections()", "m.load_connection('p')", "m.get_primary_connection()",
    "m.get_primary_connection('snowflake')", "m.set_primary_connection('p')",
    "m.update_connection('p', {'role': 'x'})", "m.update_connection('p', {}, 'salesforce')",
    "m.delete_connection('p')", "m.delete_connection('missing')", "m.save_connection_config('new', {})",
    "m.save_connection_config('p', {}, 'salesforce')", "m.initialize_velmor_directory()",
    "m._save_connections_file(m._load_connections_file())"])
def test_hand_edited_store_is_never_damaged(manager, home, store, content, code, capsys):
    store.parent.mkdir(mode=0o700)
    store.write_bytes(content)
    try:
        before = tomllib.loads(content.decode("utf-8"))
    except (UnicodeDecodeError, tomllib.TOMLDecodeError, RecursionError):
        before = None
    try:
        call(manager, code)
    except Exception as exc:
        # An error about the file's content (TOMLDecodeError, an entry that is
        # not a table, tomllib's RecursionError, ...) or update's TypeError for
        # a stored type that is not text: never an internal one.
        assert isinstance(exc, (ValueError, RecursionError)) or str(exc) == "Expected str, got int", exc
        assert store.read_bytes() == content
        return
    if store.read_bytes() != content:
        # Every table the call did not touch reads back as it was.
        def untouched(data):
            return {k: v for k, v in data.items() if k not in ("p", "new", "_primary")}

        assert untouched(read(store)) == untouched(before)
