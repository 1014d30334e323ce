#!/usr/bin/env bash
# The Linux verbs against a recording systemctl stand-in, under a tmpfs over the unit directory in
# a mount namespace of their own: nothing reaches the host. Usage (root): verbs_test.sh SERVICE
set -euo pipefail
# shellcheck source=../../scripts/lib.sh
source "$(dirname "$0")/../../scripts/lib.sh"

service=${1:-}
units=/etc/systemd/system packaged=/usr/lib/systemd/system
unit=$units/HalvernService.service
((EUID == 0)) || skip "needs root (a mount namespace)"
[[ -d $units && -d $packaged ]] || skip "no $units or $packaged"
[[ -x $service ]] || skip "usage: $0 SERVICE"
private_mounts "$0" "$@"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
# Records each call with whether the unit was there, and fails the subcommand named in "fail".
cat >"$work/bin/systemctl" <<EOF
#!/bin/sh
[ -e $unit ] && unit=present || unit=absent
echo "\$* \$unit" >>"$work/calls"
[ -f "$work/fail" ] && read -r verb code <"$work/fail" && [ "\$1" = "\$verb" ] && exit "\$code"
exit 0
EOF
chmod +x "$work/bin/systemctl"
PATH=$work/bin:$PATH

fresh() { mount -t tmpfs -o mode=0755 tmpfs "$units" && rm -f "$work/calls" "$work/fail"; }
# expect CODE VERB [EXECUTABLE]: with no stdin (its first file gets descriptor 0), CODE, silent.
expect() {
    local code=0
    "${3:-$service}" "$2" <&- >"$work/output" 2>&1 || code=$?
    ((code == $1)) || fail "$2 ended with $code, not $1"
    [[ ! -s $work/output ]] || fail "$2 printed: $(<"$work/output")"
}
calls() { cat "$work/calls" 2>/dev/null || true; }
installed=$'daemon-reload present\nenable HalvernService.service present'
removed=$'stop HalvernService.service present\ndisable HalvernService.service present\ndaemon-reload absent'
# Spaces, a specifier and a variable, which systemd would split or expand if left bare.
awkward="$work/opt dir %h \$HOME/halvern-service"
mkdir -p "${awkward%/*}" "$work/it's here"
for copy in "$awkward" "$work/it's here/"; do cp "$service" "$copy"; done

echo "== install, twice, under umask 077, from an awkward path"
fresh
umask 077
expect 0 install "$awkward"
umask 022
[[ $(calls) == "$installed" ]] || fail "install called: $(calls)"
[[ $'\n'$(<"$unit")$'\n' == *$'\nExecStart="'"${awkward//%/%%}"$'"\n'* ]] || fail "ExecStart: $(<"$unit")"
[[ $(stat -c %a "$unit") == 644 ]] || fail "the unit has mode $(stat -c %a "$unit")"
# systemd-analyze exits 0 even for settings it ignores, but prints them.
verify=$(systemd-analyze verify "$unit" 2>&1 || echo "exit $?")
[[ -z $verify ]] || fail "systemd-analyze: $verify"$'\n'"$(<"$unit")"
cp "$unit" "$work/first"
expect 0 install "$awkward"
cmp -s "$unit" "$work/first" || fail "a second install wrote another unit"
[[ $(calls) == "$installed"$'\n'"$installed" ]] || fail "a second install called: $(calls)"

echo "== uninstall stops, disables, removes and reloads once; the package's unit is dpkg's"
rm "$work/calls"
expect 0 uninstall
[[ ! -e $unit && $(calls) == "$removed" ]] || fail "uninstall called: $(calls)"
mount -t tmpfs -o mode=0755 tmpfs "$packaged"
echo '[Unit]' >"$packaged/HalvernService.service"
expect 0 uninstall # nothing of ours is there: systemd is not asked
expect 0 stop
umount "$packaged"
[[ $(calls) == "$removed"$'\n'"stop HalvernService.service absent" ]] || fail "then: $(calls)"

echo "== install refuses an executable that someone but root could replace, itself or by its directory"
fresh
for weakness in "chmod g+w FILE" "chmod o+w DIR" "chown nobody FILE" "chown nobody DIR"; do
    rm -rf "$work/weak" && mkdir "$work/weak" && cp "$service" "$work/weak/"
    target=${weakness/FILE/$work/weak/halvern-service} && ${target/DIR/$work/weak}
    code=0 && "$work/weak/halvern-service" install 2>"$work/output" || code=$?
    [[ $code == 1 && $(<"$work/output") == "halvern-service install: refused: $work/weak"*" belongs to uid "* ]] ||
        fail "$weakness: install ended with $code: $(<"$work/output")"
    [[ ! -e $unit && -z $(calls) ]] || fail "$weakness: a unit was written: $(calls)"
done

echo "== a failing step ends the verb with its code"
fresh
expect 22 install "$work/it's here/halvern-service" # EINVAL: systemd refuses a quote in the name
[[ ! -e $unit && -z $(calls) ]] || fail "a unit for a quoted path: $(calls)"
expect 0 stop # not installed: systemd is not asked
[[ -z $(calls) ]] || fail "stop asked systemd about no unit: $(calls)"
echo "daemon-reload 3" >"$work/fail"
expect 3 install
[[ $(calls) == "daemon-reload present" ]] || fail "install went on: $(calls)"
echo "stop 1" >"$work/fail"
expect 0 stop # a failed stop is still no failure of the verb
echo "disable 4" >"$work/fail"
expect 4 uninstall
[[ -e $unit ]] || fail "a unit still enabled was removed"
PATH=$work/nowhere expect 2 start # ENOENT: systemctl is missing altogether
fresh
mkdir "$unit" # where the unit should go: EISDIR, and nothing half-written is left
expect 21 install
[[ $(ls -A "$units") == HalvernService.service && -z $(calls) ]] || fail "after EISDIR: $(ls -A "$units")"
echo PASS
