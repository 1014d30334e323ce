#!/usr/bin/env bash
# Proves the end-to-end harness without the service: in the client namespace of a fresh
# topology it starts the core (through the xray shim) and our bridge, runs by hand the commands
# that the service runs to move the default route onto the tunnel, fetches the page with a plain
# curl, and checks that the request reached the HTTP server from the proxy server's address,
# through the TUN device. Then it takes the tunnel down as the service does and checks that the
# routing table is back and that nothing it started is left.
#
# Usage: manual_tunnel_test.sh BIN
#   BIN holds "xray" (the shim) and "tun2socks" (our bridge), as the build puts them together.
# Run as root. Exits 77 (skipped) when not root or a tool is missing, 0 on success.

# The snippets run by "bash -c" in the namespace expand their own variables.
# shellcheck disable=SC2016
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
topology=$here/../../scripts/e2e-topology
bin=${1:-}
shim=$bin/xray
bridge=$bin/tun2socks

skip() {
    echo "SKIP: $*"
    exit 77
}
((EUID == 0)) || skip "needs root (network namespaces, a TUN device, routes)"
[[ -n $bin && -x $bridge ]] || skip "the bridge was not built (needs go and golang-gvisor-gvisor-dev)"
[[ -x $shim ]] || skip "no xray shim in '$bin'"
for tool in ip ss v2ray curl python3 md5sum; do
    command -v "$tool" >/dev/null || skip "$tool is missing (scripts/install-deps installs it)"
done
[[ -c /dev/net/tun ]] || skip "/dev/net/tun is missing"

prefix=hv$$
device=Halvern_$$ # what the service names it: "Halvern_" + its pid
work=$(mktemp -d)
core_pid=
bridge_pid=
watchers=

