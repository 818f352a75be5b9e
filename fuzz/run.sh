#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for a bounded time.
#
#   bash fuzz/run.sh [seconds-per-target] [target...]       default: 60 s, every target
#
# Each target starts from its seed corpus in fuzz/corpus/<target>/ (which also holds the inputs
# of every crash found so far, so each run replays them first) plus whatever earlier runs kept in
# fuzz/corpus-work/<target>/. Crashing inputs land in fuzz/findings/<target>/. Exits non-zero if a
# target fails. Environment: TARNEL_FUZZ_BUILD (build directory, default build-fuzz),
# TARNEL_CMAKE / TARNEL_NINJA (the tools to use, default cmake and ninja from PATH).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(reader base64 structure framer converter pattern gnupg scan stream)
build=${TARNEL_FUZZ_BUILD:-build-fuzz}
cmake_cmd=${TARNEL_CMAKE:-cmake}
ninja_cmd=${TARNEL_NINJA:-$(command -v ninja || true)}
jobs=$(nproc 2>/dev/null || echo 2)

generator=()
[ -n "$ninja_cmd" ] && generator=(-G Ninja -DCMAKE_MAKE_PROGRAM="$ninja_cmd")
mkdir -p "$build"
if ! { CC=clang CXX=clang++ $cmake_cmd -S . -B "$build" "${generator[@]}" \
         -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNEL_BUILD_FUZZ=ON -DTARNEL_WERROR=ON &&
       $cmake_cmd --build "$build" -j "$jobs" --target "${targets[@]/%/_fuzzer}"; } \
     >"$build/fuzz-build.log" 2>&1; then
  cat "$build/fuzz-build.log"
  exit 1
fi

summary=()
status=0
for target in "${targets[@]}"; do
  work="$root/fuzz/corpus-work/$target"
  findings="$root/fuzz/findings/$target"
  mkdir -p "$work" "$findings"
  log="$root/$build/fuzz-$target.log"
  echo "== fuzz $target for ${seconds}s"
  # The first corpus directory receives new inputs; the seeds stay as they are in the repository.
  if "$root/$build/fuzz/${target}_fuzzer" "$work" "$root/fuzz/corpus/$target" \
      -max_total_time="$seconds" -max_len=65540 -timeout=20 -rss_limit_mb=2048 \
      -artifact_prefix="$findings/" -print_final_stats=1 >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    summary+=("$target ${runs:-?} runs")
  else
    status=1
    tail -n 60 "$log"
    summary+=("$target FAILED (see $findings/)")
  fi
done
echo "fuzz: ${summary[*]}"
exit $status
