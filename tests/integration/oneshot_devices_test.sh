#!/bin/bash
# --ifs and --sock run the net and socket counters once on the roots given before them.
. "$(dirname "$0")/lib.sh"

# The roots hold 64 characters: reach the fixtures through a short link.
ln -s "$VESK_FIXTURES/devices" "$WORK/f"
F="$WORK/f"

sock() { printf 'procfs path: %s\nMyCustom socket report (%s) :\n\ttcp_inuse = %s\n\ttcp_tw = %s\n\ttcp_orphan = %s\n\tudp_inuse = %s' "$@"; }
out=$("$VESK_BIN" --procfs "$F/socket/ok/proc" --sock)
check_eq "--sock exits 0" 0 $?
check_eq "--sock prints the counts read" "$(sock "$F/socket/ok/proc" 1 12 7 1 4)" "$out"
check_eq "--sock without sockstat" "$(sock "$F/missing" 0 0 0 0 0)" "$("$VESK_BIN" --procfs "$F/missing" --sock)"

iface() { printf '\tok = 0\n\tdev = %s\n\tbytes read = %s\n\tbytes write = %s\n' "$1" "$2" "$3"; }
long="br-$(printf 'x%.0s' $(seq 252))"
want="procfs path: $F/net/c0/proc
MyCustom net report (1) :
	Net interfaces:
$(iface lo 3267 3267)
$(iface ifb0 0 0)
$(iface eth0 19888575 74459)
$(iface veth1a2b 1000 2000)
$(iface eth1 5000000 8000000)
$(iface "$long" 100 200)
$(iface "$(printf 'weird\xef\xbf\xbd0')" 10 20)"
out=$("$VESK_BIN" --procfs "$F/net/c0/proc" --ifs)
check_eq "--ifs exits 0" 0 $?
check_eq "--ifs prints the interfaces read, each once, names made valid" "$want" "$out"

out=$("$VESK_BIN" --ifs --procfs "$F/net/c0/proc")
check "--procfs after --ifs does not apply" bash -c '! grep -q veth1a2b <<<"$1"' _ "$out"
check "--ifs on the host lists loopback" grep -q $'\tdev = lo$' <<<"$out"

finish
