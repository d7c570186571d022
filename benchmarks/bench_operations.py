"""Benchmark of the connection-profile operations against what they cannot beat
and against the previous release.

For each store size (1, 100, 1,000 and 10,000 profiles) this times, in one run:

* the eight operations: save of a new profile, save replacing a profile, load,
  list, update, delete, set primary, get primary;
* the same operations with the previous release (default: dc36a4c, version
  0.1.0), built once into .venv-previous and timed in its own interpreter;
* their floors on the same file: ``tomllib.load`` for the reading operations,
  and ``tomllib.load`` plus a durable atomic replace of the same bytes
  (temporary file in the same directory, write, flush, fsync, rename, fsync of
  the directory) for the changing operations;

and reports operation/floor and new/previous ratios of the medians against
their targets, the growth from 1,000 to 10,000 profiles, the peak memory of a
read and of a save against ``tomllib.load`` alone (tracemalloc, with a peak-RSS
cross-check) and the module's import time (``-X importtime``).

    ./dev bench                          # everything (about 12 minutes on two cores)
    ./dev bench --quick --sizes 1,100    # rough figures while working on it

The table goes to standard output; all the figures, with the machine they were
taken on, to benchmarks/results/latest.json.  benchmarks/README.md has the
method and the latest table.
"""

from __future__ import annotations

import argparse
import datetime
import hashlib
import json
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
PROJECT_DIR = BENCH_DIR.parent
DEFAULT_HOME_ROOT = PROJECT_DIR / "build" / "bench-home"
DEFAULT_OUTPUT = BENCH_DIR / "results" / "latest.json"
DEFAULT_SIZES = (1, 100, 1_000, 10_000)


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


def proc_field(path: str, prefix: str, default: str = "unknown") -> str:
    with open(path) as file:
        for line in file:
            if line.startswith(prefix):
                return line.split(":", 1)[1].strip()
    return default


def git(*args: str) -> str:
    try:
        return subprocess.run(["git", "-C", str(PROJECT_DIR), *args],
                              capture_output=True, text=True).stdout.strip()
    except OSError:
        return ""


def module_info() -> dict:
    """Which build is measured: the tests may reinstall the module meanwhile."""
    from importlib.util import find_spec

    from bench_store import MODULE_NAME

    module_file = find_spec(MODULE_NAME).origin
    return {
        "file": module_file,
        "sha256": hashlib.sha256(Path(module_file).read_bytes()).hexdigest(),
        "modified": datetime.datetime.fromtimestamp(
            os.stat(module_file).st_mtime, datetime.timezone.utc).isoformat(timespec="seconds"),
    }


def machine_info(home_root: Path) -> dict:
    memory_kib = int(proc_field("/proc/meminfo", "MemTotal:", "0 kB").split()[0])
    return {
        "module": module_info(),
        "cpu_model": proc_field("/proc/cpuinfo", "model name"),
        "nproc": len(os.sched_getaffinity(0)),
        "memory_gib": round(memory_kib / 2**20, 1),
        "kernel": os.uname().release,
        "platform": platform.platform(),
        "python": sys.version.split()[0],
        "home_filesystem": filesystem_of(home_root),
        "git_commit": git("rev-parse", "HEAD"),
        "git_dirty": bool(git("status", "--porcelain")),
    }


