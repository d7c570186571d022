"""Concurrent writers in several processes and threads lose no change, and
readers never see a partial store."""

import json, os, random, re, subprocess, sys, textwrap, threading, time
from concurrent.futures import ThreadPoolExecutor

import pytest

import support

MARKED_FIELD = {"snowflake": "role", "salesforce": "client_id"}


def drive(manager, worker, steps, start_at=0.0):
    """Runs `steps` mixed changes on this worker's own profiles; returns the
    profiles it expects to remain (name -> [type, marker]) and the profiles
    it marked as primary ([name, type])."""
    rng, live, marked = random.Random(worker), {}, []
    time.sleep(max(0.0, start_at - time.time()))
    for step in range(steps):
        marker, roll = f"{worker}:{step}", rng.random()
        if len(live) < 2 or roll < 0.4:
            name, kind = f"w{worker} p{step}", rng.choice(list(MARKED_FIELD))
            manager.save_connection_config(name, {MARKED_FIELD[kind]: marker}, kind)
            live[name] = [kind, marker]
            continue
        name = rng.choice(sorted(live))
        kind = live[name][0]
        if roll < 0.65:
            assert manager.update_connection(name, {MARKED_FIELD[kind]: marker}) is True
            live[name] = [kind, marker]
        elif roll < 0.85:
            assert manager.set_primary_connection(name) is True
            marked.append([name, kind])
        else:
            assert manager.delete_connection(name) is True
            del live[name]
    return live, marked


def check_store(store, results):
    """Every worker's profiles are there with their last marker and nothing
    else is; each primary marker names a profile marked with that type."""
    data = support.read(store)
    primary = data.pop("_primary", {})
    expected = {"yorsk_dev1": ("snowflake", "")}
    for live, _ in results:
        expected.update((name, tuple(value)) for name, value in live.items())
    assert {name: (table["connection_type"], table[MARKED_FIELD[table["connection_type"]]])
            for name, table in data.items()} == expected
    assert all(len(table) == {"snowflake": 10, "salesforce": 6}[table["connection_type"]]
               for name, table in data.items() if name != "yorsk_dev1")
    marked = {(name, kind) for _, marks in results for name, kind in marks}
    assert set(primary) <= {"snowflake_primary", "salesforce_primary", "name"}
    for kind in MARKED_FIELD:
        assert primary.get(f"{kind}_primary") in ({n for n, k in marked if k == kind} or {None})
    assert primary.get("name") in {primary.get("snowflake_primary"), primary.get("salesforce_primary")}


WORKER = """
    import importlib.util, json, sys
    sys.path.insert(0, {tests!r})
    found = importlib.util.spec_from_file_location("concurrency_driver", {path!r})
    driver = importlib.util.module_from_spec(found)
    found.loader.exec_module(driver)
    from qivo.user.connections import manager
    print("RESULT " + json.dumps(driver.drive(manager, {worker}, {steps}, {start_at})))
"""
READER = """
    import json, os, sys, tomllib
    from qivo.user.connections import manager
    store, reads, problems = manager.get_connections_file(), 0, []
    while not os.path.exists(sys.argv[1]):
        try:
            if store.exists():
                try:  # a plain read: on FUSE file systems a rename leaves a moment with no file
                    raw = store.read_bytes()
                except FileNotFoundError:
                    raw = None
                assert raw is None or raw.endswith(b"\\n"), raw[-40:]
                raw is None or tomllib.loads(raw.decode())
                # The module's reads are never told the store is missing.
                for name, table in manager._load_connections_file().items():
                    assert name in ("_primary", "yorsk_dev1") or (
                        len(table) == {"snowflake": 10, "salesforce": 6}[table["connection_type"]]), table
                names = manager.list_connections()  # the last may be deleted before it loads
                manager.load_connection(names[-1] if names else "none")
                reads += 1
        except Exception as exc:
            problems.append(repr(exc))
    print(json.dumps([reads, problems[:5]]))
"""


@pytest.mark.slow
def test_processes_lose_no_change_and_readers_see_whole_stores(home, store, tmp_path):
    stop, start_at = tmp_path / "stop", time.time() + 1.0
    reader = subprocess.Popen([sys.executable, "-c", textwrap.dedent(READER), str(stop)],
                              env=os.environ | {"HOME": str(home)}, stdout=subprocess.PIPE, text=True)

    def writer(worker):
        code = WORKER.format(tests=os.path.dirname(support.__file__), path=__file__, worker=worker,
                             steps=50, start_at=start_at)
        return support.run_python(code, env={"HOME": str(home)}, timeout=60)

    try:
        with ThreadPoolExecutor(8) as pool:
            done = list(pool.map(writer, range(8)))
    finally:
        stop.touch()
        reads, problems = json.loads(reader.communicate(timeout=30)[0])
    assert [(p.returncode, p.stderr) for p in done] == [(0, "")] * 8
    out = "".join(p.stdout for p in done)
    check_store(store, [json.loads(line[7:]) for line in out.splitlines() if line.startswith("RESULT ")])
    assert out.count("✓ Created ") == 1  # the template is written once, by whoever came first
    assert problems == [] and reads >= 20


