#!/usr/bin/env bash
# The real halvern-service as a Linux daemon, driven only through halvernctl, in network
# namespaces of its own (scripts/e2e-topology): a client namespace whose default route leads to
# a server namespace with a vmess proxy and a web server.
#
#   1. a failed connect and SIGINT: the status lines on stderr, a clean exit;
#   2. SIGTERM while connected: routes and children are gone before the process exits;
#   3. SIGTERM during a connect: the stop waits for the connect, then takes the tunnel down;
#   4. a request after the stop began gets {"ok":true,"status":"disconnecting"};
#   5. the bridge dies while connected: IPv4 meets a dead end but the proxy server stays on the
#      old gateway; "stop" then gives both routing tables back exactly.
# The client namespace is dual stack: while connected, IPv6 to the Internet is unreachable.
#
# Usage: daemon_test.sh SERVICE HALVERNCTL BIN
#   BIN holds the stand-ins "xray" and "tun2socks" (tests/e2e). Run as root; exits 77 (skipped)
#   without root or a tool, 0 on success.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
topology=$here/../../scripts/e2e-topology
service=${1:-}
halvernctl=${2:-}
bin=${3:-}

skip() { echo "SKIP: $*"; exit 77; }
((EUID == 0)) || skip "needs root (network namespaces, a TUN device, routes)"
[[ -x $service && -x $halvernctl ]] || skip "usage: $0 SERVICE HALVERNCTL BIN"
for tool in ip v2ray curl python3 dnsmasq; do
    command -v "$tool" >/dev/null || skip "$tool is missing (scripts/install-deps installs it)"
done
real_ip=$(command -v ip)

prefix=hs$$
work=$(mktemp -d)
service_pid=
background=

fail() { echo "FAIL: $*" >&2; exit 1; }

