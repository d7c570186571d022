# The checks of the sources that ./dev test runs first, sourced by ./dev:
# formatting, the lines between the layers, function size, and ruff. Uses
# ./dev's VENV and log.

cmd_format_check() {
    log "checking C++ formatting"
    find src -name '*.cpp' -o -name '*.h' | xargs "$VENV/bin/clang-format" --dry-run --Werror
}

# Prints `message` and the offending lines, if any; returns whether there
# were none.
no_hits() {
    local message=$1 hits=$2
    [ -z "$hits" ] && return 0
    printf '%s:\n%s\n' "$message" "$hits" >&2
    return 1
}

# The lines between the parts of the source:
# - runtime/ includes nothing outside runtime/; toml/ (the format) includes
#   only runtime/ and toml/, and its parser and renderer neither include the
#   other; store/ (the file) never includes operations/;
# - the file layer (store/ below the reader and the writer) never sees the
#   module's globals, not even through change.h, location.h or writer.h;
# - no file but the door to the module's globals (module_globals.*) and the
#   module definition spells a global's name as a string
#   (toml/tomllib_snapshot.cpp names the standard library's own `tomllib` and
#   `os` modules, which it checks, and store/system_calls.cpp the system
#   calls: not globals);
# - no object file but store/system_calls.cpp's calls the C library's file
#   system calls (nm lists what each one calls): every one goes through the
#   one seam, posix::.
cmd_layout_check() {
    log "checking the source layout"
    local src=src/qivo/user/connections status=0 globals
    no_hits "runtime/ includes files outside runtime/" \
        "$(grep -rn '#include "' "$src/runtime" | grep -v '#include "runtime/')" || status=1
    no_hits "toml/ includes files outside runtime/ and toml/" \
        "$(grep -rn '#include "' "$src/toml" | grep -vE '#include "(runtime|toml)/')" || status=1
    no_hits "the parser and the renderer include each other" \
        "$(grep -n '#include "toml/text.h"' "$src"/toml/parser.*
           grep -n '#include "toml/parser.h"' "$src"/toml/text.*)" || status=1
    no_hits "store/ includes operations/" "$(grep -rn '#include "operations/' "$src/store")" || status=1
    no_hits "the file layer includes the module's globals" \
        "$(grep -nE '#include "(module_globals|store/(change|location|reader|writer))\.h"' \
            "$src"/store/{posix_file,system_calls,temporary_file,staged_file,lock}.*)" || status=1
    globals=$("$VENV/bin/python" -c 'from qivo.user.connections import manager as m
print("|".join([n for n in vars(m) if not n.startswith("__")] + ["open", "print"]))')
    no_hits "global names spelt outside module_globals.*" \
        "$(grep -rnE "\"($globals)\"" "$src" --include='*.cpp' --include='*.h' |
            grep -vE "^$src/(module_globals\.(h|cpp)|manager\.cpp|toml/tomllib_snapshot\.cpp|store/system_calls\.cpp):")" ||
        status=1
    local calls='open|openat|creat|read|pread|write|pwrite|stat|lstat|fstat|statx|access|faccessat'
    calls+='|flock|fcntl|fchmod|chmod|fchown|chown|lchown|fsync|fdatasync|link|linkat|symlink|symlinkat'
    calls+='|rename|renameat|renameat2|unlink|unlinkat|mkdir|mkdirat|rmdir|readlink|readlinkat|getrandom'
    calls+='|truncate|ftruncate|opendir|fdopendir|readdir|dup|dup2|dup3|mknod|utimensat|futimens'
    local source object found=0
    for source in $(find "$src" -name '*.cpp' ! -name system_calls.cpp); do
        for object in build/cp313*/CMakeFiles/manager.dir/"$source".o; do
            [ -f "$object" ] || continue
            found=1
            no_hits "$object calls the C library's file system calls outside posix::" \
                "$(nm -u "$object" | awk '{print $2}' | grep -xE "(__)?($calls)(64)?(_2|_chk)?(@.*)?")" ||
                status=1
        done
    done
    [ "$found" = 1 ] || { echo "no object files of the module to check: build it first" >&2; status=1; }
    return "$status"
}

# No C++ function above cyclomatic complexity 15 or 60 lines.
cmd_complexity_check() {
    log "checking the size and complexity of the C++ functions"
    "$VENV/bin/lizard" --CCN 15 --length 60 --warnings_only src
}

cmd_lint_python() {
    log "checking the Python code with ruff"
    "$VENV/bin/ruff" check --quiet tests benchmarks examples fuzz
}
