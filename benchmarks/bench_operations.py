"""Benchmark of the connection-profile operations against what they cannot beat.

Every operation reads the whole store with tomllib, and every change writes the
whole store back durably.  So for each store size this measures, in one run:

* the eight operations: save of a new profile, save replacing a profile, load,
  list, update, delete, set primary, get primary;
* their floors on the same file: ``tomllib.load`` for the reading operations,
  and ``tomllib.load`` plus a durable atomic replace of the same bytes
  (temporary file in the same directory, write, flush, fsync, rename, fsync of
  the directory) for the changing operations;

and reports operation/floor ratios, the growth from 1,000 to 10,000 profiles,
the peak memory of one save against ``tomllib.load`` alone (tracemalloc, with a
peak-RSS cross-check) and the module's own import time (``-X importtime``).

Run everything (5 to 7 minutes on two cores):

    .venv/bin/python benchmarks/bench_operations.py

Quicker, rougher numbers while working on the harness or the module:

    .venv/bin/python benchmarks/bench_operations.py --quick --sizes 1,100

The timings use pyperf: one pyperf run per store size, each benchmark in fresh
worker processes, each worker with its own throwaway HOME on the disk the
project lives on (never tmpfs: fsync must reach a real device).  A changing
operation is undone, outside the timed part, after every timed call, so every
timed call sees the same store.  The table goes to standard output; all the
figures, with the machine they were taken on, to benchmarks/results/latest.json.
"""

from __future__ import annotations

import argparse
import atexit
import datetime
import gc
import hashlib
import importlib.util
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import tomllib
from pathlib import Path
from time import perf_counter

BENCH_DIR = Path(__file__).resolve().parent
PROJECT_DIR = BENCH_DIR.parent
DEFAULT_HOME_ROOT = PROJECT_DIR / "build" / "bench-home"
DEFAULT_OUTPUT = BENCH_DIR / "results" / "latest.json"
MODULE_NAME = "qivo.user.connections.manager"

DEFAULT_SIZES = (1, 100, 1_000, 10_000)
MEMORY_STORE_SIZE = 10_000

# (key, kind, label), in the order they appear in the table.
OPERATIONS = (
    ("save_new", "change", "save (new profile)"),
    ("save_replace", "change", "save (replace profile)"),
    ("load", "read", "load"),
    ("list", "read", "list"),
    ("update", "change", "update"),
    ("delete", "change", "delete"),
    ("set_primary", "change", "set primary"),
    ("get_primary", "read", "get primary"),
)
FLOORS = {
    "read": ("floor_read", "tomllib.load"),
    "change": ("floor_change", "tomllib.load + durable replace"),
}
# Floors are timed both before and after the operations of a size, so a change
# in the machine's load during the run shows and is averaged out.
FLOOR_PASSES = ("before", "after")

# Ratio operation/floor that counts as close enough to the floor.
RATIO_TARGET_LARGE = 1.10  # stores of 1,000 profiles and more
RATIO_TARGET_SMALL = 1.50  # smaller stores, where fixed costs weigh more
MEMORY_TARGET = 1.50


# --------------------------------------------------------------------------
# pyperf settings per store size
# --------------------------------------------------------------------------


def pyperf_settings(size: int, quick: bool) -> dict:
    """Processes, values per process, warm-ups and loops for one store size.

    Chosen so that a full run of the four default sizes stays well under ten
    minutes on two cores: a call on 10,000 profiles takes about half a second,
    so those get one loop per value and fewer processes.
    """
    if size >= 5_000:
        settings = dict(processes=4, values=3, warmups=1, loops=1, min_time=None)
        quick_settings = dict(processes=1, values=3, warmups=1, loops=1, min_time=None)
    elif size >= 1_000:
        settings = dict(processes=5, values=4, warmups=1, loops=0, min_time=0.1)
        quick_settings = dict(processes=2, values=2, warmups=1, loops=0, min_time=0.05)
    else:
        settings = dict(processes=6, values=5, warmups=1, loops=0, min_time=0.1)
        quick_settings = dict(processes=2, values=3, warmups=1, loops=0, min_time=0.05)
    return quick_settings if quick else settings


