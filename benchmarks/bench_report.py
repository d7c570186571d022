"""The report printed at the end of a run: the machine, the table of every
operation against its floor and the previous release, growth, memory and
import time."""

from __future__ import annotations

MIB = 2**20


def format_time(seconds: float) -> str:
    if seconds >= 1:
        return f"{seconds:.3f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds * 1e6:.1f} us"


def verdict(met: bool) -> str:
    return "met" if met else "MISSED"


def print_header(report: dict) -> None:
    machine, load = report["machine"], report["load_average"]
    print(f"Date: {report['started']}; machine: {machine['cpu_model']}, nproc {machine['nproc']}, "
          f"{machine['memory_gib']} GiB, kernel {machine['kernel']}, Python {machine['python']}")
    fs = machine["home_filesystem"]
    print(f"Load average {load['start']} at start, {load['end']} at end; "
          f"stores on {fs['type']} ({fs['device']} at {fs['mount']})")
    dirty = " with uncommitted changes" if machine["git_dirty"] else ""
    print(f"New: commit {machine['git_commit'][:12]}{dirty}, {machine['module']['file']}")
    previous = report["previous"]
    if "skipped" in previous:
        print(f"Previous release: skipped ({previous['skipped']})")
    else:
        print(f"Previous release: {previous['ref']} (commit {previous['commit'][:12]}, "
              f"version {previous['version']}), {previous['venv']}")
    print("Floors: read = tomllib.load of the same file; "
          "change = tomllib.load + durable atomic replace of the same bytes")
    loads = ", ".join(f"{size}: {load}" for size, load in report.get("load_by_size", {}).items())
    print(f"Load average (1 min) at the start of each store size: {loads}")
    if report.get("note"):
        print(f"Note: {report['note']}")


def print_table(rows: list[dict]) -> None:
    header = (f"{'profiles':>8}  {'operation':<23}{'new':>10}{'rsd':>6}  {'kind':<7}"
              f"{'floor':>10}{'new/floor':>10}{'target':>8}  {'met':<7}{'min/min':>7}")
    if any(row["previous"] for row in rows):
        header += f"{'previous':>11}{'new/prev':>9}"
    print(header)
    print("-" * len(header))
    previous_size = None
    for row in rows:
        if previous_size is not None and row["size"] != previous_size:
            print()
        previous_size = row["size"]
        op, previous = row["op"], row["previous"]
        rsd = op["stdev_s"] / op["mean_s"] * 100 if op["mean_s"] else 0.0
        line = (f"{row['size']:>8}  {row['label']:<23}{format_time(op['median_s']):>10}"
                f"{rsd:>5.1f}%  {row['kind']:<7}{format_time(row['floor']['median_s']):>10}"
                f"{row['ratio']:>10.3f}{'<=' + format(row['target'], '.2f'):>8}  "
                f"{verdict(row['met']):<7}{row['ratio_of_minimums']:>7.3f}")
        if previous:
            line += f"{format_time(previous['median_s']):>11}{row['new_over_previous']:>9.3f}"
        print(line)


def print_growth(growth: dict, labels: dict[str, str]) -> None:
    print(f"Growth from {growth['from_profiles']:,} to {growth['to_profiles']:,} profiles "
          f"(linear = {growth['expected']:.0f}x), medians:")
    print(f"  {'operation':<23}{'new':>8}{'target':>8}  {'met':<7}{'min/min':>8}{'previous':>10}")
    for key, entry in growth["operations"].items():
        previous = entry["previous_ratio"]
        print(f"  {labels[key]:<23}{entry['ratio']:>7.2f}x{'<=' + format(entry['target'], '.0f'):>8}  "
              f"{verdict(entry['met']):<7}{entry['ratio_of_minimums']:>7.2f}x"
              + (f"{previous:>9.2f}x" if previous else ""))
    floors = ", ".join(f"{key} {ratio:.2f}x" for key, ratio in growth["floors"].items())
    print(f"  floors: {floors}")


def print_memory(memory: dict) -> None:
    print(f"Peak memory on the {memory['store_profiles']:,}-profile store "
          f"({memory['file_bytes']:,} bytes), one call in a fresh process:")
    print(f"  {'':<26}{'read':>10}{'save':>10}{'tomllib.load':>14}")
    for method, label in (("tracemalloc", "tracemalloc"), ("rss", "peak RSS growth")):
        peaks = memory["peak_bytes"][method]
        for release in ("new", "previous"):
            if f"{release}/read" not in peaks:
                continue
            load = peaks.get(f"{release}/tomllib_load")
            print(f"  {label + ', ' + release:<26}{peaks[release + '/read'] / MIB:>6.2f} MiB"
                  f"{peaks[release + '/save'] / MIB:>6.2f} MiB"
                  + (f"{load / MIB:>10.2f} MiB" if load is not None else ""))
    print(f"  read (_load_connections_file) / tomllib.load: tracemalloc {memory['read_ratio']:.3f} "
          f"(target <= {memory['target']:.2f}: {verdict(memory['met'])}), "
          f"peak RSS growth {memory['rss_read_ratio']:.3f}")


def print_import_times(imports: dict) -> None:
    for release, figures in imports.items():
        print(f"Import time, {release} ({figures['command']}, median of {len(figures['runs'])} runs): "
              f"self {figures['self_us_median']:.0f} us, cumulative {figures['cumulative_us_median']:.0f} us")
        if figures["direct_imports"]:
            print(f"  imported by it: {', '.join(figures['direct_imports'])}")


def print_report(report: dict) -> None:
    from bench_store import OPERATIONS

    print()
    print_header(report)
    print()
    print_table(report["results"])
    if report.get("drifted_floors"):
        print(f"\nDISTURBED: floor medians after/before the operations differ by more than 10 % "
              f"({'; '.join(report['drifted_floors'])}): rerun those sizes (--sizes)")
    if report.get("growth"):
        print()
        print_growth(report["growth"], {key: label for key, _, label in OPERATIONS})
    if report.get("memory"):
        print()
        print_memory(report["memory"])
    if report.get("import_time"):
        print()
        print_import_times(report["import_time"])
