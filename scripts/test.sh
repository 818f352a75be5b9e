#!/usr/bin/env bash
# Runs every test from nothing: installs what is missing (Debian packages with apt-get, Python
# packages with pip into .venv), then builds the core and all its GoogleTest suites with two
# compilers: with GCC (build/test), and with clang under AddressSanitizer and UBSan (build/asan,
# where the memory-bound tests get a copy of the core without the sanitizers), and runs them under
# CTest; installs the C++ library (static and shared) and builds the C++ examples against it; runs
# each fuzz target briefly (clang); builds the abi3 wheel, installs it into the venv and runs
# pytest; builds the extensions against the full C API (the route of interpreters that cannot load
# abi3 modules), runs pytest against them and reinstalls the abi3 wheel; tries the sdist; and
# builds the portable manylinux2014 wheel (scripts/portable-wheel.sh), audits it and runs pytest on
# it under CPython 3.10 and 3.13 where they can be found.
# Exits non-zero on any failure. Environment: TARNEL_PYTHON picks the interpreter (default python3);
# TARNEL_FUZZ_SECONDS the time per fuzz target (default 40, ten targets; 0 skips fuzzing);
# TARNEL_WHEEL_VENV the venv holding the portable wheel's tools (default build/portable/venv).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
python=${TARNEL_PYTHON:-python3}
jobs=$(nproc 2>/dev/null || echo 2)

