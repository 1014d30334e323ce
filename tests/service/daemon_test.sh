#!/usr/bin/env bash
# The real daemon in scripts/e2e-topology's namespaces and a scratch /etc, driven through halvernctl
# by a client in group "halvern" alone. Usage (root): daemon_test.sh SERVICE HALVERNCTL BIN; 77: skipped
set -euo pipefail

scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
topology=$scripts/e2e-topology private_run=$scripts/private-run # the socket's path is fixed: /run of our own
# shellcheck source=../../scripts/lib.sh
source "$scripts/lib.sh"
service=${1:-} halvernctl=${2:-} bin=${3:-}

((EUID == 0)) || skip "needs root (network namespaces, a TUN device, routes)"
[[ -x $service && -x $halvernctl ]] || skip "usage: $0 SERVICE HALVERNCTL BIN"
[[ -x $bin/xray && -x $bin/tun2socks && -c /dev/net/tun ]] || skip "no stand-ins in '$bin', or no TUN device"
for tool in ip v2ray curl python3 dnsmasq; do
    command -v "$tool" >/dev/null || skip "$tool is missing (scripts/install-deps installs it)"
done
if ! core_uid=$(id -u halvern-core) || ! core_gid=$(id -g halvern-core) ||
    ! client_gid=$(getent group halvern | cut -d: -f3); then
    skip "no user halvern-core or group halvern (scripts/install-deps creates them)"
fi
private_mounts "$0" "$@"

prefix=hs$$ work=$(mktemp -d)
chmod 0755 "$work" # the children (halvern-core) and the client (nobody) must reach their files
service_pid='' background=''

