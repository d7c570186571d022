# The file-system stage of ./dev test (sourced by ./dev, which defines log,
# apt_install, ROOT and VENV): the store and operations tests, the killed-writer test
# among them, with the home on each file system a home or project folder
# lives on. Kernel file systems: ext4, xfs and btrfs on loop images, tmpfs,
# an overlay. FUSE file systems, with default options: bindfs of a local
# directory, sshfs to an sshd started for the run on 127.0.0.1, and
# exfat-fuse on a loop image (no hard links, no permission bits).
#
# Everything lives under one scratch directory, /tmp/qivo-fs.XXXXXX. Whatever
# happens (a failed mount, a failed test, Ctrl-C, SIGTERM), the stage ends by
# stopping its test runs, unmounting every file system, detaching its loop
# devices, stopping its sshd and removing the scratch directory.
#
# QIVO_FILE_SYSTEMS="ext4 sshfs" runs a subset; QIVO_FS_PARALLEL (default 2)
# is how many file systems are tested at once. Logs: build/file-systems/.

FS_ALL=(ext4 xfs btrfs tmpfs overlay bindfs sshfs exfat-fuse)
FS_PACKAGES=(e2fsprogs xfsprogs btrfs-progs fuse3 bindfs sshfs openssh-server exfat-fuse exfatprogs)

# Prints why the stage cannot run here and succeeds, or fails when it can.
fs_unavailable() {
    if [ "$(id -u)" != 0 ]; then
        echo "not root"
    elif [ ! -e /dev/loop-control ]; then
        echo "no loop devices"
    elif [ ! -c /dev/fuse ]; then
        echo "no /dev/fuse"
    elif ! command -v apt-get >/dev/null; then
        echo "no apt-get to install the file systems' tools"
    else
        return 1
    fi
}

fs_install_packages() {
    local package missing=()
    for package in "${FS_PACKAGES[@]}"; do
        [ "$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)" = "install ok installed" ] ||
            missing+=("$package")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    apt_install "${missing[@]}"
}

# A sparse image of `size` formatted by `mkfs...`, attached to a loop device
# (remembered for the cleanup); prints the device.
fs_loop_image() {
    local name=$1 size=$2
    shift 2
    local image=$FS_SCRATCH/$name.img
    truncate -s "$size" "$image"
    "$@" "$image" >/dev/null 2>&1
    local device
    device=$(losetup --find --show "$image")
    FS_LOOPS+=("$device")
    echo "$device"
}

# Mounts file system `kind` at `point`; the mount is remembered for the
# cleanup as soon as it exists.
fs_mount() {
    local kind=$1 point=$2 device
    mkdir -p "$point"
    case $kind in
    ext4)
        fs_loop_image ext4 256M mkfs.ext4 -q -F >"$FS_SCRATCH/device"
        mount "$(cat "$FS_SCRATCH/device")" "$point"
        ;;
    xfs) # 300 MB is the smallest xfs mkfs.xfs makes
        fs_loop_image xfs 320M mkfs.xfs -q -f >"$FS_SCRATCH/device"
        mount "$(cat "$FS_SCRATCH/device")" "$point"
        ;;
    btrfs)
        fs_loop_image btrfs 256M mkfs.btrfs -q -f >"$FS_SCRATCH/device"
        mount "$(cat "$FS_SCRATCH/device")" "$point"
        ;;
    tmpfs) mount -t tmpfs -o size=256m,mode=0755 tmpfs "$point" ;;
    overlay) # as a container's root: the homes' parent comes from the lower layer
        mkdir -p "$FS_SCRATCH/overlay/lower/homes" "$FS_SCRATCH/overlay/upper" \
            "$FS_SCRATCH/overlay/work"
        local layers=$FS_SCRATCH/overlay
        mount -t overlay overlay \
            -o "lowerdir=$layers/lower,upperdir=$layers/upper,workdir=$layers/work" "$point"
        ;;
    bindfs)
        mkdir -p "$FS_SCRATCH/bindfs-source"
        bindfs "$FS_SCRATCH/bindfs-source" "$point"
        ;;
    sshfs)
        fs_start_sshd
        mkdir -p "$FS_SCRATCH/sshfs-source"
        local ssh=$FS_SCRATCH/ssh
        # In a session of its own: a Ctrl-C must not reach its ssh before the cleanup.
        setsid sshfs -F /dev/null -p "$(cat "$ssh/port")" -o IdentityFile="$ssh/client_key" \
            -o IdentitiesOnly=yes -o BatchMode=yes -o UserKnownHostsFile="$ssh/known_hosts" \
            "root@127.0.0.1:$FS_SCRATCH/sshfs-source" "$point"
        ;;
    exfat-fuse) # the FUSE driver, whatever the kernel has
        fs_loop_image exfat 256M mkfs.exfat >"$FS_SCRATCH/device"
        mount.exfat-fuse "$(cat "$FS_SCRATCH/device")" "$point" 2>/dev/null
        ;;
    esac
    FS_MOUNTS+=("$point")
    mkdir -p "$point/homes"
    chmod 0755 "$point" "$point/homes" # another user reaches the homes (where it can)
}