@pytest.mark.slow
def test_threads_lose_no_change_and_do_not_deadlock(manager, home, store, capsys):
    results = [None] * 8

    def work(worker):
        results[worker] = drive(manager, worker, 50)

    threads = [threading.Thread(target=work, args=(w,), daemon=True) for w in range(8)]
    for thread in threads:
        thread.start()
    deadline = time.monotonic() + 60
    for thread in threads:
        thread.join(max(0.0, deadline - time.monotonic()))
    assert not any(thread.is_alive() for thread in threads), "writers deadlocked"
    assert None not in results  # a worker failed; its exception is reported with the test
    check_store(store, results)
    assert capsys.readouterr().out.count("✓ Created ") == 1


# Each runs in a fresh interpreter with a store holding `yorsk_dev1`; a hang
# fails the test at the timeout instead of blocking the run.
REENTRY = {
    "print-changes-the-store": ("""
        def printing(line, calls=[]):
            calls.append(line)
            if len(calls) == 1:
                m.save_connection_config("from_print", {})
        m.print = printing
        m.save_connection_config("outer", {})
        """, ["from_print", "outer", "yorsk_dev1"]),
    "callback-changes-the-store": ("""
        real = m._save_connections_file
        m._save_connections_file = lambda c: (m.delete_connection("yorsk_dev1"), real(c))
        try:
            m.save_connection_config("outer", {})
        except RuntimeError as exc:
            print("RuntimeError", "while this thread is changing it" in str(exc))
        m._save_connections_file = real
        """, ["RuntimeError True", "yorsk_dev1"]),
    "signal-handler-changes-the-store": ("""
        import signal
        signal.signal(signal.SIGUSR1, lambda *_: m.save_connection_config("from_signal", {}))
        real = m._save_connections_file
        m._save_connections_file = lambda c: (signal.raise_signal(signal.SIGUSR1), real(c))
        try:
            m.save_connection_config("outer", {})
        except RuntimeError:
            print("RuntimeError")
        m._save_connections_file = real
        m.save_connection_config("after", {})  # the lock was released
        """, ["RuntimeError", "after", "yorsk_dev1"]),
    "child-forked-while-a-thread-holds-the-lock": ("""
        import os, subprocess, sys, threading, time, warnings
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads
        inside, release, real = threading.Event(), threading.Event(), m._save_connections_file
        m._save_connections_file = lambda c: (inside.set(), release.wait(), real(c))
        holder = threading.Thread(target=m.save_connection_config, args=("held", {}))
        holder.start()
        inside.wait()
        child = os.fork()
        if child == 0:
            time.sleep(60)
            os._exit(0)
        release.set()
        holder.join()
        # Another process gets the lock while the child still lives.
        other = subprocess.run([sys.executable, "-c", "from qivo.user.connections import manager as m; "
                                "m.save_connection_config('other', {})"], timeout=30, capture_output=True)
        os.kill(child, 9)
        os.waitpid(child, 0)
        print("other", other.returncode)
        """, ["other 0", "held", "other", "yorsk_dev1"]),
    "read-of-a-missing-store-during-its-own-change": ("""
        import os
        store = str(m.get_connections_file())

        class Reads:  # the store seems gone while this thread holds the lock: no wait for itself
            def __str__(self):
                os.rename(store, store + ".away")
                try:
                    m.list_connections()
                except FileNotFoundError:
                    print("not found")
                os.rename(store + ".away", store)
                return "x"

        m.save_connection_config("outer", {"role": Reads()})
        """, ["not found", "outer", "yorsk_dev1"]),
}


@pytest.mark.parametrize("case", REENTRY)
def test_reentrant_changes_and_forks_never_hang(home, case):
    code, expected = REENTRY[case]
    result = support.run_python(
        "from qivo.user.connections import manager as m\nm.initialize_velmor_directory()\n"
        + textwrap.dedent(code) + "\nprint(*sorted(m.list_connections()), sep='\\n')",
        env={"HOME": str(home)}, timeout=60)
    assert result.returncode == 0, result.stderr
    assert [line for line in result.stdout.splitlines() if not line.startswith("✓")] == expected


HOLDER = """
    import fcntl, os, sys, time
    store = sys.argv[1]
    with open(store + ".lock") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)  # a writer at work, whose rename leaves a moment
        if sys.argv[2] == "exists":       # in which the store's name leads nowhere
            os.rename(store, store + ".away")
        print("held", flush=True)
        time.sleep(0.5)
        if sys.argv[2] == "exists":
            os.rename(store + ".away", store)
"""


