#!/usr/bin/env bash
# Fuzzes the model-file reader: builds fuzz/fuzz_model_reader.cpp with clang 16, libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer in build/fuzz, then runs it for SECONDS
# (default 60) starting from the seed files in fuzz/corpus/. New inputs go to build/fuzz/corpus,
# findings to build/fuzz/findings/. Usage: scripts/fuzz.sh [SECONDS]
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
# Clang 16: older releases lack the builtin that std::source_location needs with this libstdc++.
apt_install clang-16 libclang-rt-16-dev
prepare_venv

seconds="${1:-60}"
build="$QV_ROOT/build/fuzz"
clang_cxx="$(command -v clang++-16)"

# The libraries get coverage instrumentation too (fuzzer-no-link), so that the fuzzer is guided
# by the reader's branches and not only by the target's own.
cmake -S "$QV_ROOT" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER="$clang_cxx" -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" \
  -DQUORVANTA_BUILD_FUZZ=ON -DQUORVANTA_BUILD_MODULE=OFF -DQUORVANTA_BUILD_TESTS=OFF \
  -DQUORVANTA_SANITIZE=address,undefined >/dev/null
cmake --build "$build" --target fuzz_model_reader -j "$(nproc)"

mkdir -p "$build/corpus" "$build/findings"
ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  "$build/fuzz_model_reader" "$build/corpus" "$QV_ROOT/fuzz/corpus" \
  -dict="$QV_ROOT/fuzz/model_file.dict" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
  -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$build/findings/"
