#!/usr/bin/env bash
# Load test of the web service with wrk over 127.0.0.1: requests per second and 99th-percentile
# latency per request type (getState.php, getAFPCacheInf.php, getAFPTag.php add requests for new
# fingerprints and update requests for known ones) for SQLite with one server process and for
# PostgreSQL with one and with two processes. Two processes listen on the same port (the HTTP
# library sets SO_REUSEPORT), so the kernel spreads wrk's connections over them.
#
# PostgreSQL runs in a cluster of its own in a temporary directory (as the postgres user when
# run as root), with the server's default durability (fsync on).
#
# Usage: bench/server_load.sh BUILD_DIR   (MS_LOAD_DURATION, MS_LOAD_CONNECTIONS to change the
#        20 s and 32 connections per run)
set -euo pipefail
build=${1:?usage: bench/server_load.sh BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)
server=$build/server/melodyseeker-server
duration=${MS_LOAD_DURATION:-20s}
connections=${MS_LOAD_CONNECTIONS:-32}
work=$(mktemp -d /tmp/ms-load-XXXXXX)
pids=()
pgbin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n1)

as_pg() { if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi; }
stop_servers() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  pids=()
}
cleanup() {
  stop_servers
  if [ -d "$work/pg/data" ]; then as_pg "$pgbin/pg_ctl" -D "$work/pg/data" -m fast -w stop >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

[ -n "$pgbin" ] || { echo "PostgreSQL is not installed (scripts/install-deps)"; exit 1; }
command -v wrk >/dev/null || { echo "wrk is not installed (scripts/install-deps)"; exit 1; }

mkdir -p "$work/pg"
if [ "$(id -u)" -eq 0 ]; then chown postgres "$work" "$work/pg"; fi
as_pg "$pgbin/initdb" -D "$work/pg/data" -A trust -U postgres -E UTF8 --locale=C >/dev/null
as_pg "$pgbin/pg_ctl" -D "$work/pg/data" -l "$work/pg/log" -w \
  -o "-k $work/pg -c listen_addresses= -c max_connections=100 -c shared_buffers=128MB" start >/dev/null
pg_url() { echo "postgresql:///$1?host=$work/pg&user=postgres"; }

port=$((20000 + RANDOM % 20000))
# start_servers NAME DB N: N serve processes on one data directory and one port.
start_servers() {
  local name=$1 db=$2 n=$3 i
  for ((i = 1; i <= n; i++)); do
    "$server" serve --quiet --data "$work/$name" --db "$db" --listen "127.0.0.1:$port" \
      >"$work/$name-$i.log" 2>&1 &
    pids+=($!)
    # One after the other: the first builds the cache files, the next find them.
    for _ in $(seq 100); do
      grep -q "Serving" "$work/$name-$i.log" 2>/dev/null && break
      sleep 0.1
    done
    grep -q "Serving" "$work/$name-$i.log" || { cat "$work/$name-$i.log"; exit 1; }
  done
}

# load TYPE URL [MODE]: one wrk run; prints "requests/s p99_ms non2xx".
load() {
  local url=$1 mode=${2:-} out
  if [ -n "$mode" ]; then
    out=$(MS_LOAD_MODE=$mode MS_LOAD_FGUIDS="$work/fguids" \
      wrk -t2 -c"$connections" -d"$duration" --latency -s "$here/server_load.lua" "$url")
  else
    out=$(wrk -t2 -c"$connections" -d"$duration" --latency "$url")
  fi
  echo "$out" >>"$work/wrk.log"
  echo "$out" | awk '
    /Requests\/sec:/ { rps = $2 }
    /^ *99%/ { v = $2; u = v; sub(/[0-9.]+/, "", u); sub(/[a-z]+$/, "", v)
               p99 = (u == "us") ? v / 1000 : (u == "s") ? v * 1000 : (u == "m") ? v * 60000 : v }
    /Non-2xx/ { bad = $NF }
    /Socket errors/ { err = $0 }
    END { printf "%.0f %.1f %d\n", rps, p99, bad + 0 }'
}

# run NAME DB N: the four request types against N processes.
run() {
  local name=$1 db=$2 n=$3 base r
  start_servers "$name" "$db" "$n"
  base="http://127.0.0.1:$port/v2"
  r=$(load "$base/getState.php");        printf '  %-22s %-13s %s\n' "$name" getState "$r"
  r=$(load "$base/getAFPCacheInf.php");  printf '  %-22s %-13s %s\n' "$name" getAFPCacheInf "$r"
  r=$(load "$base/getAFPTag.php" add);   printf '  %-22s %-13s %s\n' "$name" "add (new)" "$r"
  # Known fingerprints for the updates: those the add run stored.
  if [[ "$db" == postgresql://* ]]; then
    as_pg psql -At -h "$work/pg" -U postgres -d "${name//-/_}" \
      -c "SELECT fguid FROM fingerprints ORDER BY id LIMIT 20000" >"$work/fguids"
  else
    sqlite3 "$db" "SELECT fguid FROM fingerprints ORDER BY id LIMIT 20000" >"$work/fguids"
  fi
  r=$(load "$base/getAFPTag.php" update); printf '  %-22s %-13s %s\n' "$name" "update (known)" "$r"
  stop_servers
  # Storage per fingerprint (1,000 values per series) and a full cache build from this engine.
  local count bytes
  if [[ "$db" == postgresql://* ]]; then
    read -r count bytes < <(as_pg psql -At -F' ' -h "$work/pg" -U postgres -d "${name//-/_}" -c \
      "SELECT (SELECT count(*) FROM fingerprints), pg_total_relation_size('fingerprints') + pg_total_relation_size('titles')")
  else
    sqlite3 "$db" "PRAGMA wal_checkpoint(TRUNCATE)" >/dev/null
    count=$(sqlite3 "$db" "SELECT count(*) FROM fingerprints")
    bytes=$(stat -c %s "$db")
  fi
  sizes+=("$(awk -v n="$count" -v b="$bytes" -v name="$name" 'BEGIN {
    printf "  %-22s %d fingerprints, %.0f bytes each in the database (%.2f GB per million)", name, n, b / n, b / n * 1e6 / 1e9 }')")
  build_out=$("$server" build-cache --force --data "$work/$name" --db "$db")
  sizes+=("                         forced cache build: $(echo "$build_out" | sed -n 's/.* in \([0-9.]* s, [0-9]* records\/s\)\./\1/p')")
}
sizes=()

echo "  wrk over 127.0.0.1, $connections connections, $duration per request type, 2 wrk threads;"
echo "  load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '  %-22s %-13s %s\n' configuration request "requests/s p99_ms non-2xx"
run sqlite-1-process "$work/sqlite.db" 1
as_pg psql -q -h "$work/pg" -U postgres -c "CREATE DATABASE postgresql_1_process"
run postgresql-1-process "$(pg_url postgresql_1_process)" 1
as_pg psql -q -h "$work/pg" -U postgres -c "CREATE DATABASE postgresql_2_processes"
run postgresql-2-processes "$(pg_url postgresql_2_processes)" 2
echo "  load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%s\n' "${sizes[@]}"
echo "  targets: every type > 1,000 requests/s with p99 < 100 ms on SQLite;"
echo "           PostgreSQL with 2 processes >= SQLite for the update requests"
