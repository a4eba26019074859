#!/usr/bin/env bash
# Reports on the wire: UDP and TCP, signed and unsigned, the masked local address,
# a collector that refuses connections, and the packet dump. Packets are judged by
# the test tools (libbson) and sha1sum, never by the agent's own code.
. "$(dirname "$0")/lib.sh"

B2J=$VESK_BUILD/tests/tools/bson2json
COLLECTOR=$VESK_BUILD/tests/tools/vesk_collector
NOGLOB="$WORK/none/*.conf"
DUMP=/tmp/vesk.last

# run_case NAME PACKETS CONF [COLLECTOR OPTIONS...]: a collector on 127.0.0.1:8641
# receives PACKETS packets from the agent into $WORK/NAME/.
run_case() {
    local name=$1 count=$2 conf=$3
    shift 3
    mkdir -p "$WORK/$name"
    "$COLLECTOR" --out "$WORK/$name" --timeout 40 "$@" >"$WORK/$name.log" 2>&1 &
    local cpid=$!
    wait_for_text "$WORK/$name.log" listening
    start_vesk --config "$conf" --conf-glob "$NOGLOB" --dump
    wait_for_text "$WORK/$name.log" "packet $count:" 40
    stop_vesk
    # Whatever was in flight when the agent stopped has arrived by now.
    sleep 0.5
    kill "$cpid" 2>/dev/null
    wait "$cpid" 2>/dev/null
    cp "$WORK/out.log" "$WORK/$name.out"
}

last_packet() { ls "$WORK/$1"/packet-*.bin | sort -V | tail -n1; }

doc_length() { od -An -tu4 -N4 "$1" | tr -d ' '; }

# The document's bytes followed by the secret, hashed by sha1sum.
expected_signature() {
    { head -c "$(doc_length "$1")" "$1"; printf '%s' "$2"; } | sha1sum | cut -c1-40
}

# Top-level names and types.
top_keys() { "$B2J" --packet "$1" | cut -f1,2 | grep -v '^[^	]*\.'; }

conf_for() {
    local name=$1 extra=$2
    write_conf "$name" <<C
id 4301
address 127.0.0.1
port 8641
interval 1
$extra
C
}

# --- UDP without a secret: the packet is exactly the document.
run_case udp_plain 2 "$(conf_for udp_plain "")"
p=$(last_packet udp_plain)
check "unsigned UDP packets are valid documents" [ "$(grep -c ', valid$' "$WORK/udp_plain.log")" -ge 2 ]
check_eq "unsigned packet has no trailing bytes" "$(stat -c %s "$p")" "$(doc_length "$p")"
check_eq "header in order" "$(printf '%s\n' 'id	int32' 'name	string' 'time	int32' 'interval	int32' \
    'version	string' 'custom_errors	int32')" "$(top_keys "$p" | head -n6)"
check_eq "the six arrays in order" "$(printf '%s\tarray\n' memcaches beanstalks custom mycustoms mysqls redises)" \
    "$(top_keys "$p" | grep -P '\tarray$')"
check "id is 4301" grep -qxP 'id\tint32\t4301' < <("$B2J" "$p")
check "no local_ip over UDP" bash -c "! '$B2J' '$p' | grep -q '^local_ip'"
check "no docker object without containers" bash -c "! '$B2J' '$p' | grep -q '^docker'"

# --- UDP with a secret: 40 hex digits of SHA-1(document + secret); the dump is the last packet.
secret='s3cr3t-key'
run_case udp_signed 3 "$(conf_for udp_signed "secret $secret")" --secret "$secret"
check "signed UDP packets verified by the collector" [ "$(grep -c ', valid$' "$WORK/udp_signed.log")" -ge 3 ]
check "no invalid packet" bash -c "! grep -q invalid '$WORK/udp_signed.log'"
p=$(last_packet udp_signed)
check_eq "signature is sha1sum of document and secret" "$(expected_signature "$p" "$secret")" "$(tail -c 40 "$p")"
check "dump equals the last packet sent" cmp -s "$p" "$DUMP"
check_eq "dump is private" "600 root" "$(stat -c '%a %U' "$DUMP")"
cp "$DUMP" "$WORK/dump.before"

# --- TCP, secret starting with ffffffff: local_ip is 127.0.0.1 XOR the sign-extended mask.
secret='ffffffff0123'
run_case tcp_mask 2 "$(conf_for tcp_mask "proto tcp
secret $secret")" --tcp --secret "$secret"
p=$(last_packet tcp_mask)
check "TCP packets verified" [ "$(grep -c ', valid$' "$WORK/tcp_mask.log")" -ge 2 ]
check_eq "local_ip masked" "local_ip	int64	$((0x7f000001 ^ -1))" "$("$B2J" --packet "$p" | grep '^local_ip')"
check_eq "local_ip right after the identity" "id local_ip name" "$(top_keys "$p" | head -n3 | cut -f1 | xargs)"
check_eq "TCP signature" "$(expected_signature "$p" "$secret")" "$(tail -c 40 "$p")"

# --- TCP, secret of 7 characters: signed, but no local_ip.
secret='abcdefg'
run_case tcp_short 2 "$(conf_for tcp_short "proto tcp
secret $secret")" --tcp --secret "$secret"
p=$(last_packet tcp_short)
check "short-secret TCP packets verified" [ "$(grep -c ', valid$' "$WORK/tcp_short.log")" -ge 2 ]
check "no local_ip with a short secret" bash -c "! '$B2J' --packet '$p' | grep -q '^local_ip'"

# --- TCP refused: one line per cycle, no descriptor left open, the dump untouched.
cp "$WORK/dump.before" "$DUMP"
conf=$(conf_for tcp_refused "proto tcp
secret $secret")
start_vesk --config "$conf" --conf-glob "$NOGLOB" --dump --debug
wait_for_text "$WORK/out.log" "could not bind socket" 20
fds_first=$(ls /proc/"$VESK_PID"/fd | wc -l)
sleep 4
fds_later=$(ls /proc/"$VESK_PID"/fd | wc -l)
stop_vesk
check_eq "no descriptor leaks across refused cycles" "$fds_first" "$fds_later"
cycles=$(grep -c '^Main loop iteration at' "$WORK/out.log")
refusals=$(grep -cxF "could not bind socket or connect whatever (127.0.0.1) -1 111" "$WORK/out.log")
check "several cycles ran" [ "$cycles" -ge 4 ]
check_eq "one refusal per sending cycle" "$((cycles - 1))" "$refusals"
check "a failed send leaves the previous dump" cmp -s "$WORK/dump.before" "$DUMP"

# --- A dump file that is not the agent's to write: said once, left alone.
printf keep >"$DUMP"
chown 65534 "$DUMP"
run_case dump_foreign 3 "$(conf_for dump_foreign "")"
check_eq "an unwritable dump is reported once" "cannot write dump file /tmp/vesk.last: Operation not permitted" \
    "$(grep -F 'dump file' "$WORK/err.log")"
check_eq "the foreign file is left alone" keep "$(cat "$DUMP")"

finish
