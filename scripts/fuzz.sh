#!/usr/bin/env bash
# Builds the libFuzzer targets (preset fuzz: clang with ASan and UBSan) and runs each for a short
# while from its committed seed corpus. Fails when a target crashes or finds a fault, or when a
# run changed the committed seeds.
#   FUZZ_SECONDS  seconds per target (default 13: about 90 seconds for the seven)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-13}
targets=(arguments profilekey wsprintf mapisvc regfile export walog)

source scripts/packages.sh

# clang with libFuzzer and the sanitizer runtimes, and what the build itself needs.
fuzzer_works() {
  local probe result
  probe=$(mktemp -d)
  echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' \
    >"$probe/probe.cc"
  clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cc" -o "$probe/probe" \
    >/dev/null 2>&1 && result=0 || result=1
  rm -rf "$probe"
  return $result
}
fuzzer_lib=$(compgen -G '/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' |
  head -n 1 || true)
need_packages clang++:clang cmake:cmake ninja:ninja-build /usr/include/sqlite3.h:libsqlite3-dev \
  "${fuzzer_lib:-/usr/lib/llvm-14/lib/libclang_rt.fuzzer-x86_64.a}:libclang-rt-14-dev"
if ! fuzzer_works; then
  echo "clang++ cannot build a libFuzzer target with ASan and UBSan" >&2
  exit 1
fi

cmake --preset fuzz
cmake --build --preset fuzz -j2 --target "${targets[@]/#/fuzz_}"

work=build/fuzz/run
rm -rf "$work"
status=0
seeds() { find fuzz/corpus -type f -exec cksum {} + | sort; }
before=$(seeds)
for target in "${targets[@]}"; do
  mkdir -p "$work/$target/corpus" "$work/$target/artifacts"
  echo "== fuzz_$target: ${seconds}s"
  # The first folder receives new inputs; the committed seeds are only read.
  if ! build/fuzz/fuzz_"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$work/$target/artifacts/" \
      "$work/$target/corpus" "fuzz/corpus/$target" 2>"$work/$target/log"; then
    status=1
    echo "fuzz_$target FAILED; the input that failed is in $work/$target/artifacts/:"
    tail -n 60 "$work/$target/log"
  else
    grep -E '^(Done|stat::number_of_executed_units)' "$work/$target/log" || true
  fi
done
if [[ "$(seeds)" != "$before" ]]; then
  echo "a fuzz run changed fuzz/corpus; new inputs belong in $work" >&2
  status=1
fi
exit $status