# --------------------------------------------------------------------------
# The store under test
# --------------------------------------------------------------------------


def silence_module(manager) -> None:
    """Sends the module's one-line reports nowhere: they are not what is timed."""
    manager.print = lambda *args, **kwargs: None


def profile_name(index: int) -> str:
    kind = "snowflake" if index % 2 == 0 else "salesforce"
    return f"{kind}_{index:05d}"


def snowflake_entry(index: int, velmor_dir: Path) -> dict:
    # Fields in the order the module writes a Snowflake profile.
    return {
        "connection_type": "snowflake",
        "private_key_file": str(velmor_dir / f"rsa_key_{index:05d}.p8"),
        "private_key_passphrase": f"passphrase-{index:05d}",
        "account": f"xy{index:05d}.eu-west-1",
        "user": f"ETL_SERVICE_{index:05d}",
        "authenticator": "SNOWFLAKE_JWT",
        "warehouse": "COMPUTE_WH",
        "database": f"ANALYTICS_{index % 7}",
        "schema": "PUBLIC",
        "role": "TRANSFORMER",
    }


def salesforce_entry(index: int) -> dict:
    # Fields in the order the module writes a Salesforce profile.
    return {
        "connection_type": "salesforce",
        "client_id": f"3MVG9{index:05d}ClientId",
        "client_key": f"client-secret-{index:05d}",
        "sandbox": index % 4 == 1,
        "my_domain": f"org{index:05d}.my.salesforce.com",
        "redirect_url": "https://localhost:1717//OauthRedirect",
    }


def make_store(size: int, velmor_dir: Path) -> dict:
    """Half Snowflake, half Salesforce profiles, with both primaries set
    (a one-profile store has only a Snowflake profile and its primary)."""
    store = {}
    for index in range(size):
        name = profile_name(index)
        store[name] = (
            snowflake_entry(index, velmor_dir) if index % 2 == 0 else salesforce_entry(index)
        )
    primary = {"snowflake_primary": profile_name(0), "name": profile_name(0)}
    if size > 1:
        primary["salesforce_primary"] = profile_name(1)
        primary["name"] = profile_name(1)
    store["_primary"] = primary
    return store


