# What every command of ./dev needs before it can make a virtual environment
# and build the module, sourced by ./dev: Python 3.13 with its venv module
# (ensurepip) and its headers, and a C++20 compiler. Uses ./dev's log,
# find_python and apt_install.

# Prints one line per missing piece: what it is, then the Debian package that
# provides it.
missing_prerequisites() {
    local python
    if ! python=$(find_python); then
        echo "Python 3.13|python3.13"
        echo "Python 3.13's venv module|python3.13-venv"
        echo "Python 3.13's headers|python3.13-dev"
    else
        "$python" -c 'import ensurepip, venv' 2>/dev/null ||
            echo "Python 3.13's venv module (ensurepip), for $python|python3.13-venv"
        "$python" -c 'import os, sys, sysconfig
sys.exit(not os.path.exists(os.path.join(sysconfig.get_path("include"), "Python.h")))' ||
            echo "Python 3.13's headers (Python.h), for $python|python3.13-dev"
    fi
    local compiler
    for compiler in ${CXX:-} c++ g++ clang++; do
        if command -v "$compiler" >/dev/null &&
            printf '#include <concepts>\nint main() { return 0; }\n' |
            "$compiler" -std=c++20 -x c++ -fsyntax-only - 2>/dev/null; then
            return
        fi
    done
    echo "a C++20 compiler (GCC 10 or newer)|g++"
}

# Checks the prerequisites. Run as root where apt-get is, it installs what is
# missing; otherwise it stops with one message that names everything missing
# and how to install it.
check_prerequisites() {
    local missing
    missing=$(missing_prerequisites)
    [ -n "$missing" ] || return 0
    local packages
    packages=$(cut -d'|' -f2 <<<"$missing" | sort -u | tr '\n' ' ')
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        # shellcheck disable=SC2086 # one word per package
        apt_install $packages
        missing=$(missing_prerequisites)
        [ -n "$missing" ] || return 0
    fi
    {
        echo "error: ./dev cannot build the module; missing:"
        cut -d'|' -f1 <<<"$missing" | sed 's/^/  - /'
        if command -v apt-get >/dev/null; then
            echo "Install them with: sudo apt-get install ${packages% }"
        else
            echo "Install them with your system's package manager (on Debian or Ubuntu:" \
                "apt-get install ${packages% })"
        fi
        echo "or point PYTHON at a Python 3.13 that has its venv module and headers."
    } >&2
    exit 1
}
