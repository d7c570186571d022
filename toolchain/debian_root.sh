# Debian 13 roots made with debootstrap, cached outside the clone and reused
# by every later run on this machine; sourced by ./dev. Everything here runs
# as root (debootstrap, chroot, mount).
#
#   with_debian_root_lock NAME CMD...  runs CMD holding the lock of root NAME
#   make_debian_root NAME PACKAGE...   makes (once) or reuses the root NAME
#   debian_root NAME                   its directory
#   in_debian_root NAME SCRIPT         runs SCRIPT with bash inside it
#
# The cache is $QIVO_DEV_CACHE (by default /var/cache/qivo-dev), one
# directory per root, with NAME.log holding what making it printed. A root
# records the packages it was made with; asking for another list makes it
# again. Make and use a root under its lock: two clones on one machine then
# neither make it at once nor run in it together.

QIVO_DEV_CACHE=${QIVO_DEV_CACHE:-/var/cache/qivo-dev}
DEBIAN_MIRROR=${DEBIAN_MIRROR:-http://deb.debian.org/debian}

debian_root() {
    printf '%s/%s\n' "$QIVO_DEV_CACHE" "$1"
}

with_debian_root_lock() {
    local name=$1
    shift
    mkdir -p "$QIVO_DEV_CACHE"
    (
        exec 9>"$QIVO_DEV_CACHE/$name.lock"
        flock 9
        "$@"
    )
}

# The mount points at or below `dir`, deepest first.
mounts_below() {
    local dir
    dir=$(realpath -m "$1")
    awk -v dir="$dir" '$2 == dir || index($2, dir "/") == 1 { print $2 }' /proc/mounts | sort -r
}

# Unmounts what a run killed before it could clean up left mounted in `dir`
# (under the root's lock, nothing else can be using it), and fails if
# anything stays: removing the root would then remove what is mounted there,
# the host's /dev say.
release_mounts_below() {
    local point
    for point in $(mounts_below "$1"); do
        umount "$point" 2>/dev/null || umount -l "$point"
    done
    if [ -n "$(mounts_below "$1")" ]; then
        echo "error: something is still mounted in $1; not touching it" >&2
        return 1
    fi
}

# Makes the Debian 13 root NAME with the given packages (and what they depend
# on, without recommendations), or reuses it when it was made with the same
# list. It is made beside its final place and renamed there when complete, so
# an interrupted run leaves nothing that a later one would take for finished.
make_debian_root() {
    local name=$1
    shift
    local root wanted
    root=$(debian_root "$name")
    wanted=$(printf '%s\n' "$@" | sort -u)
    if [ -f "$root/.qivo-packages" ] && [ "$(cat "$root/.qivo-packages")" = "$wanted" ]; then
        return
    fi
    command -v debootstrap >/dev/null || apt_install debootstrap
    local partial=$root.partial output=$QIVO_DEV_CACHE/$name.log
    release_mounts_below "$partial"
    rm -rf "$partial"
    log "making a Debian 13 root in $root with $* (once; a few minutes; output in $output)"
    if ! debootstrap --variant=minbase --include=ca-certificates trixie "$partial" \
        "$DEBIAN_MIRROR" >"$output" 2>&1 ||
        ! in_debian_root_dir "$partial" "apt-get update -qq
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $*
            apt-get clean" >>"$output" 2>&1; then
        tail -n 20 "$output" >&2
        return 1
    fi
    printf '%s\n' "$wanted" >"$partial/.qivo-packages"
    release_mounts_below "$root"
    rm -rf "$root"
    mv "$partial" "$root"
}

# Runs `script` with bash -e inside the root NAME as root, in a clean
# environment. /proc, /sys and /dev are bind-mounted for the run only and
# unmounted on every way out (failure, interruption). The host's CA bundle
# replaces the root's first: this network re-signs HTTPS, and pip in the
# root trusts only what that file holds.
in_debian_root() {
    in_debian_root_dir "$(debian_root "$1")" "$2"
}

in_debian_root_dir() {
    local root=$1 script=$2 point
    for point in proc sys dev; do release_mounts_below "$root/$point"; done
    if [ -f /etc/ssl/certs/ca-certificates.crt ] && [ -d "$root/etc/ssl/certs" ]; then
        cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt"
    fi
    (
        trap 'for point in proc sys dev; do release_mounts_below "$root/$point"; done' EXIT
        trap 'exit 130' INT
        trap 'exit 143' TERM
        for point in proc sys dev; do
            mount --bind "/$point" "$root/$point"
        done
        env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
            LANG=C.UTF-8 TERM="${TERM:-dumb}" chroot "$root" /bin/bash -ec "$script"
    )
}
