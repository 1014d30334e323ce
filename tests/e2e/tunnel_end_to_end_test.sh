#!/usr/bin/env bash
# The service's tunnel end to end: builds a fresh topology (scripts/e2e-topology), then runs
# TEST (the tunnel_end_to_end_tests executable, which has the xray shim and our bridge in the
# "data" folder beside it) inside the client namespace with a runtime directory of its own, where
# the service writes the namespace's own resolv.conf (e2e-topology client-exec). Afterwards no
# process may be left in the namespace, and the topology is removed on every path.
#
# Usage: tunnel_end_to_end_test.sh TEST
# Run as root. Exits 77 (skipped) when not root or a tool is missing, 0 on success.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
topology=$here/../../scripts/e2e-topology
test_exe=${1:-}

skip() {
    echo "SKIP: $*"
    exit 77
}
((EUID == 0)) || skip "needs root (network namespaces, a TUN device, routes)"
[[ -n $test_exe && -x $test_exe ]] || skip "no test executable"
data=$(dirname "$test_exe")/data
[[ -x $data/tun2socks ]] || skip "the bridge was not built (needs go and golang-gvisor-gvisor-dev)"
[[ -x $data/xray ]] || skip "no xray shim in $data"
for tool in ip v2ray curl python3 md5sum dnsmasq; do
    command -v "$tool" >/dev/null || skip "$tool is missing (scripts/install-deps installs it)"
done
[[ -c /dev/net/tun ]] || skip "/dev/net/tun is missing"

prefix=hvt$$
work=$(mktemp -d)
chmod 0755 "$work" # the service's children run unprivileged and must reach their directories
client_ns=

cleanup() {
    local status=$?
    trap - EXIT
    set +e
    if [[ -n $client_ns ]]; then
        for pid in $(ip netns pids "$client_ns" 2>/dev/null); do
            echo "left behind in $client_ns: $(tr '\0' ' ' <"/proc/$pid/cmdline")" >&2
            kill -KILL "$pid" 2>/dev/null
            status=1
        done
    fi
    if ((status != 0 && status != 77)); then
        for log in "$work"/run/*.log "$work/topology"/*.log; do
            [[ -f $log ]] && { echo "--- $log"; tail -n 20 "$log"; }
        done
    fi
    "$topology" down "$prefix" "$work/topology" || status=1
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

"$topology" up "$prefix" "$work/topology" >"$work/env"
# shellcheck source=/dev/null
source "$work/env"
client_ns=$CLIENT_NS
"$topology" client-config "$prefix" "$work/topology" >"$work/client.json"

mkdir -p "$work/run"
RUNTIME_DIRECTORY="$work/run" E2E_WORK="$work" E2E_HTTP_URL="$HTTP_NAME_URL" \
    E2E_HTTP_LOG="$HTTP_LOG" E2E_DNS_ADDRESS="$DNS_ADDRESS" E2E_DNS_LOG="$DNS_LOG" \
    E2E_PROXY_ADDRESS="$PROXY_ADDRESS" E2E_PAGE_BYTES="$PAGE_BYTES" \
    E2E_CLIENT_CONFIG="$work/client.json" "$topology" client-exec "$prefix" "$test_exe" </dev/null

[[ -z $(ip netns pids "$CLIENT_NS") ]] || exit 1
echo PASS
