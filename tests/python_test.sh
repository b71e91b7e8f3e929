#!/bin/sh
# The Python package's tests: pytest inside the simulated board of a kernel profile; or
# `pip install .` from the tree into a directory of its own, then imported from there.
#
#   python_test.sh SIMBOARD PROFILE PYTHON TESTS
#   python_test.sh --pip PYTHON PACKAGE_DIR
set -eu
if [ "$1" = --pip ]; then
  python=$2 src=$3
  "$python" -m pip --version >/dev/null 2>&1 || { echo "SKIP: no pip for $python (python3-pip)"; exit 77; }
  out=$(mktemp -d)
  trap 'rm -rf "$out"' EXIT
  # From a copy: setuptools builds inside the directory it is given (build/, *.egg-info),
  # which must not be the tree. No build isolation: the machine's own setuptools builds
  # it, nothing is fetched.
  cp -R "$src" "$out/src"
  "$python" -m pip install -q --no-build-isolation --no-deps --target "$out/site" "$out/src" 2>&1 | grep -v WARNING || true
  cd "$out" && PYTHONPATH=$out/site "$python" -c \
    'import halvex, os; print("pip-installed halvex", halvex.__version__, "at", os.path.dirname(halvex.__file__), "on libhalvex", halvex.library_version)' |
    grep "at $out/site/halvex on libhalvex"
  exit
fi
simboard=$1 profile=$2 python=$3 tests=$4
"$python" -c 'import pytest' 2>/dev/null || { echo "SKIP: no pytest for $python (python3-pytest)"; exit 77; }
exec "$simboard" --kernel "$profile" -- "$python" -m pytest -q -p no:cacheprovider "$tests"
