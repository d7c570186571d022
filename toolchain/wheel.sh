# The manylinux wheel, sourced by ./dev: built by zig's clang against the
# stubs of glibc 2.28 with its own libc++ linked statically (whatever
# compiler this host has), then repaired and checked by auditwheel.
# Uses ./dev's ROOT, VENV, log, ensure_venv and pip_quiet.

# Writes the wrapper scripts that make zig's clang, ar and ranlib the
# toolchain of toolchain/zig.cmake, for glibc 2.28 on `arch`.
write_zig_wrappers() {
    local bin=$1 arch=$2 tool
    mkdir -p "$bin"
    for tool in c++ ar ranlib; do
        local command=$tool
        [ "$tool" = c++ ] && command="c++ -target $arch-linux-gnu.2.28"
        printf '#!/bin/sh\nexec "%s" -m ziglang %s "$@"\n' "$VENV/bin/python" "$command" >"$bin/$tool"
        chmod +x "$bin/$tool"
    done
}

# Builds the wheel with zig's clang (glibc 2.28 stubs, its own libc++ linked
# statically, whatever compiler this host has) and repairs it with auditwheel
# into a manylinux_2_28 wheel, in dist/ or the given directory.
cmd_wheel() {
    local out=$ROOT/dist arch
    arch=$(uname -m)
    while [ $# -gt 0 ]; do
        case $1 in
        --arch) arch=$2; shift 2 ;;
        *) out=$1; shift ;;
        esac
    done
    ensure_venv "$VENV"
    local tools=$ROOT/build/zig-$arch
    local raw=$tools/wheel-raw
    write_zig_wrappers "$tools/bin" "$arch"
    rm -rf "$raw"
    mkdir -p "$raw" "$out"
    # The Python headers, staged with their real pyconfig.h: this
    # interpreter's, or another architecture's from Debian's package for it.
    local headers=$ROOT/build/python-headers-$arch source=host
    [ "$arch" = "$(uname -m)" ] || source=$arch
    "$VENV/bin/python" "$ROOT/toolchain/python_headers.py" "$source" "$headers" >&2
    log "building the $arch wheel with zig's clang (glibc 2.28, static libc++)"
    (
        export QIVO_TARGET_ARCH=$arch QIVO_ZIG_WRAPPERS=$tools/bin
        if [ "$source" != host ]; then
            export _PYTHON_HOST_PLATFORM=linux-$arch
            export SETUPTOOLS_EXT_SUFFIX=.cpython-313-$arch-linux-gnu.so
        fi
        pip_quiet "$VENV" wheel --no-build-isolation --no-deps -w "$raw" \
            -Ccmake.args=--toolchain="$ROOT/toolchain/zig.cmake" -Cbuild-dir="$tools/build" \
            -Ccmake.define.Python_INCLUDE_DIR="$headers/python3.13" "$ROOT"
    )
    # auditwheel names the policy itself for another architecture (it refuses
    # to be told one it does not run on); the tag is checked instead.
    local policy=manylinux_2_28_$arch
    [ "$source" = host ] || policy=auto
    log "repairing it for manylinux_2_28"
    local repaired=$tools/repaired
    rm -rf "$repaired"
    PATH="$VENV/bin:$PATH" "$VENV/bin/auditwheel" repair --plat "$policy" -w "$repaired" \
        "$raw"/*.whl >&2
    local wheel
    wheel=$(echo "$repaired"/*.whl)
    if ! [[ $wheel =~ manylinux_2_([0-9]+)_$arch\.whl$ ]] || [ "${BASH_REMATCH[1]}" -gt 28 ]; then
        echo "error: $wheel is not a manylinux_2_28 (or older) wheel" >&2
        return 1
    fi
    mv "$wheel" "$out"/
    log "wheel: $out/$(basename "$wheel")"
}
