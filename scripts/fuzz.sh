#!/usr/bin/env bash
# Fuzzes the core with libFuzzer under AddressSanitizer and UndefinedBehaviorSanitizer (clang 16):
#   reader    fuzz/fuzz_model_reader.cpp: arbitrary model-file text, seeds in fuzz/corpus/
#   pipeline  fuzz/fuzz_pipeline.cpp: small tables and configurations through load, fit, predict,
#             save and load, seeds in fuzz/pipeline_corpus/
# Builds in build/fuzz and runs the target for SECONDS (default 60). New inputs go to
# build/fuzz/corpus-TARGET, findings to build/fuzz/findings-TARGET/. Further arguments go to
# libFuzzer, e.g. -runs=1000000 (which ends the run after that many inputs). FUZZ_SANITIZE picks
# the sanitizers (default address,undefined; empty for none, several times faster) and the build
# folder (build/fuzz, or build/fuzz-plain without sanitizers).
# Usage: scripts/fuzz.sh [reader|pipeline] [SECONDS] [libFuzzer options...]
#        scripts/fuzz.sh SECONDS   (the reader)
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
# Clang 16: older releases lack the builtin that std::source_location needs with this libstdc++.
apt_install clang-16 libclang-rt-16-dev
prepare_venv

target="reader"
if [ $# -gt 0 ] && [[ ! "$1" =~ ^[0-9]+$ ]]; then
  target="$1"
  shift
fi
seconds="${1:-60}"
[ $# -gt 0 ] && shift
case "$target" in
  reader) binary="fuzz_model_reader"; seeds="$QV_ROOT/fuzz/corpus"
          extra=(-dict="$QV_ROOT/fuzz/model_file.dict" -max_len=4096) ;;
  pipeline) binary="fuzz_pipeline"; seeds="$QV_ROOT/fuzz/pipeline_corpus"; extra=(-max_len=1024) ;;
  *) echo "unknown target $target: reader or pipeline" >&2; exit 2 ;;
esac
sanitize="${FUZZ_SANITIZE-address,undefined}"
build="$QV_ROOT/build/fuzz"
[ -z "$sanitize" ] && build="$QV_ROOT/build/fuzz-plain"
clang_cxx="$(command -v clang++-16)"

# The libraries get coverage instrumentation too (fuzzer-no-link), so that the fuzzer is guided
# by the core's branches and not only by the target's own.
cmake -S "$QV_ROOT" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER="$clang_cxx" -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" \
  -DQUORVANTA_BUILD_FUZZ=ON -DQUORVANTA_BUILD_MODULE=OFF -DQUORVANTA_BUILD_TESTS=OFF \
  -DQUORVANTA_SANITIZE="$sanitize" >/dev/null
cmake --build "$build" --target "$binary" -j "$(nproc)"

corpus="$build/corpus-$target"
findings="$build/findings-$target"
mkdir -p "$corpus" "$findings"
ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  "$build/$binary" "$corpus" "$seeds" "${extra[@]}" -timeout=10 -rss_limit_mb=2048 \
  -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$findings/" "$@"
