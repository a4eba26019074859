#!/usr/bin/env bash
# `vesk -t FILE`: every custom and multicustom line checked by running its command
# once, everything reported on standard error, exit status 0 whatever the commands
# did; a file that cannot be opened ends the agent with status 1.
. "$(dirname "$0")/lib.sh"

CONF="$VESK_FIXTURES/hostevents/validator.conf"
"$VESK_BIN" -t "$CONF" >"$WORK/out.log" 2>"$WORK/err.log" </dev/null
check_eq "-t exits with status 0 although commands failed" 0 $?
check_eq "-t prints nothing on standard output" "" "$(cat "$WORK/out.log")"
check_eq "-t reports every custom line on standard error" "Config file: $CONF
$(cat "$VESK_FIXTURES/hostevents/validator.expected")" "$(cat "$WORK/err.log")"

# Each command runs as the agent would run it: under its line's identity (nobody by
# default), out of the terminal's session, with nothing of the agent's open, from
# "/". The agent is started on a terminal, holding a stray descriptor.
cat >"$WORK/ids.conf" <<'C'
custom g a uid=65534 gid=65534 id -u
custom g b id -u; id -G
custom g c uid=0 gid=0 id -u
custom g d ls /proc/self/fd | tr '\n' ' '; pwd; readlink /proc/self/fd/0; sh -c ': </dev/tty' 2>&1 | grep -o 'No such device.*'
custom g e uid=99999999999 id -u
C
script -qec "exec 7<'$WORK/ids.conf'; cd '$WORK'; '$VESK_BIN' -t '$WORK/ids.conf' 2>'$WORK/err.log'" /dev/null >/dev/null
sep=$(printf -- '-%.0s' $(seq 62))
check_eq "-t runs each command under its line's identity, detached" "Config file: $WORK/ids.conf
custom g a uid=65534 gid=65534 id -u
65534

$sep
custom g b id -u; id -G
65534
65534

$sep
custom g c uid=0 gid=0 id -u
0

$sep
custom g d ls /proc/self/fd | tr '\n' ' '; pwd; readlink /proc/self/fd/0; sh -c ': </dev/tty' 2>&1 | grep -o 'No such device.*'
0 1 2 3 /
/dev/null
No such device or address

$sep
custom g e uid=99999999999 id -u
setuid -1 gid 65534: Invalid argument

$sep
Errors = 1" "$(cat "$WORK/err.log")"

"$VESK_BIN" -t "$WORK/missing.conf" >"$WORK/out.log" 2>"$WORK/err.log" </dev/null
check_eq "-t on a missing file exits with status 1" 1 $?
check_eq "-t on a missing file names it, then says why after the date" "Config file: $WORK/missing.conf
DATE open $WORK/missing.conf: No such file or directory" \
    "$(sed -E 's#^[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} #DATE #' "$WORK/err.log")"

finish
