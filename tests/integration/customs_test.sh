#!/usr/bin/env bash
# Custom scripts end to end: the customs child runs them under the default
# identity, hands the results over in shared memory, and each result reaches one
# report, decoded by bson2json (libbson).
. "$(dirname "$0")/lib.sh"

B2J="$VESK_BUILD/tests/tools/bson2json"
# The scripts are copied to a path without blanks: the configuration names them
# unquoted, as an administrator would.
F="$WORK/customs"
cp -r "$VESK_FIXTURES/customs" "$F"
ID=4300
KEY=$(printf '0x%08x' $ID)
PACKETS=4

# Stops the agent as its administrator would, by the parent alone: a second signal
# straight to the customs child would end it at once, before it cleans up.
stop_parent() {
    local child
    child=$(pgrep -P "$VESK_PID")
    kill -TERM "$VESK_PID"
    wait_gone "$VESK_PID" 10 || fail "agent did not stop"
    wait_gone "$child" 10 || fail "customs child did not stop"
}

# The scripts run as nobody: let them reach the directory where slow.sh notes its pids.
chmod 755 "$WORK"
mkdir -m 1777 "$WORK/pids"

start_collector --count $PACKETS --timeout 60
conf=$(write_conf <<C
id $ID
address 127.0.0.1
port $COLLECTOR_PORT
interval 4
custom "My Report" nginx interval=1 alert=>5 $F/value.sh
custom r stderr interval=1 $F/stderr.sh
custom r empty interval=1 $F/empty.sh
server_status $F/empty.sh
custom   r   who   interval=1   id -u
custom r pipe interval=1 seq 1 1000000 | head -n 1
custom r every2 interval=2 echo 7
multicustom mc interval=1 printf 'cpu user 10\\ncpu system 5.5\\n'
C
)
start_vesk --config "$conf" --conf-glob "$WORK/none/*.conf" --no-oom
wait_for_file "$WORK/packet-$PACKETS.bin" 40 || fail "fewer than $PACKETS reports"
segment=$(ipcs -m | awk -v k="$KEY" '$1 == k {print $4, $5}')
check_eq "customs segment: mode 0600, one record per custom counter and one slot per multicustom" \
    "600 $((7 * 2640 + 1470472))" "$segment"

stop_parent
check "the customs child removes its segment" [ -z "$(ipcs -m | awk -v k="$KEY" '$1 == k')" ]

check "empty output reported" contains "$WORK/out.log" "ERROR! Custom script '$F/empty.sh' has returned an empty string, killed"
check "standard error announced" contains "$WORK/err.log" "	Got some STDERR lines when running command \"$F/stderr.sh\":"
check "standard error echoed" contains "$WORK/err.log" "		Custom STDERR: oops"

names() { "$B2J" --packet "$WORK/packet-$1.bin" | awk -F'\t' '$1 ~ /^custom\.[^.]*$/ {print substr($1, 8)}'; }
every2=
for ((k = 1; k <= PACKETS; k++)); do
    dups=$(names $k | sort | uniq -d)
    check_eq "packet $k: no element twice" "" "$dups"
    names $k | grep -qx r_every2 && every2="$every2$k"
done
# The period-2 script runs every other cycle, and each of its results is reported once.
check "period 2: reported, never in two reports in a row ($every2)" \
    bash -c '[ -n "$1" ] && ! [[ "$1" =~ 12|23|34 ]]' _ "$every2"

last=$("$B2J" --packet "$WORK/packet-$PACKETS.bin")
check_eq "custom errors: the script that wrote to standard error" "custom_errors	int32	1" \
    "$(printf '%s\n' "$last" | grep -P '^custom_errors\t')"
# Every field of one element of each form; of the others, the values.
check_eq "the custom array of a settled report" "custom	array	
custom.My Report_nginx	document	
custom.My Report_nginx.report	string	My Report
custom.My Report_nginx.name	string	nginx
custom.My Report_nginx.interval	int32	4
custom.My Report_nginx.alert_when	string	>5
custom.My Report_nginx.value	double	42
custom.My Report_nginx.errors	int32	0
custom.My Report_nginx.alerts	array	
custom.My Report_nginx.alerts.0	string	low disk
custom.r_stderr	document	
custom.r_stderr.value	double	5
custom.general_server_status	document	
custom.general_server_status.report	string	general
custom.general_server_status.name	string	server_status
custom.general_server_status.interval	int32	4
custom.general_server_status.value	double	0
custom.general_server_status.errors	int32	0
custom.general_server_status.type	int64	11001
custom.general_server_status.alerts	array	
custom.r_who	document	
custom.r_who.value	double	$(su -s /bin/sh -c 'id -u' nobody)
custom.r_pipe	document	
custom.r_pipe.value	double	1
custom.mc_cpu user	document	
custom.mc_cpu user.report	string	mc
custom.mc_cpu user.name	string	cpu user
custom.mc_cpu user.interval	int32	4
custom.mc_cpu user.counter_type	string	default
custom.mc_cpu user.value	double	10
custom.mc_cpu user.errors	int32	0
custom.mc_cpu user.type	int64	12
custom.mc_cpu system	document	
custom.mc_cpu system.value	double	5.5" "$(printf '%s\n' "$last" | grep -P '^custom[.\t]' | grep -v '^custom\.r_every2' |
    grep -vP '^custom\.(r_|mc_cpu system)[^.]*\.(report|name|interval|counter_type|errors|type)\t')"

