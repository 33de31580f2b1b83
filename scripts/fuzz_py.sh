#!/usr/bin/env bash
# Fuzz the Python extension with atheris (fuzz/py_fuzz.py) for a number of seconds (default 300).
# Uses $TARVIC_VENV (default .venv) with the package installed; installs atheris there if missing.
# The corpus is kept in build/py-fuzz-corpus between runs; a finding is written as crash-* there too.
#   scripts/fuzz_py.sh [seconds] [extra libFuzzer flags...]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:-300}
shift || true
py=${TARVIC_VENV:-$root/.venv}/bin/python
"$py" -c "import atheris" 2>/dev/null || "$py" -m pip install -q atheris
"$py" -c "import tarvic" 2>/dev/null || "$py" -m pip install -q "$root"
corpus="$root/build/py-fuzz-corpus"
mkdir -p "$corpus"
cd "$corpus"
# -timeout: one input running this long is a hang; -rss_limit_mb: memory that grows without bound.
exec "$py" "$root/fuzz/py_fuzz.py" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=6144 \
  -print_final_stats=1 "$@" "$corpus"
