# Shared helpers of the black-box tests. Source it first thing:
#   . "$(dirname "$0")/lib.sh"
# The script then re-runs itself inside private mount, IPC, network and PID
# namespaces, with fresh tmpfs on /run and /tmp and the loopback interface up, so
# the agent's fixed paths (/var/run/vesk.pid, /tmp/vesk.last), its IPC keys, ports
# and processes never touch the machine's nor another suite's: suites may run side
# by side. The caller's checkout and build stay in view even when they live under
# /tmp or /run. When the script ends, however it ends, every process left in its
# namespace is killed and its /tmp and /run are gone.
set -u
# The agent refuses configuration files that group or others could write.
umask 022

: "${VESK_BIN:?VESK_BIN must name the vesk binary}"

if [ -z "${VESK_IN_NS:-}" ]; then
    if [ "$(id -u)" != 0 ]; then
        echo "SKIP: black-box tests need root for their namespaces"
        exit 0
    fi
    export VESK_IN_NS=setup
    # The script becomes the namespace's first process; unshare takes it down with it.
    exec unshare --mount --ipc --net --pid --fork --kill-child --mount-proc --propagation private \
        bash "$0" "$@"
fi

# The directories the suite needs from outside: its own, the agent's, the build, the sources.
ns_kept_dirs() {
    local p
    for p in "$(dirname "$0")" "$(dirname "$VESK_BIN")" "${VESK_BUILD:-}" "${VESK_SRC:-}" \
        "${VESK_FIXTURES:-}" "$PWD"; do
        [ -n "$p" ] && realpath -m -- "$p"
    done | LC_ALL=C sort -u
}

