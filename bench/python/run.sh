#!/usr/bin/env bash
# The Python benchmark in one command: makes (or reuses) the bench venv .venv-bench with msgpack,
# cbor2 and orjson, installs tarnel from this checkout into it (building the abi3 wheel), and runs
# bench.py, which builds its C floor and allocator shim itself. Arguments go to bench.py
# (--tiny for a run of seconds). TARNEL_PYTHON picks the interpreter (default python3);
# TARNEL_BENCH_NO_INSTALL=1 skips installing tarnel (use with --tarnel DIR).
set -euo pipefail
cd "$(dirname "$0")/../.."
python=${TARNEL_PYTHON:-python3}

if ! command -v sexp-conv >/dev/null 2>&1; then
  echo "== installing nettle-bin (sexp-conv, for the whole-process comparison)"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  { $sudo_cmd apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq nettle-bin >/dev/null; } ||
    echo "   (not installed: the whole-process comparison is left out)"
fi

if [ ! -x .venv-bench/bin/python ]; then
  echo "== creating .venv-bench"
  "$python" -m venv .venv-bench
fi
venv_python=.venv-bench/bin/python
"$venv_python" -m pip install -q msgpack cbor2 orjson msgspec
if [ "${TARNEL_BENCH_NO_INSTALL:-0}" != 1 ]; then
  echo "== installing tarnel into .venv-bench"
  "$venv_python" -m pip install -q --force-reinstall --no-deps .
fi
exec "$venv_python" bench/python/bench.py "$@"
