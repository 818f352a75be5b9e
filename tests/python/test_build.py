"""The built artefact: a stable-ABI module exporting one symbol, loadable by every CPython 3.10+."""

import os
import shutil
import subprocess

import pytest

import _tarnel
import tarnel._streaming
from conftest import OTHER_PYTHONS

MODULES = [_tarnel, tarnel._streaming]


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_module_file_is_abi3(module):
    assert module.__file__.endswith(".abi3.so")


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_only_the_init_function_is_exported(module):
    out = subprocess.run(
        ["nm", "-D", "--defined-only", module.__file__], capture_output=True, text=True, check=True
    ).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_" + module.__name__.rpartition(".")[2]]


SMOKE = """
import sys
sys.path.insert(0, sys.argv[1])
import _tarnel
v = _tarnel.parse(b"(3:abc[1:t]1:x)")
assert v == [b"abc", _tarnel.Atom(b"x", b"t")], v
assert _tarnel.to_canonical(v) == b"(3:abc[1:t]1:x)"
assert _tarnel.to_advanced(v) == "(abc [t]x)"
try:
    _tarnel.parse(5)
except TypeError as e:
    notes = getattr(e, "__notes__", None)
    assert notes == (["while processing 'data'"] if sys.version_info >= (3, 11) else None), notes
print("ok", sys.version_info[:2])
"""


@pytest.mark.parametrize(
    "python", OTHER_PYTHONS or [None], ids=lambda p: p and os.path.basename(p)
)
def test_the_same_file_loads_in_other_interpreters(python):
    if python is None:
        pytest.skip("no other CPython 3.10+ on PATH or in TARNEL_OTHER_PYTHONS")
    result = subprocess.run(
        [python, "-c", SMOKE, os.path.dirname(_tarnel.__file__)], capture_output=True, text=True
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("ok")
