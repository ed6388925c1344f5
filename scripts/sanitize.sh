#!/usr/bin/env bash
# Runs the core's C++ tests under AddressSanitizer + UndefinedBehaviorSanitizer, then the threaded
# loading, growing and forest tests under ThreadSanitizer, then the Python tests against a
# sanitized module.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
apt_install g++ libgtest-dev
prepare_venv

echo "== C++ unit tests under ASan + UBSan"
cmake_build asan -DCMAKE_BUILD_TYPE=Debug -DQUORVANTA_BUILD_TESTS=ON -DQUORVANTA_BUILD_MODULE=OFF \
  -DQUORVANTA_SANITIZE=address,undefined
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir "$QV_ROOT/build/asan" --output-on-failure -j "$(nproc)"

echo "== threaded loading, growing and forest tests under TSan"
cmake_build tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVANTA_BUILD_TESTS=ON -DQUORVANTA_BUILD_MODULE=OFF \
  -DQUORVANTA_SANITIZE=thread
# ASLR layouts newer kernels use can break TSan's shadow mapping; run without randomisation.
for suite in test_data test_tree test_forest; do
  TSAN_OPTIONS=halt_on_error=1 setarch "$(uname -m)" -R "$QV_ROOT/build/tsan/$suite" --gtest_brief=1
done

echo "== Python tests against the module built with ASan + UBSan"
cmake_build module-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVANTA_BUILD_MODULE=ON \
  -DQUORVANTA_SANITIZE=address,undefined
# The interpreter itself is not instrumented, so the runtimes are preloaded and leak checking
# (which would report the interpreter's own allocations) is off.
(cd "$QV_ROOT" && LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)" \
  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  PYTHONPATH="$QV_ROOT/build/module-asan" python -m pytest -q -p no:cacheprovider tests/python)
