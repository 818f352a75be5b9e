#!/usr/bin/env bash
# Runs both benchmarks once at a tiny scale, so that they cannot rot: builds the core benchmarks
# and the extension module in build/bench-smoke, runs the core benchmarks with --tiny, then the
# Python benchmark with --tiny against that build (bench/python/run.sh makes its venv).
# Exits non-zero on any failure; the numbers it prints mean nothing at this scale.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
python=${TARNEL_PYTHON:-python3}

if ! dpkg -s libbenchmark-dev >/dev/null 2>&1; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq libbenchmark-dev >/dev/null
fi

# Prefer the cmake and ninja that scripts/test.sh installs into .venv.
cmake=(cmake)
ninja_flag=()
if [ -x .venv/bin/cmake ] && [ -x .venv/bin/ninja ]; then
  cmake=(.venv/bin/cmake)
  ninja_flag=(-DCMAKE_MAKE_PROGRAM="$(pwd)/.venv/bin/ninja")
fi

echo "== core benchmarks (tiny)"
"${cmake[@]}" -S . -B build/bench-smoke "${ninja_flag[@]}" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNEL_BUILD_BENCH=ON \
  -DTARNEL_BUILD_PYTHON=ON -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
"${cmake[@]}" --build build/bench-smoke -j "$jobs" --target tarnel_core_bench _tarnel _streaming
build/bench-smoke/bench/core/tarnel_core_bench --tiny

# The package as it installs: its Python files with the stream module beside them.
package=build/bench-smoke/package
rm -rf "$package" && mkdir -p "$package"
cp -r bindings/python/tarnel "$package/"
cp build/bench-smoke/bindings/python/_streaming*.so "$package/tarnel/"

echo "== python benchmark (tiny)"
TARNEL_BENCH_NO_INSTALL=1 bash bench/python/run.sh --tiny \
  --tarnel build/bench-smoke/bindings/python --tarnel "$package"