cleanup() {
    local status=$?
    trap - EXIT
    set +e
    if ((status != 0 && status != 77)); then
        for log in "$work"/*/stderr "$work"/*/*.log "$work/topology"/*.log; do
            [[ -f $log ]] && { echo "--- $log"; tail -n 20 "$log"; }
        done
    fi
    for pid in $service_pid $background; do
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    [[ -d $work/topology ]] && { "$topology" down "$prefix" "$work/topology" >/dev/null || status=1; }
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# Stand-ins that the service finds on PATH: our bridge and the xray shim, and per case a slower
# xray or ip.
mkdir -p "$work/bin" "$work/slow-xray" "$work/slow-ip"
[[ -x $bin/xray && -x $bin/tun2socks ]] && cp "$bin/xray" "$bin/tun2socks" "$work/bin/"
printf '#!/bin/sh\nsleep 1.5\nexec "%s" "$@"\n' "$work/bin/xray" >"$work/slow-xray/xray"
# shellcheck disable=SC2016 # the stand-in expands its own arguments
printf '#!/bin/sh\ncase "$1 $2" in "route del"*) sleep 1.5 ;; esac\nexec "%s" "$@"\n' \
    "$real_ip" >"$work/slow-ip/ip"
chmod +x "$work"/bin/* "$work"/slow-*/*
have_tunnel=false
[[ -x $work/bin/tun2socks && -c /dev/net/tun ]] && have_tunnel=true

"$topology" up "$prefix" "$work/topology" >"$work/env"
# shellcheck source=/dev/null
source "$work/env"
"$topology" client-config "$prefix" "$work/topology" >"$work/client.json"
tables() {
    ip -n "$CLIENT_NS" route show table all
    ip -n "$CLIENT_NS" -6 route show table all
}
routes_before=$(tables)
resolver_before=$(cat "/etc/netns/$CLIENT_NS/resolv.conf"; stat -c %a "/etc/netns/$CLIENT_NS/resolv.conf")

# start_service NAME [PATH-DIR...]: the daemon in the client namespace with a runtime directory
# of its own, writing the namespace's resolv.conf itself; returns once it answers (its socket
# file appears at bind(), a moment before it listens).
start_service() {
    local path
    path=$(printf '%s:' "${@:2}")
    run=$work/$1
    mkdir -p "$run"
    RUNTIME_DIRECTORY="$run" PATH="$path$PATH" "$topology" client-exec "$prefix" \
        "$service" </dev/null >"$run/stdout" 2>"$run/stderr" &
    service_pid=$!
    for _ in $(seq 250); do
        [[ -S $run/HalvernService.sock ]] && ctl status >/dev/null 2>&1 && return 0
        kill -0 "$service_pid" 2>/dev/null || fail "$1: the service exited at start"
        sleep 0.02
    done
    fail "$1: no answer after 5 s"
}

ctl() { RUNTIME_DIRECTORY=$run "$halvernctl" --json "$@"; }

# stop_service SIGNAL: signals the service and waits for it; fails unless it exits 0 in 15 s.
stop_service() {
    kill -"$1" "$service_pid"
    for _ in $(seq 750); do kill -0 "$service_pid" 2>/dev/null && sleep 0.02; done
    kill -0 "$service_pid" 2>/dev/null && fail "the service still runs 15 s after SIG$1"
    wait "$service_pid" || fail "the service exited with $? after SIG$1"
    service_pid=
    [[ ! -s $run/stdout ]] || fail "the service wrote to stdout: $(cat "$run/stdout")"
}

wait_for_line() {
    for _ in $(seq 500); do
        grep -qxF "$1" "$run/stderr" && return 0
        sleep 0.01
    done
    fail "no line '$1' on stderr"
}

expect_status_lines() {
    local expected actual
    expected=$(printf 'HalvernService status: %s\n' "$@")
    actual=$(grep '^HalvernService status: ' "$run/stderr" || true)
    [[ $actual == "$expected" ]] || fail "status lines:"$'\n'"$actual"$'\n'"expected:"$'\n'"$expected"
}

# Nothing of the tunnel is left: the routes as they were, no process in the namespace, no
# tunnel device.
expect_nothing_left() {
    diff <(echo "$routes_before") <(tables) || fail "the client's routing tables are not what they were"
    [[ -z $(ip netns pids "$CLIENT_NS") ]] || fail "processes left in $CLIENT_NS: $(ip netns pids "$CLIENT_NS")"
    [[ $(ip -n "$CLIENT_NS" link show) != *Halvern* ]] || fail "a tunnel device is left"
    [[ ! -e $run/halvern_xray_config.json ]] || fail "the proxy configuration is left behind"
    [[ $(cat "/etc/netns/$CLIENT_NS/resolv.conf"; stat -c %a "/etc/netns/$CLIENT_NS/resolv.conf") == "$resolver_before" ]] ||
        fail "the client's resolv.conf is not what it was"
}

echo "== 1. a failed connect, then SIGINT"
start_service failed "$work/empty"
answer=$(ctl start --config "$work/client.json" || true)
[[ $answer == '{"ok":false,"error":'* ]] || fail "a connect without xray answered: $answer"
grep -qx 'Halvern native VPN start failed: .*' "$run/stderr" || fail "no failure line on stderr"
expect_status_lines connecting error
[[ $(ctl status) == '{"ok":true,"status":"error","activeProtocol":""}' ]] || fail "status after the failure"
stop_service INT
expect_nothing_left

$have_tunnel || skip "case 1 passed; the stand-in bridge was not built, so no tunnel"

echo "== 2. SIGTERM while connected"
start_service connected "$work/bin"
[[ $(ctl start --config "$work/client.json") == '{"ok":true,"status":"connected"}' ]] || fail "connect"
device=Halvern_$service_pid
# Whole outputs are compared, never piped into grep -q: with pipefail, grep's early exit would
# fail the pipeline whenever the writer is still writing.
[[ $'\n'$(ip -n "$CLIENT_NS" route show) == *$'\n'"0.0.0.0/1 via 10.255.0.1 dev $device "* ]] || fail "no tunnel route"
[[ $(ip -n "$CLIENT_NS" -6 route get 2001:db8:ffff::1 2>&1) == *"No route to host" ]] || fail "IPv6 leaves beside the tunnel"
ip netns exec "$CLIENT_NS" curl -sS --max-time 20 -o "$work/page.html" "$HTTP_URL" || fail "curl through the tunnel"
[[ $(tail -n 1 "$HTTP_LOG") == "$PROXY_ADDRESS "* ]] || fail "the page did not come through the proxy"
children=$(ip netns pids "$CLIENT_NS" | grep -cvx "$service_pid" || true)
((children == 2)) || fail "expected xray and tun2socks beside the service, found $children"
stop_service TERM
expect_status_lines connecting connected disconnecting disconnected
expect_nothing_left

echo "== 3. SIGTERM during a connect"
start_service connecting "$work/slow-xray" "$work/bin"
ctl start --config "$work/client.json" >"$run/start-answer" &
background=$!
wait_for_line "HalvernService status: connecting"
stop_service TERM
wait "$background" || fail "the start request failed"
background=
[[ $(<"$run/start-answer") == '{"ok":true,"status":"connected"}' ]] || fail "the connect did not finish: $(<"$run/start-answer")"
expect_status_lines connecting connected disconnecting disconnected
expect_nothing_left

echo "== 4. a request after the stop began"
start_service stopping "$work/slow-ip" "$work/bin"
[[ $(ctl start --config "$work/client.json") == '{"ok":true,"status":"connected"}' ]] || fail "connect"
kill -TERM "$service_pid"
wait_for_line "HalvernService status: disconnecting"
answer=$(ctl status)
[[ $answer == '{"ok":true,"status":"disconnecting"}' ]] || fail "a request during the stop got $answer"
stop_service TERM
expect_status_lines connecting connected disconnecting disconnected
expect_nothing_left

echo "== 5. the bridge dies while connected, then stop"
start_service bridge-dies "$work/bin"
[[ $(ctl start --config "$work/client.json") == '{"ok":true,"status":"connected"}' ]] || fail "connect"
kill -KILL "$(pgrep -P "$service_pid" -x tun2socks)"
for _ in $(seq 250); do [[ $(ip -n "$CLIENT_NS" link show) == *Halvern* ]] && sleep 0.02; done
[[ $(ip -n "$CLIENT_NS" route get "$HTTP_ADDRESS" 2>&1) == *"No route to host" ]] || fail "IPv4 leaves beside the dead tunnel"
[[ $(ip -n "$CLIENT_NS" route get "$PROXY_ADDRESS") == "$PROXY_ADDRESS via $GATEWAY_ADDRESS "* ]] || fail "the proxy server is cut off"
[[ $(ctl stop) == '{"ok":true,"status":"disconnected"}' ]] || fail "stop"
stop_service TERM
expect_nothing_left

echo "PASS"