# Bytes that are no UTF-8 from a custom script's alert, a multicustom name and a
# mount point (any user can name a FUSE mount so): each report still decodes with
# strict decoders, and the texts arrive with U+FFFD in place of the bad bytes.
# The custom values reach the reports from the fourth cycle on.
HOSTILE=6
BAD_MOUNT="$WORK/mnt-$(printf '\xed\xa0\x80')"
mkdir "$BAD_MOUNT" && mount -t tmpfs tmpfs "$BAD_MOUNT" || fail "cannot mount $BAD_MOUNT"
mkdir "$WORK/hostile"
start_collector --out "$WORK/hostile" --count $HOSTILE --timeout 40
conf=$(write_conf hostile <<C
id $((ID + 2))
address 127.0.0.1
port $COLLECTOR_PORT
interval 1
custom r alert interval=1 /usr/bin/printf '1\nalert \xf4A\x80\x80 here\n'
multicustom mh interval=1 /usr/bin/printf 'bad \xed\xa0\x80 name 3\n'
C
)
start_vesk --config "$conf" --conf-glob "$WORK/none/*.conf" --no-oom
wait "$COLLECTOR_PID"
stop_parent
check_eq "the collector (libbson, strict UTF-8) takes every report" "$HOSTILE" \
    "$(grep -c ' valid$' "$WORK/collector.log")"
decoded=0
for ((k = 1; k <= HOSTILE; k++)); do
    "$B2J" --packet "$WORK/hostile/packet-$k.bin" >"$WORK/hostile/$k.txt" && decoded=$((decoded + 1))
done
check_eq "bson2json decodes every report" "$HOSTILE" "$decoded"
check_eq "python's bson decodes every report, every text strict UTF-8" "$HOSTILE" \
    "$(/usr/bin/python3 - "$WORK"/hostile/packet-*.bin <<'P'
import bson, sys
# The decoder refuses any name or text that is not strict UTF-8 (surrogates too).
n = 0
for f in sys.argv[1:]:
    d = open(f, "rb").read()
    bson.decode(d[:int.from_bytes(d[:4], "little")])
    n += 1
print(n)
P
)"
R='\xef\xbf\xbd' # U+FFFD as bson2json writes it
all=$(cat "$WORK"/hostile/*.txt)
check "the alert, bad bytes replaced" grep -qxF "custom.r_alert.alerts.0	string	alert ${R}A$R$R here" <<<"$all"
check "the multicustom name, bad bytes replaced" grep -qxF "custom.mh_bad $R$R$R name.value	double	3" <<<"$all"
check "the mount point, bad bytes replaced" grep -qF "mounts.$WORK/mnt-$R$R$R.total	int64	" <<<"$all"

# A time-out, in an agent of its own: the slow script would delay the others'
# hand-over past the parent's read.
conf=$(write_conf slow <<C
id $((ID + 1))
address 127.0.0.1
port 9
interval 2
custom r slow interval=1 timeout=1 $F/slow.sh $WORK/pids
C
)
start_vesk --config "$conf" --conf-glob "$WORK/none/*.conf" --no-oom
# Two runs: the first one's messages are out once the second starts.
wait_for_text "$WORK/out.log" "running too long" 20 || fail "no time-out"
stop_parent

# Every script process that a time-out met is gone, background ones included.
alive=
while read -r pid; do
    state=$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null)
    [ -n "$state" ] && [ "$state" != Z ] && alive="$alive $pid"
done <"$WORK/pids/bg.pids"
check "slow script timed out at least once" [ -s "$WORK/pids/bg.pids" ]
check_eq "no process of a timed-out script remains" "" "$alive"
check "time-out reported" contains "$WORK/out.log" "ERROR! Custom script '$F/slow.sh $WORK/pids' running too long (1 sec), killed"

finish
