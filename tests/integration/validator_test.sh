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

echo 'custom g c echo hi' >"$WORK/one.conf"
PATH=/nonexistent "$VESK_BIN" -t "$WORK/one.conf" >/dev/null 2>"$WORK/err.log" </dev/null
check_eq "a shell that cannot be found is a failed command" "Config file: $WORK/one.conf
custom g c echo hi
exec: \"sh\": No such file or directory

$(printf -- '-%.0s' $(seq 62))
Errors = 1" "$(cat "$WORK/err.log")"

"$VESK_BIN" -t "$WORK/missing.conf" >"$WORK/out.log" 2>"$WORK/err.log" </dev/null
check_eq "-t on a missing file exits with status 1" 1 $?
check_eq "-t on a missing file names it, then says why after the date" "Config file: $WORK/missing.conf
DATE open $WORK/missing.conf: No such file or directory" \
    "$(sed -E 's#^[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} #DATE #' "$WORK/err.log")"

finish