def durable_replace(path: Path | str, data: bytes) -> None:
    """Atomically and durably replaces `path` with `data`: the floor of every
    change to the store."""
    directory = os.path.dirname(path)
    fd, temporary = tempfile.mkstemp(dir=directory, prefix=".bench-")
    try:
        with os.fdopen(fd, "wb") as file:
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
        os.rename(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise
    directory_fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(directory_fd)
    finally:
        os.close(directory_fd)


def read_floor(path: Path) -> dict:
    with open(path, "rb") as file:
        return tomllib.load(file)


class BenchStore:
    """A store of `size` profiles in a fresh HOME under `home_root`, written by
    the module itself, and removed when the process exits."""

    def __init__(self, size: int, home_root: Path, manager) -> None:
        home_root.mkdir(parents=True, exist_ok=True)
        self.home = Path(tempfile.mkdtemp(prefix=f"store-{size}-", dir=home_root))
        atexit.register(shutil.rmtree, self.home, ignore_errors=True)
        os.environ["HOME"] = str(self.home)
        self.size = size
        self.velmor_dir = manager.get_velmor_dir()
        self.velmor_dir.mkdir(mode=0o700)
        manager._save_connections_file(make_store(size, self.velmor_dir))
        self.path = manager.get_connections_file()
        self.data = self.path.read_bytes()
        if len(manager.list_connections()) != size:
            raise RuntimeError(f"store of {size} profiles was not written as expected")

    def restore(self) -> None:
        """Puts the original store back, durably, so the next timed call
        starts from the same store and a quiet disk."""
        durable_replace(self.path, self.data)


# --------------------------------------------------------------------------
# Timed functions (run in pyperf worker processes)
# --------------------------------------------------------------------------


def expect(condition: bool, what: str) -> None:
    if not condition:
        raise RuntimeError(f"benchmark check failed: {what}")


class OperationBench:
    def __init__(self, size: int, home_root: Path) -> None:
        from qivo.user.connections import manager

        silence_module(manager)
        self.manager = manager
        self.store = store = BenchStore(size, home_root, manager)
        middle = size // 2
        self.snowflake_target = profile_name(middle - middle % 2)
        self.salesforce_target = profile_name(middle | 1) if size > 1 else None
        velmor = store.velmor_dir
        self.new_snowflake = {
            "account": "zz99999.us-east-1",
            "user": "NEW_SERVICE",
            "private_key_file": str(velmor / "rsa_key_new.p8"),
            "private_key_passphrase": "new-passphrase",
            "warehouse": "LOAD_WH",
            "database": "RAW",
            "schema": "LANDING",
            "role": "LOADER",
        }
        self.changed_snowflake = dict(self.new_snowflake, account="changed.eu-central-1")
        self.changed_salesforce = {
            "client_id": "3MVG9ChangedClientId",
            "client_key": "changed-secret",
            "sandbox": True,
            "my_domain": "changed.my.salesforce.com",
        }

    def run(self, key: str, loops: int) -> float:
        return getattr(self, "time_" + key)(loops)

    # Changing operations: each timed call is undone before the next one.
    def _time_change(self, loops: int, operation, expected) -> float:
        restore = self.store.restore
        total = 0.0
        for _ in range(loops):
            start = perf_counter()
            result = operation()
            total += perf_counter() - start
            if restore is not None:
                restore()
            expect(result is expected, f"{operation} returned {result!r}")
        return total

    def _time_read(self, loops: int, operation, check) -> float:
        result = None
        start = perf_counter()
        for _ in range(loops):
            result = operation()
        elapsed = perf_counter() - start
        check(result)
        return elapsed

    def time_floor_read(self, loops: int) -> float:
        path = self.store.path
        size = self.store.size
        return self._time_read(
            loops,
            lambda: read_floor(path),
            lambda store: expect(len(store) == size + 1, "tomllib read the whole store"),
        )

    def time_floor_change(self, loops: int) -> float:
        path, data = self.store.path, self.store.data

        def floor():
            read_floor(path)
            durable_replace(path, data)

        # The floor leaves the store as it was: nothing to undo.
        return self._time_change(loops, floor, None)

    def time_save_new(self, loops: int) -> float:
        save = self.manager.save_connection_config
        credentials = self.new_snowflake
        return self._time_change(
            loops, lambda: save("new_profile", credentials, "snowflake", False), None
        )

    def time_save_replace(self, loops: int) -> float:
        save = self.manager.save_connection_config
        name, credentials = self.snowflake_target, self.changed_snowflake
        return self._time_change(loops, lambda: save(name, credentials, "snowflake", False), None)

    def time_update(self, loops: int) -> float:
        update = self.manager.update_connection
        if self.salesforce_target is not None:
            name, credentials = self.salesforce_target, self.changed_salesforce
        else:
            name, credentials = self.snowflake_target, self.changed_snowflake
        return self._time_change(loops, lambda: update(name, credentials, None, False), True)

    def time_delete(self, loops: int) -> float:
        delete = self.manager.delete_connection
        name = self.snowflake_target
        return self._time_change(loops, lambda: delete(name), True)

    def time_set_primary(self, loops: int) -> float:
        set_primary = self.manager.set_primary_connection
        # Another profile than the current primary, but for the one-profile store.
        name = self.snowflake_target
        return self._time_change(loops, lambda: set_primary(name), True)

    def time_load(self, loops: int) -> float:
        load = self.manager.load_connection
        name = self.snowflake_target
        return self._time_read(
            loops,
            lambda: load(name),
            lambda found: expect(
                isinstance(found, dict) and found["connection_type"] == "snowflake",
                "load found the profile",
            ),
        )

    def time_list(self, loops: int) -> float:
        size = self.store.size
        return self._time_read(
            loops,
            self.manager.list_connections,
            lambda names: expect(len(names) == size, "list returned every profile"),
        )

    def time_get_primary(self, loops: int) -> float:
        get_primary = self.manager.get_primary_connection
        return self._time_read(
            loops,
            lambda: get_primary("snowflake"),
            lambda name: expect(name == profile_name(0), "get primary found the primary"),
        )


_worker_bench: OperationBench | None = None


def timed_call(loops: int, size: int, key: str, home_root: str) -> float:
    # The store is built once per worker process, outside every timing.
    global _worker_bench
    if _worker_bench is None:
        _worker_bench = OperationBench(size, Path(home_root))
    return _worker_bench.run(key, loops)


def benchmark_name(key: str, size: int, floor_pass: str | None = None) -> str:
    suffix = f"#{floor_pass}" if floor_pass else ""
    return f"{key}{suffix}[{size}]"


def benchmark_order() -> list[tuple[str, str | None]]:
    """(key, floor pass) in the order they are run for one store size."""
    order: list[tuple[str, str | None]] = [
        (FLOORS["read"][0], "before"),
        (FLOORS["change"][0], "before"),
    ]
    order += [(key, None) for key, _, _ in OPERATIONS]
    order += [(FLOORS["read"][0], "after"), (FLOORS["change"][0], "after")]
    return order


def run_pyperf_size() -> None:
    """The pyperf runner for one store size (started by the main run)."""
    import pyperf

    def forward(cmd, args):
        cmd.extend(["--pyperf-size", str(args.pyperf_size), "--home-root", args.home_root])

    runner = pyperf.Runner(add_cmdline_args=forward)
    runner.argparser.add_argument("--pyperf-size", type=int, required=True)
    runner.argparser.add_argument("--home-root", required=True)
    args = runner.parse_args()
    size = args.pyperf_size
    runner.metadata["store_profiles"] = size
    for key, floor_pass in benchmark_order():
        runner.bench_time_func(
            benchmark_name(key, size, floor_pass), timed_call, size, key, args.home_root
        )


# --------------------------------------------------------------------------
# Peak memory (each probe in a fresh process)
# --------------------------------------------------------------------------


def proc_status_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} missing from /proc/self/status")


