#!/usr/bin/env bash
# A throw-away PostgreSQL server for the history tests, as a CTest fixture.
#   postgres-fixture.sh start DIR   makes a cluster in a new temporary folder and starts it on
#                                   127.0.0.1 at a free port and on a Unix socket in that folder,
#                                   trust authentication for the user uploader_test; writes DIR/url
#   postgres-fixture.sh stop DIR    stops it and removes the folder
#   postgres-fixture.sh pause DIR   stops it at once, as a crash or a power cut would (-m immediate)
#   postgres-fixture.sh resume DIR  starts it again on the same port
# Without PostgreSQL it writes the reason to DIR/skip and succeeds, so the tests can say why they
# skip. initdb refuses to run as root: then the server runs as the postgres system user.
set -euo pipefail
action="${1:?usage: postgres-fixture.sh start|stop DIR}"
dir="${2:?usage: postgres-fixture.sh start|stop DIR}"
bin=/usr/lib/postgresql/15/bin

as_server() {
  if [[ $(id -u) -eq 0 ]]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

stop() {
  [[ -f "$dir/cluster" ]] || return 0
  local cluster
  cluster="$(cat "$dir/cluster")"
  if [[ -d "$cluster/data" ]]; then
    as_server "$bin/pg_ctl" -D "$cluster/data" -m immediate -w stop >/dev/null 2>&1 || true
  fi
  rm -rf "$cluster"
  rm -f "$dir/cluster" "$dir/url" "$dir/port"
}

server_options() {
  echo "-c listen_addresses=127.0.0.1 -p $1 -c unix_socket_directories=$2 -c fsync=off -c max_connections=100"
}

case "$action" in
  stop) stop; exit 0 ;;
  pause)
    as_server "$bin/pg_ctl" -D "$(cat "$dir/cluster")/data" -m immediate -w stop >/dev/null
    exit 0 ;;
  resume)
    cluster="$(cat "$dir/cluster")"
    as_server "$bin/pg_ctl" -D "$cluster/data" -l "$cluster/server.log" -w -t 30 start \
      -o "$(server_options "$(cat "$dir/port")" "$cluster")" >/dev/null
    exit 0 ;;
  start) ;;
  *) echo "postgres-fixture.sh: unknown action $action" >&2; exit 2 ;;
esac

mkdir -p "$dir"
stop
rm -f "$dir/skip"
if [[ ! -x "$bin/initdb" || ! -x "$bin/pg_ctl" ]]; then
  echo "PostgreSQL 15 is not installed ($bin/initdb missing; scripts/install-deps.sh installs it)" >"$dir/skip"
  echo "postgres-fixture: $(cat "$dir/skip"); the PostgreSQL tests will skip"
  exit 0
fi
if [[ $(id -u) -eq 0 ]] && ! id postgres >/dev/null 2>&1; then
  echo "running as root and there is no postgres user to run the server as" >"$dir/skip"
  exit 0
fi

cluster="$(mktemp -d /tmp/uploader-history-pg.XXXXXX)"
echo "$cluster" >"$dir/cluster"
chmod 755 "$cluster"
[[ $(id -u) -eq 0 ]] && chown postgres: "$cluster"
as_server "$bin/initdb" -D "$cluster/data" -A trust -U uploader_test -E UTF8 --no-locale >"$cluster/initdb.log" 2>&1 || {
  cat "$cluster/initdb.log" >&2; exit 1; }

# A free port: try random ones until the server starts on one.
for attempt in $(seq 1 20); do
  port=$((20000 + RANDOM % 30000))
  if as_server "$bin/pg_ctl" -D "$cluster/data" -l "$cluster/server.log" -w -t 30 start \
      -o "$(server_options "$port" "$cluster")" >/dev/null 2>&1; then
    echo "postgresql://uploader_test@127.0.0.1:$port/postgres" >"$dir/url"
    echo "$port" >"$dir/port"
    echo "postgres-fixture: server on 127.0.0.1:$port and $cluster"
    exit 0
  fi
done
cat "$cluster/server.log" >&2
echo "postgres-fixture: the server did not start" >&2
exit 1
