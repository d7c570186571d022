# `./dev fresh-machine [command]`, sourced by ./dev (after
# toolchain/debian_root.sh): what a new user meets. A bare Debian 13 root
# holding only python3.13, git and CA certificates is made once and cached;
# each run mounts a throwaway overlay over it, copies the clone's tracked
# files in and runs `./dev demo` (or the given ./dev command) there as root,
# so that ./dev must install everything else itself. The overlay's upper
# layer is thrown away afterwards: the cached root stays bare.

FRESH_MACHINE_ROOT=bare-python

cmd_fresh_machine() {
    with_debian_root_lock "$FRESH_MACHINE_ROOT" fresh_machine_locked "${@:-demo}"
}

fresh_machine_locked() {
    make_debian_root "$FRESH_MACHINE_ROOT" python3.13 git
    local scratch
    scratch=$(mktemp -d /tmp/qivo-fresh.XXXXXX)
    mkdir -p "$scratch"/{upper,work,merged}
    (
        trap 'release_mounts_below "$scratch/merged"; rm -rf "$scratch"' EXIT
        trap 'exit 130' INT
        trap 'exit 143' TERM
        mount -t overlay overlay -o "lowerdir=$(debian_root "$FRESH_MACHINE_ROOT"),upperdir=$scratch/upper,workdir=$scratch/work" \
            "$scratch/merged"
        mkdir -p "$scratch/merged/opt/qivo"
        git -C "$ROOT" ls-files -z | tar -C "$ROOT" -c --null --ignore-failed-read -T - -f - |
            tar -x -C "$scratch/merged/opt/qivo"
        log "running ./dev $* on a bare Debian 13 (python3.13, git, CA certificates)"
        in_debian_root_dir "$scratch/merged" "cd /opt/qivo && ./dev ${*@Q}"
    )
}
