#!/usr/bin/env bash
# A streaming replica of a local PostgreSQL cluster, on this machine and another port, to try
# serving tiles and plans from a replica (DATABASE_REPLICA_URL).
#
#   scripts/replica.sh create   # pg_basebackup -R of the primary into REPLICA_DIR, then start it
#   scripts/replica.sh start | stop | status
#   scripts/replica.sh remove   # stop it and delete its directory
#
# The primary is reached over its Unix socket as the postgres OS user (the `local replication`
# line of a Debian cluster's pg_hba.conf allows it); nothing of the primary's configuration is
# changed. PostgreSQL 15's defaults (wal_level=replica, max_wal_senders=10) are what it needs.
#
# Settings (environment):
#   REPLICA_PRIMARY_HOST  the primary's socket directory      (/var/run/postgresql)
#   REPLICA_PRIMARY_PORT  the primary's port                  (5432)
#   REPLICA_PORT          the replica's port                  (5433)
#   REPLICA_DIR           the replica's directory: data/, run/ (its socket), postgres.log
#                                                             (/var/lib/postgresql/ravn-replica-$REPLICA_PORT)
#   REPLICA_LISTEN        the replica's TCP address           (127.0.0.1)
#   REPLICA_NO_SYNC       1: skip fsync of the copy (throwaway replicas in tests)
#   PG_BIN_DIR            PostgreSQL's programs               (/usr/lib/postgresql/15/bin)
set -euo pipefail

BIN=${PG_BIN_DIR:-/usr/lib/postgresql/15/bin}
PRIMARY_HOST=${REPLICA_PRIMARY_HOST:-/var/run/postgresql}
PRIMARY_PORT=${REPLICA_PRIMARY_PORT:-5432}
PORT=${REPLICA_PORT:-5433}
DIR=${REPLICA_DIR:-/var/lib/postgresql/ravn-replica-$PORT}
LISTEN=${REPLICA_LISTEN:-127.0.0.1}
DATA=$DIR/data
OS_USER=postgres

die() { echo "replica.sh: $*" >&2; exit 1; }

# PostgreSQL's programs run as its OS user; the ravn connection settings must not leak into them.
as_pg() {
  local -a clean=(env -u PGHOST -u PGPORT -u PGUSER -u PGPASSWORD -u PGDATABASE -u PGSERVICE -u DATABASE_URL)
  if [ "$(id -u)" = 0 ]; then
    runuser -u "$OS_USER" -- "${clean[@]}" "$@"
  elif [ "$(id -un)" = "$OS_USER" ]; then
    "${clean[@]}" "$@"
  else
    sudo -n -u "$OS_USER" "${clean[@]}" "$@"
  fi
}

primary_setting() {
  as_pg "$BIN/psql" -X -A -t -h "$PRIMARY_HOST" -p "$PRIMARY_PORT" -d postgres -c "SHOW $1"
}

running() { as_pg "$BIN/pg_ctl" status -D "$DATA" >/dev/null 2>&1; }

create() {
  [ -e "$DATA" ] && die "$DATA exists already (remove it first: $0 remove)"
  as_pg "$BIN/pg_isready" -q -h "$PRIMARY_HOST" -p "$PRIMARY_PORT" || die "no primary at $PRIMARY_HOST:$PRIMARY_PORT"
  mkdir -p "$DIR/run"
  chown "$OS_USER:" "$DIR" "$DIR/run"
  chmod 700 "$DIR"
  local -a sync=()
  [ "${REPLICA_NO_SYNC:-0}" = 1 ] && sync=(--no-sync)
  # -R: standby.signal and primary_conninfo (the same socket, as postgres), so it streams at once.
  as_pg "$BIN/pg_basebackup" -h "$PRIMARY_HOST" -p "$PRIMARY_PORT" -U "$OS_USER" -D "$DATA" \
    -R -X stream -c fast "${sync[@]}"
  # A Debian cluster keeps its configuration outside the data directory, so the copy may have none.
  if [ ! -e "$DATA/postgresql.conf" ]; then
    as_pg sh -c "echo '# replica of $PRIMARY_HOST:$PRIMARY_PORT' > '$DATA/postgresql.conf'"
  fi
  if [ ! -e "$DATA/pg_hba.conf" ]; then
    as_pg sh -c "printf '%s\n' 'local all all peer' 'host all all 127.0.0.1/32 scram-sha-256' \
      'host all all ::1/128 scram-sha-256' > '$DATA/pg_hba.conf'"
  fi
  # Later lines win. A hot standby refuses to start with fewer of these than its primary has.
  local lines="" name
  for name in max_connections max_worker_processes max_wal_senders max_prepared_transactions \
              max_locks_per_transaction; do
    lines+="$name = $(primary_setting "$name")"$'\n'
  done
  lines+="port = $PORT"$'\n'"listen_addresses = '$LISTEN'"$'\n'"unix_socket_directories = '$DIR/run'"$'\n'
  lines+="hot_standby = on"$'\n'"hba_file = '$DATA/pg_hba.conf'"$'\n'"ident_file = '$DATA/pg_ident.conf'"$'\n'
  [ -e "$DATA/pg_ident.conf" ] || as_pg touch "$DATA/pg_ident.conf"
  printf '%s' "$lines" | as_pg sh -c "cat >> '$DATA/postgresql.conf'"
  start
}

start() {
  [ -e "$DATA" ] || die "no replica in $DATA (create it: $0 create)"
  if running; then echo "replica already running on port $PORT"; return; fi
  as_pg "$BIN/pg_ctl" start -D "$DATA" -l "$DIR/postgres.log" -w -t 60 >/dev/null \
    || { tail -n 20 "$DIR/postgres.log" >&2; die "the replica did not start"; }
  echo "replica of $PRIMARY_HOST:$PRIMARY_PORT running on $LISTEN:$PORT (data $DATA)"
}

stop() {
  if [ -e "$DATA" ] && running; then
    as_pg "$BIN/pg_ctl" stop -D "$DATA" -m "${1:-fast}" -w >/dev/null
    echo "replica on port $PORT stopped"
  fi
}

status() {
  running || { echo "replica on port $PORT: not running"; return 3; }
  as_pg "$BIN/psql" -X -A -t -h "$DIR/run" -p "$PORT" -d postgres -c \
    "SELECT 'replica on port $PORT: in recovery ' || pg_is_in_recovery() || ', replayed to ' ||
            coalesce(pg_last_wal_replay_lsn()::text, '-') || ', last replayed commit at ' ||
            coalesce(pg_last_xact_replay_timestamp()::text, '-')"
}

case "${1:-}" in
  create) create ;;
  start) start ;;
  stop) stop ;;
  status) status ;;
  remove) stop immediate; rm -rf "$DIR"; echo "removed $DIR" ;;
  *) die "usage: $0 create|start|stop|status|remove" ;;
esac
