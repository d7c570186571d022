"""The timed functions and the pyperf runs that time them.

One pyperf run per store size, each benchmark in fresh worker processes, each
worker with its own store in a throwaway HOME.  For every operation the worker
processes of the current build and of the previous release (another
interpreter: its own virtual environment) run one right after the other, and
the floors are timed both before and after the operations, so a change in the
machine's load during the run shows and is averaged out.
"""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path
from time import perf_counter

from bench_store import (FLOORS, OPERATIONS, BenchStore, durable_replace, new_snowflake_credentials,
                         profile_name, read_floor, silence_module)

ENTRY_POINT = Path(__file__).resolve().parent / "bench_operations.py"
FLOOR_PASSES = ("before", "after")


def pyperf_settings(size: int, quick: bool) -> dict:
    """Processes, values per process, warm-ups and loops for one store size.

    On the two-core virtual machine this was written on, whole worker
    processes have run 1.5-1.7 times slower than the next one doing the same
    work, so medians are taken over many processes with few values each.  A
    call of the previous release or of a floor on 10,000 profiles takes about
    a third of a second: those sizes get one loop per value.  A full run of
    the four default sizes takes about 12 minutes on two cores.
    """
    if size >= 5_000:
        settings = dict(processes=6, values=2, warmups=1, loops=1, min_time=None)
        quick_settings = dict(processes=1, values=3, warmups=1, loops=1, min_time=None)
    elif size >= 1_000:
        settings = dict(processes=8, values=3, warmups=1, loops=0, min_time=0.1)
        quick_settings = dict(processes=2, values=2, warmups=1, loops=0, min_time=0.05)
    else:
        settings = dict(processes=8, values=4, warmups=1, loops=0, min_time=0.1)
        quick_settings = dict(processes=2, values=3, warmups=1, loops=0, min_time=0.05)
    return quick_settings if quick else settings


def expect(condition: bool, what: str) -> None:
    if not condition:
        raise RuntimeError(f"benchmark check failed: {what}")


class OperationBench:
    """The store of one worker process and a timed function per benchmark key."""

    def __init__(self, size: int, home_root: Path) -> None:
        from qivo.user.connections import manager

        # The build under test is the one of the interpreter running the worker.
        expect(Path(manager.__file__).resolve().is_relative_to(Path(sys.prefix).resolve()),
               f"{manager.__file__} belongs to {sys.prefix}")
        silence_module(manager)
        self.manager = manager
        self.store = store = BenchStore(size, home_root, manager)
        middle = size // 2
        self.snowflake_target = profile_name(middle - middle % 2)
        self.salesforce_target = profile_name(middle | 1) if size > 1 else None
        self.new_snowflake = new_snowflake_credentials(store.velmor_dir)
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
        path, size = self.store.path, self.store.size
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

        return self._time_change(loops, floor, None)

    def time_save_new(self, loops: int) -> float:
        save, credentials = self.manager.save_connection_config, self.new_snowflake
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
        delete, name = self.manager.delete_connection, self.snowflake_target
        return self._time_change(loops, lambda: delete(name), True)

    def time_set_primary(self, loops: int) -> float:
        # Another profile than the current primary, but for the one-profile store.
        set_primary, name = self.manager.set_primary_connection, self.snowflake_target
        return self._time_change(loops, lambda: set_primary(name), True)

    def time_load(self, loops: int) -> float:
        load, name = self.manager.load_connection, self.snowflake_target
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


def benchmark_name(key: str, size: int, tag: str | None = None) -> str:
    """`load[100]`, `load@previous[100]`, `floor_read@before[100]`."""
    return f"{key}{'@' + tag if tag else ''}[{size}]"


def benchmark_order(with_previous: bool) -> list[tuple[str, str | None]]:
    """(key, tag) in the order they are run for one store size."""
    order: list[tuple[str, str | None]] = [(FLOORS[kind][0], "before") for kind in FLOORS]
    for key, _, _ in OPERATIONS:
        order.append((key, None))
        if with_previous:
            order.append((key, "previous"))
    order += [(FLOORS[kind][0], "after") for kind in FLOORS]
    return order


def run_pyperf_size() -> None:
    """The pyperf runner for one store size (started by run_sizes)."""
    import pyperf

    def forward(cmd, args):
        cmd.extend(["--pyperf-size", str(args.pyperf_size), "--home-root", args.home_root,
                    "--previous-python", args.previous_python])

    runner = pyperf.Runner(add_cmdline_args=forward)
    runner.argparser.add_argument("--pyperf-size", type=int, required=True)
    runner.argparser.add_argument("--home-root", required=True)
    runner.argparser.add_argument("--previous-python", default="",
                                  help="interpreter of the previous release; empty: none")
    args = runner.parse_args()
    size, own_python = args.pyperf_size, args.python
    runner.metadata["store_profiles"] = size
    for key, tag in benchmark_order(bool(args.previous_python)):
        # pyperf starts each benchmark's workers with runner.args.python.
        runner.args.python = args.previous_python if tag == "previous" else own_python
        runner.bench_time_func(benchmark_name(key, size, tag), timed_call, size, key, args.home_root)
    runner.args.python = own_python


def run_sizes(sizes, quick: bool, home_root: Path, results_dir: Path,
              previous_python: str, load_by_size: dict) -> dict[int, Path]:
    """One pyperf run per store size, each in its own process; their files.
    Fills `load_by_size` with the 1-minute load average as each size starts."""
    files = {}
    for size in sizes:
        settings = pyperf_settings(size, quick)
        output = results_dir / f"pyperf-{size}.json"
        output.unlink(missing_ok=True)
        command = [
            sys.executable, str(ENTRY_POINT), "--pyperf-size", str(size),
            "--home-root", str(home_root), "--previous-python", previous_python,
            "--processes", str(settings["processes"]), "--values", str(settings["values"]),
            "--warmups", str(settings["warmups"]), "--loops", str(settings["loops"]),
            "--output", str(output), "--quiet",
        ]
        if settings["min_time"] is not None:
            command += ["--min-time", str(settings["min_time"])]
        load_by_size[size] = round(os.getloadavg()[0], 2)
        print(f"\n== store of {size} profiles: {settings}, load average {load_by_size[size]}",
              flush=True)
        subprocess.run(command, check=True)
        files[size] = output
    return files
