#!/usr/bin/python3
"""The servers' own view, against which the SQL suites judge the agent's reports.

Each command waits for the agent's reports as the collector writes them
(DIR/packet-N.bin), reads the servers with independent clients (PyMySQL, psycopg2),
drives load between two reports where it says so, and compares. It prints one
"ok: ..." or "FAIL: ..." line per check and exits with the number of failures.
"""
import glob
import os
import re
import subprocess
import sys
import time

TOOLS = os.path.join(os.environ["VESK_BUILD"], "tests", "tools")
FAILS = 0


def check(what, good, detail=""):
    global FAILS
    if good:
        print(f"ok: {what}")
    else:
        FAILS += 1
        print(f"FAIL: {what} {detail}", file=sys.stderr)


def check_eq(what, want, got):
    check(what, want == got, f"\n  want {want!r}\n  got  {got!r}")


def check_between(what, lo, got, hi):
    check(what, got is not None and lo <= got <= hi, f"\n  want {lo} <= x <= {hi}\n  got  {got!r}")


# ---- reports ----

def numbers(d):
    return sorted(int(re.search(r"packet-(\d+)\.bin$", p).group(1)) for p in glob.glob(f"{d}/packet-*.bin"))


def wait_packet(d, n, timeout=20):
    path = f"{d}/packet-{n}.bin"
    end = time.time() + timeout
    while time.time() < end:
        if os.path.exists(path):
            time.sleep(0.02)  # the collector writes it whole
            return n
        time.sleep(0.02)
    raise SystemExit(f"FAIL: no report {n} within {timeout} s")


def fresh_packet(d):
    """Waits for the next report, so that what follows starts right after the agent's reads."""
    have = numbers(d)
    return wait_packet(d, (have[-1] if have else 0) + 1)


def report(d, n):
    """The report as (path, type, value) lines, in document order."""
    out = subprocess.run([f"{TOOLS}/bson2json", "--packet", f"{d}/packet-{n}.bin"], check=True,
                         capture_output=True, text=True).stdout
    return [tuple(line.split("\t")) for line in out.splitlines()]


def part(d, n, prefix):
    """The keys of one object, in order, as {key: (type, value)}; None when absent."""
    rows = report(d, n)
    if not any(p == prefix for p, _, _ in rows):
        return None
    out = {}
    for p, t, v in rows:
        if p.startswith(prefix + ".") and "." not in p[len(prefix) + 1:]:
            out[p[len(prefix) + 1:]] = (t, v)
    return out


def value(obj, key):
    if obj is None or key not in obj:
        return None
    t, v = obj[key]
    return float(v) if t == "double" else int(v)


def interval(d, n):
    return int(dict((p, v) for p, _, v in report(d, n))["interval"])


def span_window(d, n):
    """The least and the most seconds the agent's span behind report n may have lasted:
    it reads one interval apart give or take its timing, which the reports' arrivals
    show too; 5 % more either way, as the suites' shell library allows."""
    iv = interval(d, n)
    gap = os.stat(f"{d}/packet-{n}.bin").st_mtime - os.stat(f"{d}/packet-{n - 1}.bin").st_mtime
    return min(iv, gap) * 0.95, max(iv, gap) * 1.05


