"""Both native modules in interpreters with their own GIL (CPython 3.12 and later): imported and
used there, in many interpreters one after another and in two at once, and their classes released
with the interpreter that made them."""

import subprocess
import sys

import pytest

from conftest import OTHER_PYTHONS, package_dir, run_python

_VERSION = "import sys; print(*sys.version_info[:2])"


def _own_gil_pythons():
    found = []
    for python in [sys.executable, *OTHER_PYTHONS]:
        out = subprocess.run([python, "-c", _VERSION], capture_output=True, text=True).stdout
        if tuple(map(int, out.split())) >= (3, 12):
            found.append(python)
    return found


OWN_GIL_PYTHONS = _own_gil_pythons()

pytestmark = pytest.mark.skipif(
    not OWN_GIL_PYTHONS, reason="no CPython 3.12+ here to make interpreters with their own GIL"
)

# Creates interpreters with their own GIL and runs code in them: `_interpreters` from 3.13 on,
# `_xxsubinterpreters` in 3.12. A failure inside raises in the caller.
DRIVER = r"""
import sys
try:
    import _interpreters as interpreters

    def create():
        return interpreters.create("isolated")

    def run(interpreter, code):
        failure = interpreters.exec(interpreter, code)
        if failure is not None:
            raise RuntimeError(failure.formatted)
except ImportError:
    import _xxsubinterpreters as interpreters

    def create():
        return interpreters.create(isolated=True)

    def run(interpreter, code):
        interpreters.run_string(interpreter, code)


def run_once(code):
    interpreter = create()
    try:
        run(interpreter, code)
    finally:
        interpreters.destroy(interpreter)
"""

# What each interpreter does: both modules, every kind of call, and refusals from both.
USE = r"""
import sys
sys.path.insert(0, PATH)
import io
import _tarnel
import tarnel
from tarnel import _streaming

value = _tarnel.parse(b"(3:abc[1:t]1:x(1:y))")
atom = _tarnel.Atom(b"x", b"t")
assert value == [b"abc", atom, [b"y"]], value
assert hash(atom) == hash(_tarnel.Atom(b"x", b"t")) and atom != _tarnel.Atom(b"x")
assert {atom: 1}[_tarnel.Atom(b"x", hint=b"t")] == 1
assert _tarnel.to_canonical(value) == b"(3:abc[1:t]1:x(1:y))"
assert _tarnel.to_advanced(value) == "(abc [t]x (y))"
assert _tarnel.parse(_tarnel.to_transport(value)) == value
parser = _tarnel.Parser(canonical=True, max_depth=2)
assert parser.parse_prefix(b"(1:a)(1:b)") == ([b"a"], 5)
for bad, kind, offset in [(b"(1:a", "unexpected_end", 4), (b"(((1:a)))", "too_deep", 2)]:
    try:
        parser.parse(bad)
    except _tarnel.ParseError as error:
        assert (error.kind, error.offset) == (kind, offset), (error.kind, error.offset)
    else:
        raise AssertionError(bad)
assert list(tarnel.iter_parse(io.BytesIO(b"(a b) c [h]d"))) == [
    [b"a", b"b"], b"c", _tarnel.Atom(b"d", b"h")]
try:
    list(tarnel.iter_parse(io.BytesIO(b"(a) (b")))
except tarnel.ParseError as error:
    assert error.kind == "unexpected_end" and error.offset == 6, (error.kind, error.offset)
else:
    raise AssertionError("a cut stream was accepted")
assert tarnel.parse_raw(b'"\xff"') == b"\xff"
assert isinstance(_streaming.Reader, type)
"""


def driver(path):
    """The driver, with USE reading the modules from `path`."""
    use = f"PATH = {path!r}\n" + USE
    return DRIVER + f"\nUSE = {use!r}\n"


@pytest.mark.parametrize("python", OWN_GIL_PYTHONS, ids=lambda p: p.rsplit("/", 1)[-1])
def test_both_modules_work_in_interpreters_one_after_another_and_at_once(python, tmp_path):
    path = package_dir(tmp_path)
    code = driver(path) + r"""
import threading

exec(USE)  # the main interpreter first, so that the others start after its classes exist
for _ in range(8):
    run_once(USE)

failures = []

def worker():
    try:
        for _ in range(6):
            run_once(USE)
    except BaseException as error:
        failures.append(error)

threads = [threading.Thread(target=worker) for _ in range(2)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
assert not failures, failures
print("ok")
"""
    assert run_python(code, python=python, path=path).strip() == "ok"


@pytest.mark.parametrize("python", OWN_GIL_PYTHONS, ids=lambda p: p.rsplit("/", 1)[-1])
def test_classes_are_released_with_their_interpreter(python, tmp_path):
    # Each interpreter hangs 10,000 objects on its own ParseError class (made by `_tarnel`, held
    # by both modules). If either module kept that interpreter's classes, every interpreter would
    # leave those objects behind; the growth is compared with the same run without them, since
    # CPython itself leaves some memory behind per interpreter.
    path = package_dir(tmp_path)
    code = driver(path) + r"""
def growth(ballast, rounds=6):
    use = USE + f"_tarnel.ParseError.ballast = [object() for _ in range({ballast})]\n"
    run_once(use)
    before = sys.getallocatedblocks()
    for _ in range(rounds):
        run_once(use)
    return (sys.getallocatedblocks() - before) / rounds

print(growth(10_000) - growth(0))
"""
    extra = float(run_python(code, python=python, path=path))
    assert extra < 1_000, f"{extra:.0f} more blocks left per interpreter"


@pytest.mark.parametrize("python", OWN_GIL_PYTHONS, ids=lambda p: p.rsplit("/", 1)[-1])
def test_shared_immortal_objects_survive_interpreters_racing(python, tmp_path):
    # Interpreters with their own GIL share CPython's immortal objects (the one-octet and empty
    # bytes, None, small ints); a reference count changed without CPython's own rules races with
    # the other interpreters and in the end frees a static object. Three interpreters run tarnel
    # over those objects while two run plain Python over them, for a few seconds; the process must
    # survive and every count must read as before.
    path = package_dir(tmp_path)
    code = driver(path) + r"""
import threading, time

SHARED = "[b'a', b'b', b'', None, True, 0, 1, ()]"
TARNEL = USE + f'''
import time
shared = {SHARED}
value = [b"a", [b"b", b""], _tarnel.Atom(b"a", b"b")] * 4
deadline = time.monotonic() + 3
while time.monotonic() < deadline:
    for _ in range(200):
        assert _tarnel.parse(_tarnel.to_canonical(value)) == value
        _tarnel.to_advanced(value); _tarnel.to_transport([b"a"] * 4)
        list(tarnel.iter_parse(io.BytesIO(b"a b (a b) [b]a")))
        _tarnel.Atom(b"a").data, _tarnel.Atom(b"a", b"b").hint
'''
PLAIN = f'''
import time
shared = {SHARED}
deadline = time.monotonic() + 3
while time.monotonic() < deadline:
    for _ in range(200):
        copies = [list(shared) for _ in range(20)]
        del copies
'''
objects = eval(SHARED)
before = [sys.getrefcount(o) for o in objects]
failures = []

def worker(code):
    try:
        run_once(code)
    except BaseException as error:
        failures.append(error)

threads = [threading.Thread(target=worker, args=(c,)) for c in [TARNEL, PLAIN] * 2 + [TARNEL]]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
assert not failures, failures
after = [sys.getrefcount(o) for o in objects]
assert after == before, list(zip(objects, before, after))
print("ok")
"""
    assert run_python(code, python=python, path=path).strip() == "ok"
