#!/usr/bin/env bash
# Check that the extension, built against NumPy 2 headers, runs on NumPy 1.
#
# 1. builds a wheel with pip's build isolation (the build environment gets numpy>=2, as
#    pyproject.toml asks, so the NumPy 2 headers are used);
# 2. makes a second virtual environment (build/venv-numpy1, or $TARVIC_NUMPY1_VENV) holding
#    numpy==1.26.* and the test requirements;
# 3. installs the wheel there without letting pip touch NumPy, checks that NumPy 1 is what
#    gets imported, and runs the Python test suite against it.
#
#   scripts/test_numpy1.sh [extra pytest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
python=${PYTHON:-python3}
venv=${TARVIC_NUMPY1_VENV:-$root/build/venv-numpy1}
wheels="$root/build/wheel-numpy1"

if [ ! -x "$venv/bin/python" ]; then
  "$python" -m venv "$venv"
fi
py="$venv/bin/python"
"$py" -m pip install -q --disable-pip-version-check "numpy==1.26.*" pytest scipy tbb "dask[distributed]"

echo "== building the wheel (isolated build: NumPy 2 headers)"
rm -rf "$wheels"
"$py" -m pip wheel -q --disable-pip-version-check --no-deps -w "$wheels" "$root"
"$py" -m pip install -q --disable-pip-version-check --no-deps --force-reinstall "$wheels"/tarvic-*.whl

echo "== running the tests on NumPy $("$py" -c 'import numpy; print(numpy.__version__)')"
"$py" - <<'PY'
import numpy, tarvic
assert numpy.__version__.startswith("1.26."), numpy.__version__
r = tarvic.fit_rigid(numpy.eye(3), numpy.eye(3) + 1.0)
assert r[6], r
print("extension imported and fitted on NumPy", numpy.__version__)
PY
cd "$root/tests"
"$py" -m pytest -q -p no:cacheprovider "$root/tests" "$@"
