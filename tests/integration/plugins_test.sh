# The real agent with plug-in lines: one load for two lines, refused libraries and
# lines, the plug-in passes with their progress and error lines, the plug-in
# documents in the reports (a failed ge_bson leaves its counter out of that report
# only), and at the stop every counter freed before its plug-in is unloaded.
. "$(dirname "$0")/lib.sh"

export LD_LIBRARY_PATH="$VESK_BUILD/tests/plugins"
export VTEST_LOG="$WORK/calls.log"
TOOLS="$VESK_BUILD/tests/tools"

mkdir -p "$WORK/packets"
"$TOOLS/vesk_collector" --port 0 --out "$WORK/packets" --count 4 --timeout 60 >"$WORK/collector.log" 2>&1 &
COLLECTOR_PID=$!
check "the collector listens" wait_for_text "$WORK/collector.log" "listening udp" 10
port=$(sed -n 's/^listening udp 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$WORK/collector.log")

FLAG="$WORK/bson_fails"
conf=$(write_conf <<EOF
id 4242
address 127.0.0.1
port $port
interval 1
plugin vtest id=flaky bsonfail=$FLAG
known_plugins vtest
vtest id=steady fail=update
plugin vnojson
plugin vprefix
plugin vtest refuse
EOF
)

touch "$FLAG"
start_vesk --log-level info --config "$conf" --conf-glob "$WORK/none/*.conf"
check "a first report arrives" wait_for_text "$WORK/collector.log" "packet 1:" 20
rm -f "$FLAG"
check "four reports arrive" wait_for_text "$WORK/collector.log" "packet 4:" 20
kill -TERM "$VESK_PID"
check "the agent stops" wait_gone "$VESK_PID" 15
check_eq "every report is valid" 4 "$(grep -c '^packet [0-9]*: [0-9]* bytes, valid$' "$WORK/collector.log")"

# Loading and refusals.
check_eq "the library is loaded once" 1 "$(grep -c "loading library 'libvesk-plugin-vtest.so'" "$WORK/err.log")"
check "the second line is appended" contains "$WORK/err.log" "appending Test Plugin vtest#2 after Test Plugin vtest#1"
check "a missing symbol is named" contains "$WORK/out.log" \
    "[error] plugin 'libvesk-plugin-vnojson.so' doesn't have a 'ge_json' symbol"
check "a foreign prefix is refused" contains "$WORK/err.log" \
    "[error] plugin real prefix 'other' mismatches expected 'vprefix'"
check "a refused line is reported" contains "$WORK/err.log" \
    "[error] cannot initialize vtest plugin counter: line refused (log level 4)"

# The passes.
check "both counters are initialised" \
    grep -qzF $'\ninitializing vtest #1 counter\n\ninitializing vtest #2 counter\n' "$WORK/out.log"
check "the failing update is reported" contains "$WORK/err.log" \
    "[error] cannot update plugin Test Plugin vtest: update failed for handle 2"
check "each report asks for the documents" grep -qzF $'\nBSONing vtest #1 counter\n\nBSONing vtest #2 counter\n' \
    "$WORK/out.log"

# The reports: the first without the counter whose ge_bson failed, the last with both.
mycustoms() { "$TOOLS/bson2json" --packet "$WORK/packets/packet-$1.bin" | grep '^mycustoms\.'; }
steady=$'mycustoms.steady\tdocument\t
mycustoms.steady.handle\tint32\t2
mycustoms.steady.line\tstring\tvtest id=steady fail=update\\n
mycustoms.steady.updates\tint32\t0'
check_eq "the first report holds the steady counter only" "$steady" "$(mycustoms 1)"
check "the failed ge_bson is reported" contains "$WORK/err.log" \
    "[error] [vtest] unable to bson remote: bson failed for handle 1"
last=$(mycustoms 4)
check_eq "the last report holds both, in line order" $'mycustoms.flaky\nmycustoms.steady' \
    "$(grep -P '^mycustoms\.[a-z]+\t' <<<"$last" | cut -f1)"
check "the flaky counter's document" grep -qxF "$(printf 'mycustoms.flaky.line\tstring\tvtest id=flaky bsonfail=%s\\n' "$FLAG")" \
    <<<"$last"
check "its updates are counted" grep -qP '^mycustoms\.flaky\.updates\tint32\t[1-9][0-9]*$' <<<"$last"

# The stop: only the two accepted lines ever reached the passes, and both were freed
# before the plug-in was unloaded.
check_eq "the calls end with free, free, unload" $'vtest free 1\nvtest free 2\nvtest unload' \
    "$(tail -n 3 "$WORK/calls.log")"
check_eq "no handle beyond the two counters" "" "$(grep -vE '^vtest ([a-z-]+ [12]( |$)|unload$)' "$WORK/calls.log")"
check "the plug-in is unloaded" contains "$WORK/err.log" "[info] unloaded plugin 'Test Plugin vtest'"

kill "$COLLECTOR_PID" 2>/dev/null
finish
