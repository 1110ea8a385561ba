#!/usr/bin/env bash
# Builds every fuzz/fuzz_*.cpp target with libFuzzer, ASan and UBSan, then runs
# each for a bounded time on its corpus (fuzz/corpus/<name without fuzz_>).
#   fuzz/run.sh [SECONDS per target, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
out=build/fuzz
mkdir -p "$out/obj"
# ZAREL_SANITIZE: branches come from new, which AddressSanitizer watches.
flags="-std=c++20 -O1 -g -ffp-contract=off -DZAREL_SANITIZE -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined"
includes="-Icore $(pkg-config --cflags sleef)"
libs="-ltbb -lcrypto $(pkg-config --libs sleef)"
# The core is compiled once, two files at a time, and linked into every target.
export flags includes out
# shellcheck disable=SC2016
ls core/*/*.cpp | xargs -P 2 -I{} sh -c \
  'o="$out/obj/$(echo {} | tr / _).o"; [ "$o" -nt {} ] && [ -z "$(find core -name "*.h" -newer "$o")" ] || clang++ $flags $includes -c {} -o "$o"'
for target in fuzz/fuzz_*.cpp; do
  name=$(basename "$target" .cpp)
  corpus=fuzz/corpus/${name#fuzz_}
  mkdir -p "$corpus"
  # shellcheck disable=SC2086
  clang++ ${flags/fuzzer-no-link/fuzzer} $includes "$target" "$out"/obj/*.o $libs -o "$out/$name"
  work=$(mktemp -d)
  echo "fuzzing $name for ${seconds}s"
  "$out/$name" -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=4096 \
    -print_final_stats=0 "$work" "$corpus" 2>"$out/$name.log" || { tail -40 "$out/$name.log"; exit 1; }
  grep -E "^#[0-9]+ +DONE" "$out/$name.log" | tail -1 || true
  rm -rf "$work"
done