need_debs=()
for pkg in g++ libgtest-dev clang libclang-rt-14-dev gnupg pkgconf; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need_debs+=("$pkg")
done
if [ ${#need_debs[@]} -gt 0 ]; then
  echo "== installing ${need_debs[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${need_debs[@]}" >/dev/null
fi

if [ ! -x .venv/bin/python ]; then
  echo "== creating .venv"
  "$python" -m venv .venv
fi
venv_python="$root/.venv/bin/python"
"$venv_python" -m pip install -q --upgrade pip
"$venv_python" -m pip install -q -r requirements-test.txt

echo "== core with GCC: configure, build, test"
CC=gcc CXX=g++ "$venv_python" -m cmake -S . -B build/test -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_MAKE_PROGRAM="$root/.venv/bin/ninja" \
  -DTARNEL_BUILD_TESTS=ON -DTARNEL_WERROR=ON >/dev/null
"$venv_python" -m cmake --build build/test -j "$jobs"
if ! (cd build/test && "$root/.venv/bin/ctest" --output-on-failure -j "$jobs" >ctest.log 2>&1); then
  cat build/test/ctest.log
  exit 1
fi
tail -n 3 build/test/ctest.log

# This build scans with the portable word-at-a-time code, so that the tests run both scanners:
# the GCC build above and the fuzzers take the vector code where the machine has it.
echo "== core with clang, under ASan and UBSan, portable scanner: configure, build, test"
CC=clang CXX=clang++ "$venv_python" -m cmake -S . -B build/asan -G Ninja \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O1 -g1" \
  -DCMAKE_MAKE_PROGRAM="$root/.venv/bin/ninja" -DTARNEL_BUILD_TESTS=ON -DTARNEL_WERROR=ON \
  -DTARNEL_SANITIZE=ON -DTARNEL_PORTABLE_SCAN=ON >/dev/null
"$venv_python" -m cmake --build build/asan -j "$jobs"
if ! (cd build/asan && "$root/.venv/bin/ctest" --output-on-failure -j "$jobs" >ctest.log 2>&1); then
  cat build/asan/ctest.log
  exit 1
fi
tail -n 3 build/asan/ctest.log

echo "== C++ library: install it (static, then shared), build the examples against each"
# keyinfo must report each GnuPG key file kept under tests/data/gnupg as libgcrypt reads its key
# (given the Key value joined, since libgcrypt cannot read the name-value format): the list's name
# and algorithm, its canonical form and that of its q; and a key file with a bad octet where that
# octet stands in the file, with its kind.
check_keyinfo() {
  "$venv_python" - "$1" tests/data/gnupg <<'PY'
import ctypes, ctypes.util, pathlib, subprocess, sys
program, data = sys.argv[1], pathlib.Path(sys.argv[2])
files = sorted(data.glob("*.key"))
name = ctypes.util.find_library("gcrypt")
if name is None:
    print("keyinfo: libgcrypt is not installed, so its outputs are not compared")
else:
    lib = ctypes.CDLL(name)
    lib.gcry_check_version.restype = ctypes.c_char_p
    lib.gcry_sexp_find_token.restype = lib.gcry_sexp_nth.restype = ctypes.c_void_p
    lib.gcry_sexp_nth_data.restype = ctypes.c_void_p
    lib.gcry_sexp_sprint.restype = ctypes.c_size_t
    assert lib.gcry_check_version(None)
    def canonical(sexp):
        out = ctypes.create_string_buffer(1 << 16)
        size = lib.gcry_sexp_sprint(ctypes.c_void_p(sexp), 1, out, ctypes.c_size_t(len(out)))
        return out.raw[:size]
    def atom(sexp, n):
        size = ctypes.c_size_t()
        data = lib.gcry_sexp_nth_data(ctypes.c_void_p(sexp), n, ctypes.byref(size))
        return ctypes.string_at(data, size.value)
    for path in files:
        text = path.read_bytes()
        if text[:1] != b"(":  # GnuPG's writer: each line of the Key entry is a space and a piece
            text = b"".join(line[1:] for line in text.partition(b"Key:")[2].split(b"\n"))
        sexp = ctypes.c_void_p()
        assert lib.gcry_sexp_sscan(ctypes.byref(sexp), None, text, ctypes.c_size_t(len(text))) == 0
        key = next(k for k in (lib.gcry_sexp_find_token(sexp, n, 0) for n in
                               (b"public-key", b"private-key", b"protected-private-key")) if k)
        algorithm = lib.gcry_sexp_nth(ctypes.c_void_p(key), 1)
        q = lib.gcry_sexp_find_token(ctypes.c_void_p(algorithm), b"q", 0)
        expected = b"%s %s\n%s\n%s\n" % (atom(key, 0), atom(algorithm, 0), canonical(key), canonical(q))
        done = subprocess.run([program, path, "q"], capture_output=True)
        assert done.returncode == 0 and done.stdout == expected, (path, done)
data = (data / "extended-raw-iv.key").read_bytes()
raw = next(i for i, c in enumerate(data) if c >= 0x80)
broken = pathlib.Path(program).with_name("broken.key")
broken.write_bytes(data[:raw] + b"\x01" + data[raw + 1:])
done = subprocess.run([program, broken, "q"], capture_output=True, text=True)
said = f"{broken}: offset {raw}: unexpected_octet: an octet that cannot appear here at offset {raw}\n"
assert done.returncode == 1 and done.stderr == said and not done.stdout, done
PY
}
# The example is built with CMake's find_package against each installed library, with the source
# tree as a subproject, and with pkg-config, and must write the canonical form the repository
# holds; the shared library must export only the API.
for kind in static shared; do
  prefix="$root/build/cpp-$kind/prefix"
  shared=OFF
  [ "$kind" = shared ] && shared=ON
  "$venv_python" -m cmake -S . -B "build/cpp-$kind" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_MAKE_PROGRAM="$root/.venv/bin/ninja" -DBUILD_SHARED_LIBS=$shared \
    -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
  "$venv_python" -m cmake --build "build/cpp-$kind" -j "$jobs" >/dev/null
  "$venv_python" -m cmake --install "build/cpp-$kind" >/dev/null
  "$venv_python" -m cmake -S examples/cpp -B "build/cpp-$kind/example" -G Ninja \
    -DCMAKE_MAKE_PROGRAM="$root/.venv/bin/ninja" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
  "$venv_python" -m cmake --build "build/cpp-$kind/example" >/dev/null
  "build/cpp-$kind/example/canonicalize" examples/keys.sexp | cmp - examples/keys.canonical
  check_keyinfo "build/cpp-$kind/example/keyinfo"
done
"$venv_python" -m cmake -S examples/cpp -B build/cpp-source -G Ninja \
  -DCMAKE_MAKE_PROGRAM="$root/.venv/bin/ninja" -DTARNEL_SOURCE_DIR="$root" >/dev/null
"$venv_python" -m cmake --build build/cpp-source >/dev/null
build/cpp-source/canonicalize examples/keys.sexp | cmp - examples/keys.canonical
check_keyinfo build/cpp-source/keyinfo
# shellcheck disable=SC2046
c++ -std=c++20 -O2 -Wall -Wextra -Werror examples/cpp/canonicalize.cpp -o build/cpp-static/canonicalize \
  $(PKG_CONFIG_PATH="$root/build/cpp-static/prefix/lib/pkgconfig" pkg-config --cflags --libs tarnel)
build/cpp-static/canonicalize examples/keys.canonical | cmp - examples/keys.canonical
# shellcheck disable=SC2046
c++ -std=c++20 -O2 -Wall -Wextra -Werror examples/cpp/keyinfo.cpp -o build/cpp-static/keyinfo \
  $(PKG_CONFIG_PATH="$root/build/cpp-static/prefix/lib/pkgconfig" pkg-config --cflags --libs tarnel)
check_keyinfo build/cpp-static/keyinfo
printf '(a b)\n(c "d' >build/cpp-static/cut.sexp
status=0
refusal=$(build/cpp-static/canonicalize build/cpp-static/cut.sexp 2>&1 >/dev/null) || status=$?
expected="build/cpp-static/cut.sexp: the input ended in the middle of an S-expression at offset 11"
if [ "$status" -ne 1 ] || [ "$refusal" != "$expected" ]; then
  echo "the example reported a cut input with status $status and: $refusal" >&2
  exit 1
fi
# The README's C++ example, exactly as written there, must compile and print what it says.
"$venv_python" - README.md build/cpp-static/readme <<'PY'
import sys
text = open(sys.argv[1], encoding="utf-8").read()
section = text.index("### Reading, writing, errors")
code_start = text.index("```cpp\n", section) + len("```cpp\n")
code_end = text.index("```\n", code_start)
said_start = text.index("\n\n    ", code_end) + 2
said_end = text.index("\n\n", said_start)
open(sys.argv[2] + ".cpp", "w", encoding="utf-8").write(text[code_start:code_end])
said = [line[4:] for line in text[said_start:said_end].splitlines()]
open(sys.argv[2] + ".expected", "w", encoding="utf-8").write("\n".join(said) + "\n")
PY
# shellcheck disable=SC2046
c++ -std=c++20 -Wall -Wextra -Werror build/cpp-static/readme.cpp -o build/cpp-static/readme \
  $(PKG_CONFIG_PATH="$root/build/cpp-static/prefix/lib/pkgconfig" pkg-config --cflags --libs tarnel)
build/cpp-static/readme | cmp - build/cpp-static/readme.expected
if nm -DC --defined-only build/cpp-shared/prefix/lib/libtarnel.so | grep -v ' tarnel::'; then
  echo "libtarnel.so exports symbols outside the API" >&2
  exit 1
fi
echo "examples built and run against the installed libraries, the source tree and pkg-config"

fuzz_seconds=${TARNEL_FUZZ_SECONDS:-40}
if [ "$fuzz_seconds" -gt 0 ]; then
  echo "== fuzz: each target for ${fuzz_seconds}s"
  TARNEL_FUZZ_BUILD=build/fuzz TARNEL_CMAKE="$venv_python -m cmake" \
    TARNEL_NINJA="$root/.venv/bin/ninja" bash fuzz/run.sh "$fuzz_seconds"
fi

echo "== python: build the abi3 wheel, install it, then pytest"
rm -rf build/wheels/abi3
"$venv_python" -m pip wheel -q --no-deps -w build/wheels/abi3 .
abi3_wheel=$(ls build/wheels/abi3/*.whl)
"$venv_python" -m pip install -q --force-reinstall --no-deps "$abi3_wheel"
"$venv_python" -m pytest -q tests/python

echo "== python, full C API: install version-specific extensions, pytest, then the abi3 wheel again"
# What a free-threaded interpreter builds by itself; the empty wheel.py-api keeps the tag honest.
"$venv_python" -m pip install -q --force-reinstall --no-deps -Cwheel.py-api= \
  -Ccmake.define.TARNEL_LIMITED_API=OFF .
"$venv_python" -m pytest -q tests/python
"$venv_python" -m pip install -q --force-reinstall --no-deps "$abi3_wheel"

echo "== sdist: build it, install it into a fresh venv, run the stream tests against it"
rm -rf build/sdist && mkdir -p build/sdist
"$venv_python" -m pip install -q build
"$venv_python" -m build --sdist -o build/sdist . >/dev/null
sdist=$(ls build/sdist/*.tar.gz)
if tar tzf "$sdist" | grep -Eq '/(build[^/]*|\.venv[^/]*)/'; then
  echo "the sdist holds build or venv directories" >&2
  exit 1
fi
"$python" -m venv build/sdist/venv
build/sdist/venv/bin/pip install -q --upgrade pip
build/sdist/venv/bin/pip install -q -r requirements-test.txt "$sdist"
(cd build/sdist && venv/bin/python -m pytest -q -p no:cacheprovider "$root/tests/python/test_stream.py")

echo "== portable wheel: build it (manylinux2014, zig), audit it, run pytest on it under 3.10 and 3.13"
portable_start=$SECONDS
wheel_venv=${TARNEL_WHEEL_VENV:-$root/build/portable/venv}
TARNEL_WHEEL_VENV="$wheel_venv" TARNEL_PYTHON="$python" bash scripts/portable-wheel.sh
wheel=$(ls dist/tarnel-*.whl)
"$wheel_venv/bin/python" -m pip install -q abi3audit
shown=$(PATH="$wheel_venv/bin:$PATH" "$wheel_venv/bin/auditwheel" show "$wheel")
if ! tr '\n' ' ' <<<"$shown" | grep -q 'consistent with the following platform tag: *"manylinux_2_17_x86_64"'; then
  echo "$shown" >&2
  echo "auditwheel does not find $wheel to be manylinux_2_17_x86_64" >&2
  exit 1
fi
"$wheel_venv/bin/abi3audit" --strict --summary "$wheel"

# The CPython 3.N on PATH; where it is a pyenv shim that does not run as it is, pyenv's own.
find_cpython() {
  local name=python$1 version path
  if "$name" -c '' >/dev/null 2>&1; then
    command -v "$name"
    return
  fi
  command -v pyenv >/dev/null 2>&1 || return 1
  version=$(pyenv whence "$name" 2>/dev/null | tail -n 1)
  [ -n "$version" ] || return 1
  path="$(pyenv prefix "$version")/bin/$name"
  "$path" -c '' >/dev/null 2>&1 || return 1
  echo "$path"
}

for version in 3.10 3.13; do
  if ! interpreter=$(find_cpython "$version"); then
    echo "== portable wheel: no python$version on PATH, so the wheel is not tried under it"
    continue
  fi
  echo "== portable wheel: pytest under $interpreter"
  venv_dir=$root/build/portable/py$version
  rm -rf "$venv_dir"
  "$interpreter" -m venv "$venv_dir"
  "$venv_dir/bin/python" -m pip install -q --upgrade pip
  "$venv_dir/bin/python" -m pip install -q -r requirements-test.txt "$wheel"
  # Away from the source tree, so that only the wheel's modules can be imported; the other
  # interpreters were tried by the first pytest run.
  (cd "$venv_dir" && bin/python -c '
import sys, _tarnel, tarnel._streaming as s
for m in (_tarnel, s):
    assert m.__file__.startswith(sys.prefix), m.__file__
' && TARNEL_OTHER_PYTHONS= bin/python -m pytest -q -p no:cacheprovider "$root/tests/python")
done
echo "== portable wheel: $((SECONDS - portable_start)) s"
