"""Peak memory of a read and of a save against ``tomllib.load`` alone, and the
module's import time; each probe in a fresh process of the interpreter whose
build it measures."""

from __future__ import annotations

import gc
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

from bench_results import MEMORY_TARGET
from bench_store import (MODULE_NAME, BenchStore, durable_replace, new_snowflake_credentials,
                         read_floor, silence_module)
from bench_timing import ENTRY_POINT

MEMORY_STORE_SIZE = 10_000
METHODS = ("tracemalloc", "rss")
# (release, probe): what is measured, in this order, for each method.
PROBES = (("new", "read"), ("new", "save"), ("new", "tomllib_load"),
          ("previous", "read"), ("previous", "save"))


def proc_status_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} missing from /proc/self/status")


def run_memory_probe(kind: str, method: str, home: str) -> None:
    """One probe, in this process; prints its figures as JSON."""
    os.environ["HOME"] = home
    from qivo.user.connections import manager

    silence_module(manager)
    path = manager.get_connections_file()
    data = path.read_bytes()  # also brings the file into the page cache
    credentials = new_snowflake_credentials(manager.get_velmor_dir())
    operation = {
        "read": manager._load_connections_file,
        "save": lambda: manager.save_connection_config("new_profile", credentials, "snowflake", False),
        "tomllib_load": lambda: read_floor(path),
    }[kind]
    result: dict = {"kind": kind, "method": method, "file_bytes": len(data), "module": manager.__file__}
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
        result.update(peak_bytes=(proc_status_kib("VmHWM") - baseline_kib) * 1024,
                      baseline_rss_bytes=baseline_kib * 1024)
    json.dump(result, sys.stdout)


def measure_memory(home_root: Path, pythons: dict[str, str]) -> dict:
    """Every probe of PROBES whose release has an interpreter in `pythons`,
    on one store of MEMORY_STORE_SIZE profiles."""
    from qivo.user.connections import manager

    silence_module(manager)
    saved_home = os.environ.get("HOME")
    try:
        store = BenchStore(MEMORY_STORE_SIZE, home_root, manager)
        probes: dict = {method: {} for method in METHODS}
        for method in METHODS:
            for release, kind in PROBES:
                if release not in pythons:
                    continue
                store.restore()
                output = subprocess.run(
                    [pythons[release], str(ENTRY_POINT), "--memory-probe", kind,
                     "--method", method, "--home", str(store.home)],
                    check=True, capture_output=True, text=True,
                ).stdout
                probes[method][f"{release}/{kind}"] = json.loads(output)["peak_bytes"]
        shutil.rmtree(store.home, ignore_errors=True)
    finally:
        if saved_home is None:
            os.environ.pop("HOME", None)
        else:
            os.environ["HOME"] = saved_home
    tracemalloc_peaks = probes["tracemalloc"]
    ratio = tracemalloc_peaks["new/read"] / tracemalloc_peaks["new/tomllib_load"]
    return {
        "store_profiles": MEMORY_STORE_SIZE,
        "file_bytes": len(store.data),
        "peak_bytes": probes,
        "read_ratio": ratio,
        "rss_read_ratio": probes["rss"]["new/read"] / probes["rss"]["new/tomllib_load"],
        "target": MEMORY_TARGET,
        "met": ratio <= MEMORY_TARGET,
    }


IMPORT_LINE = re.compile(r"^import time:\s+(\d+)\s+\|\s+(\d+)\s+\|(\s*)(\S+)\s*$")


def measure_import_time(python: str, runs: int) -> dict:
    """Median self and cumulative import time of the module (-X importtime),
    and the modules it imports itself."""
    samples, own_imports = [], set()
    for _ in range(runs):
        stderr = subprocess.run(
            [python, "-X", "importtime", "-c", f"import {MODULE_NAME}"],
            check=True, capture_output=True, text=True, cwd=tempfile.gettempdir(),
        ).stderr
        lines = [match for match in map(IMPORT_LINE.match, stderr.splitlines()) if match]
        for position, match in enumerate(lines):
            if match.group(4) == MODULE_NAME:
                samples.append({"self_us": int(match.group(1)), "cumulative_us": int(match.group(2))})
                # The imports nested one level under the module's line are the
                # ones it made itself (listed just before it).
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
        "command": f"python -X importtime -c \"import {MODULE_NAME}\"",
        "runs": samples,
        "self_us_median": statistics.median(s["self_us"] for s in samples),
        "cumulative_us_median": statistics.median(s["cumulative_us"] for s in samples),
        "direct_imports": sorted(own_imports),
    }
