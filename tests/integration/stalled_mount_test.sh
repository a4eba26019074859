#!/usr/bin/env bash
# A mount that does not answer: a FUSE file system whose statfs stalls until the
# test releases it. The reports still arrive on time without that mount, it is
# asked once while stalled, it comes back once it answers, and a stop while it
# stalls still removes the pid file.
. "$(dirname "$0")/lib.sh"

B2J="$VESK_BUILD/tests/tools/bson2json"
PIDFILE=/run/vesk.pid
MNT="$WORK/remote"
FLAG="$WORK/stall"   # statfs waits while it exists
FSLOG="$WORK/fs.log" # its calls

# A process blocked in the file system cannot be killed: whatever happens, let the
# calls answer, then abort the connection and unmount.
release_fs() {
    rm -f "$FLAG"
    mountpoint -q "$MNT" || return 0
    local dev
    dev=$(mountpoint -d "$MNT")
    mountpoint -q /sys/fs/fuse/connections || mount -t fusectl none /sys/fs/fuse/connections
    echo 1 >"/sys/fs/fuse/connections/${dev#*:}/abort"
    umount -l "$MNT"
}

mkdir "$MNT"
touch "$FLAG"
/usr/bin/python3 "$VESK_SRC/tests/fakes/stalling_fs.py" "$MNT" "$FLAG" "$FSLOG" >"$WORK/fs-out.log" 2>&1 &
at_exit release_fs
wait_until 10 mountpoint -q "$MNT" || fail "the file system is not mounted"

start_collector --count 6 --timeout 40
conf=$(printf 'id 4800\naddress 127.0.0.1\nport %s\ninterval 1\n' "$COLLECTOR_PORT" | write_conf)
start_vesk --config "$conf" --conf-glob "$WORK/none/*.conf" --no-oom

# Stalled from the start: the reports go out without it.
LINE="mount $MNT does not answer, left out of the report"
check "the stalled mount is named" wait_for_text "$WORK/out.log" "$LINE" 5
check "three reports on time" wait_for_file "$WORK/packet-3.bin" 8
mounts() { "$B2J" --packet "$WORK/packet-$1.bin" | grep -F "mounts."; }
for k in 1 2 3; do
    check "report $k: other mounts, not the stalled one" \
        bash -c '[[ $1 == *"mounts./tmp.total"* && $1 != *"$2"* ]]' _ "$(mounts $k)" "mounts.$MNT"
done
check_eq "asked once while it stalls, named once" "1 1" \
    "$(grep -c 'statfs begins' "$FSLOG") $(grep -cF "$LINE" "$WORK/out.log")"

# Answering again: reported from the next cycle on.
rm -f "$FLAG"
check "the call returns" wait_for_text "$FSLOG" "statfs answers" 5
check "later reports arrive" wait_for_file "$WORK/packet-6.bin" 8
check_eq "the mount is back in the last report" "mounts.$MNT.free	int64	976
mounts.$MNT.total	int64	3906
mounts.$MNT.space_perc	double	0.25
mounts.$MNT.inodes_perc	double	0.5" "$(mounts 6 | grep -F "mounts.$MNT." | grep -v '\.ok\|\.name')"

# Stalled again, then stopped: the pid file goes at once; the agent ends once the
# call the kernel holds returns.
touch "$FLAG"
check "stalled again" wait_until 5 bash -c '[ "$(grep -cF "$1" "$2")" -eq 2 ]' _ "$LINE" "$WORK/out.log"
child=$(pgrep -P "$VESK_PID")
kill -TERM "$VESK_PID"
check "the stop removes the pid file" wait_until 3 test ! -e "$PIDFILE"
rm -f "$FLAG"
check "the agent ends" wait_gone "$VESK_PID" 5
check "its child ends" wait_gone "$child" 5

finish