def run_memory_probe(kind: str, method: str, home: str) -> None:
    os.environ["HOME"] = home
    from qivo.user.connections import manager

    silence_module(manager)
    path = manager.get_connections_file()
    data = path.read_bytes()  # also brings the file into the page cache
    credentials = {
        "account": "zz99999.us-east-1",
        "user": "NEW_SERVICE",
        "private_key_file": str(manager.get_velmor_dir() / "rsa_key_new.p8"),
        "private_key_passphrase": "new-passphrase",
        "warehouse": "LOAD_WH",
        "database": "RAW",
        "schema": "LANDING",
        "role": "LOADER",
    }
    if kind == "save":

        def operation():
            manager.save_connection_config("new_profile", credentials, "snowflake", False)

    else:

        def operation():
            with open(path, "rb") as file:
                return tomllib.load(file)

    result: dict = {"kind": kind, "method": method, "file_bytes": len(data)}
    if method == "tracemalloc":
        import tracemalloc

        # One untraced call first, so one-time set-up (interned names, module
        # caches) is not counted; then the store is put back as it was.
        operation()
        durable_replace(path, data)
        del data
        gc.collect()
        tracemalloc.start()
        operation()
        current, peak = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        result.update(peak_bytes=peak, retained_bytes=current)
    else:
        # Peak RSS growth of a fresh process: sees allocations tracemalloc
        # cannot (C++ buffers, malloc arenas), but only as whole pages.
        del data
        gc.collect()
        baseline_kib = proc_status_kib("VmRSS")
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")  # resets VmHWM to the current RSS
        operation()
        result.update(
            peak_bytes=(proc_status_kib("VmHWM") - baseline_kib) * 1024,
            baseline_rss_bytes=baseline_kib * 1024,
        )
    json.dump(result, sys.stdout)


