#!/usr/bin/env bash
# Many slow mounts: one FUSE file system whose statfs answers after 8 ms, bound on
# 60 directories. With a one-second interval (a 250-ms pass) every bind is in every
# report and none is named as not answering; they are asked side by side by a few
# threads that the agent keeps: no thread asks for the first time after the first
# reports. Then a mount that answers at once, mounted after ten binds of a file
# system that always answers just past the pass's deadline: it is in every report.
. "$(dirname "$0")/lib.sh"

B2J="$VESK_BUILD/tests/tools/bson2json"
MNT="$WORK/slow"
FSLOG="$WORK/fs.log" # its calls, with the calling thread
N=60

mkdir "$MNT"
/usr/bin/python3 "$VESK_SRC/tests/fakes/stalling_fs.py" "$MNT" "$WORK/no-flag" "$FSLOG" 8 >"$WORK/fs-out.log" 2>&1 &
wait_until 10 mountpoint -q "$MNT" || fail "the file system is not mounted"
for ((i = 0; i < N; i++)); do
    mkdir "$WORK/b$i" && mount --bind "$MNT" "$WORK/b$i" || fail "bind $i"
done

start_collector --count 5 --timeout 30
conf=$(printf 'id 4801\naddress 127.0.0.1\nport %s\ninterval 1\n' "$COLLECTOR_PORT" | write_conf)
start_vesk --config "$conf" --conf-glob "$WORK/none/*.conf" --no-oom

askers() { awk '/statfs begins/ {print $3}' "$FSLOG" | sort -u; }
check "two reports" wait_for_file "$WORK/packet-2.bin" 8
first=$(askers)
check "five reports" wait_for_file "$WORK/packet-5.bin" 8
for k in 1 2 3 4 5; do
    check_eq "report $k: every bind" "$N" \
        "$("$B2J" --packet "$WORK/packet-$k.bin" | grep -c "^mounts\.$WORK/b[0-9]*\.free	int64	976$")"
done
check "no mount named as not answering" bash -c '! grep -q "does not answer" "$1"' _ "$WORK/out.log"
check_eq "the same threads ask after the first reports" "$first" "$(askers)"
check "side by side, by at most 8 threads" bash -c '(( $1 > 1 && $1 <= 8 ))' _ "$(askers | wc -l)"

stop_vesk

for ((i = 0; i < N; i++)); do umount "$WORK/b$i"; done
mkdir "$WORK/first" "$WORK/late" "$WORK/fast" && mv "$WORK"/packet-*.bin "$WORK/first"
/usr/bin/python3 "$VESK_SRC/tests/fakes/stalling_fs.py" "$WORK/late" "$WORK/no-flag" "$WORK/late.log" 400 \
    >"$WORK/late-out.log" 2>&1 &
wait_until 10 mountpoint -q "$WORK/late" || fail "the late file system is not mounted"
for ((i = 0; i < 10; i++)); do
    mkdir "$WORK/l$i" && mount --bind "$WORK/late" "$WORK/l$i" || fail "late bind $i"
done
mount -t tmpfs tmpfs "$WORK/fast" || fail "tmpfs"
start_collector --count 5 --timeout 30
conf=$(printf 'id 4802\naddress 127.0.0.1\nport %s\ninterval 1\n' "$COLLECTOR_PORT" | write_conf)
start_vesk --config "$conf" --conf-glob "$WORK/none/*.conf" --no-oom
check "five reports beside late mounts" wait_for_file "$WORK/packet-5.bin" 10
for k in 1 2 3 4 5; do
    check "report $k: the mount that answers at once" \
        bash -c '"$1" --packet "$2" | grep -q "^mounts\.$3\.ok	"' _ "$B2J" "$WORK/packet-$k.bin" "$WORK/fast"
done
stop_vesk
finish
