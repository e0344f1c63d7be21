#!/usr/bin/env bash
# Sets up a fresh machine and runs every test, in two tiers; extra arguments go to pytest.
#   fast tier: formatting, lint and the module-source boundary (before the build, seconds), then
#              the type check and the tests that need no services, stopping at the first failure;
#   integration tier: PostgreSQL/PostGIS and Redis started, the small sample dataset loaded,
#              the tests against real services and real servers.
set -euo pipefail
cd "$(dirname "$0")/.."

# pytest's 5 means "no test selected" (arguments that pick tests of one tier only).
pytest_tier() {
  local rc=0
  python3 -m pytest "$@" || rc=$?
  ((rc == 0 || rc == 5)) || exit "$rc"
}

echo "==> fast tier" >&2
started=$SECONDS
bash scripts/check.sh
bash scripts/setup.sh
python3 -m mypy
pytest_tier -m "not integration and not e2e" -x "$@"
echo "==> fast tier passed in $((SECONDS - started)) s" >&2

echo "==> integration tier" >&2
bash scripts/services.sh start
python3 -m sampledata --parcels 400 --seed 1 --database "${PGDATABASE_TEST:-ravn_test}" --if-empty --quiet
pytest_tier -m "integration or e2e" "$@"
