#!/usr/bin/env bash
# Sets up a fresh machine, starts the services, loads the sample data on the
# first run, and serves the host application on http://127.0.0.1:8000.
# Ctrl-C stops the server and the services this run started; services that
# were already running stay up.
set -euo pipefail
cd "$(dirname "$0")/.."

[[ ${SERVE_SKIP_SETUP:-0} == 1 ]] || bash scripts/setup.sh
started=()
for service in postgresql redis; do
  bash scripts/services.sh answers "$service" 2>/dev/null || started+=("$service")
done
server=
stop_all() {
  trap - INT TERM EXIT
  if [[ -n $server ]] && kill -0 "$server" 2>/dev/null; then
    kill -TERM "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
  fi
  local service
  for service in "${started[@]}"; do
    echo "==> stopping $service (started by this run)" >&2
    bash scripts/services.sh stop "$service" || true
  done
}
trap stop_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

bash scripts/services.sh start
python3 -m sampledata --parcels "${SAMPLE_PARCELS:-20000}" --seed 1 --if-empty
# The demo's administrator token (cache invalidation) and plan token: set your
# own in the environment; otherwise fresh ones are made and printed here.
export ADMIN_TOKEN=${ADMIN_TOKEN:-$(python3 -c 'import secrets; print(secrets.token_urlsafe(24))')}
export PLAN_TOKEN=${PLAN_TOKEN:-$(python3 -c 'import secrets; print(secrets.token_urlsafe(24))')}
echo "==> ADMIN_TOKEN=$ADMIN_TOKEN  (Authorization: Bearer … for POST /gis/cache/invalidate/{layer})" >&2
echo "==> PLAN_TOKEN=$PLAN_TOKEN  (Authorization: Bearer … for the plan downloads; the map asks for it)" >&2
# The server's own lines (the parent of the workers never loads services.env) in the same
# time zone as the application's.
TZ=${TZ:-$(sed -n 's/^TZ=//p' services.env | tail -n 1)}
[[ -n $TZ ]] && export TZ
host=${HOST:-127.0.0.1}
port=${PORT:-8000}
# One worker per core; uvloop and httptools (uvicorn[standard]) rather than the
# pure-Python loop and parser. The access log costs a tenth of a cached tile's
# time (docs/benchmarks.md): off unless ACCESS_LOG=1.
# X-Forwarded-For is trusted only from the listed proxies (none by default), so a
# client cannot choose the address its requests are rate-limited under.
access_log=--no-access-log
[[ ${ACCESS_LOG:-0} == 1 ]] && access_log=--access-log
# In the background, so that stopping it also stops what this run started.
(cd api && exec python3 -m uvicorn main:app --host "$host" --port "$port" \
  --workers "${WEB_CONCURRENCY:-$(nproc)}" --loop uvloop --http httptools "$access_log" \
  --forwarded-allow-ips "${FORWARDED_ALLOW_IPS:-}") &
server=$!
shown=$host
[[ $host == 0.0.0.0 ]] && shown=127.0.0.1
for _ in $(seq 150); do
  kill -0 "$server" 2>/dev/null || break
  if python3 -c "import urllib.request,sys; urllib.request.urlopen(sys.argv[1], timeout=1)" \
       "http://$shown:$port/api" 2>/dev/null; then
    cat >&2 <<MSG
==> serving; open
      map:               http://$shown:$port/
      API documentation: http://$shown:$port/docs
      service index:     http://$shown:$port/api
    Ctrl-C stops the server${started[*]:+ and ${started[*]} (started here)}.
MSG
    break
  fi
  sleep 0.2
done
wait "$server"