def measure_memory(home_root: Path) -> dict:
    from qivo.user.connections import manager

    silence_module(manager)
    saved_home = os.environ.get("HOME")
    try:
        store = BenchStore(MEMORY_STORE_SIZE, home_root, manager)
        probes = {}
        for method in ("tracemalloc", "rss"):
            for kind in ("save", "tomllib_load"):
                store.restore()
                output = subprocess.run(
                    [sys.executable, __file__, "--memory-probe", kind, "--method", method,
                     "--home", str(store.home)],
                    check=True, capture_output=True, text=True,
                ).stdout
                probes[f"{kind}/{method}"] = json.loads(output)
        shutil.rmtree(store.home, ignore_errors=True)
    finally:
        if saved_home is None:
            os.environ.pop("HOME", None)
        else:
            os.environ["HOME"] = saved_home
    memory = {"store_profiles": MEMORY_STORE_SIZE, "file_bytes": len(store.data), "probes": probes}
    for method in ("tracemalloc", "rss"):
        save = probes[f"save/{method}"]["peak_bytes"]
        load = probes[f"tomllib_load/{method}"]["peak_bytes"]
        memory[method] = {
            "save_peak_bytes": save,
            "tomllib_load_peak_bytes": load,
            "ratio": save / load if load else None,
        }
    memory["target"] = MEMORY_TARGET
    memory["met"] = memory["tracemalloc"]["ratio"] <= MEMORY_TARGET
    return memory


# --------------------------------------------------------------------------
# Import time
# --------------------------------------------------------------------------

IMPORT_LINE = re.compile(r"^import time:\s+(\d+)\s+\|\s+(\d+)\s+\|(\s*)(\S+)\s*$")


def measure_import_time(runs: int) -> dict:
    samples = []
    own_imports: set[str] = set()
    for _ in range(runs):
        stderr = subprocess.run(
            [sys.executable, "-X", "importtime", "-c", f"import {MODULE_NAME}"],
            check=True, capture_output=True, text=True, cwd=tempfile.gettempdir(),
        ).stderr
        lines = [IMPORT_LINE.match(line) for line in stderr.splitlines()]
        lines = [match for match in lines if match]
        for position, match in enumerate(lines):
            if match.group(4) == MODULE_NAME:
                samples.append({"self_us": int(match.group(1)),
                                "cumulative_us": int(match.group(2))})
                # The imports nested one level under the module's line are
                # the ones it made itself (listed just before it).
                depth = len(match.group(3))
                for earlier in reversed(lines[:position]):
                    if len(earlier.group(3)) <= depth:
                        break
                    if len(earlier.group(3)) == depth + 2:
                        own_imports.add(earlier.group(4))
                break
        else:
            raise RuntimeError(f"{MODULE_NAME} missing from -X importtime output")
    return {
        "command": f"{Path(sys.executable).name} -X importtime -c \"import {MODULE_NAME}\"",
        "runs": samples,
        "self_us_median": statistics.median(s["self_us"] for s in samples),
        "cumulative_us_median": statistics.median(s["cumulative_us"] for s in samples),
        "direct_imports": sorted(own_imports),
    }


# --------------------------------------------------------------------------
# The main run
# --------------------------------------------------------------------------


def filesystem_of(path: Path) -> dict:
    real = os.path.realpath(path)
    best = {"mount": "", "type": "unknown", "device": "unknown"}
    with open("/proc/mounts") as mounts:
        for line in mounts:
            device, mount, fs_type = line.split()[:3]
            mount = mount.replace("\\040", " ")
            inside = real == mount or real.startswith(mount.rstrip("/") + "/")
            if inside and len(mount) >= len(best["mount"]):
                best = {"mount": mount, "type": fs_type, "device": device}
    return best


