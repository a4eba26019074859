#!/usr/bin/env bash
# What an agent started from root's terminal lets its scripts reach, and one agent at
# a time: a second start with the same settings is refused before it touches
# anything of the first one's.
. "$(dirname "$0")/lib.sh"

PIDFILE=/run/vesk.pid
ID=4400

# The scripts run as nobody: let them reach their directory.
chmod 755 "$WORK"
mkdir -m 1777 "$WORK/seen"
cat >"$WORK/look.sh" <<'S'
#!/bin/sh
# What the script can reach: its descriptors, directory, input and terminal.
fds=$(ls /proc/self/fd | tr '\n' ' ')
tty=$(sh -c ': </dev/tty' 2>&1 | grep -o 'No such device or address')
printf '%s\n' "$fds" "$(pwd)" "$(readlink /proc/self/fd/0)" "$tty" >"$1/seen.tmp"
mv "$1/seen.tmp" "$1/seen"
echo 1
S
chmod 755 "$WORK/look.sh"

start_collector --count 1000 --timeout 120
conf=$(write_conf <<C
id $ID
address 127.0.0.1
port $COLLECTOR_PORT
interval 1
custom r look interval=1 $WORK/look.sh $WORK/seen
C
)
NOGLOB="$WORK/none/*.conf"

# The agent on a pseudo-terminal, as from an interactive root shell, in a directory
# of its own and holding descriptors that whatever started it left open.
script -qec "exec 7<'$conf' 8>'$WORK/stray'; cd '$WORK/seen'; exec '$VESK_BIN' --config '$conf' \
    --conf-glob '$NOGLOB' --no-oom >'$WORK/out.log' 2>'$WORK/err.log'" /dev/null >/dev/null &
SCRIPT_PID=$!
wait_until 10 test -s $PIDFILE
VESK_PID=$(cat $PIDFILE)
check "pid file written" [ -n "$VESK_PID" ]
check "the agent runs on the terminal" [ "$(readlink /proc/"$VESK_PID"/fd/0)" != /dev/null ]

wait_for_file "$WORK/seen/seen" 20 || fail "the script never ran"
check_eq "a script gets /dev/null, no terminal, no descriptor of the agent's, and /" "0 1 2 3 
/
/dev/null
No such device or address" "$(cat "$WORK/seen/seen")"

# A second agent with the same settings.
segments() { ipcs -m | awk -v a="$(printf '0x%08x' $ID)" -v b="$(printf '0x%08x' $((ID + 1)))" '$1 == a || $1 == b {print $1, $2}'; }
before=$(segments)
check "both segments exist" [ "$(wc -l <<<"$before")" -eq 2 ]
start=$SECONDS
out=$(timeout 10 "$VESK_BIN" --config "$conf" --conf-glob "$NOGLOB" --no-oom </dev/null 2>"$WORK/second.err")
rc=$?
check_eq "a second start is refused" "ERROR: already running" "$(tail -n1 <<<"$out")"
check "it exits 1 at once" [ $rc -eq 1 -a $((SECONDS - start)) -le 2 ]
check_eq "the first keeps its pid file" "$VESK_PID" "$(cat $PIDFILE)"
check_eq "the first keeps its segments" "$before" "$(segments)"
sent=$(ls "$WORK"/packet-*.bin 2>/dev/null | wc -l)
wait_for_file "$WORK/packet-$((sent + 2)).bin" 10
check "the first goes on reporting" [ -e "$WORK/packet-$((sent + 2)).bin" ]
child=$(pgrep -P "$VESK_PID")
check "the customs child does not hold the pid file" \
    bash -c "! ls -l /proc/$child/fd | grep -qF $PIDFILE"
check "the parent does" bash -c "ls -l /proc/$VESK_PID/fd | grep -qF $PIDFILE"

kill -TERM "$VESK_PID"
check "agent stops" wait_gone "$VESK_PID" 5
check "pid file removed" [ ! -e $PIDFILE ]
wait_gone "$SCRIPT_PID" 5
kill "$COLLECTOR_PID" 2>/dev/null

finish
