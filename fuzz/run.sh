#!/usr/bin/env bash
# Builds the fuzz targets with CMake (-DZAREL_FUZZ=ON: clang, libFuzzer, and the
# sanitized build's AddressSanitizer and UBSan flags), then runs each for a
# bounded time on its corpus (fuzz/corpus/<name without fuzz_>), two at a time.
#   fuzz/run.sh [SECONDS per target, default 60] [BUILD DIR, default build/fuzz]
# The build directory may be the sanitized module's: ./dev.sh test shares it.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
out=${2:-build/fuzz}
CXX=clang++ cmake -S . -B "$out" -G Ninja -DZAREL_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=$(ls fuzz/fuzz_*.cpp | xargs -n1 basename | sed 's/\.cpp$//')
# shellcheck disable=SC2086
ninja -C "$out" -j2 $targets >/dev/null

fuzz_one() {
  local name=$1 corpus work
  corpus=fuzz/corpus/${name#fuzz_}
  mkdir -p "$corpus"
  work=$(mktemp -d)
  if ! "$out/$name" -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=4096 \
      -print_final_stats=0 "$work" "$corpus" 2>"$out/$name.log"; then
    echo "$name failed:" >&2
    tail -40 "$out/$name.log" >&2
    return 1
  fi
  echo "fuzzed $name for ${seconds}s: $(grep -E "^Done [0-9]+ runs" "$out/$name.log" | tail -1)"
  rm -rf "$work"
}
export -f fuzz_one
export out seconds
# shellcheck disable=SC2086
printf '%s\n' $targets | xargs -P 2 -I{} bash -c 'fuzz_one {}'