def machine_info(home_root: Path) -> dict:
    cpu_model = "unknown"
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                cpu_model = line.split(":", 1)[1].strip()
                break
    memory_kib = 0
    with open("/proc/meminfo") as meminfo:
        for line in meminfo:
            if line.startswith("MemTotal:"):
                memory_kib = int(line.split()[1])
    try:
        commit = subprocess.run(["git", "-C", str(PROJECT_DIR), "rev-parse", "HEAD"],
                                capture_output=True, text=True).stdout.strip()
        dirty = bool(subprocess.run(["git", "-C", str(PROJECT_DIR), "status", "--porcelain"],
                                    capture_output=True, text=True).stdout.strip())
    except OSError:
        commit, dirty = "", False
    # Which build was measured: the tests may reinstall the module meanwhile.
    module_file = importlib.util.find_spec(MODULE_NAME).origin
    module = {
        "file": module_file,
        "sha256": hashlib.sha256(Path(module_file).read_bytes()).hexdigest(),
        "modified": datetime.datetime.fromtimestamp(
            os.stat(module_file).st_mtime, datetime.timezone.utc
        ).isoformat(timespec="seconds"),
    }
    return {
        "module": module,
        "cpu_model": cpu_model,
        "cpu_count": os.cpu_count(),
        "memory_gib": round(memory_kib / 2**20, 1),
        "platform": platform.platform(),
        "python": sys.version.split()[0],
        "home_filesystem": filesystem_of(home_root),
        "git_commit": commit,
        "git_dirty": dirty,
    }


def run_sizes(sizes, quick: bool, home_root: Path, results_dir: Path) -> dict[int, Path]:
    files = {}
    for size in sizes:
        settings = pyperf_settings(size, quick)
        output = results_dir / f"pyperf-{size}.json"
        output.unlink(missing_ok=True)
        command = [
            sys.executable, __file__, "--pyperf-size", str(size), "--home-root", str(home_root),
            "--processes", str(settings["processes"]), "--values", str(settings["values"]),
            "--warmups", str(settings["warmups"]), "--loops", str(settings["loops"]),
            "--output", str(output), "--quiet",
        ]
        if settings["min_time"] is not None:
            command += ["--min-time", str(settings["min_time"])]
        print(f"\n== store of {size} profiles: {settings}", flush=True)
        subprocess.run(command, check=True)
        files[size] = output
    return files


def summarize_benchmark(bench) -> dict:
    values = bench.get_values()
    return {
        "median_s": bench.median(),
        "mean_s": bench.mean(),
        "stdev_s": bench.stdev() if len(values) > 1 else 0.0,
        "min_s": min(values),
        "max_s": max(values),
        "values": len(values),
        "loops": bench.get_loops(),
        "runs": bench.get_nrun(),
    }


def collect(files: dict[int, Path]) -> tuple[list[dict], dict[int, dict]]:
    import pyperf

    rows = []
    floors_by_size = {}
    for size, path in files.items():
        suite = pyperf.BenchmarkSuite.load(str(path))
        floors = {}
        for floor_key, floor_label in FLOORS.values():
            passes = {}
            values = []
            for floor_pass in FLOOR_PASSES:
                bench = suite.get_benchmark(benchmark_name(floor_key, size, floor_pass))
                passes[floor_pass] = summarize_benchmark(bench)
                values += bench.get_values()
            floors[floor_key] = {
                "label": floor_label,
                "median_s": statistics.median(values),
                "min_s": min(values),
                "values": len(values),
                "passes": passes,
            }
        floors_by_size[size] = floors
        target = RATIO_TARGET_LARGE if size >= 1_000 else RATIO_TARGET_SMALL
        for key, kind, label in OPERATIONS:
            measured = summarize_benchmark(suite.get_benchmark(benchmark_name(key, size)))
            floor = floors[FLOORS[kind][0]]
            ratio = measured["median_s"] / floor["median_s"]
            rows.append({
                "size": size,
                "operation": key,
                "label": label,
                "kind": kind,
                "op": measured,
                "floor": {"name": floor["label"], "median_s": floor["median_s"],
                          "min_s": floor["min_s"]},
                "ratio": ratio,
                # Fastest against fastest: less sensitive to other processes
                # competing for the disk or the CPUs than the medians.
                "ratio_of_minimums": measured["min_s"] / floor["min_s"],
                "target": target,
                "met": ratio <= target,
            })
    return rows, floors_by_size