def parse_args() -> argparse.Namespace:
    from bench_previous import DEFAULT_REF

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default=",".join(map(str, DEFAULT_SIZES)),
                        help="comma-separated store sizes (default: %(default)s)")
    parser.add_argument("--quick", action="store_true",
                        help="fewer processes and values: rough figures in a few minutes")
    parser.add_argument("--previous-ref", default=DEFAULT_REF,
                        help="git ref of the previous release (default: %(default)s, version 0.1.0)")
    parser.add_argument("--no-previous", action="store_true",
                        help="do not build nor time the previous release")
    parser.add_argument("--output", type=Path, default=DEFAULT_OUTPUT,
                        help="JSON results file (default: benchmarks/results/latest.json)")
    parser.add_argument("--home-root", type=Path, default=DEFAULT_HOME_ROOT,
                        help="where the throwaway homes go; must be a real disk, not tmpfs")
    parser.add_argument("--no-memory", action="store_true", help="skip the peak-memory probes")
    parser.add_argument("--import-runs", type=int, default=9,
                        help="-X importtime runs (0 skips; default: %(default)s)")
    parser.add_argument("--note", default="", help="free text stored with the results")
    args = parser.parse_args()
    args.sizes = [int(size.replace("_", "")) for size in args.sizes.split(",") if size.strip()]
    args.home_root = args.home_root.resolve()
    args.home_root.mkdir(parents=True, exist_ok=True)
    fs_type = filesystem_of(args.home_root)["type"]
    if fs_type in ("tmpfs", "ramfs"):
        parser.error(f"{args.home_root} is on {fs_type}: fsync would cost nothing there")
    return args


def main() -> None:
    from bench_memory import measure_import_time, measure_memory
    from bench_previous import prepare_previous
    from bench_report import print_report
    from bench_results import GROWTH_TARGET, MEMORY_TARGET, RATIO_TARGETS, collect, drifted_floors, growth
    from bench_timing import pyperf_settings, run_sizes

    args = parse_args()
    results_dir = args.output.resolve().parent
    results_dir.mkdir(parents=True, exist_ok=True)
    started = time.time()
    previous = prepare_previous(PROJECT_DIR, "" if args.no_previous else args.previous_ref,
                                PROJECT_DIR / ".venv-previous")
    if "skipped" in previous:
        print(f"== previous release skipped: {previous['skipped']}", flush=True)
    pythons = {"new": sys.executable}
    if "python" in previous:
        pythons["previous"] = previous["python"]
    report: dict = {
        "started": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "note": args.note,
        "quick": args.quick,
        "machine": machine_info(args.home_root),
        "previous": previous,
        "load_average": {"start": [round(x, 2) for x in os.getloadavg()]},
        "pyperf_settings": {str(size): pyperf_settings(size, args.quick) for size in args.sizes},
        "targets": {"ratio": RATIO_TARGETS, "growth": GROWTH_TARGET, "memory_ratio": MEMORY_TARGET},
    }
    report["load_by_size"] = {}
    files = run_sizes(args.sizes, args.quick, args.home_root, results_dir, pythons.get("previous", ""),
                      report["load_by_size"])
    rows, floors = collect(files, "previous" in pythons)
    report["results"] = rows
    report["floors"] = {str(size): value for size, value in floors.items()}
    report["drifted_floors"] = drifted_floors(floors)
    report["growth"] = growth(rows, floors)
    if not args.no_memory:
        print("\n== peak memory", flush=True)
        report["memory"] = measure_memory(args.home_root, pythons)
    if args.import_runs > 0:
        print("== import time", flush=True)
        report["import_time"] = {release: measure_import_time(python, args.import_runs)
                                 for release, python in pythons.items()}
    report["load_average"]["end"] = [round(x, 2) for x in os.getloadavg()]
    report["duration_s"] = round(time.time() - started, 1)
    report["module_at_end"] = module_info()
    report["pyperf_files"] = {str(size): str(path) for size, path in files.items()}

    print_report(report)
    args.output.write_text(json.dumps(report, indent=2) + "\n", encoding="utf-8")
    print(f"\nResults written to {args.output} (run took {report['duration_s']:.0f} s)")


if __name__ == "__main__":
    if "--pyperf-size" in sys.argv:
        from bench_timing import run_pyperf_size

        run_pyperf_size()
    elif "--memory-probe" in sys.argv:
        from bench_memory import run_memory_probe

        probe = argparse.ArgumentParser()
        probe.add_argument("--memory-probe", choices=("read", "save", "tomllib_load"), required=True)
        probe.add_argument("--method", choices=("tracemalloc", "rss"), required=True)
        probe.add_argument("--home", required=True)
        probe_args = probe.parse_args()
        run_memory_probe(probe_args.memory_probe, probe_args.method, probe_args.home)
    else:
        main()
