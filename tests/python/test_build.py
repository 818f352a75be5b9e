"""The built artefact: a module exporting one symbol, whose file name and wheel tag say which build
it is. The abi3 build loads in every CPython 3.10+ with the GIL; the full-API one only in
interpreters of its own version and ABI, and no other even finds it."""

import importlib
import importlib.metadata
import os
import shutil
import subprocess
import sys

import pytest

import _tarnel
from conftest import MODULE_SUFFIX, OTHER_INTERPRETERS, STABLE_ABI

# What the stable ABI's files end with: `_tarnel.pyd` on Windows, `_tarnel.abi3.so` elsewhere.
ABI3_SUFFIX = ".pyd" if sys.platform == "win32" else ".abi3.so"


def installed_wheel_tags():
    """The tags of the installed wheel that holds the `_tarnel` imported here; skips where it
    does not come from one (a build tree on the path)."""
    try:
        dist = importlib.metadata.distribution("tarnel")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("tarnel is not installed")
    held = [f for f in dist.files or () if f.name == os.path.basename(_tarnel.__file__)]
    if len(held) != 1 or not os.path.samefile(dist.locate_file(held[0]), _tarnel.__file__):
        pytest.skip("the _tarnel imported is not the installed wheel's")
    wheel = dist.read_text("WHEEL") or ""
    return [line.split(":", 1)[1].strip() for line in wheel.splitlines() if line.startswith("Tag:")]


def test_file_name_and_wheel_tag_name_the_same_build():
    packaging_tags = pytest.importorskip("packaging.tags")
    tags = installed_wheel_tags()
    assert tags
    if STABLE_ABI:
        assert MODULE_SUFFIX == ABI3_SUFFIX
        expected = ("cp310", "abi3")
    else:
        # This interpreter's own tag: cp313-cp313t for a free-threaded 3.13, and so on.
        best = next(iter(packaging_tags.sys_tags()))
        expected = (best.interpreter, best.abi)
    assert [tuple(tag.split("-")[:2]) for tag in tags] == [expected] * len(tags), tags
    streaming = importlib.import_module("tarnel._streaming")
    assert streaming.__file__.endswith(MODULE_SUFFIX)


def exported_symbols(path):
    """The dynamic symbols the file defines, or a skip where nm cannot say."""
    if shutil.which("nm") is None:
        pytest.skip("nm is not installed")
    if sys.platform.startswith("linux"):
        args = ["nm", "-D", "--defined-only", path]  # the ELF dynamic symbol table
    elif sys.platform == "darwin":
        args = ["nm", "-g", "-U", path]  # Mach-O: external symbols, defined ones only
    else:
        pytest.skip("a DLL exports only what PyMODINIT_FUNC marks, and nm does not read it")
    out = subprocess.run(args, capture_output=True, text=True, check=True).stdout
    return [line.split()[-1] for line in out.splitlines() if line.strip()]


@pytest.mark.parametrize("module", ["_tarnel", "tarnel._streaming"])
def test_only_the_init_function_is_exported(module):
    path = importlib.import_module(module).__file__
    init = "PyInit_" + module.rsplit(".", 1)[-1]
    expected = "_" + init if sys.platform == "darwin" else init  # Mach-O names begin with "_"
    assert exported_symbols(path) == [expected]


SMOKE = """
import sys
sys.path.insert(0, sys.argv[1])
try:
    import _tarnel
except ModuleNotFoundError:
    print("not found")
    sys.exit()
v = _tarnel.parse(b"(3:abc[1:t]1:x)")
assert v == [b"abc", _tarnel.Atom(b"x", b"t")], v
assert _tarnel.to_canonical(v) == b"(3:abc[1:t]1:x)"
assert _tarnel.to_advanced(v) == "(abc [t]x)"
try:
    _tarnel.parse(5)
except TypeError as e:
    notes = getattr(e, "__notes__", None)
    assert notes == (["while processing 'data'"] if sys.version_info >= (3, 11) else None), notes
print("ok")
"""


@pytest.mark.parametrize(
    "python, suffixes",
    OTHER_INTERPRETERS or [(None, None)],
    ids=[os.path.basename(p) for p, _ in OTHER_INTERPRETERS] or ["none"],
)
def test_other_interpreters_run_the_file_exactly_where_its_suffix_is_theirs(python, suffixes):
    if python is None:
        pytest.skip("no other CPython 3.10+ on PATH or in TARNEL_OTHER_PYTHONS")
    # Every CPython with the GIL takes the abi3 file and must run it; a version-specific file is
    # taken by its own version and ABI alone, and never found by the others.
    result = subprocess.run(
        [python, "-c", SMOKE, os.path.dirname(_tarnel.__file__)], capture_output=True, text=True
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == ("ok\n" if MODULE_SUFFIX in suffixes else "not found\n")
