#!/usr/bin/env bash
# Local PostgreSQL/PostGIS and Redis for development, tests and CI.
# Usage: scripts/services.sh install|start|stop [postgresql|redis]|status|answers postgresql|redis
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PG_VERSION=15
# Another cluster (and PGPORT) gives a second, independent instance, e.g. for a test.
PG_CLUSTER=${PG_CLUSTER:-main}
# fonts-liberation: the serif face the plot maps ask for, so maps look the same everywhere.
# Pango (libpango-1.0-0, libpangoft2-1.0-0) and libharfbuzz-subset0: text layout and font subsetting
# that the PDF renderer loads at import.
# poppler-utils: pdftoppm, which turns a plan page into the PNG the docs show.
# wrk: the HTTP load generator of bench/run_all.py.
# chromium: the headless browser of the viewer test (driven by Playwright, which downloads none).
# gdal-bin: ogrinfo, a map client of another make that the tests open the tiles and archives with.
PACKAGES=(postgresql-15 postgresql-15-postgis-3 redis-server fonts-liberation libpango-1.0-0 libpangoft2-1.0-0
  libharfbuzz-subset0 poppler-utils wrk chromium gdal-bin)
export DEBIAN_FRONTEND=noninteractive

log() { printf '[services] %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }

# KEY=value lines; the environment wins over the file.
load_env_file() {
  local file=$1 line key val
  [[ -f $file ]] || return 0
  while IFS= read -r line || [[ -n $line ]]; do
    line=${line%$'\r'}
    [[ $line =~ ^[[:space:]]*(#|$) ]] && continue
    line=${line#export }
    [[ $line =~ ^[[:space:]]*([A-Za-z_][A-Za-z0-9_]*)[[:space:]]*=[[:space:]]*(.*)$ ]] || continue
    key=${BASH_REMATCH[1]}
    val=${BASH_REMATCH[2]}
    val=${val%"${val##*[![:space:]]}"}
    if [[ $val =~ ^\"(.*)\"$ || $val =~ ^\'(.*)\'$ ]]; then val=${BASH_REMATCH[1]}; fi
    [[ -n ${!key+x} ]] && continue
    export "$key=$val"
  done <"$file"
}

load_env_file "$ROOT/services.env"
: "${PGHOST:=127.0.0.1}" "${PGPORT:=5432}" "${PGUSER:=ravn}" "${PGPASSWORD:=ravn}"
: "${PGDATABASE:=ravn}" "${PGDATABASE_TEST:=ravn_test}"
: "${REDIS_HOST:=127.0.0.1}" "${REDIS_PORT:=6379}"
if [[ $(id -u) -eq 0 ]]; then
  : "${REDIS_DIR:=/var/lib/ravn-redis}"
else
  : "${REDIS_DIR:=${XDG_RUNTIME_DIR:-/tmp}/ravn-redis-$(id -u)}"
fi
: "${SERVICES_WAIT_SECONDS:=60}"
export PGHOST PGPORT PGUSER PGPASSWORD PGDATABASE PGDATABASE_TEST REDIS_HOST REDIS_PORT

REDIS_CONF=$REDIS_DIR/redis.conf
REDIS_PID=$REDIS_DIR/redis.pid
REDIS_LOG=$REDIS_DIR/redis.log

need_root() {
  [[ $(id -u) -eq 0 ]] || die "$1 needs root"
}

# The Unix socket and peer auth as postgres; the ravn connection settings must not leak into it.
as_postgres() {
  local -a clean=(env -u PGHOST -u PGUSER -u PGPASSWORD -u PGDATABASE -u PGSERVICE)
  if [[ $(id -un) == postgres ]]; then
    "${clean[@]}" "$@"
  elif [[ $(id -u) -eq 0 ]]; then
    "${clean[@]}" runuser -u postgres -- "$@"
  else
    sudo -n -u postgres "${clean[@]}" "$@"
  fi
}

psql_admin() {
  as_postgres psql -X -q -v ON_ERROR_STOP=1 -p "$PGPORT" "$@"
}

is_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

has_candidate() {
  local c
  c=$(apt-cache policy "$1" 2>/dev/null | awk '/Candidate:/ {print $2}')
  [[ -n $c && $c != "(none)" ]]
}

cmd_install() {
  local -a missing=()
  local p
  for p in "${PACKAGES[@]}"; do is_installed "$p" || missing+=("$p"); done
  if ((${#missing[@]} == 0)); then
    log "packages already installed"
    return 0
  fi
  need_root "installing ${missing[*]}"
  # Keep package scripts from starting the stock services: start brings up our own.
  local policy=/usr/sbin/policy-rc.d
  if [[ ! -e $policy ]]; then
    printf '#!/bin/sh\nexit 101\n' >"$policy"
    chmod 755 "$policy"
    trap 'rm -f /usr/sbin/policy-rc.d' EXIT
  fi
  local updated=0
  for p in "${missing[@]}"; do
    if ! has_candidate "$p"; then
      apt-get update -q
      updated=1
      break
    fi
  done
  log "installing ${missing[*]}"
  if ! apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null; then
    ((updated)) && die "apt-get install failed"
    # Stale package lists give 404s; refresh once and retry.
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
  fi
  log "installed ${missing[*]}"
}

pg_answers() {
  pg_isready -q -h "$PGHOST" -p "$PGPORT" -t 2 >/dev/null 2>&1
}

cluster_field() {
  # pg_lsclusters columns: Ver Cluster Port Status Owner Datadir Logfile
  pg_lsclusters -h 2>/dev/null | awk -v v="$PG_VERSION" -v c="$PG_CLUSTER" -v f="$1" '$1 == v && $2 == c {print $f}'
}

wait_for() {
  local what=$1
  shift
  local deadline=$((SECONDS + SERVICES_WAIT_SECONDS))
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.5
  done
  log "$what is up"
}

start_postgres() {
  if pg_answers; then
    log "PostgreSQL already answers on $PGHOST:$PGPORT"
    return 0
  fi
  command -v pg_ctlcluster >/dev/null || die "PostgreSQL is not installed (run: $0 install)"
  need_root "starting PostgreSQL"
  if [[ -z $(cluster_field 1) ]]; then
    log "creating cluster $PG_VERSION/$PG_CLUSTER on port $PGPORT"
    pg_createcluster --locale=C.UTF-8 -p "$PGPORT" "$PG_VERSION" "$PG_CLUSTER" >/dev/null
  fi
  local port status
  port=$(cluster_field 3)
  status=$(cluster_field 4)
  if [[ $port != "$PGPORT" && $status != online ]]; then
    log "moving cluster $PG_VERSION/$PG_CLUSTER from port $port to $PGPORT"
    pg_conftool "$PG_VERSION" "$PG_CLUSTER" set port "$PGPORT"
  fi
  install -d -o postgres -g postgres -m 2775 /var/run/postgresql
  if [[ $status != online ]]; then
    pg_ctlcluster "$PG_VERSION" "$PG_CLUSTER" start
  fi
  wait_for PostgreSQL pg_answers || {
    tail -n 20 "$(cluster_field 7)" >&2 || true
    die "PostgreSQL did not answer on $PGHOST:$PGPORT within ${SERVICES_WAIT_SECONDS}s"
  }
}

redis_answers() {
  [[ $(redis-cli -h "$REDIS_HOST" -p "$REDIS_PORT" ping 2>/dev/null) == PONG ]]
}

start_redis() {
  if redis_answers; then
    log "Redis already answers on $REDIS_HOST:$REDIS_PORT"
    return 0
  fi
  command -v redis-server >/dev/null || die "redis-server is not installed (run: $0 install)"
  local version
  version=$(redis-server --version | sed -n 's/.* v=\([0-9]*\)\..*/\1/p')
  [[ $version -ge 7 ]] || log "warning: redis-server major version is ${version:-unknown}, 7 expected"
  mkdir -p "$REDIS_DIR"
  # A cache: nothing is persisted.
  cat >"$REDIS_CONF" <<CONF
bind $REDIS_HOST
port $REDIS_PORT
protected-mode yes
daemonize yes
pidfile $REDIS_PID
logfile $REDIS_LOG
dir $REDIS_DIR
save ""
appendonly no
# A ceiling, so that no client can grow the cache without bound (every
# distinct bounding box is a new entry); entries with a lifetime go first.
maxmemory ${REDIS_MAXMEMORY:-256mb}
maxmemory-policy ${REDIS_MAXMEMORY_POLICY:-volatile-lru}
CONF
  if [[ $(id -u) -eq 0 ]] && id redis >/dev/null 2>&1; then
    chown -R redis:redis "$REDIS_DIR"
    runuser -u redis -- redis-server "$REDIS_CONF"
  else
    redis-server "$REDIS_CONF"
  fi
  wait_for Redis redis_answers || {
    tail -n 20 "$REDIS_LOG" >&2 || true
    die "Redis did not answer on $REDIS_HOST:$REDIS_PORT within ${SERVICES_WAIT_SECONDS}s"
  }
}

ensure_databases() {
  psql_admin -d postgres -v role="$PGUSER" -v pass="$PGPASSWORD" <<'SQL'
SELECT format('CREATE ROLE %I LOGIN CREATEDB PASSWORD %L', :'role', :'pass')
 WHERE NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = :'role') \gexec
SELECT format('ALTER ROLE %I LOGIN CREATEDB PASSWORD %L', :'role', :'pass') \gexec
SQL
  # Databases created later (by the loader, as the role) come with PostGIS from the template.
  PGOPTIONS='-c client_min_messages=warning' psql_admin -d template1 -c 'CREATE EXTENSION IF NOT EXISTS postgis'
  local db
  for db in "$PGDATABASE" "$PGDATABASE_TEST"; do
    psql_admin -d postgres -v db="$db" -v role="$PGUSER" <<'SQL'
SELECT format('CREATE DATABASE %I OWNER %I', :'db', :'role')
 WHERE NOT EXISTS (SELECT 1 FROM pg_database WHERE datname = :'db') \gexec
SQL
    PGOPTIONS='-c client_min_messages=warning' psql_admin -d "$db" -c 'CREATE EXTENSION IF NOT EXISTS postgis'
    # Applied as the role so that it owns the tables.
    PGOPTIONS='-c client_min_messages=warning' psql -X -q -v ON_ERROR_STOP=1 \
      -h "$PGHOST" -p "$PGPORT" -U "$PGUSER" -d "$db" -f "$ROOT/db/schema.sql"
    log "database $db ready"
  done
}

# Settings for this workload: many short tile statements, a few of which sort up to 30,000 rows.
# All take effect on reload, without a restart. The measurements that chose them are in
# docs/design-notes.md ("A million parcels").
# - jit off: compiling a z10 tile statement took 1.4-2.9 s of its 2.1-3.7 s, and no tile
#   statement runs long enough to win it back.
# - work_mem 32MB: the top-N sort of a tier keeps up to 30,000 rows (about 17 MB); at the
#   default 4MB the z12 sort spilled to disk (external merge, 7-9 MB per worker).
# - plan_cache_mode force_custom_plan: a prepared tile statement's generic plan ignores the
#   tile's corners and read a z10 tile through the area index in 4.4 s instead of 0.54 s.
PG_SETTINGS=(${PG_SETTINGS:-"jit=off" "work_mem=32MB" "plan_cache_mode=force_custom_plan"})

tune_postgres() {
  local setting
  for setting in "${PG_SETTINGS[@]}"; do
    psql_admin -d postgres -v name="${setting%%=*}" -v value="${setting#*=}" <<'SQL'
SELECT format('ALTER SYSTEM SET %I = %L', :'name', :'value') \gexec
SQL
  done
  psql_admin -d postgres -c 'SELECT pg_reload_conf()' >/dev/null
  log "PostgreSQL settings: ${PG_SETTINGS[*]}"
}

cmd_start() {
  start_postgres
  start_redis
  tune_postgres
  ensure_databases
}

stop_postgres() {
  local status
  status=$(cluster_field 4)
  if [[ $status == online ]]; then
    need_root "stopping PostgreSQL"
    pg_ctlcluster "$PG_VERSION" "$PG_CLUSTER" stop -m fast
    log "PostgreSQL stopped"
  elif pg_answers; then
    log "PostgreSQL on $PGHOST:$PGPORT is not cluster $PG_VERSION/$PG_CLUSTER; left running"
  else
    log "PostgreSQL not running"
  fi
}

stop_redis() {
  if redis_answers; then
    redis-cli -h "$REDIS_HOST" -p "$REDIS_PORT" shutdown nosave >/dev/null 2>&1 || true
    local deadline=$((SECONDS + 15))
    while redis_answers && ((SECONDS < deadline)); do sleep 0.2; done
    redis_answers && die "Redis on $REDIS_HOST:$REDIS_PORT did not stop"
    log "Redis stopped"
  else
    log "Redis not running"
  fi
  rm -f "$REDIS_PID"
}

# stop [postgresql|redis]: both by default, or only the one named.
cmd_stop() {
  case ${1:-both} in
    both) stop_redis; stop_postgres ;;
    postgresql) stop_postgres ;;
    redis) stop_redis ;;
    *) die "stop: unknown service $1" ;;
  esac
}

# answers postgresql|redis: exit status 0 if the service answers now (no output).
cmd_answers() {
  case ${1:-} in
    postgresql) pg_answers ;;
    redis) command -v redis-cli >/dev/null && redis_answers ;;
    *) die "answers: postgresql or redis" ;;
  esac
}

cmd_status() {
  local rc=0
  if pg_answers; then
    log "PostgreSQL: up on $PGHOST:$PGPORT"
  else
    log "PostgreSQL: down"
    rc=1
  fi
  if command -v redis-cli >/dev/null && redis_answers; then
    log "Redis: up on $REDIS_HOST:$REDIS_PORT"
  else
    log "Redis: down"
    rc=1
  fi
  return $rc
}

case ${1:-} in
  install) cmd_install ;;
  start) cmd_start ;;
  stop) cmd_stop "${2:-both}" ;;
  status) cmd_status ;;
  answers) cmd_answers "${2:-}" ;;
  *)
    echo "usage: $0 install|start|stop [postgresql|redis]|status|answers postgresql|redis" >&2
    exit 2
    ;;
esac