# Mounts fresh tmpfs on /tmp and /run, then binds back the kept directories that
# lay under them, reached through descriptors opened on the old ones.
ns_private_dirs() {
    local kept=() p k d fd rel
    mapfile -t kept < <(ns_kept_dirs)
    exec 8</tmp 9</run
    mount -t tmpfs tmpfs /tmp && mount -t tmpfs tmpfs /run || return 1
    local bound=()
    for p in "${kept[@]}"; do
        for k in "${bound[@]}"; do
            [[ $p == "$k"/* ]] && continue 2
        done
        for d in /tmp /run; do
            [[ $p == "$d"/* ]] || continue
            fd=8
            [ "$d" = /run ] && fd=9
            rel=${p#"$d"/}
            mkdir -p -- "$p" &&
                mount --no-canonicalize --bind "/proc/self/fd/$fd/$rel" "$p" || return 1
            bound+=("$p")
        done
    done
    exec 8<&- 9<&-
}

if [ "$VESK_IN_NS" = setup ]; then
    ns_private_dirs || { echo "FAIL: cannot set up the private /tmp and /run" >&2; exit 1; }
    ip link set lo up
    export VESK_IN_NS=1
fi

WORK=$(mktemp -d /tmp/vesk-test.XXXXXX)
FAILS=0
VESK_PID=

fail() {
    echo "FAIL: $*" >&2
    FAILS=$((FAILS + 1))
}

pass() { echo "ok: $*"; }

# check DESCRIPTION COMMAND...: passes when the command succeeds.
check() {
    local what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}

# Exact comparison of two texts, with a diff on failure.
check_eq() {
    local what=$1 want=$2 got=$3
    if [ "$want" == "$got" ]; then
        pass "$what"
    else
        fail "$what"
        diff <(printf '%s\n' "$want") <(printf '%s\n' "$got") >&2
    fi
}

contains() { grep -qF -- "$2" "$1"; }

# Rates. The agent takes a counter's rates over the milliseconds between the
# counter's own two reads, in two regular cycles one interval apart give or take
# the cycles' wakes. A late wake also delays the report, so when the interval does
# not tell the span, the reports' arrivals do. Either one is blurred by the work
# around the reads (and the collector's own wake) by a few hundredths under load:
# RATE_SLACK per cent.
RATE_SLACK=5

# span_window DIR FROM [TO]: "LO HI", the least and the most milliseconds the spans
# behind reports FROM..TO (DIR/packet-K.bin, FROM > 1) may have lasted.
span_window() {
    local k iv
    iv=$("$VESK_BUILD/tests/tools/bson2json" --packet "$1/packet-$2.bin" | awk -F'\t' '$1 == "interval" { print $3 }')
    for ((k = $2 - 1; k <= ${3:-$2}; k++)); do stat -c %.3Y "$1/packet-$k.bin"; done |
        awk -v s="$RATE_SLACK" -v iv="$iv" 'BEGIN { lo = hi = iv * 1000 }
            NR > 1 { d = ($1 - p) * 1000; if (d < lo) lo = d; if (d > hi) hi = d } { p = $1 }
            END { printf "%d %d\n", lo * (1 - s / 100), hi * (1 + s / 100) + 1 }'
}

# check_rates DESCRIPTION "LO HI" WANT GOT: as check_eq, where each line of WANT that
# ends in {EXPR} is a rate the agent took over a span in LO..HI ms (see rates.py).
check_rates() {
    check "$1" python3 "$(dirname "${BASH_SOURCE[0]}")/rates.py" $2 "$3" "$4"
}

# wait_until SECONDS COMMAND...: polls until the command succeeds; false once the
# seconds have passed.
wait_until() {
    local t=$1 i
    shift
    for ((i = 0; i < t * 10; i++)); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

# Waits up to $2 seconds (default 10) until something accepts on 127.0.0.1:$1.
port_open() { (: <"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
wait_port() { wait_until "${2:-10}" port_open "$1"; }

# Waits up to $2 seconds (default 10) for the file to exist.
wait_for_file() { wait_until "${2:-10}" test -e "$1"; }

# Waits up to $3 seconds (default 10) until file $1 contains text $2.
wait_for_text() { wait_until "${3:-10}" grep -qsF -- "$2" "$1"; }

# Waits up to $2 seconds (default 10) for process $1 to end.
wait_gone() { wait_until "${2:-10}" lib_ended "$1"; }
lib_ended() { ! kill -0 "$1" 2>/dev/null; }

# Starts the agent in the background: output in $WORK/out.log and $WORK/err.log,
# its pid in VESK_PID.
start_vesk() {
    # Emptied here, not by the background job's redirections, so that no caller
    # polling the logs can read an earlier run's lines.
    : >"$WORK/out.log"
    : >"$WORK/err.log"
    "$VESK_BIN" "$@" >>"$WORK/out.log" 2>>"$WORK/err.log" </dev/null &
    VESK_PID=$!
}

# Stops the agent started by start_vesk, and its child, and waits for both.
stop_vesk() {
    local kids k
    kids=$(pgrep -P "$VESK_PID")
    kill -TERM "$VESK_PID" $kids 2>/dev/null
    wait_gone "$VESK_PID"
    for k in $kids; do wait_gone "$k"; done
}

# start_collector OPTIONS...: the test collector on a free loopback port (UDP, or
# TCP with --tcp), its packets in $WORK and its lines in $WORK/collector.log; sets
# COLLECTOR_PID and COLLECTOR_PORT.
start_collector() {
    "$VESK_BUILD/tests/tools/vesk_collector" --port 0 --out "$WORK" "$@" >"$WORK/collector.log" 2>&1 &
    COLLECTOR_PID=$!
    wait_for_text "$WORK/collector.log" listening || fail "collector did not start"
    COLLECTOR_PORT=$(sed -n 's/^listening [a-z]* 127.0.0.1://p' "$WORK/collector.log")
}

# stop_run NAME [PID]: stops the agent, then, once what was in flight has arrived,
# the collector (PID, default $COLLECTOR_PID); keeps the agent's logs as
# $WORK/NAME.out and $WORK/NAME.err.
stop_run() {
    local collector=${2:-$COLLECTOR_PID}
    stop_vesk
    sleep 0.5
    kill "$collector" 2>/dev/null
    wait "$collector" 2>/dev/null
    cp "$WORK/out.log" "$WORK/$1.out"
    cp "$WORK/err.log" "$WORK/$1.err"
}

# Whether the agent is built with AddressSanitizer, whose resident set grows by
# itself (shadow pages, the quarantine of freed blocks).
under_asan() { ldd "$VESK_BIN" | grep -q libasan; }

# Writes a configuration file from standard input and prints its path.
write_conf() {
    local f="$WORK/${1:-vesk}.conf"
    cat >"$f"
    echo "$f"
}

# Prints the end of every log of the suite on standard error.
show_logs() {
    local f
    for f in "$WORK"/*.log; do
        [ -e "$f" ] && { echo "--- $f" >&2; tail -n 40 "$f" >&2; }
    done
}

# Ends every process left in this namespace and reports the result.
finish() {
    pkill -KILL -f "$VESK_BIN" 2>/dev/null
    FINISHED=1
    if [ "$FAILS" -ne 0 ]; then
        echo "$FAILS check(s) failed; logs in $WORK:" >&2
        show_logs
        exit 1
    fi
    exit 0
}

# at_exit COMMAND: runs the command when the suite ends, however it ends, the last
# registered first (suites use it instead of their own EXIT trap).
AT_EXIT=()
at_exit() { AT_EXIT=("$*" "${AT_EXIT[@]}"); }

FINISHED=
lib_on_exit() {
    local rc=$? c
    for c in "${AT_EXIT[@]}"; do eval "$c"; done
    if [ -z "$FINISHED" ]; then
        echo "FAIL: the suite ended before its finish (status $rc)" >&2
        show_logs
        exit 1
    fi
}
trap lib_on_exit EXIT
