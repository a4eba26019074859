#!/usr/bin/env bash
# --osver: the os counter run once, on a fixture procfs root and on the real one.
. "$(dirname "$0")/lib.sh"

V=$VESK_BIN
root="$WORK/root"
mkdir -p "$root"
cp -r "$VESK_FIXTURES/sysa-basic/proc" "$root/proc"
# A host that has run far longer than this one: the agent's own uptime is then the
# difference, whenever this machine booted.
echo "99999999.50 12.00" >"$root/proc/uptime"

# The identity the files under /etc give, by an independent reading of os-release
# (this check applies to the families whose os-release alone decides).
eval "$(/usr/bin/python3 - <<'PY'
import platform, shlex
try:
    r = platform.freedesktop_os_release()
except OSError:
    r = {}
names = {"Debian GNU/Linux": "Debian", "CentOS Linux": "CentOS", "Amazon Linux AMI": "AmazonLinux"}
if r.get("ID") in ("debian", "ubuntu", "centos", "fedora", "amzn"):
    print("want_name=" + shlex.quote(names.get(r.get("NAME", "unknown"), r.get("NAME", "unknown"))))
    print("want_ver=" + shlex.quote(r.get("VERSION_ID", "unknown")))
PY
)"

out=$("$V" --procfs "$root/proc" --osver)
rc=$?
check "osver exits 0" [ $rc -eq 0 ]
page_kib=$(( $(getconf PAGESIZE) / 1024 ))
body=$(printf '%s\n' "$out" | grep -v -e '^procfs path: ' -e '^	OS name = ' -e '^	OS version = ' -e '^	OS vesk uptime = ')
age=$(printf '%s\n' "$out" | sed -n 's/^	OS vesk uptime = //p')
real=$(cut -d. -f1 /proc/uptime)
check "agent uptime is the root's minus ours ($age)" [ $((99999999 - real - age)) -ge -3 -a $((99999999 - real - age)) -le 1 ]
check_eq "osver dump on the fixture root" "MyCustom Os report (1) :
	OS bit = $(uname -m)
	OS open files = 854
	OS vesk mem used = $((417 * page_kib))
	OS uptime = 99999999" "$body"
check_eq "procfs line comes first" "procfs path: $root/proc" "$(printf '%s\n' "$out" | head -n1)"
if [ -n "${want_name:-}" ]; then
    check_eq "os name" "	OS name = $want_name" "$(printf '%s\n' "$out" | grep '^	OS name = ')"
    check_eq "os version" "	OS version = $want_ver" "$(printf '%s\n' "$out" | grep '^	OS version = ')"
fi

# A root given after --osver does not apply: the real /proc is read.
out=$("$V" --osver --procfs "$root/proc")
up=$(printf '%s\n' "$out" | sed -n 's/^	OS uptime = //p')
real=$(cut -d. -f1 /proc/uptime)
check "osver before --procfs reads /proc/uptime ($up vs $real)" [ $((real - up)) -ge 0 -a $((real - up)) -le 2 ]
check "agent's own uptime is small" [ "$(printf '%s\n' "$out" | sed -n 's/^	OS vesk uptime = //p')" -le 2 ]

finish