# An sshd of this run only: 127.0.0.1, a free port, its own host key, config
# and pid file, root logging in with a key of its own.
fs_start_sshd() {
    local ssh=$FS_SCRATCH/ssh attempt
    mkdir -p "$ssh"
    chmod 0700 "$ssh"
    ssh-keygen -q -t ed25519 -N '' -C qivo-fs-host -f "$ssh/host_key"
    ssh-keygen -q -t ed25519 -N '' -C qivo-fs-client -f "$ssh/client_key"
    cp "$ssh/client_key.pub" "$ssh/authorized_keys"
    mkdir -p /run/sshd # its privilege separation directory
    for attempt in 1 2 3; do
        "$VENV/bin/python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])' >"$ssh/port"
        cat >"$ssh/sshd_config" <<EOF
ListenAddress 127.0.0.1
Port $(cat "$ssh/port")
HostKey $ssh/host_key
PidFile $ssh/sshd.pid
AuthorizedKeysFile $ssh/authorized_keys
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
Subsystem sftp /usr/lib/openssh/sftp-server
EOF
        echo "[127.0.0.1]:$(cat "$ssh/port") $(cat "$ssh/host_key.pub")" >"$ssh/known_hosts"
        /usr/sbin/sshd -f "$ssh/sshd_config" -E "$ssh/sshd.log"
        # The daemon writes its pid file once it listens, or exits.
        local wait
        for wait in $(seq 50); do
            [ -s "$ssh/sshd.pid" ] && return 0
            sleep 0.1
        done
        log "sshd did not start (attempt $attempt):"
        cat "$ssh/sshd.log" >&2
    done
    return 1
}

fs_unmount() {
    local point=$1 try
    mountpoint -q "$point" || return 0
    for try in 1 2 3 4 5 6 7 8 9 10; do
        umount "$point" 2>/dev/null && return 0
        sleep 0.5
    done
    log "$point is still busy: unmounting it lazily"
    umount -l "$point"
}

