"""Coverage-guided differential fuzzing of the native store parser against
the interpreter's own tomllib (run by `./dev fuzz [seconds]`).

Every input is read twice: by the module's `_load_connections_file`, which
parses natively when it can, and by `tomllib.load`. The results must be the
same to the last detail a caller could see (exact types, key order, float
bits, date-time fields, the very tzinfo objects), or both must raise the same
exception type with the same message. libFuzzer saves an input that breaks
this, or that the sanitizers catch, in fuzz/findings/parser/.

The Python code stays uninstrumented: instrumenting tomllib would rightly
turn the module's native path off. Coverage comes from the extension, built
by clang with -fsanitize=fuzzer-no-link.
"""

import functools, io, os, sys, tomllib
from pathlib import Path

import atheris

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from support import assert_same, outcome  # noqa: E402

from qivo.user.connections import manager  # noqa: E402

current = [b""]
# The reader finds the store through these two globals: an existing path (this
# file) and an open() that gives the input as the buffered binary file that
# open() gives, which the module parses natively.
manager.get_connections_file = lambda: Path(__file__)
manager.open = lambda path, mode: io.BufferedReader(io.BytesIO(current[0]))

# How many inputs tomllib parsed for the module (the rest were native).
TOOL = 5
sys.monitoring.use_tool_id(TOOL, "fuzz")
declined = [0]
sys.monitoring.register_callback(TOOL, sys.monitoring.events.PY_START,
                                 lambda code, offset: declined.__setitem__(0, declined[0] + 1))
cases = [0]


def test_one_input(data: bytes) -> None:
    current[0] = data
    sys.monitoring.set_local_events(TOOL, tomllib.load.__code__, sys.monitoring.events.PY_START)
    got = outcome(manager._load_connections_file)
    sys.monitoring.set_local_events(TOOL, tomllib.load.__code__, 0)
    # tomllib is called from the same depth of Python frames as the module
    # calls it (partial adds none), so that deep nesting meets the same limit.
    assert_same(got, outcome(functools.partial(tomllib.load, io.BytesIO(data))))
    cases[0] += 1
    if cases[0] % 200_000 == 0:
        print(f"#{cases[0]}: {100 * (cases[0] - declined[0]) / cases[0]:.1f} % parsed natively",
              file=sys.stderr, flush=True)


if __name__ == "__main__":
    assert manager._load_connections_file is not None and os.environ.get("LD_PRELOAD")
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
