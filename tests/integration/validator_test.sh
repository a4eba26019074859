#!/usr/bin/env bash
# `vesk -t FILE`: every custom and multicustom line checked by running its command
# once, everything reported on standard error, exit status 0 whatever the commands
# did; a file that cannot be opened ends the agent with status 1.
. "$(dirname "$0")/lib.sh"

DASHES=$(printf -- '-%.0s' $(seq 62))
CONF=$(write_conf checked <<'EOF_CONF'
interval 15
custom web "hits now" uid=0 timeout=5 echo 42; echo warn >&2
multicustom g printf 'a 1\nb 2\n'
custom g c rm -f /tmp/never
custom g c exit 3
EOF_CONF
)

"$VESK_BIN" -t "$CONF" >"$WORK/out.log" 2>"$WORK/err.log" </dev/null
check_eq "-t exits with status 0 although a command failed" 0 $?
check_eq "-t prints nothing on standard output" "" "$(cat "$WORK/out.log")"
check_eq "-t reports every custom line on standard error" "Config file: $CONF
custom web \"hits now\" uid=0 timeout=5 echo 42; echo warn >&2
42
warn

$DASHES
multicustom g printf 'a 1\nb 2\n'
a 1
b 2

$DASHES
[ERROR]: Unsafe command! custom g c rm -f /tmp/never
custom g c exit 3
exit status 3

$DASHES
Errors = 1" "$(cat "$WORK/err.log")"

"$VESK_BIN" -t "$WORK/missing.conf" >"$WORK/out.log" 2>"$WORK/err.log" </dev/null
check_eq "-t on a missing file exits with status 1" 1 $?
check "-t on a missing file says which and why" \
    grep -qE "^[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} open $WORK/missing.conf: No such file or directory\$" \
    "$WORK/err.log"
check_eq "-t on a missing file names it first" "Config file: $WORK/missing.conf" "$(head -n 1 "$WORK/err.log")"

finish
