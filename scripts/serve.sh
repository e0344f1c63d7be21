#!/usr/bin/env bash
# Sets up a fresh machine, starts the services, loads the sample data on the
# first run, and serves the host application on http://127.0.0.1:8000.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
bash scripts/services.sh start
python3 -m sampledata --parcels "${SAMPLE_PARCELS:-20000}" --seed 1 --if-empty
# The demo's administrator token (cache invalidation) and plan token: set your
# own in the environment; otherwise fresh ones are made and printed here.
export ADMIN_TOKEN=${ADMIN_TOKEN:-$(python3 -c 'import secrets; print(secrets.token_urlsafe(24))')}
export PLAN_TOKEN=${PLAN_TOKEN:-$(python3 -c 'import secrets; print(secrets.token_urlsafe(24))')}
echo "==> ADMIN_TOKEN=$ADMIN_TOKEN  (Authorization: Bearer … for POST /gis/cache/invalidate/{layer})" >&2
echo "==> PLAN_TOKEN=$PLAN_TOKEN  (Authorization: Bearer … for the plan downloads)" >&2
cd api
# One worker per core; uvloop and httptools (uvicorn[standard]) rather than the
# pure-Python loop and parser. The access log costs a tenth of a cached tile's
# time (docs/benchmarks.md): off unless ACCESS_LOG=1.
# X-Forwarded-For is trusted only from the listed proxies (none by default), so a
# client cannot choose the address its requests are rate-limited under.
access_log=--no-access-log
[[ ${ACCESS_LOG:-0} == 1 ]] && access_log=--access-log
exec python3 -m uvicorn main:app --host "${HOST:-127.0.0.1}" --port "${PORT:-8000}" \
  --workers "${WEB_CONCURRENCY:-$(nproc)}" --loop uvloop --http httptools "$access_log" \
  --forwarded-allow-ips "${FORWARDED_ALLOW_IPS:-}"