@pytest.mark.parametrize("missing_at", ["exists", "open"])
def test_a_reader_is_never_told_that_an_existing_store_is_missing(manager, store, velmor_dir,
                                                                   monkeypatch, missing_at):
    manager.save_connection_config("p", {})
    real_open, opened = open, []

    def open_missing_once(*args, **kwargs):
        opened.append(args[0])
        if len(opened) == 1:
            raise FileNotFoundError(2, "No such file or directory", str(args[0]))
        return real_open(*args, **kwargs)

    if missing_at == "open":
        monkeypatch.setattr(manager, "open", open_missing_once, raising=False)
    holder = subprocess.Popen([sys.executable, "-c", textwrap.dedent(HOLDER), str(store), missing_at],
                              stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "held\n"
        assert manager.list_connections() == ["yorsk_dev1", "p"]
    finally:
        holder.communicate(timeout=30)
    assert len(opened) == (2 if missing_at == "open" else 0)


def test_blocked_output_holds_up_no_other_writer(home):
    blocked = subprocess.Popen(
        [sys.executable, "-c", "import sys, time\nfrom qivo.user.connections import manager as m\n"
         "m.initialize_velmor_directory()\n"
         "m.print = lambda line: (sys.stderr.write('written\\n'), sys.stderr.flush(), time.sleep(60))\n"
         "m.save_connection_config('blocked', {})"],
        env=os.environ | {"HOME": str(home)}, stderr=subprocess.PIPE, text=True)
    try:
        assert blocked.stderr.readline() == "written\n"  # its change is on disk; it is printing
        other = support.run_python("from qivo.user.connections import manager as m\n"
                                   "m.save_connection_config('other', {})", env={"HOME": str(home)},
                                   timeout=30)
        assert other.returncode == 0, other.stderr
    finally:
        blocked.kill()
        blocked.communicate()
    assert {"blocked", "other"} <= set(support.read(home / ".velmor" / "connections.toml"))


def test_homes_sharing_one_store_through_links_take_one_lock(tmp_path):
    shared, homes = tmp_path / "shared.toml", [tmp_path / "a", tmp_path / "b"]
    shared.write_text("")
    for home in homes:
        (home / ".velmor").mkdir(parents=True)
        support.symlink(home / ".velmor" / "connections.toml", shared)
    code = "from qivo.user.connections import manager as m\nfor i in range(40):\n" \
           "    m.save_connection_config(f'{}-{{i}}', {{}})"
    with ThreadPoolExecutor(2) as pool:
        done = list(pool.map(lambda home: support.run_python(
            code.format(home.name), env={"HOME": str(home)}, timeout=60), homes))
    assert [p.returncode for p in done] == [0, 0], [p.stderr for p in done]
    assert sorted(support.read(shared)) == sorted(f"{h.name}-{i}" for h in homes for i in range(40))
    assert (tmp_path / "shared.toml.lock").exists()
    assert not any((home / ".velmor" / "connections.toml.lock").exists() for home in homes)


@pytest.mark.parametrize("operation", ["save", "update"])
def test_a_home_moved_during_a_change_writes_no_store(manager, tmp_path, monkeypatch, capsys, operation):
    homes = [tmp_path / "h1", tmp_path / "h2"]
    (tmp_path / "rsa.p8").write_text("KEY")
    for home in homes:
        home.mkdir()
        monkeypatch.setenv("HOME", str(home))
        manager.save_connection_config(home.name, {})
    stores = [home / ".velmor" / "connections.toml" for home in homes]
    before, _ = [store.read_bytes() for store in stores], capsys.readouterr()

    class MovesHome:  # as another thread setting HOME could, mid-change
        def __str__(self):
            os.environ["HOME"] = str(homes[1])
            return "moved"

    monkeypatch.setenv("HOME", str(homes[0]))
    change = manager.save_connection_config if operation == "save" else manager.update_connection
    with pytest.raises(RuntimeError, match=f"{re.escape(str(stores[0]))} was locked, but "
                                           f"{re.escape(str(stores[1]))} would be written"):
        change("h1", {"private_key_file": str(tmp_path / "rsa.p8"), "account": MovesHome()})
    assert [store.read_bytes() for store in stores] == before and capsys.readouterr().out == ""
    assert [sorted(os.listdir(store.parent)) for store in stores] == [
        ["connections.toml", "connections.toml.lock"]] * 2  # and no key was placed


def test_print_rebound_on_the_module_receives_every_line_from_threads(manager, store, monkeypatch,
                                                                      capsys):
    lines = []  # the thread-safe way to route the lines (redirect_stdout is process-wide)
    monkeypatch.setattr(manager, "print", lines.append, raising=False)
    with ThreadPoolExecutor(4) as pool:
        list(pool.map(lambda i: manager.save_connection_config(f"t{i}", {}), range(40)))
    assert sorted(lines) == sorted([f"✓ Created {store}"] + [
        f"✓ Saved connection 't{i}' (snowflake) to {store}" for i in range(40)])
    assert capsys.readouterr() == ("", "")
