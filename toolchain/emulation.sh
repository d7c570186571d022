# Another architecture under emulation, sourced by ./dev: qemu's user-mode
# emulation registered with binfmt_misc, a Debian 13 root of that
# architecture, and `./dev test --arch ARCH`, which tests the wheel built for
# it there. Uses ./dev's ROOT, VENV, log, as_root, cmd_wheel and the
# report_* functions.

# Lets this machine run `arch` binaries under qemu's user-mode emulation:
# installs qemu-user-static (and debootstrap) with apt when missing, mounts
# binfmt_misc and registers the architecture with it.
enable_emulation() {
    local arch=$1
    if ! command -v "qemu-$arch-static" >/dev/null || ! command -v debootstrap >/dev/null; then
        apt_install qemu-user-static debootstrap
    fi
    local binfmt=/proc/sys/fs/binfmt_misc
    [ -e "$binfmt/register" ] || as_root mount -t binfmt_misc binfmt_misc "$binfmt"
    if [ ! -e "$binfmt/qemu-$arch" ]; then
        as_root sh -c "cat /usr/lib/binfmt.d/qemu-$arch.conf >$binfmt/register"
    fi
}

# A Debian 13 root of `arch` with its Python 3.13, made once and kept in
# build/root-ARCH (the second stage runs under emulation: minutes).
prepare_emulated_root() {
    local arch=$1 root=$2
    [ -e "$root/.ready" ] && return
    local debian_arch=$arch
    [ "$arch" = aarch64 ] && debian_arch=arm64
    log "making a Debian 13 $debian_arch root in $root (once; several minutes under emulation)"
    as_root rm -rf "$root"
    as_root debootstrap --arch="$debian_arch" --foreign --variant=minbase \
        --include=python3.13,python3.13-venv trixie "$root" http://deb.debian.org/debian >/dev/null
    as_root chroot "$root" /debootstrap/debootstrap --second-stage >/dev/null
    as_root touch "$root/.ready"
}

# Runs `script` with bash inside the emulated root, with /proc, /dev and
# /sys mounted for the run only.
in_root() {
    local root=$1 script=$2 point status=0
    for point in proc dev sys; do as_root mount --bind "/$point" "$root/$point"; done
    as_root env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
        chroot "$root" bash -ec "$script" || status=$?
    for point in sys dev proc; do as_root umount "$root/$point"; done
    return "$status"
}

# ./dev test --arch ARCH: the wheel of another architecture, tested under
# emulation in a Debian 13 root of that architecture: the demo, then the test
# suite without the long load tests, from wheels fetched on this machine
# (the root installs everything offline). Not part of ./dev test.
cmd_test_arch() {
    local arch=$1 stage passed=()
    trap 'report_failure "$stage" "${passed[*]}"' ERR
    local dist=$ROOT/build/wheel-dist-$arch root=$ROOT/build/root-$arch
    stage=wheel; rm -rf "$dist"; cmd_wheel --arch "$arch" "$dist"; passed+=("$stage")
    stage="emulated root"; enable_emulation "$arch"; prepare_emulated_root "$arch" "$root"
    passed+=("$stage")
    stage="test requirements"
    log "fetching the test requirements as $arch wheels"
    local wheels=$root/opt/wheels project=$root/opt/project
    as_root rm -rf "$wheels" "$project"
    as_root mkdir -p "$wheels" "$project"
    as_root "$VENV/bin/python" -m pip download -q --only-binary=:all: --python-version 3.13 \
        --implementation cp --abi cp313 --platform "manylinux_2_28_$arch" \
        --platform "manylinux2014_$arch" -r requirements/test.txt -d "$wheels"
    as_root cp "$dist"/*.whl "$wheels"/
    git ls-files -z -- tests examples fuzz pyproject.toml requirements/test.txt |
        as_root tar -c --null -T - -f - | as_root tar -x -C "$project"
    in_root "$root" "rm -rf /opt/venv && python3.13 -m venv /opt/venv
        /opt/venv/bin/pip install -q --no-index --find-links /opt/wheels \
            -r /opt/project/requirements/test.txt qivo-user-connections-manager"
    passed+=("$stage")
    stage=demo; log "running the demo under emulation"
    in_root "$root" "cd /tmp && /opt/venv/bin/python /opt/project/examples/demo.py"; passed+=("$stage")
    stage="pytest under emulation"; log "running the test suite under emulation (not the slow tests)"
    in_root "$root" "cd /opt/project && QIVO_TESTING_WHEEL=1 /opt/venv/bin/python -m pytest \
        -p no:cacheprovider -m 'not slow'"
    passed+=("$stage")
    trap - ERR
    report_success "($arch, emulated)" "${passed[@]}"
}
