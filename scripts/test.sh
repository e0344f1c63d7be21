#!/usr/bin/env bash
# Sets up a fresh machine, starts PostgreSQL/PostGIS and Redis, loads the small
# sample dataset and runs every test. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
bash scripts/services.sh start
python3 -m sampledata --parcels 400 --seed 1 --database "${PGDATABASE_TEST:-ravn_test}" --if-empty --quiet
python3 -m pytest "$@"
