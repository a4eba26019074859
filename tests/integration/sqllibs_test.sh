# The real agent without usable SQL client libraries: a library path that does not
# exist, a stand-in libpq that lacks PQfname, and the real MySQL client library hidden
# in this mount namespace. Each is reported as loading fails, the counters that need
# it stay out of every report, and everything else runs on.
. "$(dirname "$0")/lib.sh"

TOOLS="$VESK_BUILD/tests/tools"
# A setting's value is one word: the stand-in is named from $WORK, whose path has
# no blank wherever the checkout lives.
NOFNAME="$WORK/libvesk-fake-pq-nofname.so"
cp "$VESK_BUILD/tests/clientlibs/libvesk-fake-pq-nofname.so" "$NOFNAME"

collect() { # NAME: starts a collector for two reports, sets $port
    mkdir -p "$WORK/$1"
    "$TOOLS/vesk_collector" --port 0 --out "$WORK/$1" --count 2 --timeout 30 >"$WORK/$1.log" 2>&1 &
    wait_for_text "$WORK/$1.log" "listening udp" 10
    port=$(sed -n 's/^listening udp 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$WORK/$1.log")
}
# The report's SQL parts and one system part, as paths.
parts() { "$TOOLS/bson2json" --packet "$WORK/$1/packet-2.bin" | cut -f1 | grep -E '^(mysqls|mycustoms)(\.|$)|^mem\.ok$'; }

# A missing file and a library without one entry point.
collect missing
conf=$(write_conf missing <<EOF
id 4245
address 127.0.0.1
port $port
interval 1
mysql_lib /nonexistent/libmysqlclient.so
postgre_lib $NOFNAME
mysql_main mon:pw@127.0.0.1:3306
sphinx_main u:p@127.0.0.1:9306
postgresql_main mon:pw@127.0.0.1:5432
EOF
)
start_vesk --config "$conf" --conf-glob "$WORK/none/*.conf"
check "two reports without the SQL parts" wait_for_text "$WORK/missing.log" "packet 2:" 15
stop_vesk
check_eq "the loaders' lines" "Mysql is on
libmysqlclient: /nonexistent/libmysqlclient.so
ERROR loading mysql = /nonexistent/libmysqlclient.so
Postgre is on
libpq: $NOFNAME
Error loading postgre = $NOFNAME
Closing libpostgre" "$(grep -E '^(Mysql|libmysqlclient|ERROR|Postgre|libpq|Error|Closing)' "$WORK/out.log")"
check_eq "the loaders' errors" "dlopen error: /nonexistent/libmysqlclient.so: cannot open shared object file: No such file or directory
dlsym(PQfname) error: $NOFNAME: undefined symbol: PQfname" "$(grep -E '^dl' "$WORK/err.log")"
check_eq "no SQL part, the system counters as ever" $'mem.ok\nmycustoms\nmysqls' "$(parts missing)"
check_eq "no counter connected" "" "$(grep -E 'Failed to connect|postgres' "$WORK/err.log")"

# The real client library hidden: the default name no longer loads. No PostgreSQL
# line: that loader is never called.
mount --bind /dev/null "$(readlink -f /usr/lib/x86_64-linux-gnu/libmysqlclient.so)"
collect hidden
conf=$(write_conf hidden <<EOF
id 4246
address 127.0.0.1
port $port
interval 1
sphinx_main u:p@127.0.0.1:9306
EOF
)
start_vesk --config "$conf" --conf-glob "$WORK/none/*.conf"
check "two reports without the Sphinx part" wait_for_text "$WORK/hidden.log" "packet 2:" 15
stop_vesk
check "the hidden library is reported" grep -qE '^dlopen error: [^ ]*libmysqlclient.so: (file too short|invalid ELF header)' \
    "$WORK/err.log"
check "and not loaded" contains "$WORK/out.log" "ERROR loading mysql = libmysqlclient.so"
check_eq "nothing to close at the end" "" "$(grep -E '^Closing' "$WORK/out.log")"
check_eq "no PostgreSQL loader without its lines" "" "$(grep -E '^(Postgre|libpq)' "$WORK/out.log")"
check_eq "no SQL part" $'mem.ok\nmycustoms\nmysqls' "$(parts hidden)"

finish
