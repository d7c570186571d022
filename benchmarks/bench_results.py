"""The targets, and the figures drawn from the pyperf files: medians, ratios to
the floors and to the previous release, growth with the store's size."""

from __future__ import annotations

import statistics
from pathlib import Path

from bench_store import FLOORS, OPERATIONS
from bench_timing import FLOOR_PASSES, benchmark_name

# Most operation/floor ratio of the medians, by kind of operation, from a store
# size on: (smallest size, target), smallest first.
RATIO_TARGETS = {
    "read": ((1, 0.80), (100, 0.15), (1_000, 0.10)),
    "change": ((1, 1.50), (100, 0.50), (1_000, 0.25)),
}
GROWTH_SIZES = (1_000, 10_000)
GROWTH_TARGET = 12.0  # most time(10,000 profiles) / time(1,000 profiles)
MEMORY_TARGET = 1.0  # most read peak / tomllib.load peak (tracemalloc)
FLOOR_DRIFT_LIMIT = 1.10  # most after/before (or before/after) median of a floor


def ratio_target(kind: str, size: int) -> float:
    return [target for smallest, target in RATIO_TARGETS[kind] if size >= smallest][-1]


def summarize(bench) -> dict:
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


def collect_floors(suite, size: int) -> dict:
    """Each floor over both of its passes (before and after the operations)."""
    floors = {}
    for floor_key, floor_label in FLOORS.values():
        passes, values = {}, []
        for floor_pass in FLOOR_PASSES:
            bench = suite.get_benchmark(benchmark_name(floor_key, size, floor_pass))
            passes[floor_pass] = summarize(bench)
            values += bench.get_values()
        floors[floor_key] = {
            "label": floor_label,
            "median_s": statistics.median(values),
            "min_s": min(values),
            "values": len(values),
            "passes": passes,
            # A floor does the same work before and after the operations: a
            # difference means the machine's load changed during this size.
            "drift": passes["after"]["median_s"] / passes["before"]["median_s"],
        }
    return floors


def collect(files: dict[int, Path], with_previous: bool) -> tuple[list[dict], dict[int, dict]]:
    """One row per store size and operation; the floors by store size."""
    import pyperf

    rows, floors_by_size = [], {}
    for size, path in files.items():
        suite = pyperf.BenchmarkSuite.load(str(path))
        floors_by_size[size] = floors = collect_floors(suite, size)
        for key, kind, label in OPERATIONS:
            measured = summarize(suite.get_benchmark(benchmark_name(key, size)))
            floor = floors[FLOORS[kind][0]]
            ratio = measured["median_s"] / floor["median_s"]
            target = ratio_target(kind, size)
            row = {
                "size": size, "operation": key, "label": label, "kind": kind,
                "op": measured,
                "floor": {"name": floor["label"], "median_s": floor["median_s"],
                          "min_s": floor["min_s"]},
                "ratio": ratio,
                # Fastest against fastest: less sensitive to other processes
                # competing for the disk or the CPUs than the medians.
                "ratio_of_minimums": measured["min_s"] / floor["min_s"],
                "target": target,
                "met": ratio <= target,
                "previous": None,
            }
            if with_previous:
                previous = summarize(suite.get_benchmark(benchmark_name(key, size, "previous")))
                row["previous"] = previous
                row["new_over_previous"] = measured["median_s"] / previous["median_s"]
            rows.append(row)
    return rows, floors_by_size


def drifted_floors(floors_by_size: dict[int, dict]) -> list[str]:
    """`size floor after/before` for each floor whose passes differ too much."""
    return [
        f"{size} {key} {floor['drift']:.2f}"
        for size, floors in floors_by_size.items()
        for key, floor in floors.items()
        if max(floor["drift"], 1 / floor["drift"]) > FLOOR_DRIFT_LIMIT
    ]


def growth(rows: list[dict], floors_by_size: dict[int, dict]) -> dict:
    """time(10,000 profiles) / time(1,000 profiles) of every operation, of the
    previous release's and of the floors; empty unless both sizes ran."""
    small, large = GROWTH_SIZES
    if small not in floors_by_size or large not in floors_by_size:
        return {}
    by_key = {(row["size"], row["operation"]): row for row in rows}
    operations = {}
    for key, _, _ in OPERATIONS:
        before, after = by_key[(small, key)], by_key[(large, key)]
        ratio = after["op"]["median_s"] / before["op"]["median_s"]
        entry = {
            "ratio": ratio,
            "ratio_of_minimums": after["op"]["min_s"] / before["op"]["min_s"],
            "target": GROWTH_TARGET,
            "met": ratio <= GROWTH_TARGET,
            "previous_ratio": None,
        }
        if before["previous"] and after["previous"]:
            entry["previous_ratio"] = after["previous"]["median_s"] / before["previous"]["median_s"]
        operations[key] = entry
    floors = {
        key: floors_by_size[large][key]["median_s"] / floors_by_size[small][key]["median_s"]
        for key, _ in FLOORS.values()
    }
    return {"from_profiles": small, "to_profiles": large, "expected": large / small,
            "operations": operations, "floors": floors}