# Microseconds of wall-clock time, and the milliseconds since such a reading.
now_us() { echo "${EPOCHREALTIME//[.,]/}"; }
ms_since() { echo $((($(now_us) - $1) / 1000)); }
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Runs on every exit: the children first (a namespace with a process in it outlives its
# deletion), then the topology, then the scratch directory.
cleanup() {
    local status=$?
    trap - EXIT
    set +e
    if ((status != 0 && status != 77)); then
        for log in "$work"/*.log "$work/topology"/*.log; do
            [[ -f $log ]] && { echo "--- $log"; tail -n 20 "$log"; }
        done
    fi
    for pid in $bridge_pid $core_pid $watchers; do
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    "$topology" down "$prefix" "$work/topology" || status=1
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

in_client() { ip netns exec "$CLIENT_NS" "$@"; }

# Starts a watcher in the client namespace that tests a bash condition ($2, with "$3" as its
# argument) every 2 ms for up to 10 s and writes to file $1 the microsecond time at which it
# first held. Returns once the watcher runs, so that its own start-up is not part of the
# measurement; "wait $watcher" then fails if the condition never held.
watch_in_client() {
    rm -f "$1" "$1.running"
    in_client bash -c ': >"$1.running"; end=$((${EPOCHREALTIME//[.,]/} + 10000000))
        until eval "$2"; do
            ((${EPOCHREALTIME//[.,]/} < end)) || exit 1
            sleep 0.002
        done
        echo "${EPOCHREALTIME//[.,]/}" >"$1"' - "$@" </dev/null >/dev/null 2>&1 &
    watcher=$!
    watchers+=" $watcher"
    until [[ -e $1.running ]]; do sleep 0.005; done
}

echo "== topology $prefix"
"$topology" up "$prefix" "$work/topology" >"$work/env"
# shellcheck source=/dev/null
source "$work/env"
"$topology" client-config "$prefix" "$work/topology" >"$work/client.json"
server_pids=$(cat "$work/topology"/*.pid)

# Direct first: without the tunnel the page is served to the client's own address.
in_client curl -sS --noproxy '*' -o /dev/null "$HTTP_URL"
tail -n 1 "$HTTP_LOG" | grep -q "^$CLIENT_ADDRESS " || fail "direct request not logged from $CLIENT_ADDRESS"
routes_before=$(ip -n "$CLIENT_NS" route show table all)

echo "== core"
watch_in_client "$work/t-ready" '(exec 3<>/dev/tcp/127.0.0.1/10807) 2>/dev/null'
start=$(now_us)
ip netns exec "$CLIENT_NS" "$shim" run -c "$work/client.json" </dev/null >"$work/xray.log" 2>&1 &
core_pid=$!
wait "$watcher" || fail "the core's SOCKS5 port 127.0.0.1:10807 never opened"
core_ready_ms=$((($(<"$work/t-ready") - start) / 1000))

echo "== bridge, device $device"
watch_in_client "$work/t-present" '[[ -e /sys/class/net/$3 ]]' "$device"
present_watcher=$watcher
watch_in_client "$work/t-up" '[[ -r /sys/class/net/$3/flags ]] && (($(<"/sys/class/net/$3/flags") & 1))' "$device"
start=$(now_us)
ip netns exec "$CLIENT_NS" "$bridge" -device "tun://$device" -proxy socks5://127.0.0.1:10807 \
    </dev/null >"$work/tun2socks.log" 2>&1 &
bridge_pid=$!
wait "$present_watcher" || fail "the bridge made no device $device"
wait "$watcher" || fail "the bridge did not bring $device up"
device_present_ms=$((($(<"$work/t-present") - start) / 1000))
device_up_ms=$((($(<"$work/t-up") - start) / 1000))
# The bridge's own word on when the device was up, from its log's microsecond time stamp.
logged=$(sed -n 's/^tun2socks: \([0-9/]*\) \([0-9:.]*\) device .* created and up.*/\1 \2/p' "$work/tun2socks.log")
bridge_says_ms=$((($(date -d "${logged//\//-}" +%s%6N) - start) / 1000))

echo "== network, as the service sets it"
# The gateway of the old default route, as route discovery would find it.
gateway=$(ip -n "$CLIENT_NS" -4 route show default | awk '{print $3; exit}')
[[ $gateway == "$GATEWAY_ADDRESS" ]] || fail "old default gateway is '$gateway'"
set_commands=(
    "address replace 10.255.0.1/24 dev $device"
    "link set dev $device up"
    "route add $PROXY_ADDRESS/32 via $gateway dev eth0 metric 1"
    # The next hop is the device's own address, as on Windows; Linux takes it.
    "route add 0.0.0.0/1 via 10.255.0.1 dev $device metric 1"
    "route add 128.0.0.0/1 via 10.255.0.1 dev $device metric 1"
)
start=$(now_us)
for command in "${set_commands[@]}"; do
    # shellcheck disable=SC2086
    ip -n "$CLIENT_NS" $command || fail "ip $command"
done
network_ms=$(ms_since "$start")
in_client ip route get "$HTTP_ADDRESS" | grep -q "dev $device" || fail "the page is not routed into $device"
in_client ip route get "$PROXY_ADDRESS" | grep -q "dev eth0" || fail "the proxy server is not routed around the tunnel"

counter() { in_client cat "/sys/class/net/$device/statistics/$1"; }
tx_before=$(counter tx_bytes)
rx_before=$(counter rx_bytes)

echo "== page through the tunnel"
start=$(now_us)
curl_timing=$(in_client curl -sS --noproxy '*' --max-time 20 -o "$work/page.html" \
    -w '%{time_connect} %{time_total}' "http://$HTTP_NAME:$HTTP_PORT/") || fail "curl through the tunnel failed"
fetch_ms=$(ms_since "$start")
tx_after=$(counter tx_bytes)
rx_after=$(counter rx_bytes)

[[ $(stat -c %s "$work/page.html") == "$PAGE_BYTES" ]] || fail "the page is not $PAGE_BYTES bytes"
grep -q 'Halvern end-to-end page' "$work/page.html" || fail "the page lacks its marker"
tail -n 1 "$HTTP_LOG" | grep -q "^$PROXY_ADDRESS " ||
    fail "the page was not served to the proxy server's address: $(tail -n 1 "$HTTP_LOG")"
grep -q "accepted tcp:$HTTP_ADDRESS:$HTTP_PORT" "$work/xray.log" || fail "the core did not carry the request"
grep -q -- "-> $HTTP_ADDRESS:$HTTP_PORT: connected through the proxy" "$work/tun2socks.log" ||
    fail "the bridge did not carry the request"
((rx_after - rx_before >= PAGE_BYTES)) || fail "rx_bytes grew by $((rx_after - rx_before)), less than the page"
((tx_after > tx_before)) || fail "tx_bytes did not grow"
echo "served to $(tail -n 1 "$HTTP_LOG" | cut -d' ' -f1) (the proxy server), not $CLIENT_ADDRESS"
echo "$device: tx_bytes $tx_before -> $tx_after, rx_bytes $rx_before -> $rx_after"

# The bridge leaves UDP alone and lives on.
in_client bash -c "echo ping >/dev/udp/$HTTP_ADDRESS/53" || true
sleep 0.1
kill -0 "$bridge_pid" 2>/dev/null || fail "the bridge died on a UDP datagram"
grep -q "udp to $HTTP_ADDRESS:53: not forwarded" "$work/tun2socks.log" || fail "the bridge did not see the datagram"

echo "== tunnel down, as the service takes it down"
for command in "route delete 0.0.0.0/1 via 10.255.0.1 dev $device metric 1" \
    "route delete 128.0.0.0/1 via 10.255.0.1 dev $device metric 1" \
    "route delete $PROXY_ADDRESS/32 via $gateway dev eth0 metric 1"; do
    # shellcheck disable=SC2086
    ip -n "$CLIENT_NS" $command || fail "ip $command"
done
for pid in $bridge_pid $core_pid; do
    kill -KILL "$pid"
    wait "$pid" 2>/dev/null || true
done
bridge_pid=
core_pid=
in_client bash -c 'for _ in $(seq 1000); do
        [[ -e /sys/class/net/$1 ]] || exit 0; sleep 0.002
    done; exit 1' - "$device" || fail "$device outlived its bridge"
[[ $(ip -n "$CLIENT_NS" route show table all) == "$routes_before" ]] || {
    diff <(echo "$routes_before") <(ip -n "$CLIENT_NS" route show table all) || true
    fail "the client's routing table is not what it was"
}
[[ -z $(ip netns pids "$CLIENT_NS") ]] || fail "processes left in $CLIENT_NS: $(ip netns pids "$CLIENT_NS")"

echo "== topology down (twice)"
"$topology" down "$prefix" "$work/topology"
"$topology" down "$prefix" "$work/topology"
for ns in "$CLIENT_NS" "$SERVER_NS"; do
    [[ ! -e /run/netns/$ns ]] || fail "namespace $ns is still there"
done
[[ ! -e /etc/netns/$CLIENT_NS ]] || fail "/etc/netns/$CLIENT_NS is still there"
for pid in $server_pids; do
    [[ ! -d /proc/$pid ]] || [[ $(awk '{print $3}' "/proc/$pid/stat") == Z ]] || fail "server process $pid still runs"
done

read -r curl_connect curl_total <<<"$curl_timing"
echo "== timings (ms)"
echo "core start to SOCKS5 port ready:  $core_ready_ms"
echo "bridge start to device present:   $device_present_ms (link up: $device_up_ms; by the bridge's log: $bridge_says_ms)"
echo "five ip commands of the set-up:   $network_ms"
echo "page fetch ($PAGE_BYTES bytes):      $fetch_ms (curl: connect $(awk "BEGIN{print $curl_connect*1000}"), total $(awk "BEGIN{print $curl_total*1000}"))"
echo "PASS"
