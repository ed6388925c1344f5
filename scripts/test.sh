#!/usr/bin/env bash
# Sets everything up and runs every test: the core's C++ tests, then the module's Python tests.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
apt_install g++ libgtest-dev
prepare_venv

echo "== C++ unit tests"
cmake_build tests -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVANTA_BUILD_TESTS=ON -DQUORVANTA_BUILD_MODULE=OFF
ctest --test-dir "$QV_ROOT/build/tests" --output-on-failure -j "$(nproc)"

echo "== Python tests"
install_module
cd "$QV_ROOT"
python -m pytest -q tests/python "$@"

# The Dask suite starts worker processes and leaves the client's event-loop thread behind, so it
# runs in an interpreter of its own (a fork in another test must not inherit those threads).
echo "== Dask tests"
python -m pytest -q tests/dask "$@" || [ $? -eq 5 ]  # 5: a filter in "$@" selected none of them