# Runs on every exit of the stage's subshell; keeps the stage's status.
fs_cleanup() {
    local status=$? job point device index
    set +e
    for job in "${FS_JOBS[@]}"; do kill -TERM -- "-$job" 2>/dev/null; done
    for job in "${FS_JOBS[@]}"; do wait "$job" 2>/dev/null; done
    for ((index = ${#FS_MOUNTS[@]} - 1; index >= 0; index--)); do
        fs_unmount "${FS_MOUNTS[index]}" || status=1
    done
    for device in "${FS_LOOPS[@]}"; do losetup -d "$device" || status=1; done
    local pid_file=$FS_SCRATCH/ssh/sshd.pid
    if [ -s "$pid_file" ]; then
        local pid
        pid=$(cat "$pid_file")
        kill -TERM "$pid"
        while kill -0 "$pid" 2>/dev/null; do sleep 0.1; done
    fi
    if grep -qF " $FS_SCRATCH/" /proc/mounts; then
        log "still mounted after the cleanup (the scratch directory $FS_SCRATCH is kept):"
        grep -F " $FS_SCRATCH/" /proc/mounts >&2
        status=1
    else
        rm -rf "$FS_SCRATCH"
    fi
    exit "$status"
}

# Starts the tests of file system `kind` in the background, in a process
# group of their own (the cleanup stops the whole group).
fs_start_tests() {
    local kind=$1
    shift
    (
        export QIVO_TEST_HOME_ROOT=$FS_SCRATCH/mnt/$kind/homes
        cd "$ROOT"
        exec setsid "$VENV/bin/python" -m pytest -p no:cacheprovider -q \
            tests/store tests/operations "$@" >"$FS_LOGS/$kind.log" 2>&1
    ) &
    FS_JOBS[$kind]=$!
}

# The last line of pytest's output for `kind`, and its failures.
fs_report() {
    local kind=$1 seconds=$2 status=$3
    local summary
    summary=$(grep -E ' in [0-9.]+s' "$FS_LOGS/$kind.log" | tail -n 1 | tr -d '=' | xargs || true)
    printf '    %-10s %4d s  %s\n' "$kind" "$seconds" "${summary:-exit status $status}" >&2
    [ "$status" != 0 ] || return 0
    local failures
    failures=$(grep -E '^(FAILED|ERROR) ' "$FS_LOGS/$kind.log" || true)
    [ -z "$failures" ] || head -n 20 <<<"$failures" | sed 's/^/        /' >&2
    local more=$(($(grep -c . <<<"$failures") - 20))
    [ "$more" -le 0 ] || printf '        ... and %d more in %s\n' "$more" "$FS_LOGS/$kind.log" >&2
}

# The stage: mounts every file system, tests them QIVO_FS_PARALLEL at a time,
# reports each one's result and time. Extra arguments go to pytest.
fs_stage() (
    local reason
    if reason=$(fs_unavailable); then
        log "the file systems cannot be tested here: $reason"
        return 1
    fi
    # Globals of this subshell: the cleanup reads them after the function ends.
    FS_SCRATCH=$(mktemp -d /tmp/qivo-fs.XXXXXX)
    FS_MOUNTS=() FS_LOOPS=()
    declare -gA FS_JOBS=()
    local -A started=() statuses=() seconds=()
    trap fs_cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    chmod 0755 "$FS_SCRATCH"
    FS_LOGS=$ROOT/build/file-systems
    rm -rf "$FS_LOGS"
    mkdir -p "$FS_LOGS"
    fs_install_packages
    local kinds kind
    read -r -a kinds <<<"${QIVO_FILE_SYSTEMS:-${FS_ALL[*]}}"
    for kind in "${kinds[@]}"; do
        case " ${FS_ALL[*]} " in *" $kind "*) ;; *) log "unknown file system: $kind"; return 2 ;; esac
    done
    for kind in "${kinds[@]}"; do fs_mount "$kind" "$FS_SCRATCH/mnt/$kind"; done
    log "mounted under $FS_SCRATCH/mnt: ${kinds[*]}"
    log "testing the store and operations on each, ${QIVO_FS_PARALLEL:-2} at a time (logs: $FS_LOGS)"
    local next=0 finished status begun=$SECONDS
    while [ "$next" -lt "${#kinds[@]}" ] || [ "${#FS_JOBS[@]}" -gt 0 ]; do
        if [ "$next" -lt "${#kinds[@]}" ] && [ "${#FS_JOBS[@]}" -lt "${QIVO_FS_PARALLEL:-2}" ]; then
            kind=${kinds[next]}
            next=$((next + 1))
            started[$kind]=$SECONDS
            fs_start_tests "$kind" "$@"
            continue
        fi
        status=0
        wait -n -p finished "${FS_JOBS[@]}" || status=$?
        for kind in "${!FS_JOBS[@]}"; do
            [ "${FS_JOBS[$kind]}" = "$finished" ] || continue
            unset "FS_JOBS[$kind]"
            statuses[$kind]=$status
            seconds[$kind]=$((SECONDS - started[$kind]))
        done
    done
    log "file systems tested in $((SECONDS - begun)) s (each: seconds, pytest's result):"
    local failed=0
    for kind in "${kinds[@]}"; do
        fs_report "$kind" "${seconds[$kind]}" "${statuses[$kind]}"
        [ "${statuses[$kind]}" = 0 ] || failed=1
    done
    return "$failed"
)
