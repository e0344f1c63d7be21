#!/usr/bin/env bash
# Sets up a fresh machine, starts the services, loads the sample data on the
# first run, and serves the host application on http://127.0.0.1:8000.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
bash scripts/services.sh start
python3 -m sampledata --parcels "${SAMPLE_PARCELS:-20000}" --seed 1 --if-empty
cd api
exec python3 -m uvicorn main:app --host 127.0.0.1 --port "${PORT:-8000}"