def rate_bounds(count, span, per=60):
    """What the agent may report for `count` events over a span in the window `span`."""
    return int(count * per / span[1]), -int(-count * per // span[0])


def check_rate(what, count, span, got, per=60):
    lo, hi = rate_bounds(count, span, per)
    check_between(what, lo, got, hi)


# ---- MySQL / MariaDB ----

MYSQL_KEYS = ["insert", "select", "update", "delete", "aborted", "innodb_pool", "slow", "innodb_free", "innodb_del",
              "innodb_ins", "innodb_read", "innodb_updated", "uptime", "restarted", "threads_connected",
              "crashed_tables", "long_queries"]
REPLICA_KEYS = MYSQL_KEYS[:12] + ["slave_running", "behind_master"] + MYSQL_KEYS[12:]


def my(sock):
    import pymysql
    return pymysql.connect(unix_socket=sock, user="root", autocommit=True)


def my_status(c):
    with c.cursor() as cur:
        cur.execute("SHOW GLOBAL STATUS")
        return {k: int(v) if v.isdigit() else v for k, v in cur.fetchall()}


def my_replica(c):
    with c.cursor(__import__("pymysql").cursors.DictCursor) as cur:
        cur.execute("SHOW SLAVE STATUS")
        return cur.fetchone()


def mysql_shape(d):
    n = fresh_packet(d)
    for ident, keys in (("main", MYSQL_KEYS), ("sock", MYSQL_KEYS), ("replica", REPLICA_KEYS)):
        obj = part(d, n, f"mysqls.{ident}")
        check_eq(f"mysqls.{ident}: keys in order", keys, list(obj or {}))
        check_eq(f"mysqls.{ident}: every value an int64", {"int64"}, {t for t, _ in (obj or {}).values()})
    # Neither the wrong password nor the line without a port ever reports.
    check_eq("mysqls holds main, sock and replica only", ["mysqls.main", "mysqls.replica", "mysqls.sock"],
             sorted({p for k in numbers(d) for p, _, _ in report(d, k) if re.match(r"mysqls\.[^.]+$", p)}))


def mysql_rates(d, sock):
    """Load between two reports; the rates against the server's counters sampled right
    after each of them. Between the two samples the server counts the load and one
    cycle of the agent's own statements, as between the agent's two reads."""
    c = my(sock)
    with c.cursor() as cur:
        cur.execute("SET SESSION long_query_time = 0.1")
        n = fresh_packet(d)
        before = my_status(c)
        for i in range(40):
            cur.execute("INSERT INTO t.a(v) VALUES (%s)", (i,))
        cur.execute("UPDATE t.a SET v = v + 1 WHERE i % 2 = 0")
        for i in range(7):
            cur.execute("UPDATE t.a SET v = v + 1 WHERE i = %s", (i,))
        cur.execute("DELETE FROM t.a WHERE v = 3")
        for i in range(25):
            cur.execute("SELECT v FROM t.a WHERE i = %s", (i,))
        cur.execute("SELECT SLEEP(0.25)")
        cur.execute("SELECT SLEEP(0.25)")
        mid = my_status(c)
        wait_packet(d, n + 1)
        after = my_status(c)
    check("the load fits between two reports", mid["Uptime"] - before["Uptime"] <= 1)
    span = span_window(d, n + 1)
    for ident in ("main", "sock"):
        obj = part(d, n + 1, f"mysqls.{ident}")
        for key, name in (("insert", "Com_insert"), ("update", "Com_update"), ("delete", "Com_delete"),
                          ("select", "Com_select"), ("slow", "Slow_queries"), ("aborted", "Aborted_connects")):
            check_rate(f"{ident}: {key} per minute", after[name] - before[name], span, value(obj, key))
        check_rate(f"{ident}: the inserts show", 40, span, value(obj, "insert"))
        # The two sleeps at least: on a busy host another statement of the load may be slow too.
        check_between(f"{ident}: the slow queries show", rate_bounds(2, span)[0], value(obj, "slow"),
                      rate_bounds(after["Slow_queries"] - before["Slow_queries"], span)[1])
        check_between(f"{ident}: uptime", before["Uptime"], value(obj, "uptime"), after["Uptime"])
        for key, name in (("innodb_pool", "Innodb_buffer_pool_pages_data"),
                          ("innodb_free", "Innodb_buffer_pool_pages_free")):
            lo, hi = sorted((before[name], mid[name], after[name]))[::2]
            got = value(obj, key)
            check(f"{ident}: {key} in whole pages", got is not None and got % 16384 == 0, f"{got}")
            check_between(f"{ident}: {key}", lo * 16384, got, hi * 16384)
        check_between(f"{ident}: threads_connected", 1, value(obj, "threads_connected"),
                      max(before["Threads_connected"], after["Threads_connected"]) + 2)
        # MariaDB 10.11 keeps no InnoDB row counts in its status.
        check_eq(f"{ident}: InnoDB rows", [0, 0, 0, 0],
                 [value(obj, k) for k in ("innodb_del", "innodb_ins", "innodb_read", "innodb_updated")])
        check_eq(f"{ident}: crashed, long, restarted", [0, 0, 0],
                 [value(obj, k) for k in ("crashed_tables", "long_queries", "restarted")])


def mysql_replica(d, primary, replica):
    """A lagging replica, then its SQL thread stopped: the lag it had stays."""
    r = my(replica)
    with r.cursor() as cur:
        cur.execute("STOP SLAVE")
        cur.execute("CHANGE MASTER TO MASTER_DELAY=3600")
        cur.execute("START SLAVE")
    with my(primary).cursor() as cur:
        cur.execute("INSERT INTO t.a(v) VALUES (1000)")
    deadline = time.time() + 20
    while True:
        n = fresh_packet(d)
        obj = part(d, n, "mysqls.replica")
        if (value(obj, "behind_master") or 0) >= 2 or time.time() > deadline:
            break
    lag = value(obj, "behind_master")
    check("the replica reports its lag", lag is not None and lag >= 2, f"{obj}")
    check_eq("the replica runs", 1, value(obj, "slave_running"))
    with r.cursor() as cur:
        cur.execute("STOP SLAVE SQL_THREAD")
    state = my_replica(r)
    check_eq("the server shows no lag once stopped", None, state["Seconds_Behind_Master"])
    obj = part(d, wait_packet(d, n + 1), "mysqls.replica")
    check_eq("a stopped SQL thread: not running", 0, value(obj, "slave_running"))
    check_eq("a stopped SQL thread: the last lag stays", lag, value(obj, "behind_master"))
    with r.cursor() as cur:
        cur.execute("STOP SLAVE")
        cur.execute("CHANGE MASTER TO MASTER_DELAY=0")
        cur.execute("START SLAVE")


def down_and_back(d, first, ident, array, restarted=None):
    """From report `first` on: present, absent while down and for the first cycle back,
    then present again; with `restarted`, that key is 1 in exactly the first one back."""
    objs = [part(d, k, f"{array}.{ident}") for k in numbers(d) if k >= first]
    shape = "".join("P" if o else "A" for o in objs)
    check(f"{array}.{ident}: absent while down and one cycle more, then back", re.fullmatch(r"P+A{2,}P+", shape),
          shape)
    if restarted:
        flags = [value(o, "restarted") for o in objs if o]
        back = shape.rfind("A") + 1
        want = [1 if i == back else 0 for i, o in enumerate(objs) if o]
        check_eq(f"{array}.{ident}: the restart is reported once, when it is back", want, flags)


# ---- Sphinx ----

SPHINX_KEYS = ["report", "id", "ok", "C", "C_S", "C_U", "Q", "Q_W"]


def sphinx_status(c):
    with c.cursor() as cur:
        cur.execute("SHOW STATUS")
        return dict(cur.fetchall())


def sphinx_rates(d, port):
    import pymysql
    c = pymysql.connect(host="127.0.0.1", port=port, user="x", autocommit=True)
    n = fresh_packet(d)
    before = sphinx_status(c)
    with c.cursor() as cur:
        # Enough documents that the searches take measurable wall time (searchd counts
        # it in milliseconds).
        cur.execute("INSERT INTO rt (id, title, gid) VALUES " + ",".join(
            f"({n * 10000 + i}, 'common word{i % 12} text{i % 7}', {i})" for i in range(3000)))
        for i in range(12):
            cur.execute(f"SELECT * FROM rt WHERE MATCH('word{i}')")
            cur.fetchall()
        for i in range(10):
            cur.execute("SELECT * FROM rt WHERE MATCH('common') ORDER BY gid DESC LIMIT 1000 OPTION max_matches=3000")
            cur.fetchall()
        for i in range(5):
            cur.execute(f"UPDATE rt SET gid = {i + 100} WHERE id = {n * 10000 + i}")
    mid = sphinx_status(c)
    wait_packet(d, n + 1)
    after = sphinx_status(c)
    span = span_window(d, n + 1)
    for ident in ("main", "nopass"):
        obj = part(d, n + 1, f"mycustoms.Sphinx_{ident}")
        check_eq(f"Sphinx_{ident}: keys in order", SPHINX_KEYS, list(obj or {}))
        check_eq(f"Sphinx_{ident}: types", ["string", "string"] + ["int64"] * 5 + ["double"],
                 [t for t, _ in (obj or {}).values()])
        check_eq(f"Sphinx_{ident}: report and id", ["Sphinx", ident], [obj["report"][1], obj["id"][1]] if obj else None)
        for key, name in (("C", "connections"), ("C_S", "command_search"), ("C_U", "command_update"),
                          ("Q", "queries")):
            check_rate(f"Sphinx_{ident}: {key} per minute", int(after[name]) - int(before[name]), span,
                       value(obj, key))
        for key, count in (("C_S", 22), ("Q", 27), ("C_U", 5)):
            check_rate(f"Sphinx_{ident}: the searches and updates show in {key}", count, span, value(obj, key))
        # Only the load spends wall time between the two samples.
        wall = (float(mid["query_wall"]) - float(before["query_wall"])) * 60.0
        check(f"Sphinx_{ident}: Q_W", wall > 0 and wall / span[1] <= value(obj, "Q_W") <= wall / span[0],
              f"{obj} {wall} {span}")


# ---- PostgreSQL ----

PG_KEYS = ["report", "id", "ok", "cmtd", "rolbck", "chk_t", "chk_seg", "all_con", "actv_con", "idle_con",
           "i_in_tr_con", "lock_con", "buf_chk", "buf_clean", "maxw_clean", "buf_b", "buf_b_fsync", "buf_alloc",
           "slo_all", "slo_dml", "slo_sel", "autovacuum", "in_recovery", "wal_receiver", "wal_size",
           "replication_state", "replication_lag"]


def pg(sockdir):
    import psycopg2
    c = psycopg2.connect(host=sockdir, user="postgres", dbname="postgres")
    c.autocommit = True
    return c


def pg_sample(c):
    with c.cursor() as cur:
        cur.execute("SET stats_fetch_consistency = none")
        cur.execute("select sum(xact_commit), sum(xact_rollback) from pg_stat_database")
        commits, rollbacks = cur.fetchone()
        cur.execute("select checkpoints_timed, checkpoints_req, buffers_checkpoint, buffers_alloc from pg_stat_bgwriter")
        timed, req, buf_chk, alloc = cur.fetchone()
        cur.execute("select count(*) * (select pg_size_bytes(current_setting('wal_segment_size'))) from "
                    "pg_ls_waldir()")
        wal = cur.fetchone()[0]
        cur.execute("select count(*) from pg_stat_activity")
        backends = cur.fetchone()[0]
        return dict(commits=int(commits), rollbacks=int(rollbacks), timed=timed, req=req, buf_chk=buf_chk,
                    alloc=alloc, wal=int(wal), backends=backends)


def pg_rates(d, sockdir):
    """Load after one report and before the next read. The server's samples right after
    each report bound what the agent read in between: report k's read X_k lies between
    the samples after reports k-1 and k."""
    c = pg(sockdir)
    n = fresh_packet(d)
    s0 = pg_sample(c)
    wait_packet(d, n + 1)
    s1 = pg_sample(c)
    load = pg(sockdir)
    with load.cursor() as cur:
        for i in range(300):
            cur.execute("select %s", (i,))
        load.autocommit = False
        for i in range(20):
            cur.execute("select 1")
            load.rollback()
        load.autocommit = True
        cur.execute("CHECKPOINT")
    load.close()  # its statistics go out with it
    wait_packet(d, n + 2)
    s2 = pg_sample(c)
    wait_packet(d, n + 3)
    s3 = pg_sample(c)
    span = span_window(d, n + 2)
    check("a checkpoint was requested", s2["req"] > s1["req"], f"{s1} {s2}")
    for ident in ("tcp", "sock"):
        a, b = part(d, n + 2, f"mycustoms.Postgre_{ident}"), part(d, n + 3, f"mycustoms.Postgre_{ident}")
        check_eq(f"Postgre_{ident}: keys in order", PG_KEYS, list(a or {}))
        check_eq(f"Postgre_{ident}: types", ["string", "string"] + ["int64"] * 25, [t for t, _ in (a or {}).values()])
        check_between(f"Postgre_{ident}: commits per minute over the load", rate_bounds(300, span)[0],
                      value(a, "cmtd"), rate_bounds(s2["commits"] - s0["commits"], span)[1])
        check_between(f"Postgre_{ident}: commits per minute after it", 0, value(b, "cmtd"),
                      rate_bounds(s3["commits"] - s1["commits"], span_window(d, n + 3))[1])
        check_between(f"Postgre_{ident}: rollbacks per minute over the load", rate_bounds(20, span)[0],
                      value(a, "rolbck"), rate_bounds(s2["rollbacks"] - s0["rollbacks"], span)[1])
        check_eq(f"Postgre_{ident}: the requested checkpoint", s2["req"], value(a, "chk_seg"))
        check_between(f"Postgre_{ident}: timed checkpoints", s1["timed"], value(a, "chk_t"), s2["timed"])
        check_between(f"Postgre_{ident}: buffers of checkpoints", s1["buf_chk"], value(a, "buf_chk"), s2["buf_chk"])
        check_between(f"Postgre_{ident}: buffers allocated", s1["alloc"], value(a, "buf_alloc"), s2["alloc"])
        check_between(f"Postgre_{ident}: WAL size", min(s1["wal"], s2["wal"]), value(a, "wal_size"),
                      max(s1["wal"], s2["wal"]))
        check_eq(f"Postgre_{ident}: a primary", [0, 0, 0, 0, 0],
                 [value(a, k) for k in ("in_recovery", "wal_receiver", "replication_state", "replication_lag",
                                        "autovacuum")])
        # The agent's own connection is an active one; the oracle's sits idle.
        check_between(f"Postgre_{ident}: active connections", 1, value(a, "actv_con"), 2)
        check_between(f"Postgre_{ident}: idle connections", 1, value(a, "idle_con"), 2)
        check_between(f"Postgre_{ident}: all connections", s1["backends"] - 1, value(a, "all_con"),
                      s1["backends"] + 2)


def pg_slow(d, sockdir):
    """A statement running longer than slow_query_sec (set to 1.5) counts as slow."""
    import threading
    sleeper = pg(sockdir)
    t = threading.Thread(target=lambda: sleeper.cursor().execute("select pg_sleep(5)"))
    t.start()
    time.sleep(2.2)
    n = fresh_packet(d)  # read 2.2 to 4.2 seconds into the statement
    for ident in ("tcp", "sock"):
        obj = part(d, n, f"mycustoms.Postgre_{ident}")
        check_eq(f"Postgre_{ident}: one slow select", [1, 1, 0],
                 [value(obj, k) for k in ("slo_all", "slo_sel", "slo_dml")])
        check_between(f"Postgre_{ident}: the sleeper is active", 2, value(obj, "actv_con"), 4)
    t.join()


def pg_stall(d, sockdir, postmaster_pid_file, stopped_file):
    """Catches the agent's backend while it runs a statement and stops it, then the
    postmaster, so that every later connection waits too. The pids go to
    `stopped_file` before the signals, for the suite to continue them whatever happens.
    Prints the number of the last report before the stop."""
    import signal
    postmaster = int(open(postmaster_pid_file).readline())
    c = pg(sockdir)
    end = time.time() + 30
    with c.cursor() as cur:
        while time.time() < end:
            # Not the last statement of the agent's series: after any other it still
            # sends one, which the stopped backend never answers.
            cur.execute("select pid from pg_stat_activity where usename = 'mon' and state = 'active' "
                        "and query not like '%CNT_ALL%'")
            row = cur.fetchone()
            if not row:
                time.sleep(0.001)
                continue
            last = numbers(d)[-1]
            with open(stopped_file, "a") as f:
                f.write(f"{row[0]}\n{postmaster}\n")
            try:
                os.kill(row[0], signal.SIGSTOP)
            except ProcessLookupError:
                continue  # its connection ended first: the next cycle's then
            os.kill(postmaster, signal.SIGSTOP)
            print(last)
            return
    check("the agent's backend is caught running a statement", False)


def pace(d, limit):
    """Each report followed the one before within `limit` seconds and held the same
    parts. The reports' numbers."""
    ns = numbers(d)
    times = [os.stat(f"{d}/packet-{n}.bin").st_mtime for n in ns]
    gaps = [round(b - a, 2) for a, b in zip(times, times[1:])]
    check("no gap between reports beyond the interval, the deadline and a second", max(gaps) <= float(limit),
          f"(limit {limit}) {gaps}")
    parts = {n: [p for p, _, _ in report(d, n) if "." not in p] for n in ns}
    check_eq("every report holds the same parts", [parts[ns[0]]] * len(ns), list(parts.values()))
    return ns


def pg_stall_check(d, stopped, resumed, limit):
    """Reports `stopped`+1 to `resumed` came while the server was stopped. The reports
    kept their pace; the object was absent while stopped and back within two cycles
    after."""
    stopped, resumed = int(stopped), int(resumed)
    ns = pace(d, limit)
    check("the stall spans at least three reports", resumed - stopped >= 3, f"{stopped} {resumed}")
    shape = "".join("P" if part(d, n, "mycustoms.Postgre_tcp") else "A" for n in ns)
    want = "P" * stopped + "A" * (resumed - stopped) + "A{1,2}P+"
    check("mycustoms.Postgre_tcp: absent while stopped, back within two cycles after", re.fullmatch(want, shape),
          f"{want} {shape}")


def pg_hostile(d, limit, good, *bad):
    """The reports kept their pace; the counter `good` was in every one, the counters
    `bad` in none."""
    ns = pace(d, limit)
    ids = ["Postgre_" + i for i in (good,) + bad]
    shapes = [[i for i in ids if part(d, n, "mycustoms." + i)] for n in ns]
    check_eq(f"only {good} reports, every time", [[f"Postgre_{good}"]] * len(ns), shapes)


COMMANDS = {
    "mysql-shape": mysql_shape, "mysql-rates": mysql_rates, "mysql-replica": mysql_replica, "pg-rates": pg_rates,
    "pg-slow": pg_slow, "pg-stall": pg_stall, "pg-stall-check": pg_stall_check,
    "pg-hostile": pg_hostile,
    "sphinx-rates": lambda d, port: sphinx_rates(d, int(port)),
    "down-and-back": lambda d, first, ident, array, *restarted: down_and_back(d, int(first), ident, array, restarted),
    "last": lambda d: print(numbers(d)[-1] if numbers(d) else 0),
    "wait": lambda d, n: wait_packet(d, int(n), 60),
}
COMMANDS[sys.argv[1]](*sys.argv[2:])
sys.exit(min(FAILS, 100))
