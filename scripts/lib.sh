# shellcheck shell=bash
# What the demo, the topology and the shell tests share: bounded waits, ending a process, the
# client namespace's routes and resolver as they stand, and a mount namespace of a script's own.
# Sourced, never run.

lib_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP: $*"; exit 77; }

# eventually SECONDS COMMAND...: true once COMMAND succeeds, tried every 20 ms; false after SECONDS.
eventually() {
    local tries=$(($1 * 50))
    shift
    while ((tries-- > 0)); do
        "$@" && return 0
        sleep 0.02
    done
    return 1
}

# alive PID...: true while any of them runs (a zombie has ended; an empty PID names none).
alive() {
    local pid state
    for pid; do
        state=$(ps -o stat= -p "$pid" 2>/dev/null) && [[ $state != Z* ]] && return 0
    done
    return 1
}
gone() { ! alive "$@"; }

# stop_pid PID [SECONDS]: SIGTERM, up to SECONDS (2) for it to end, then SIGKILL; false if it
# outlives even that.
stop_pid() {
    alive "$1" || return 0
    kill -TERM "$1" 2>/dev/null || return 0
    eventually "${2:-2}" gone "$1" && return 0
    kill -KILL "$1" 2>/dev/null || true
    eventually 2 gone "$1"
}

# answering PID COMMAND...: waits up to 5 s for COMMAND to succeed (quietly), for as long as PID
# runs. A socket file appears at bind(), a moment before listen(): a server is up once it answers.
answering() {
    local pid=$1 tries=250
    shift
    while ((tries-- > 0)); do
        "$@" >/dev/null 2>&1 && return 0
        kill -0 "$pid" 2>/dev/null || { echo "process $pid ended before it answered" >&2; return 1; }
        sleep 0.02
    done
    echo "process $pid did not answer in 5 s" >&2
    return 1
}

# topology_up PREFIX DIR: scripts/e2e-topology's namespaces, with their variables in this shell and
# the client's proxy configuration in DIR.json.
topology_up() {
    "$lib_dir/e2e-topology" up "$1" "$2" >"$2.env" || return 1
    # shellcheck source=/dev/null
    source "$2.env"
    "$lib_dir/e2e-topology" client-config "$1" "$2" >"$2.json"
}

# routes NS: every routing table of namespace NS ("all" with no family: IPv4 and IPv6).
routes() { ip -n "$1" route show table all; }
# resolver NS: the resolv.conf that "ip netns exec" gives NS, with its mode.
resolver() { cat "/etc/netns/$1/resolv.conf" && stat -c %a "/etc/netns/$1/resolv.conf"; }

# private_mounts [--net] SCRIPT ARG...: runs SCRIPT again in a mount namespace of its own, so that
# what it mounts goes with it; returns at once in SCRIPT's own (the mark names the script, so
# another script that SCRIPT runs still gets one of its own). With --net, in a network namespace
# of its own as well, whose loopback it brings up: no listener elsewhere on the machine (another
# checkout's test on 127.0.0.1:10807, say) can meet the script's daemon.
private_mounts() {
    local net=()
    [[ $1 == --net ]] && { net=(--net); shift; }
    if [[ ${HALVERN_PRIVATE_MOUNTS:-} == "$1" ]]; then
        [[ -z ${HALVERN_PRIVATE_NET:-} ]] || ip link set lo up
        return 0
    fi
    HALVERN_PRIVATE_MOUNTS=$1 HALVERN_PRIVATE_NET=${net[*]} \
        exec unshare --mount --propagation private "${net[@]}" -- "$@"
}
# scratch_etc DIR: a copy of /etc in DIR over /etc (inside private_mounts only).
scratch_etc() { cp -a /etc/. "$1" && mount --bind "$1" /etc; }
