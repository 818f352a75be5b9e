"""Reference counts and memory: no call keeps or drops a reference to what it was given, on
success or on any error path, and repeated failing calls do not grow memory."""

import gc
import sys
import tracemalloc
import weakref

import pytest

import _tarnel
from _tarnel import Atom, Parser


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Probe:
    pass


def counts(objects):
    return [sys.getrefcount(o) for o in objects]


def fresh():
    """Objects unique to one case, so their counts are not shared with anything else."""
    data = bytes(bytearray(b"(3:abc[1:h]1:x)"))
    hint = bytes(bytearray(b"hint"))
    text = "".join(["3:", "abc"])
    inner = [bytes(bytearray(b"a")), Atom(b"b", b"h")]
    outer = [inner, (inner, bytearray(b"c"))]
    bad = 1.5
    index = Index(3)
    return data, hint, text, inner, outer, bad, index


CALLS = [
    # (name, call taking the fresh objects, expected exception or None)
    ("parse", lambda d, h, t, i, o, b, x: _tarnel.parse(d), None),
    ("parse str", lambda d, h, t, i, o, b, x: _tarnel.parse(t), None),
    ("parse list", lambda d, h, t, i, o, b, x: _tarnel.parse([51, 58, x, 98, 99]), None),
    ("parse error", lambda d, h, t, i, o, b, x: Parser(max_atom_len=x).parse([h, d]), TypeError),
    ("parse refused", lambda d, h, t, i, o, b, x: Parser(max_input_len=x).parse(d), _tarnel.ParseError),
    ("parse bad", lambda d, h, t, i, o, b, x: _tarnel.parse(b), TypeError),
    ("prefix", lambda d, h, t, i, o, b, x: Parser().parse_prefix(d + h), None),
    ("Parser", lambda d, h, t, i, o, b, x: Parser(max_depth=x, max_atom_len=x, allow_base64=True), None),
    ("Parser bad", lambda d, h, t, i, o, b, x: Parser(max_depth=x, max_atom_len=b), TypeError),
    ("Atom", lambda d, h, t, i, o, b, x: Atom(d, h), None),
    ("Atom bad hint", lambda d, h, t, i, o, b, x: Atom(d, b), TypeError),
    ("Atom eq", lambda d, h, t, i, o, b, x: Atom(d) == i, None),
    ("effective_hint", lambda d, h, t, i, o, b, x: Atom(d).effective_hint(h), None),
    ("effective_hint bad", lambda d, h, t, i, o, b, x: Atom(d).effective_hint(b), TypeError),
    ("to_canonical", lambda d, h, t, i, o, b, x: _tarnel.to_canonical(o), None),
    ("to_advanced", lambda d, h, t, i, o, b, x: _tarnel.to_advanced([o, d, t]), None),
    ("to_transport bad", lambda d, h, t, i, o, b, x: _tarnel.to_transport([o, d, b, i]), TypeError),
    ("to_canonical deep", lambda d, h, t, i, o, b, x: _tarnel.to_canonical([o, nest(1030, i)]), ValueError),
]


def nest(depth, inner):
    value = inner
    for _ in range(depth):
        value = [value]
    return value


@pytest.mark.parametrize("name,call,exc", CALLS, ids=[c[0] for c in CALLS])
def test_reference_counts_are_unchanged(name, call, exc):
    objects = fresh()
    members = list(objects) + list(objects[3]) + list(objects[4])
    gc.collect()
    before = counts(members)
    for _ in range(3):
        if exc is None:
            result = call(*objects)
            del result
        else:
            with pytest.raises(exc):
                call(*objects)
    gc.collect()
    assert counts(members) == before


def test_values_read_hold_one_reference_each():
    value = _tarnel.parse(b"(2:ab[1:h]2:cd(2:ef))")
    # The list holds the only reference to each element; the loop variable and getrefcount's
    # argument add one each.
    assert [sys.getrefcount(v) for v in value] == [3, 3, 3]
    nested_count = sys.getrefcount(value[2][0])  # outside the assert, which keeps temporaries
    assert nested_count == 2
    atom = Atom(b"x", b"h")
    assert sys.getrefcount(atom) == 2


@pytest.mark.parametrize(
    "read",
    [
        _tarnel.parse,
        _tarnel.parse_canonical,
        Parser().parse,
        lambda data: Parser().parse_prefix(data + b"(1:a)")[0],
    ],
)
@pytest.mark.parametrize("collector_on", [True, False])
def test_every_list_read_is_tracked_by_the_collector(read, collector_on):
    # Lists are kept from the collector while a read lasts; each must be handed over tracked, or
    # a cycle the caller makes through it later is never collected.
    data = _tarnel.to_canonical([[b"a", [[b"b"]], []], [Atom(b"c", b"h"), [b"d"] * 800]])
    if collector_on:
        value = read(data)
    else:
        gc.disable()
        try:
            value = read(data)
        finally:
            gc.enable()
    stack, lists = [value], 0
    while stack:
        item = stack.pop()
        if isinstance(item, list):
            assert gc.is_tracked(item)
            lists += 1
            stack.extend(item)
    assert lists == 7
    probe = Probe()
    probe.back = value
    value[1].append(probe)
    ref = weakref.ref(probe)
    del value, item, probe
    gc.collect()
    assert ref() is None


DEEP = nest(1030, b"x")


@pytest.mark.parametrize(
    "call",
    [
        lambda: _tarnel.parse(b"(" * 50 + b"1:a" + b"0:" * 50 + b"!"),
        lambda: _tarnel.parse(5),
        lambda: _tarnel.to_canonical([[b"x" * 100] * 20, 5]),
        lambda: _tarnel.to_canonical(DEEP),
        lambda: Atom(b"x" * 1000, 5),
        lambda: Parser(max_depth=-1),
        lambda: Atom(b"x").eq_ignoring_hint([1, 2, 300]),
        lambda: Parser(allow_empty_lists=False).parse(b"(" + b"(1:a)" * 100 + b"())"),
        lambda: Parser().parse_prefix(b"(1:a" * 100),
    ],
)
def test_failing_calls_do_not_grow_memory(call):
    def run(times):
        for _ in range(times):
            try:
                call()
            except Exception:
                pass

    run(100)  # warm up caches
    gc.collect()
    tracemalloc.start()
    try:
        start = tracemalloc.get_traced_memory()[0]
        run(600)
        gc.collect()
        growth = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    assert growth < 64 * 1024, growth


def test_succeeding_calls_do_not_grow_memory():
    data = _tarnel.to_canonical([[b"x" * 50, Atom(b"y", b"h")] * 10] * 5)

    def run(times):
        for _ in range(times):
            value = _tarnel.parse(data)
            _tarnel.to_canonical(value)
            _tarnel.to_advanced(value)
            _tarnel.to_transport(value)
            hash(value[0][1])
            repr(value[0][1])

    run(100)
    gc.collect()
    tracemalloc.start()
    try:
        start = tracemalloc.get_traced_memory()[0]
        run(1000)
        gc.collect()
        growth = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    assert growth < 64 * 1024, growth
