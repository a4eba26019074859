#!/usr/bin/env bash
# Start-up, command line and process model of the real agent.
. "$(dirname "$0")/lib.sh"

V=$VESK_BIN
PIDFILE=/run/vesk.pid

# Not root: every invocation is refused before the command line is read.
for args in "-h" "-v" "--showconfig"; do
    out=$(setpriv --reuid=65534 --regid=65534 --clear-groups "$V" $args 2>&1)
    rc=$?
    check_eq "non-root $args is refused" "ERROR: you must be root!" "$out"
    check "non-root $args exits 1" [ $rc -eq 1 ]
done

check_eq "help text" "VESK 1.2.7
Build on: Ubuntu 26.04 LTS
  -h       print this message
  -v       print version
  --osver  print OS version
  --debug  enable debug info
  --config set config file (/etc/vesk.conf by default)
  --conf-glob	pattern for multi-config (/etc/vesk.d/*.conf by default)
  --ifs    print net interfaces stats
  --sock   print sockets stats" "$("$V" -h)"
check_eq "version text" "1.2.7
Build on: Ubuntu 26.04 LTS" "$("$V" -v)"

conf=$(write_conf main <<'C'
id 4100
address 127.0.0.1
port 9
interval 2
C
)
NOGLOB="$WORK/none/*.conf"

# Options act in order; unknown ones are reported and skipped; a value option
# given last is reported and ignored.
out=$("$V" -vv --config "$conf" --conf-glob "$NOGLOB" --debmod mc,procsys,foo --log-level critical \
    --showconfig --config 2>"$WORK/opt.err")
check "unknown option reported" grep -qxF "Unknown option -vv" <<<"$out"
check "debmod list printed" grep -qxF "debugging modules: mc,procsys,foo" <<<"$out"
check "unknown module warned" grep -qxF "[warning] unknown module 'foo' in --debmod, ignoring" <<<"$out"
check "missing value reported" grep -qxF "Option --config needs a value, ignored" <<<"$out"
check "unknown log level warned" contains "$WORK/opt.err" "[warn] unknown log-level 'critical', using 'info'"
check "--debmod before --debug takes nothing" bash -c "'$V' --debmod --debug --config '$conf' --conf-glob '$NOGLOB' --showconfig | grep -qxF $'\tdebug: 1'"

# --showconfig: banner and settings, status 0, no pid file, no child.
out=$("$V" --config "$conf" --conf-glob "$NOGLOB" --showconfig)
rc=$?
check "--showconfig exits 0" [ $rc -eq 0 ]
check "banner" grep -qE '^\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} [A-Za-z+0-9-]+\] vesk v1\.2\.7 started$' <<<"$out"
check "settings printed" grep -qxF $'\tid: 4100' <<<"$out"
check "no pid file after --showconfig" [ ! -e $PIDFILE ]

# A bad configuration stops the start with its own message first.
bad=$(write_conf bad <<'C'
id 4100
interval 0
C
)
out=$("$V" --config "$bad" --conf-glob "$NOGLOB")
rc=$?
check "interval 0 refused" grep -qF "ERROR: interval must be a positive number of seconds" <<<"$out"
check "bad config line last" [ "$(tail -n1 <<<"$out")" == "ERROR: bad config!" ]
check "bad config exits 1" [ $rc -eq 1 ]

# -l lists the main file and the extra files; -e runs the editor or says why not.
mkdir -p "$WORK/d"
printf 'nameserver 10.0.0.1\n' >"$WORK/d/a.conf"
out=$("$V" --config "$conf" --conf-glob "$WORK/d/*.conf" -l)
check_eq "-l lists every file" "Config file: $conf
Ext config pattern: $WORK/d/*.conf
--- $conf:
$(cat "$conf")

--- $WORK/d/a.conf:
nameserver 10.0.0.1" "$out"
check_eq "-e runs \$EDITOR" "Config file: $conf
$(cat "$conf")" "$(EDITOR=cat "$V" --config "$conf" -e)"
out=$(env -u EDITOR PATH=/nonexistent "$V" -e)
rc=$?
check_eq "-e without an editor" "error: cannot call 'nano', 'vim' or 'vi'" "$out"
check "-e without an editor exits 0" [ $rc -eq 0 ]

# A real start without script counters forks the docker child.
start_vesk --config "$conf" --conf-glob "$NOGLOB"
check "docker child forked" wait_for_text "$WORK/out.log" "Successfully forked docker child pid = "
child=$(sed -n 's/^Successfully forked docker child pid = \([0-9]*\)$/\1/p' "$WORK/out.log")
check "pid file holds the parent's pid, no newline" cmp -s $PIDFILE <(printf '%s' "$VESK_PID")
check "docker child runs" kill -0 "$child"
# Each process writes its lines as they happen: the child's are there while it runs.
check "docker child's line while it runs" wait_for_text "$WORK/out.log" "[docker-child] shmat() succeeded key = 4101"
check "docker child still runs" kill -0 "$child"
check "container table is private to root" bash -c "ipcs -m | awk '\$1 == \"0x00001005\" && \$4 == \"600\"' | grep -q ."
kill -TERM "$VESK_PID"
check "parent stops on SIGTERM" wait_gone "$VESK_PID" 5
wait "$VESK_PID"
check "parent exits 0" [ $? -eq 0 ]
check "pid file removed" [ ! -e $PIDFILE ]
check "parent stops the docker child too" wait_gone "$child" 5
check "container table removed" bash -c "! ipcs -m | grep -q 0x00001005"
check "child killed message" contains "$WORK/out.log" "Killing child..."

# With a script counter the child is the customs child.
cconf=$(write_conf customs <<'C'
id 4101
address 127.0.0.1
port 9
interval 2
custom g c echo 1
C
)
start_vesk --config "$cconf" --conf-glob "$NOGLOB"
check "parent announces itself" wait_for_text "$WORK/out.log" "[$VESK_PID] MAIN process"
customs=$(pgrep -P "$VESK_PID")
check "customs child announces itself while it runs" wait_for_text "$WORK/out.log" "[$customs] Forked CUSTOMS child"
check "customs child runs" kill -0 "$customs"
kill -TERM "$VESK_PID"
check "parent stops" wait_gone "$VESK_PID" 5
check "customs child stops" wait_gone "$customs" 5
check "pid file removed (customs)" [ ! -e $PIDFILE ]

# A pid file that cannot be written is reported and the start goes on.
mount -o remount,ro /run
start_vesk --config "$conf" --conf-glob "$NOGLOB"
check "unwritable pid file reported" wait_for_text "$WORK/err.log" "cannot write pid file /var/run/vesk.pid"
check "agent runs without a pid file" wait_for_text "$WORK/out.log" "Successfully forked docker child"
kill -TERM "$VESK_PID"
check "stops without a pid file" wait_gone "$VESK_PID" 5
mount -o remount,rw /run

# A second SIGINT while the parent is shutting down takes the default action at once.
# The parent is held in its shutdown by a full output pipe that nobody reads.
python3 - "$V" "$conf" "$NOGLOB" >"$WORK/sigint.log" 2>&1 <<'PY'
import fcntl, os, signal, subprocess, sys, time
vesk, conf, noglob = sys.argv[1:]
r, w = os.pipe()
fcntl.fcntl(w, 1031, 4096)  # F_SETPIPE_SZ: a small pipe fills quickly
p = subprocess.Popen([vesk, "--config", conf, "--conf-glob", noglob, "--debug"],
                     stdout=w, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
os.close(w)

def until(cond, what):
    for _ in range(300):
        if cond():
            return
        time.sleep(0.1)
    sys.exit("timed out waiting: " + what)

def writing():  # blocked in write(2) on the full pipe
    with open(f"/proc/{p.pid}/syscall") as f:
        return f.read().split()[0] == "1"

def catches_sigint():
    with open(f"/proc/{p.pid}/status") as f:
        mask = [l for l in f if l.startswith("SigCgt:")][0].split()[1]
    return int(mask, 16) & (1 << (signal.SIGINT - 1)) != 0

until(writing, "the parent to block on its output")
os.kill(p.pid, signal.SIGINT)
until(lambda: not catches_sigint(), "the stop handler to run")
until(writing, "the parent to block again while stopping")
os.kill(p.pid, signal.SIGINT)
rc = p.wait(timeout=5)
print("status", rc)
sys.exit(0 if rc == -signal.SIGINT else 1)
PY
check "second SIGINT during shutdown kills at once" [ $? -eq 0 ]
check "pid file stays after the default action" [ -e $PIDFILE ]
rm -f $PIDFILE

finish
