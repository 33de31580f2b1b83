#!/usr/bin/env bash
# Build and run every test: the C++ core under ctest and the Python package under pytest.
# Works on a fresh machine with a compiler and Python: Python packages go into a virtual
# environment (.venv, or $TARVIC_VENV), GoogleTest comes from the system package manager.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
venv=${TARVIC_VENV:-$root/.venv}
jobs=${TARVIC_JOBS:-$(nproc 2>/dev/null || echo 2)}

if [ ! -x "$venv/bin/python" ]; then
  python3 -m venv "$venv"
fi
py="$venv/bin/python"
"$py" -m pip install -q --disable-pip-version-check "numpy>=1.23" pytest scipy tbb-devel cmake ninja "dask[distributed]" \
  plyfile pypcd4 laspy lazrs matplotlib mypy

if [ ! -f /usr/include/gtest/gtest.h ] && [ ! -f /usr/local/include/gtest/gtest.h ]; then
  if command -v apt-get >/dev/null 2>&1 && [ "$(id -u)" = 0 ]; then
    echo "Installing GoogleTest (libgtest-dev)..."
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev; } >/dev/null
  else
    echo "GoogleTest is missing: install the system package libgtest-dev" >&2
    exit 1
  fi
fi

echo "== C++ core (GoogleTest)"
cmake -S . -B build/tests -G Ninja -DTARVIC_BUILD_TESTS=ON -DCMAKE_PREFIX_PATH="$venv" \
  -DPython_EXECUTABLE="$py" >/dev/null
cmake --build build/tests -j "$jobs"
(cd build/tests && ctest -j "$jobs" --output-on-failure --timeout 300)

echo "== Python package (pytest)"
"$py" -m pip install -q --disable-pip-version-check "$root"
cd "$root/tests"
"$py" -m pytest -q -p no:cacheprovider "$root/tests"

echo "== C++ core under AddressSanitizer + UndefinedBehaviorSanitizer"
cd "$root"
TARVIC_PREFIX="$venv" ./scripts/sanitize.sh asan

# Bounded fuzzing of the core and of the Python entry points (0 seconds skips it).
fuzz_seconds=${TARVIC_FUZZ_SECONDS:-30}
if [ "$fuzz_seconds" -gt 0 ]; then
  echo "== libFuzzer over the core (${fuzz_seconds} s)"
  TARVIC_PREFIX="$venv" ./scripts/fuzz.sh "$fuzz_seconds"
  echo "== atheris over the Python entry points (${fuzz_seconds} s)"
  TARVIC_VENV="$venv" ./scripts/fuzz_py.sh "$fuzz_seconds"
fi
echo "all test suites passed"