cleanup() {
    local status=$?
    trap - EXIT
    set +e
    ((status == 0 || status == 77)) || tail -n 20 "$work"/*/stderr "$work"/*/*.log "$work/topology"/*.log 2>/dev/null
    # shellcheck disable=SC2086 # none, one or two pids
    kill -KILL $service_pid $background 2>/dev/null && wait $service_pid $background
    [[ -d $work/topology ]] && { "$topology" down "$prefix" "$work/topology" >/dev/null || status=1; }
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
mkdir "$work/.etc" && scratch_etc "$work/.etc" # for the accounts of session 3

# On PATH per case: our bridge and the xray shim, a slower xray, or wrappers around both.
mkdir -p "$work/bin" "$work/slow-xray" "$work/wrap" "$work/hostile" "$work/stranger"
cp "$bin/xray" "$bin/tun2socks" "$work/bin/"
# Each leaves a process behind that double-forks out of its group and session (setsid -f).
escape='setsid -f sleep 600 </dev/null >/dev/null 2>&1'
printf '#!/bin/sh\n%s\nsleep 1.5\nexec "%s" "$@"\n' "$escape" "$work/bin/xray" >"$work/slow-xray/xray"
for program in xray tun2socks; do
    printf '#!/bin/sh\n%s\n"%s" "$@"\n' "$escape" "$work/bin/$program" >"$work/wrap/$program"
done
# A hostile core: it tries to grow its log past 64 MiB, then forges a status line, and exits.
cat >"$work/hostile/xray" <<'EOF'
#!/usr/bin/env python3
import contextlib, os
for grow in (lambda: os.ftruncate(1, 1 << 40), lambda: os.pwrite(1, b"x", 64 << 20)):
    with contextlib.suppress(OSError): grow()
os.write(1, b"one\nHalvernService status: connected\n\x1b[2J\xff\x7f end")
os._exit(3)
EOF
chmod +x "$work"/bin/* "$work"/slow-*/* "$work"/wrap/* "$work/hostile/xray"

topology_up "$prefix" "$work/topology"
routes_before=$(routes "$CLIENT_NS") resolver_before=$(resolver "$CLIENT_NS")

# start_service NAME [PATH-DIR...]: the daemon in the client namespace, /run/halvern in $work/NAME.
start_service() {
    run=$work/$1
    mkdir -p "$run"
    PATH="$(printf '%s:' "${@:2}")$PATH" "$topology" client-exec "$prefix" "$private_run" "$run" \
        "$service" <&- >"$run/stdout" 2>"${stderr_file:-$run/stderr}" 3>&- &
    service_pid=$!
    answering "$service_pid" ctl status || fail "$1: the service did not start"
}

ctl() { # as a client that is no more than a member of group "halvern"
    "$private_run" "$run" setpriv --reuid=nobody --regid=nogroup --groups="$client_gid" \
        "$halvernctl" --json "$@"
}

stop_service() {
    kill -"$1" "$service_pid"
    eventually 15 gone "$service_pid" || fail "the service still runs 15 s after SIG$1"
    wait "$service_pid" || fail "the service exited with $? after SIG$1"
    service_pid=
    [[ ! -s $run/stdout ]] || fail "the service wrote to stdout: $(cat "$run/stdout")"
}

expect_lines() { # PREFIX LINE...: each LINE a pattern ([0-9]* for a number)
    local expected actual
    expected=$(printf "%s\n" "${@:2}" | sed "s/^/$1/")
    actual=$(grep "^$1" "$run/stderr" || true)
    # shellcheck disable=SC2053 # a pattern on purpose
    [[ $actual == $expected ]] || fail "lines:"$'\n'"$actual"$'\n'"expected:"$'\n'"$expected"
}

expect_nothing_left() {
    diff <(echo "$routes_before") <(routes "$CLIENT_NS") || fail "the client's routing tables are not what they were"
    [[ -z $(ip netns pids "$CLIENT_NS") ]] || fail "processes left in $CLIENT_NS: $(ip netns pids "$CLIENT_NS")"
    [[ $(ip -n "$CLIENT_NS" link show) != *Halvern* ]] || fail "a tunnel device is left"
    [[ $(resolver "$CLIENT_NS") == "$resolver_before" ]] || fail "the client's resolv.conf is not what it was"
}

echo "== 1. what the client cannot do, another account's SOCKS port; the children's rights; SIGTERM while connected"
trap '' HUP # the service starts with SIGHUP ignored, as under nohup; its children must not
start_service connected "$work/bin"
trap - HUP
ip netns exec "$CLIENT_NS" setpriv --reuid=nobody --regid=nogroup --clear-groups /usr/bin/python3 -c \
    'import socket, time; s = socket.socket(); s.bind(("127.0.0.1", 10807)); s.listen(); time.sleep(60)' &
background=$!
eventually 5 sh -c "ip netns exec $CLIENT_NS ss -Hltn 'sport = :10807' | grep -q ." || fail "nobody listens on 10807"
[[ $(ctl start --config "$work/topology.json") == '{"ok":false,"error":"SOCKS5 port 10807 on 127.0.0.1 is held by uid '"$(id -u nobody)"', not by xray"}' ]] ||
    fail "a port held by another account was taken for the core's"
kill "$background" && wait "$background" || true
background=
python3 -c 'import json, sys; c = json.load(open(sys.argv[1])); c["log"] = {"access": "/etc/cron.d/halvern-owned", "error": "/etc/halvern-owned", "loglevel": "debug"}; print(json.dumps(c))' \
    "$work/topology.json" >"$work/etc-log.json"
[[ $(ctl start --config "$work/etc-log.json") == '{"ok":false,"error":'* ]] || fail "a core that logs into /etc ran"
[[ ! -e /etc/cron.d/halvern-owned && ! -e /etc/halvern-owned ]] || fail "the proxy core wrote into /etc"
[[ $(ctl start --config "$work/topology.json" --dns "$DNS_ADDRESS") == '{"ok":true,"status":"connected"}' ]] || fail "connect"
expect_rights() { # no signal ignored, whatever the service ignores (Go blocks some)
    local u=$core_uid g=$core_gid c=$2 actual
    actual=$(awk '/^(Uid|Gid|Groups|SigIgn|Cap(Inh|Prm|Eff|Amb)|NoNewPrivs):/ { $1 = $1; printf "%s;", $0 }' \
        "/proc/$(pgrep -P "$service_pid" -x "$1")/status")
    [[ $actual == "Uid: $u $u $u $u;Gid: $g $g $g $g;Groups: $g;SigIgn: 0000000000000000;CapInh: $c;CapPrm: $c;CapEff: $c;CapAmb: $c;NoNewPrivs: 1;" ]] ||
        fail "$1 runs with $actual"
}
expect_rights v2ray 0000000000000000
expect_rights tun2socks 0000000000001000 # CAP_NET_ADMIN alone
counters() { ctl stats | sed 's/.*"txBytes":\([0-9]*\),"rxBytes":\([0-9]*\).*/\1 \2/'; }
read -r tx rx < <(counters)
# Only the routes send the name's query and then the request into the tunnel.
ip netns exec "$CLIENT_NS" curl -sS --noproxy '*' --max-time 20 -o "$work/page.html" "$HTTP_NAME_URL" ||
    fail "curl through the tunnel"
[[ $(tail -n 1 "$HTTP_LOG") == "$PROXY_ADDRESS "* ]] || fail "the page did not come through the proxy"
read -r tx_after rx_after < <(counters)
((tx_after > tx && rx_after - rx >= PAGE_BYTES)) || fail "counters: $tx $rx, then $tx_after $rx_after"
has() { [[ $("${@:2}") == *"$1"* ]]; } # has TEXT COMMAND...; logs are written behind time
eventually 5 has "query[A] $HTTP_NAME from $PROXY_ADDRESS" cat "$DNS_LOG" || fail "no DNS query through the tunnel"
eventually 5 has "accepted tcp:" ctl logs --source xray || fail "the core's log"
eventually 5 has "connected through the proxy" ctl logs --source tun2socks || fail "the bridge's log"
kill -USR1 "$service_pid" # the service's own wake-up signal, from anyone else, changes nothing
stop_service TERM
expect_lines 'HalvernService status: ' connecting error connecting error connecting connected disconnecting disconnected
! grep '^HalvernService journal' "$run/stderr" || fail "a write of the session journal failed"
expect_nothing_left

echo "== 2. kill -9 while connected (umask 077, stderr unread); the replay; SIGINT during a connect"
mkfifo "$work/stderr.pipe"
exec 3<>"$work/stderr.pipe" # its reader until the service holds the pipe open
mkdir -m 700 "$work/crashed"
umask 077
stderr_file=$work/stderr.pipe start_service crashed "$work/wrap" "$work/bin"
umask 022
exec 3>&- # from now on every status line meets a pipe without a reader
[[ $(stat -c %U:%G:%a "$run" "$run/HalvernService.sock" | paste -sd' ') == "root:root:755 root:halvern:660" ]] || fail "the socket's directory or the socket has another owner or mode"
[[ $(ctl start --config "$work/topology.json") == '{"ok":true,"status":"connected"}' ]] || fail "connect"
crashed=$service_pid
xray_wrapper=$(pgrep -P "$crashed" -f wrap/xray || true) bridge_wrapper=$(pgrep -P "$crashed" -f wrap/tun2socks || true)
kill -KILL "$crashed"
wait "$crashed" 2>/dev/null || true
service_pid=
eventually 2 gone "$xray_wrapper" "$bridge_wrapper" || fail "a child outlived the service by 2 s"
rm "$run/HalvernService.sock" # the dead instance's socket would end start_service's wait at once
start_service crashed "$work/slow-xray" "$work/bin"
# What the dead wrappers started lives on (no systemd's cgroup here) until the replay's first step.
expect_lines 'HalvernService recovery: ' \
    "replaying the session journal of instance $crashed" \
    "ended [0-9]* leftover processes of the children's account" \
    "deleted the tunnel routes of Halvern_$crashed" \
    "deleted the host route to $PROXY_ADDRESS via $GATEWAY_ADDRESS" \
    "put back the DNS settings that Halvern_$crashed changed (file)" \
    "process $bridge_wrapper of the previous instance had already ended" \
    "process $xray_wrapper of the previous instance had already ended" \
    "deleted the proxy configuration of the previous instance"
[[ -z $(ip netns pids "$CLIENT_NS" | grep -vx "$service_pid") ]] || fail "a leftover of halvern-core survived the replay"
ctl start --config "$work/topology.json" >"$run/start-answer" &
background=$!
eventually 5 grep -qx 'HalvernService status: connecting' "$run/stderr" || fail "no connect began"
stop_service INT
wait "$background" || fail "the start request failed"
background=
[[ $(<"$run/start-answer") == '{"ok":true,"status":"connected"}' ]] || fail "the connect did not finish: $(<"$run/start-answer")"
expect_nothing_left

echo "== 3. a hostile core; a full /run; a stranger in a dead child's process group"
start_service hostile "$work/hostile" "$work/bin"
[[ $(ctl start --config "$work/topology.json") == '{"ok":false,"error":"xray exited prematurely with code 3 | output: one\nHalvernService status: connected\n\u001b[2J'$'\xff\x7f'' end"}' ]] ||
    fail "the hostile core's failure is not answered byte for byte"
expect_lines 'HalvernService status: ' connecting error
[[ $(grep -v '^HalvernService status: ' "$run/stderr") == "Halvern native VPN start failed: xray exited prematurely with code 3 | output: one\\x0aHalvernService status: connected\\x0a\\x1b[2J\\xff\\x7f end" ]] ||
    fail "stderr: $(<"$run/stderr")"
[[ $(stat -c %s "$run/halvern_xray_output.log") -lt 1024 ]] || fail "the core grew its log past the bound"
[[ $(ctl status) == '{"ok":true,"status":"error","activeProtocol":""}' ]] || fail "the status after a failed connect"
stop_service TERM
# /run full: the first journal entry cannot be written, and the connect changes nothing.
mkdir "$work/full" && mount -t tmpfs -o size=64k tmpfs "$work/full"
stderr_file=$work/full.stderr start_service full "$work/bin"
dd if=/dev/zero of="$run/filler" bs=4k 2>/dev/null || true
[[ $(ctl start --config "$work/topology.json") == '{"ok":false,"error":"Cannot write the session journal /run/halvern/halvern_session.journal (error 28)"}' ]] ||
    fail "a connect with /run full"
[[ $(ls "$run") == $'HalvernService.sock\nfiller\nstdout' ]] || fail "left in /run/halvern: $(ls "$run")"
stop_service TERM
umount "$work/full"
expect_nothing_left
# Another user's double-forking daemon whose group id is a recorded child's id: it must survive.
group=$(setpriv --reuid=nobody --regid=nogroup --clear-groups setsid sh -c 'echo $$; sleep 600 <&- >&- 2>&- &')
eventually 5 pgrep -g "$group" -x sleep >"$work/stranger.pid" || fail "the stranger's daemon did not start"
stranger=$(<"$work/stranger.pid")
printf 'HalvernService session journal 1\ninstance %s 1\nchild %s 1\nend\n' "$group" "$group" >"$work/stranger/halvern_session.journal"
start_service stranger "$work/bin"
expect_lines 'HalvernService recovery: ' "replaying the session journal of instance $group" \
    "ended [0-9]* leftover processes of the children's account" "process $group of the previous instance had already ended"
alive "$stranger" || fail "the replay killed another user's process $stranger"
kill "$stranger"
stop_service TERM
# Without its account, or with one that is no system account, no child runs and nothing changes.
cp /etc/passwd "$work/passwd"
start_service accountless "$work/bin"
for change in "/^halvern-core:/d|is missing: " "s/^halvern-core:x:[0-9]*:/halvern-core:x:1500:/|(uid 1500, gid "; do
    sed -i "${change%|*}" /etc/passwd
    [[ $(ctl start --config "$work/topology.json") == '{"ok":false,"error":"User halvern-core '"${change#*|}"* ]] ||
        fail "a connect after ${change%|*} in /etc/passwd"
    cp "$work/passwd" /etc/passwd
done
stop_service TERM
expect_nothing_left

echo "PASS"
