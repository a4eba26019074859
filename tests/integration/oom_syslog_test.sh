#!/usr/bin/env bash
# Out-of-memory kills counted from /var/log/syslog by the real agent: global and
# memory-cgroup kills, old and current kernel wording, and lines that are no kills,
# each kill in one report's "mem"; other programs' lines with the same words count 0.
. "$(dirname "$0")/lib.sh"

B2J="$VESK_BUILD/tests/tools/bson2json"
PACKETS=3

# A private /var/log holding an empty syslog: the first source the watch tries.
mount -t tmpfs tmpfs /var/log
: >/var/log/syslog

start_collector --count $PACKETS --timeout 40
conf=$(printf 'id 4700\naddress 127.0.0.1\nport %s\ninterval 1\n' "$COLLECTOR_PORT" | write_conf)
start_vesk --config "$conf" --conf-glob "$WORK/none/*.conf"
check "syslog is the kill source" wait_for_text "$WORK/out.log" "OOM errors source: /var/log/syslog"
check "the watch starts at the end of the file" wait_for_text "$WORK/err.log" "Seeked /var/log/syslog"
# The kills land after the first report, so the priming cycle cannot take them.
wait_for_file "$WORK/packet-1.bin" 15 || fail "no first report"
# Daemons that echo what clients sent them: the words, but not the kernel's tag.
{
    cat "$VESK_FIXTURES/hostevents/syslog-oom.log"
    printf '%s\n' \
        "Mar  3 04:21:07 web1 postfix/smtpd[2112]: warning: unknown[203.0.113.9]: HELO Out of memory: Killed process 1" \
        "2024-03-03T04:21:08.000123+00:00 web1 postfix/smtpd[2112]: Memory cgroup out of memory" \
        "Mar  3 04:21:09 web1 sshd[310]: Invalid user kernel: Out of memory from 203.0.113.9"
} >>/var/log/syslog
wait "$COLLECTOR_PID"
stop_vesk

counts=$(for ((k = 1; k <= PACKETS; k++)); do
    "$B2J" --packet "$WORK/packet-$k.bin" | sed -n 's/^mem\.killed_process\tint64\t//p'
done)
check "every report carries the count ($(echo $counts))" [ "$(echo $counts | wc -w)" -eq $PACKETS ]
# The fixture holds two global and three memory-cgroup kills; the daemons' lines count 0.
check_eq "every kernel kill counted once over the reports" 5 "$(($(echo $counts | tr ' ' '+')))"

finish