def linearity(rows: list[dict], floors_by_size: dict[int, dict], small: int, large: int) -> dict:
    if small not in floors_by_size or large not in floors_by_size:
        return {}
    medians = {(row["size"], row["operation"]): row["op"]["median_s"] for row in rows}
    minimums = {(row["size"], row["operation"]): row["op"]["min_s"] for row in rows}
    for size, floors in floors_by_size.items():
        for key, floor in floors.items():
            medians[(size, key)] = floor["median_s"]
            minimums[(size, key)] = floor["min_s"]
    keys = [key for key, _, _ in OPERATIONS] + [key for key, _ in FLOORS.values()]
    return {
        "from_profiles": small,
        "to_profiles": large,
        "expected": large / small,
        "ratios": {key: medians[(large, key)] / medians[(small, key)] for key in keys},
        "ratios_of_minimums": {
            key: minimums[(large, key)] / minimums[(small, key)] for key in keys
        },
    }


def format_time(seconds: float) -> str:
    if seconds >= 1:
        return f"{seconds:.3f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds * 1e6:.1f} us"


def print_report(report: dict) -> None:
    machine = report["machine"]
    print()
    print(f"Machine: {machine['cpu_model']}, {machine['cpu_count']} CPUs, "
          f"{machine['memory_gib']} GiB, {machine['platform']}, Python {machine['python']}")
    fs = machine["home_filesystem"]
    print(f"Stores on {fs['type']} ({fs['device']} at {fs['mount']}); "
          f"load average {report['load_average']['start']} at start, "
          f"{report['load_average']['end']} at end")
    if report.get("note"):
        print(f"Note: {report['note']}")
    print()
    header = (f"{'profiles':>8}  {'operation':<24}{'op median':>12}{'+-rsd':>7}  "
              f"{'floor':<32}{'floor median':>13}{'ratio':>7}{'target':>8}  {'met':<7}"
              f"{'min/min':>7}")
    print(header)
    print("-" * len(header))
    previous_size = None
    for row in report["results"]:
        if previous_size is not None and row["size"] != previous_size:
            print()
        previous_size = row["size"]
        op = row["op"]
        rsd = op["stdev_s"] / op["mean_s"] * 100 if op["mean_s"] else 0.0
        print(f"{row['size']:>8}  {row['label']:<24}{format_time(op['median_s']):>12}"
              f"{rsd:>6.1f}%  {row['floor']['name']:<32}"
              f"{format_time(row['floor']['median_s']):>13}{row['ratio']:>7.3f}"
              f"{'<=' + format(row['target'], '.2f'):>8}  {'yes' if row['met'] else 'MISSED':<7}"
              f"{row['ratio_of_minimums']:>7.3f}")
    lin = report.get("linearity")
    if lin:
        print()
        print(f"Growth from {lin['from_profiles']:,} to {lin['to_profiles']:,} profiles "
              f"(linear = {lin['expected']:.0f}x):")
        print(f"  {'':<16}{'medians':>9}{'minimums':>10}")
        for key, ratio in lin["ratios"].items():
            print(f"  {key:<16}{ratio:>8.2f}x{lin['ratios_of_minimums'][key]:>9.2f}x")
    memory = report.get("memory")
    if memory:
        print()
        print(f"Peak memory on the {memory['store_profiles']:,}-profile store "
              f"({memory['file_bytes']:,} bytes):")
        for method in ("tracemalloc", "rss"):
            figures = memory[method]
            label = "tracemalloc" if method == "tracemalloc" else "peak RSS growth"
            print(f"  {label:<16} save {figures['save_peak_bytes'] / 2**20:7.2f} MiB   "
                  f"tomllib.load {figures['tomllib_load_peak_bytes'] / 2**20:7.2f} MiB   "
                  f"ratio {figures['ratio']:.3f}")
        print(f"  target (tracemalloc): <= {memory['target']:.2f}  "
              f"{'met' if memory['met'] else 'MISSED'}")
    imports = report.get("import_time")
    if imports:
        print()
        print(f"Import time ({imports['command']}, median of {len(imports['runs'])} runs): "
              f"self {imports['self_us_median']:.0f} us, "
              f"cumulative {imports['cumulative_us_median']:.0f} us")
        if imports["direct_imports"]:
            print(f"  imported by it (with their own imports in the cumulative figure): "
                  f"{', '.join(imports['direct_imports'])}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default=",".join(map(str, DEFAULT_SIZES)),
                        help="comma-separated store sizes (default: %(default)s)")
    parser.add_argument("--quick", action="store_true",
                        help="fewer processes and values: rough figures in a minute or two")
    parser.add_argument("--output", type=Path, default=DEFAULT_OUTPUT,
                        help="JSON results file (default: benchmarks/results/latest.json)")
    parser.add_argument("--home-root", type=Path, default=DEFAULT_HOME_ROOT,
                        help="where the throwaway homes go; must be a real disk, not tmpfs")
    parser.add_argument("--no-memory", action="store_true", help="skip the peak-memory probes")
    parser.add_argument("--import-runs", type=int, default=9,
                        help="-X importtime runs (0 skips; default: %(default)s)")
    parser.add_argument("--note", default="", help="free text stored with the results")
    args = parser.parse_args()
    sizes = [int(size.replace("_", "")) for size in args.sizes.split(",") if size.strip()]

    home_root = args.home_root.resolve()
    home_root.mkdir(parents=True, exist_ok=True)
    fs = filesystem_of(home_root)
    if fs["type"] in ("tmpfs", "ramfs"):
        parser.error(f"{home_root} is on {fs['type']}: fsync would cost nothing there")
    results_dir = args.output.resolve().parent
    results_dir.mkdir(parents=True, exist_ok=True)

    started = time.time()
    report: dict = {
        "started": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "note": args.note,
        "quick": args.quick,
        "machine": machine_info(home_root),
        "load_average": {"start": [round(x, 2) for x in os.getloadavg()]},
        "pyperf_settings": {str(size): pyperf_settings(size, args.quick) for size in sizes},
        "targets": {"ratio_small_stores": RATIO_TARGET_SMALL,
                    "ratio_large_stores": RATIO_TARGET_LARGE,
                    "memory_ratio": MEMORY_TARGET},
    }
    files = run_sizes(sizes, args.quick, home_root, results_dir)
    rows, floors = collect(files)
    report["results"] = rows
    report["floors"] = {str(size): value for size, value in floors.items()}
    report["linearity"] = linearity(rows, floors, 1_000, 10_000)
    if not args.no_memory:
        print(f"\n== peak memory on {MEMORY_STORE_SIZE:,} profiles", flush=True)
        report["memory"] = measure_memory(home_root)
    if args.import_runs > 0:
        print("== import time", flush=True)
        report["import_time"] = measure_import_time(args.import_runs)
    report["load_average"]["end"] = [round(x, 2) for x in os.getloadavg()]
    report["duration_s"] = round(time.time() - started, 1)
    report["module_at_end"] = machine_info(home_root)["module"]
    report["pyperf_files"] = {str(size): str(path) for size, path in files.items()}

    print_report(report)
    args.output.write_text(json.dumps(report, indent=2) + "\n", encoding="utf-8")
    print(f"\nResults written to {args.output} (run took {report['duration_s']:.0f} s)")


if __name__ == "__main__":
    if "--pyperf-size" in sys.argv:
        run_pyperf_size()
    elif "--memory-probe" in sys.argv:
        probe = argparse.ArgumentParser()
        probe.add_argument("--memory-probe", choices=("save", "tomllib_load"), required=True)
        probe.add_argument("--method", choices=("tracemalloc", "rss"), required=True)
        probe.add_argument("--home", required=True)
        probe_args = probe.parse_args()
        run_memory_probe(probe_args.memory_probe, probe_args.method, probe_args.home)
    else:
        main()
