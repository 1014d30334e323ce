#!/usr/bin/env bash
# Runs the Windows adapter-counter test (TEST, a .exe) under Wine inside a network namespace of
# its own. Wine's server reads the adapters of the namespace it was started in, so the test gets
# a Wine prefix of its own (PREFIX, kept between runs; made on first use) whose server is started
# inside the namespace and stopped again. The namespace holds 20 veth pairs, so that the adapter
# list outgrows its first buffer, then the target pair and a near namesake.
#
# Usage: adapter_counters_namespace.sh TEST PREFIX
# Run as root. Exits 77 (skipped) when not root or a tool is missing.
set -euo pipefail

test_exe=${1:?test executable}
prefix_dir=${2:?wine prefix}
skip() {
    echo "SKIP: $*"
    exit 77
}
((EUID == 0)) || skip "needs root for a network namespace"
for tool in ip wineserver wineboot /usr/lib/wine/wine64; do
    command -v "$tool" >/dev/null || skip "$tool is missing"
done

ns=hvwc$$
# Linux names have at most 15 bytes, and the longer namesake needs one more.
target=Halvern_$(($$ % 100000))
sender=
cleanup() {
    local status=$?
    trap - EXIT
    set +e
    [[ -n $sender ]] && { kill "$sender" 2>/dev/null; wait "$sender" 2>/dev/null; }
    ip netns exec "$ns" env WINEPREFIX="$prefix_dir" wineserver -k >/dev/null 2>&1 || true
    ip netns delete "$ns" 2>/dev/null || true
    exit "$status"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

ip netns add "$ns"
in_ns() { ip netns exec "$ns" "$@"; }
in_ns ip link set lo up
for i in $(seq 1 20); do
    in_ns ip link add "hvc$i" type veth peer name "hvc${i}p"
    in_ns ip address add "10.78.$i.1/24" dev "hvc$i"
    in_ns ip link set "hvc$i" up
    in_ns ip link set "hvc${i}p" up
done
# The target last, after a namesake one character longer. (No namesake in other letter case:
# Wine keys its interface table by name without regard to case, so two such Linux interfaces
# would share one row there; Windows has no such pair of adapters to tell apart.)
peer=0
for name in "${target}0" "$target"; do
    peer=$((peer + 1))
    in_ns ip link add "$name" type veth peer name "hvq$peer"
    in_ns ip link set "$name" up
    in_ns ip link set "hvq$peer" up
done
in_ns ip address add 10.79.0.1/24 dev "$target"
in_ns ip address add 10.79.1.1/24 dev "${target}0"
# A fixed neighbour, so that datagrams to it leave at once instead of waiting for ARP.
in_ns ip neigh add 10.79.0.2 lladdr 02:00:00:00:00:01 dev "$target" nud permanent

export WINEPREFIX=$prefix_dir WINEDEBUG=-all
# Neither Mono nor Gecko is needed; without them a new prefix is small and quick to make.
export WINEDLLOVERRIDES="mscoree=;mshtml="
mkdir -p "$WINEPREFIX"
in_ns wineserver -p || true
in_ns wineboot --init >"$WINEPREFIX/../wineboot-counters.log" 2>&1 </dev/null || true
# Traffic out of the target for as long as the test runs: 1000-byte datagrams to the neighbour.
# Started without the in_ns function, so that $! is the loop itself ("ip netns exec" execs it).
ip netns exec "$ns" bash -c 'while :; do head -c 1000 /dev/zero >/dev/udp/10.79.0.2/9; sleep 0.005; done' \
    </dev/null >/dev/null 2>&1 &
sender=$!
# Output to a file, never a pipe: Wine's background processes would keep a pipe open.
status=0
in_ns env HALVERN_COUNTERS_ADAPTER="$target" /usr/lib/wine/wine64 "$test_exe" \
    </dev/null >"$WINEPREFIX/../counters-test.log" 2>&1 || status=$?
cat "$WINEPREFIX/../counters-test.log"
((status == 0)) || in_ns ip -s link show "$target"
exit "$status"
