# The real agent against PostgreSQL peers that misbehave (tests/fakes/pg_fake.py), one
# counter each: COPY answers in both directions, thousands of notices a statement, a
# 200-kB error of escape sequences and bytes that are no UTF-8, bytes that make the
# client library lose its place, rows without end, a row of 300 MB, rows of 1,600
# NULLs without end, and a message type 0 that cuts the library's error text short.
# The reports keep their pace and their other parts, only the chatty but correct peer
# reports, what the peers send reaches the agent's output small, printable, valid
# UTF-8 and one message a line, nor does it fill the agent's memory, the big answers
# are given up long before the deadline, and a stop is prompt.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/sql_servers.sh"

PIDFILE=/run/vesk.pid
port=15431
lines=
for mode in copy-out copy-in notices error desync rows huge-row wide-rows type-zero; do
    python3 "$VESK_SRC/tests/fakes/pg_fake.py" --port $port --mode $mode >"$WORK/fake-$mode.log" 2>&1 &
    check "the $mode peer listens" wait_for_text "$WORK/fake-$mode.log" ready 5
    lines+="postgresql_${mode//-/} mon:Pg-s3cret@127.0.0.1:$port"$'\n'
    port=$((port + 1))
done
sql_agent 4251 "Postgre found and loaded = libpq.so" <<<"$lines"

# Three whole cycles; the logs are taken right after a report, long before the next
# cycle begins.
first=$(oracle last "$WORK/packets")
err=$(stat -c %s "$WORK/err.log")
oracle wait "$WORK/packets" $((first + 3))
cp "$WORK/out.log" "$WORK/cycles.out"
cp "$WORK/err.log" "$WORK/cycles.err"
err=$((($(stat -c %s "$WORK/cycles.err") - err) / 3))
check "what the peers send stays small ($err bytes a cycle)" [ "$err" -lt 3072 ]
# Endless rows and a huge row are given up after a bound, not held until the deadline
# (some hundred MB by then), whatever the shape of their messages.
peak=$(awk '/^VmHWM:/ { print $2 }' "/proc/$VESK_PID/status")
under_asan || check "big answers do not fill the agent's memory (peak $peak kB)" [ "$peak" -lt 65536 ]

start=${EPOCHREALTIME/./}
kill -TERM "$VESK_PID"
wait_until 3 test ! -e "$PIDFILE"
ms=$(((${EPOCHREALTIME/./} - start) / 1000))
check "the stop is prompt ($ms ms)" [ "$ms" -le 1500 ]
sql_agent_end "Pg-s3cret"

# interval 2 + 1 s
oracle pg-hostile "$WORK/packets" 3 notices copyout copyin error desync rows hugerow widerows typezero ||
    fail "the pace"
check "the output is valid UTF-8 without control characters" python3 -c '
import re, sys
for f in sys.argv[1:]:
    try:
        bad = re.search("[\x00-\x08\x0b-\x1f\x7f-\x9f]", open(f, "rb").read().decode())
    except UnicodeDecodeError as e:
        sys.exit(f"{f}: {e}")
    if bad:
        sys.exit(f"{f}: {bad.group()!r} at {bad.start()}")' "$WORK/out.log" "$WORK/err.log"

cycles=$(grep -c '^Main loop iteration' "$WORK/cycles.out")
for id in copyout copyin rows widerows; do
    check_eq "$id: one line an update" "$cycles" "$(grep -acxF \
        "[postgres] ERROR: $id: unexpected answer to a statement, connection closed" "$WORK/cycles.err")"
done
# Past the cap on what one update may take, the line says so.
check_eq "hugerow: one line an update, naming the cap" "$cycles" "$(grep -acxF \
    "[postgres] ERROR: hugerow: answer over 4 MiB, connection closed" "$WORK/cycles.err")"
# Each connection of the big answers, as long as the peer saw it, well within the
# deadline of 2 s.
for mode in rows huge-row wide-rows; do
    ms=$(awk '/^closed after/ { if ($3 > max) max = $3 } END { print max + 0 }' "$WORK/fake-$mode.log")
    check "$mode: given up at once (at most $ms ms)" [ "$ms" -lt 1000 ]
done
# With --debug only; the dump's progress text comes before it on the line.
check_eq "notices: one count an update" "$cycles" \
    "$(grep -cF '[postgres] notices: 12000 notices from the server dropped' "$WORK/cycles.out")"
check_eq "notices: never shown" "" "$(grep -ahF chatty "$WORK/out.log" "$WORK/err.log")"
# Each statement before the version fails, then the version itself: the text whole
# characters and escapes up to 256 bytes, then a mark.
shown=$(grep -aF '  ERROR:  \x1b[2J\x1b]0;owned\x07\x9b31m\xff\xfe\xc3(\xe2\x82\xed\xa0\x80\x1b[2J' "$WORK/cycles.err")
check_eq "error: four a cycle, shown printable" $((cycles * 4)) "$(grep -c . <<<"$shown")"
check_eq "error: each cut at 256 bytes with a mark" $'1\t\xe2\x80\xa6' \
    "$(LC_ALL=C awk '{ print (length($0) - 2 <= 256) "\t" substr($0, length($0) - 2) }' <<<"$shown" | sort -u)"
check "desync: the lost place is told, printable" contains "$WORK/err.log" \
    '  lost synchronization with server: got message type "\x1b", length 1530022427'
check_eq "desync: the later statements fail at once" $((cycles * 3)) \
    "$(grep -acxF '  no connection to the server' "$WORK/cycles.err")"
check_eq "type-zero: the cut text ends its line" $((cycles * 4)) \
    "$(grep -acxF '  unexpected response from server; first received character was "' "$WORK/cycles.err")"
check_eq "each line of errors is one message" "" \
    "$(grep -avE '^(\[postgres\] |  [^ ]|[0-9]{4}/[0-9]{2}/[0-9]{2} )|.\[postgres\]' "$WORK/err.log")"

finish
