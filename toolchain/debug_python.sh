# The stage "pytest on the debug interpreter" of ./dev test, sourced by
# ./dev (after toolchain/debian_root.sh). Debian 13's python3.13-dbg is
# CPython built with Py_DEBUG: it checks reference counts as it goes and
# keeps their total (sys.gettotalrefcount), which the drift test of
# tests/test_leaks.py reads. The stage needs root (debootstrap, chroot,
# mount); elsewhere ./dev test skips it.

DEBUG_PYTHON_ROOT=debug-python
DEBUG_PYTHON_PACKAGES=(python3.13-dbg python3.13-venv python3.13-dev g++ git)

# Whether this machine can run the stage: as root, with debootstrap or apt to
# install it.
debug_python_possible() {
    [ "$(id -u)" = 0 ] && { command -v debootstrap || command -v apt-get; } >/dev/null
}

# Copies the clone's tracked files (as they are in the working tree) into
# /opt/qivo of the debug root, builds the test build there with python3.13d
# (./dev's own pytest setup: a .venv and the build directory that stay in the
# root between runs) and runs pytest on it with -X dev, passing it `args`.
cmd_test_debug_python() {
    with_debian_root_lock "$DEBUG_PYTHON_ROOT" test_debug_python_locked "$@"
}

test_debug_python_locked() {
    make_debian_root "$DEBUG_PYTHON_ROOT" "${DEBUG_PYTHON_PACKAGES[@]}"
    local project
    project=$(debian_root "$DEBUG_PYTHON_ROOT")/opt/qivo
    mkdir -p "$project"
    # The build directory rebuilds what is newer than its objects: the times
    # of one clone's files compare, another clone's need a build of its own.
    [ "$(cat "$project/.clone" 2>/dev/null)" = "$ROOT" ] || rm -rf "$project/build"
    find "$project" -mindepth 1 -maxdepth 1 ! -name .venv ! -name build -exec rm -rf {} +
    git -C "$ROOT" ls-files -z | tar -C "$ROOT" -c --null --ignore-failed-read -T - -f - |
        tar -x -C "$project"
    printf '%s\n' "$ROOT" >"$project/.clone"
    log "building the test build with python3.13d and running the test suite with -X dev"
    # ./dev pytest makes the environment and the test build; its pytest run is
    # only --version, the suite runs with -X dev after it.
    in_debian_root "$DEBUG_PYTHON_ROOT" "cd /opt/qivo
        PYTHON=/usr/bin/python3.13d ./dev pytest --version >/dev/null
        exec .venv/bin/python -X dev -m pytest -p no:cacheprovider ${*@Q}"
}
