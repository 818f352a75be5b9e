"""Buffers of unsigned bytes (memoryview, bytearray, array('B'), NumPy uint8) are read through the
buffer and must give every call what the same octets as bytes give, down to the error; any other
object is read item by item as before, which a pure-Python twin states."""

import array
import contextlib
import ctypes
import functools
import gc
import mmap
import operator
import os
import sys
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _tarnel
from _tarnel import Atom, ParseError, Parser
from buffer_forms import CALLS, check_forms, compare, outcome
from conftest import OTHER_PYTHONS, STABLE_ABI, module_dir, run_python

# The abi3 build copies the buffer on 3.10, which lacks the buffer functions in its stable ABI.
HELD_IN_PLACE = sys.version_info >= (3, 11) or not STABLE_ABI
FRAGMENTS = [b"(", b")", b"3:abc", b"0:", b"[1:h]", b"#616263#", b"|YWJj|", b"{KDE6YSk=}", b"abcd",
             b" ", b'"a\\n"', b"[", b"\xff", b"12345678901234567890:", b"#6"]


@settings(max_examples=150, deadline=None)
@given(st.binary(max_size=24) | st.lists(st.sampled_from(FRAGMENTS), max_size=10).map(b"".join))
def test_buffers_of_octets_read_as_bytes(data):
    check_forms(data)


def by_items(obj):
    """The twin: the octets that reading item by item gives, or None where it refuses."""
    try:
        # Asking the length first refuses a released memoryview, which some CPythons (3.11)
        # would otherwise iterate over the memory it no longer holds.
        len(obj)
        return bytes(operator.index(item) for item in obj)
    except Exception:
        return None


def released(view):
    view.release()
    return view


def mapped(data):
    m = mmap.mmap(-1, len(data))
    m.write(data)
    return m


class IteratesOtherwise(array.array):
    def __iter__(self):
        return iter(b"1:z")


D = b"(3:abc[1:h]1:x) "
OTHERS = {
    "b, high octet": lambda: memoryview(b"1:\xff").cast("b"), "c": lambda: memoryview(D).cast("c"),
    "<B": lambda: memoryview((ctypes.c_ubyte * 3).from_buffer_copy(b"1:a")),
    "2-D": lambda: memoryview(D).cast("B", (2, 8)), "released": lambda: released(memoryview(D)),
    "iterating otherwise": lambda: IteratesOtherwise("B", D),
    "mmap": lambda: mapped(D),  # its items are bytes
    "numpy step 0": lambda np: np.broadcast_to(np.array([97], np.uint8), (5,)),
    "numpy int8": lambda np: np.frombuffer(D, np.int8),
    "numpy subclass": lambda np: np.frombuffer(D, np.uint8).view(type("Sub", (np.ndarray,), {})),
}


@pytest.mark.parametrize("name", OTHERS)
def test_other_objects_read_as_their_items(name):
    make = OTHERS[name]
    if name.startswith("numpy"):
        make = functools.partial(make, pytest.importorskip("numpy"))
    octets = by_items(make())
    for call in CALLS:
        if octets is not None:
            assert outcome(call, make()) == outcome(call, octets)
        elif call is compare:
            assert outcome(call, make()) is False
        else:
            message = f"expected bytes, str, or Atom, and got {type(make()).__name__}"
            assert outcome(call, make())[:2] == (TypeError, message)


def test_a_step_0_view_of_endless_octets_runs_out_of_memory_at_once(numpy):
    huge = numpy.broadcast_to(numpy.array([97], numpy.uint8), (sys.maxsize,))
    for call in (_tarnel.parse, Atom, _tarnel.to_canonical):
        with pytest.raises(MemoryError):
            call(huge)


@pytest.mark.parametrize("call,exc", [
    (_tarnel.parse, None), (Parser(max_input_len=3).parse, ParseError),
    (Parser().parse_prefix, None), (Parser(max_depth=0).parse_prefix, ParseError),
    (lambda x: Atom(x, x), None),
    (lambda x: Atom(x, 1.5), TypeError), (lambda x: _tarnel.to_advanced([x, (x, 1.5)]), TypeError)])
def test_buffers_are_given_back_on_success_and_on_error(call, exc):
    data = b"(3:abc)"
    for obj in [bytearray(data), memoryview(bytearray(data)), array.array("B", data)]:
        before = sys.getrefcount(obj)
        for _ in range(3):
            with pytest.raises(exc) if exc else contextlib.nullcontext():
                call(obj)
        assert sys.getrefcount(obj) == before
        # Either raises BufferError while a buffer taken from the object is held.
        obj.release() if isinstance(obj, memoryview) else obj.append(0)


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="3.12+ collects only between bytecodes")
def test_a_held_buffer_cannot_change_while_it_is_read():
    # A finalizer run by a collection in the middle of the parse tries to empty the input: held
    # in place, the bytearray refuses; copied, it empties. Either way the octets given are read.
    # From 3.12 on a collection waits for the call to return (the parse never checks for signals),
    # when the buffer is given back, so there is no middle of the parse to try it in.
    data = _tarnel.to_canonical([[b"x" * 20, [b"y"]] for _ in range(2000)])
    target, attempts = bytearray(data), []

    class Emptier:
        def __del__(self):
            try:
                target.clear()
                attempts.append("emptied")
            except BufferError:
                attempts.append("refused")

    gc.collect()
    cycle = Emptier()
    cycle.self = cycle
    del cycle
    old = gc.get_threshold()
    gc.set_threshold(1)
    try:
        value = _tarnel.parse(target)
    finally:
        gc.set_threshold(*old)
    assert value == _tarnel.parse(data)
    assert attempts == ["refused" if HELD_IN_PLACE else "emptied"]


@pytest.mark.skipif(not HELD_IN_PLACE, reason="the abi3 build copies the buffer on 3.10")
def test_parse_prefix_costs_the_same_on_64_kib_and_64_mib():
    parser = Parser()

    def best(view):
        times = []
        for _ in range(5):
            start = time.perf_counter()
            for _ in range(50):
                parser.parse_prefix(view)
            times.append(time.perf_counter() - start)
        return min(times)

    small, large = (memoryview(bytearray(b"(1:a)" + bytes(n))) for n in (64 << 10, 64 << 20))
    assert parser.parse_prefix(large) == ([b"a"], 5)
    assert best(large) < 20 * best(small)  # reading or copying 64 MiB costs a thousandfold


@pytest.mark.parametrize("python", OTHER_PYTHONS, ids=lambda p: p.rsplit("/", 1)[-1])
def test_other_interpreters_read_buffers_as_bytes(python, tmp_path):
    samples = [b"", b"(3:abc[1:h]1:x)", b"(1:a", b"3:ab", b"(abc #6162# |YWJj|)", b"\xff", b"1:a("]
    code = f"import buffer_forms as b\nfor data in {samples!r}:\n    b.check_forms(data)\n"
    code += "v = memoryview(b'1:a')\nv.release()\nprint(b.outcome(b._tarnel.parse, v)[1])\n"
    path = module_dir(tmp_path) + os.pathsep + os.path.dirname(__file__)
    out = run_python(code, python=python, path=path)
    assert out == "expected bytes, str, or Atom, and got memoryview\n"
