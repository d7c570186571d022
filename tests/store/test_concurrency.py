"""Concurrent writers in several processes and threads lose no change, and
readers never see a partial store."""

import json, os, random, subprocess, sys, textwrap, threading, time
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
                raw = store.read_bytes()
                assert raw.endswith(b"\\n"), raw[-40:]
                tomllib.loads(raw.decode())
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
