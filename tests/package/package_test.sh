#!/usr/bin/env bash
# The .deb as a user meets it: lintian, two installs without systemd (a tmpfs over /run hides
# it), the daemon from /usr/sbin with its data folder, and a purge without a trace; the zip's files.
# Usage (root): package_test.sh DEB ZIP. What it adds goes again (accounts that were there stay).
set -euo pipefail
# shellcheck source=../../scripts/lib.sh
source "$(dirname "$0")/../../scripts/lib.sh"

((EUID == 0)) || fail "needs root"
private_mounts --net "$0" "$(realpath "$1")" "$(realpath "$2")"
deb=$1 zip=$2
mount -t tmpfs -o mode=0755 tmpfs /run

work=$(mktemp -d) daemon=
had_group=$(getent group halvern || true) had_core=$(getent passwd halvern-core || true)

cleanup() {
    local status=$?
    set +e
    [[ -n $daemon ]] && { kill -KILL "$daemon"; wait "$daemon"; }
    ((status == 0)) || tail -n 20 "$work/stderr" 2>/dev/null
    rm -f /usr/lib/halvern/data/xray
    dpkg --purge halvern-service >/dev/null 2>&1
    [[ -n $had_core ]] || { getent passwd halvern-core >/dev/null && userdel halvern-core; }
    [[ -n $had_group ]] || { getent group halvern >/dev/null && groupdel halvern; }
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT

dpkg --purge halvern-service >/dev/null 2>&1 || true

lintian --fail-on error "$deb" || fail "lintian reports errors"

echo "== install, twice (the second is an upgrade in place)"
for _ in 1 2; do dpkg -i "$deb" >/dev/null; done
dpkg -L halvern-service >"$work/files"
[[ $(readlink -f /usr/sbin/halvern-service) == /usr/lib/halvern/halvern-service ]] ||
    fail "/usr/sbin/halvern-service does not lead to /usr/lib/halvern"
verify=$(systemd-analyze verify /usr/lib/systemd/system/HalvernService.service 2>&1 || echo "exit $?")
[[ -z $verify ]] || fail "systemd-analyze: $verify"

echo "== the installed daemon in the foreground"
printf '#!/bin/sh\nexit 23\n' >/usr/lib/halvern/data/xray
chmod 755 /usr/lib/halvern/data/xray
/usr/sbin/halvern-service </dev/null >"$work/stdout" 2>"$work/stderr" &
daemon=$!
answering "$daemon" test -S /run/halvern/HalvernService.sock || fail "the daemon did not start"
# The stand-in in /usr/lib/halvern/data exits with 23: the service found its data folder.
answer=$(echo '{}' >"$work/config.json"; halvernctl start --config "$work/config.json" 2>&1) || true
[[ $answer == *"xray exited prematurely with code 23"* ]] || fail "data/xray was not used: $answer"
kill -TERM "$daemon"
wait "$daemon" || fail "the daemon exited with $? after SIGTERM"
daemon=
rm /usr/lib/halvern/data/xray

echo "== purge"
dpkg --purge halvern-service >/dev/null
while read -r path; do
    [[ $path == /usr/lib/halvern* || $path == /usr/share/doc/halvern-service* || ! -d $path ]] &&
        [[ -e $path || -L $path ]] && fail "$path is left after purge"
done <"$work/files"
[[ ! -e /run/halvern ]] || fail "/run/halvern is left after purge"
left=$(find /etc/systemd /var/lib/systemd -name 'HalvernService*' 2>/dev/null)
[[ -z $left ]] || fail "systemd state is left after purge: $left"

echo "== postinst refuses a halvern-core that is no system account of its own (in a scratch /etc)"
dpkg-deb -e "$deb" "$work/control"
mkdir "$work/etc" && scratch_etc "$work/etc"
# Out of the range, root's, and shared with another system user.
for uid in 1500 0 "$(id -u daemon)"; do
    sed -i "s/^halvern-core:x:[0-9]*:/halvern-core:x:$uid:/" /etc/passwd
    code=0 && "$work/control/postinst" configure >/dev/null 2>"$work/refusal" || code=$?
    [[ $code == 1 && $(<"$work/refusal") == "halvern-service: user halvern-core (uid $uid, gid "*") is not a system account of its own;"* ]] ||
        fail "postinst accepted halvern-core with uid $uid ($code): $(<"$work/refusal")"
done
umount /etc

[[ $(unzip -Z1 "$zip" | grep -v '/$' | sort | paste -sd' ') == "HalvernService.exe README.txt data/README.txt halvernctl.exe" ]] ||
    fail "zip holds: $(unzip -Z1 "$zip")"
echo "PASS"
