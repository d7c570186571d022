# Coverage-guided fuzzing, sourced by ./dev: `./dev fuzz [seconds]` runs the
# two targets of fuzz/ one after the other, half the time each: the native
# parser against tomllib (parser_differential.py), then the writer's round
# trip (writer_roundtrip.py).
#
# Both run in their own environment .venv-fuzz: the module is built by clang
# with coverage and UBSan (its C checks: the runtime of the C++ ones does not
# load on its own), and atheris's libFuzzer with UBSan's runtime is preloaded
# into the interpreter. A target starts from its kept inputs in
# fuzz/corpus/<target>/, keeps what it learns in build/fuzz-corpus/<target>/
# and writes an input that fails to fuzz/findings/<target>/ (commit it: the
# test suite replays it).

# Builds the fuzzing build into .venv-fuzz (clang-14 from apt when missing).
fuzz_setup() {
    local clang
    clang=$(command -v clang++-14 || command -v clang++ || true)
    if [ -z "$clang" ]; then
        apt_install clang-14
        clang=$(command -v clang++-14)
    fi
    ensure_venv "$ROOT/.venv-fuzz" build test fuzz
    install_module "$ROOT/.venv-fuzz" -Ccmake.define.QIVO_FUZZ=ON \
        -Ccmake.define.CMAKE_CXX_COMPILER="$clang" -Cbuild-dir=build/fuzz
}

# fuzz_target TARGET SCRIPT SECONDS [libFuzzer options]. The target gets a
# scratch directory (in memory where /dev/shm is) in $QIVO_FUZZ_SCRATCH,
# removed when it ends: libFuzzer ends the process with exit(), so Python's
# atexit handlers never run.
fuzz_target() {
    local target=$1 script=$2 seconds=$3 runtime scratch status=0
    shift 3
    runtime=$("$ROOT/.venv-fuzz/bin/python" -c \
        'import atheris, os; print(os.path.join(atheris.path(), "ubsan_with_fuzzer.so"))')
    mkdir -p "build/fuzz-corpus/$target" "fuzz/corpus/$target" "fuzz/findings/$target"
    log "fuzzing the $target for $seconds s (new inputs: build/fuzz-corpus/$target," \
        "findings: fuzz/findings/$target)"
    scratch=$(mktemp -d "$([ -d /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")/qivo-fuzz-XXXXXX")
    QIVO_FUZZ_SCRATCH=$scratch LD_PRELOAD=$runtime UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
        "$ROOT/.venv-fuzz/bin/python" "fuzz/$script" -max_total_time="$seconds" \
        -artifact_prefix="fuzz/findings/$target/" -print_final_stats=1 "$@" \
        "build/fuzz-corpus/$target" "fuzz/corpus/$target" || status=$?
    rm -rf "$scratch"
    return "$status"
}

# Both targets run even when the first one finds something; the command
# fails if either did.
cmd_fuzz() {
    local seconds=${1:-600} status=0
    fuzz_setup
    local half=$(((seconds + 1) / 2))
    fuzz_target parser parser_differential.py "$half" -dict=fuzz/toml.dict || status=1
    fuzz_target writer writer_roundtrip.py "$half" || status=1
    return "$status"
}
