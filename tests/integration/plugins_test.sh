# The real agent with plug-in lines: one load for two lines, refused libraries and
# lines, the plug-in passes with their progress and error lines, and at the stop
# every counter freed before its plug-in is unloaded.
. "$(dirname "$0")/lib.sh"

export LD_LIBRARY_PATH="$VESK_BUILD/tests/plugins"
export VTEST_LOG="$WORK/calls.log"

conf=$(write_conf <<'EOF'
id 4242
interval 1
plugin vtest id=first
known_plugins vtest
vtest id=second fail=update
plugin vnojson
plugin vprefix
plugin vtest refuse
EOF
)

start_vesk --log-level info --config "$conf" --conf-glob "$WORK/none/*.conf"
check "the plug-in counters are updated" wait_for_text "$WORK/out.log" "updating vtest #2 counter" 15
check "the failing update is reported" \
    wait_for_text "$WORK/err.log" "[error] cannot update plugin Test Plugin vtest: update failed for handle 2" 5
kill -TERM "$VESK_PID"
check "the agent stops" wait_gone "$VESK_PID" 15

check_eq "the library is loaded once" 1 "$(grep -c "loading library 'libvesk-plugin-vtest.so'" "$WORK/err.log")"
check "the second line is appended" contains "$WORK/err.log" "appending Test Plugin vtest#2 after Test Plugin vtest#1"
check "a missing symbol is named" contains "$WORK/out.log" \
    "[error] plugin 'libvesk-plugin-vnojson.so' doesn't have a 'ge_json' symbol"
check "a foreign prefix is refused" contains "$WORK/err.log" \
    "[error] plugin real prefix 'other' mismatches expected 'vprefix'"
check "a refused line is reported" contains "$WORK/err.log" \
    "[error] cannot initialize vtest plugin counter: line refused (log level 4)"
check "both counters are initialised" grep -qzF $'\ninitializing vtest #1 counter\n\ninitializing vtest #2 counter\n' "$WORK/out.log"

# Only the two accepted lines ever reach the passes, and the stop frees before it unloads.
check_eq "the calls end with free, free, unload" $'vtest free 1\nvtest free 2\nvtest unload' \
    "$(tail -n 3 "$WORK/calls.log")"
check_eq "no handle beyond the two counters" "" "$(grep -vE '^vtest ([a-z-]+ [12]( |$)|unload$)' "$WORK/calls.log")"
check "the plug-in is unloaded" contains "$WORK/err.log" "[info] unloaded plugin 'Test Plugin vtest'"
check "the agent removes its pid file" test ! -e /var/run/vesk.pid

finish
