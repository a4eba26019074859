# Shared helpers of the black-box tests. Source it first thing:
#   . "$(dirname "$0")/lib.sh"
# The script then re-runs itself inside private mount, IPC and network namespaces,
# with tmpfs on /run and /tmp and the loopback interface up, so the agent's fixed
# paths (/var/run/vesk.pid, /tmp/vesk.last) and IPC keys never touch the machine's.
set -u

: "${VESK_BIN:?VESK_BIN must name the vesk binary}"

if [ -z "${VESK_IN_NS:-}" ]; then
    if [ "$(id -u)" != 0 ]; then
        echo "SKIP: black-box tests need root for their namespaces"
        exit 0
    fi
    export VESK_IN_NS=1
    exec unshare --mount --ipc --net --fork --propagation private \
        bash -c 'mount -t tmpfs tmpfs /run && mount -t tmpfs tmpfs /tmp && ip link set lo up && exec bash "$0" "$@"' \
        "$0" "$@"
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

# Waits up to $2 seconds (default 10) for the file to exist.
wait_for_file() {
    local f=$1 t=${2:-10} i
    for ((i = 0; i < t * 10; i++)); do
        [ -e "$f" ] && return 0
        sleep 0.1
    done
    return 1
}

# Waits up to $3 seconds (default 10) until file $1 contains text $2.
wait_for_text() {
    local f=$1 text=$2 t=${3:-10} i
    for ((i = 0; i < t * 10; i++)); do
        [ -e "$f" ] && grep -qF -- "$text" "$f" && return 0
        sleep 0.1
    done
    return 1
}

# Waits up to $2 seconds (default 10) for process $1 to end.
wait_gone() {
    local pid=$1 t=${2:-10} i
    for ((i = 0; i < t * 10; i++)); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.1
    done
    return 1
}

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
    local kids
    kids=$(pgrep -P "$VESK_PID")
    kill -TERM "$VESK_PID" $kids 2>/dev/null
    wait_gone "$VESK_PID"
    for k in $kids; do wait_gone "$k"; done
}

# Writes a configuration file from standard input and prints its path.
write_conf() {
    local f="$WORK/${1:-vesk}.conf"
    cat >"$f"
    echo "$f"
}

# Ends every process left in this namespace and reports the result.
finish() {
    pkill -KILL -f "$VESK_BIN" 2>/dev/null
    if [ "$FAILS" -ne 0 ]; then
        echo "$FAILS check(s) failed; logs in $WORK:" >&2
        for f in "$WORK"/*.log; do
            [ -e "$f" ] && { echo "--- $f" >&2; tail -n 40 "$f" >&2; }
        done
        exit 1
    fi
    exit 0
}
