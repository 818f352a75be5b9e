"""Under load and faults: many threads sharing one Parser and writing at once; every call, on
success and on every error path, repeated until a leak would show in RSS or tracemalloc; the module
in subinterpreters, each with its own classes; caller code that raises in the middle of a
conversion (ordinary exceptions, KeyboardInterrupt, SystemExit, MemoryError), including a real
Ctrl-C sent to a process stuck in a long conversion.

TARNEL_STRESS_ITERATIONS sets how often each call repeats in the leak checks (by default 3000 times
watching RSS and 500 under tracemalloc; the full check sets 100000 for both)."""

import gc
import os
import random
import signal
import subprocess
import sys
import threading
import time
import tracemalloc

import pytest

import _tarnel
from _tarnel import Atom, Parser, ParseError

from conftest import OTHER_PYTHONS, module_dir, reference_canonical, run_python
from octet_sequences import Seq

ITERATIONS = int(os.environ.get("TARNEL_STRESS_ITERATIONS", "3000"))
#: Tracing slows calls that raise about tenfold, so by default fewer run under tracemalloc.
TRACED_ITERATIONS = ITERATIONS if "TARNEL_STRESS_ITERATIONS" in os.environ else 500


# ---------------------------------------------------------------------------------------------
# Values to read and write


def random_value(rng, depth=0):
    """A random S-expression as the reading functions return it (bytes, Atom, list)."""
    kind = rng.random()
    if depth > 6 or kind < 0.55:
        data = bytes(rng.randrange(256) for _ in range(rng.choice([0, 1, 3, 10, 40])))
        if rng.random() < 0.3:
            return Atom(data, bytes(rng.choice(b"abc/+ ") for _ in range(rng.randrange(6))))
        return data
    return [random_value(rng, depth + 1) for _ in range(rng.randrange(6))]


def corpus(seed, count):
    rng = random.Random(seed)
    return [random_value(rng) for _ in range(count)]


# ---------------------------------------------------------------------------------------------
# Threads


@pytest.fixture
def fast_switching():
    """Let the interpreter switch threads as often as it can, so that calls interleave."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


class YieldingIndex:
    """An integer whose __index__ gives other threads a turn in the middle of a conversion."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        time.sleep(0)
        return self.value


class Octets:
    """A sequence of YieldingIndex items: read as octets, with a thread switch at each one."""

    def __init__(self, data):
        self.items = [YieldingIndex(b) for b in data]

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


def run_threads(count, work):
    barrier = threading.Barrier(count)
    failures = []

    def body(n):
        try:
            barrier.wait()
            work(n)
        except BaseException as exc:  # noqa: BLE001 - reported to the main thread below
            failures.append((n, repr(exc)))

    threads = [threading.Thread(target=body, args=(n,)) for n in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    assert not any(t.is_alive() for t in threads), "a thread did not finish"
    assert failures == []


def test_threads_sharing_one_parser_read_correctly(fast_switching):
    parser = Parser(max_depth=64, max_atom_len=1000)
    values = corpus(1, 60)
    texts = [
        (_tarnel.to_canonical(v), _tarnel.to_advanced(v).encode(), _tarnel.to_transport(v))
        for v in values
    ]
    refused = [(b"(1:a" * 3, "unexpected_end", 12), (b"#61x2#", "invalid_hex_digit", 3),
               (b"1001:" + b"x" * 1001, "atom_too_long", 0), (b"(" * 65, "too_deep", 64)]

    def work(n):
        rng = random.Random(n)
        for _ in range(30):
            i = rng.randrange(len(values))
            canonical, advanced, transport = texts[i]
            assert parser.parse(canonical) == values[i]
            assert parser.parse(advanced) == values[i]
            assert parser.parse(transport) == values[i]
            assert parser.parse_prefix(canonical + b"junk") == (values[i], len(canonical))
            assert parser.parse(Octets(canonical)) == values[i]
            data, kind, offset = rng.choice(refused)
            try:
                parser.parse(data)
            except ParseError as err:
                assert (err.kind, err.offset) == (kind, offset)
            else:
                raise AssertionError("no ParseError")

    run_threads(8, work)


def test_threads_writing_at_once_get_their_own_output(fast_switching):
    values = corpus(2, 60)
    expected = [
        (_tarnel.to_canonical(v), _tarnel.to_transport(v), _tarnel.to_advanced(v)) for v in values
    ]
    assert [e[0] for e in expected] == [reference_canonical(v) for v in values]

    def work(n):
        rng = random.Random(100 + n)
        for _ in range(30):
            i = rng.randrange(len(values))
            v = values[i]
            assert (_tarnel.to_canonical(v), _tarnel.to_transport(v), _tarnel.to_advanced(v)) == (
                expected[i]
            )
            # The same octets through a sequence that switches threads at every item.
            slow = Octets(expected[i][0])
            assert _tarnel.to_canonical([slow, v]) == (
                b"(" + b"%d:" % len(expected[i][0]) + expected[i][0] + expected[i][0] + b")"
            )

    run_threads(8, work)


def test_lists_changed_by_another_thread_are_written_as_one_state(fast_switching):
    """A writer takes each list's items when it reaches the list: whatever another thread does
    to the list meanwhile, the output is the list as it stood at some moment."""
    shared = [b"a", Octets(b"slow"), b"b"]
    stop = threading.Event()

    def mutate():
        rng = random.Random(7)
        while not stop.is_set():
            if len(shared) > 40 or (shared and rng.random() < 0.5):
                shared.pop(rng.randrange(len(shared)))
            else:
                shared.insert(rng.randrange(len(shared) + 1), rng.choice([b"x", [b"y"], Atom(b"z", b"h")]))
            time.sleep(0)

    mutator = threading.Thread(target=mutate)
    mutator.start()
    try:
        for _ in range(300):
            out = _tarnel.to_canonical([shared, shared])
            value = _tarnel.parse(out)
            assert len(value) == 2
            for element in value[0] + value[1]:
                assert element in (b"a", b"b", b"x", [b"y"], Atom(b"z", b"h"), b"slow")
    finally:
        stop.set()
        mutator.join()


def test_conversion_keeps_items_alive_that_the_caller_drops():
    """__index__ empties the list being written; the items already taken stay alive and whole."""
    outer = []

    class Clearing:
        def __index__(self):
            outer.clear()
            gc.collect()
            return 0x41

    big = b"x" * 10000
    outer.extend([Seq(Clearing()), bytes(big), Atom(bytes(big), b"h"), [bytes(big)]])
    out = _tarnel.to_canonical(outer)
    assert outer == []
    assert out == b"(1:A10000:" + big + b"[1:h]10000:" + big + b"(10000:" + big + b"))"


# ---------------------------------------------------------------------------------------------
# Repeated calls: memory stays flat


def rss():
    """Resident set size in octets, where /proc tells it."""
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError):
        return None


class RaisingIndex:
    """An integer whose __index__ raises `exc`: that instance, or a new one of a class given (a
    raised instance keeps its traceback and notes, so one raised repeatedly would grow)."""

    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc() if isinstance(self.exc, type) else self.exc



BIG_TREE = [corpus(3, 30), Atom(b"d" * 2000, b"h" * 100)]
BIG_CANONICAL = _tarnel.to_canonical(BIG_TREE)
BIG_ADVANCED = _tarnel.to_advanced(BIG_TREE)
BIG_TRANSPORT = _tarnel.to_transport(BIG_TREE)
PARSER = Parser(max_depth=100, max_atom_len=5000, allow_empty_lists=True)
ATOM = Atom(b"a" * 3000, b"text/plain")
PAD = b"(" + b"(3:abc[1:h]2:xy)" * 100  # read, and then thrown away, before each refusal

# One input per kind of refusal, after a long stretch of good input where it can be, so that
# everything built before the refusal has to be released.
REFUSALS = [
    (Parser(), PAD + b"(1:a", "unexpected_end"),
    (Parser(), PAD + b"3abc", "unexpected_octet"),
    (Parser(), PAD + b")1:b", "trailing_octets"),
    (Parser(), b" " * 3000 + b")", "unmatched_parenthesis"),
    (Parser(), PAD + b"00:", "length_leading_zero"),
    (Parser(), PAD + b"99999999999999999999:", "length_overflow"),
    (Parser(), PAD + b'5"abc"', "length_mismatch"),
    (Parser(), PAD + b'"\\e"', "invalid_escape"),
    (Parser(), PAD + b"#6x#", "invalid_hex_digit"),
    (Parser(), PAD + b"#616#", "odd_hex_digits"),
    (Parser(), PAD + b"|YQ=|", "invalid_base64"),
    (Parser(), PAD + b"[1:h](1:a)", "hint_on_list"),
    (Parser(max_depth=2), b"(" + b"(1:a)" * 300 + b"((1:a))", "too_deep"),
    (Parser(max_atom_len=3), PAD + b"4:abcd", "atom_too_long"),
    (Parser(max_input_len=10), PAD, "input_too_long"),
    (Parser(allow_display_hints=False), b"(" + b"1:a" * 500 + b"[1:h]1:x)", "hint_not_allowed"),
    (Parser(allow_empty_atoms=False), PAD + b"0:", "empty_atom_not_allowed"),
    (Parser(allow_empty_lists=False), PAD + b"()", "empty_list_not_allowed"),
    (Parser(allow_list_as_first_element=False), b"(1:a" + b"(1:b)" * 300 + b"((1:a)))",
     "list_as_first_element_not_allowed"),
    (Parser(allow_advanced=False), PAD + b"abc", "advanced_not_allowed"),
    (Parser(allow_transport=False), b"{" + b"KDE6YSk=" * 100 + b"}", "transport_not_allowed"),
    (Parser(allow_hexadecimal=False), PAD + b"#61#", "hexadecimal_not_allowed"),
    (Parser(allow_base64=False), PAD + b"|YQ|", "base64_not_allowed"),
    (Parser(allow_lengths=False), PAD + b'1"a"', "length_not_allowed"),
    (Parser(), b"{" + BIG_TRANSPORT[1:-1].encode() + b"{}", "invalid_base64"),
]


def refusal(parser, data, kind):
    def call():
        try:
            parser.parse(data)
        except ParseError as err:
            assert err.kind == kind
            assert str(err).endswith(" at offset %d" % err.offset)
        else:
            raise AssertionError("accepted")

    return call


def raises(exc, f, *args, **kwargs):
    def call():
        try:
            f(*args, **kwargs)
        except exc:
            pass
        else:
            raise AssertionError("no " + exc.__name__)

    return call


def big_list_with(bad):
    """A long list whose last atom cannot be converted: everything before it is built first."""
    return [BIG_TREE, [b"x" * 100] * 50, (b"y", [b"z", bad])]


def nest(depth, inner):
    for _ in range(depth):
        inner = [inner]
    return inner


DEEP_1025 = nest(1025, b"x")
SELF = [b"a"]
SELF.append(SELF)

SUCCEEDING = {
    "parse": lambda: _tarnel.parse(BIG_CANONICAL),
    "parse advanced": lambda: _tarnel.parse(BIG_ADVANCED.encode()),
    "parse transport": lambda: _tarnel.parse(BIG_TRANSPORT),
    "parse str": lambda: _tarnel.parse(BIG_ADVANCED),
    "parse bytearray": lambda: _tarnel.parse(bytearray(BIG_CANONICAL)),
    "parse memoryview": lambda: _tarnel.parse(memoryview(BIG_CANONICAL)),
    "parse_canonical": lambda: _tarnel.parse_canonical(BIG_CANONICAL),
    "Parser": lambda: Parser(canonical=True, max_depth=10, max_atom_len=None, max_input_len=10**9,
                             allow_base64=False),
    "Parser.parse": lambda: PARSER.parse(BIG_CANONICAL),
    "Parser.parse_prefix": lambda: PARSER.parse_prefix(BIG_CANONICAL + b"(more"),
    "Atom": lambda: Atom(b"x" * 1000, "text/plain"),
    "Atom from sequence": lambda: Atom(Seq(1, 2, 3), [104]),
    "Atom members": lambda: (ATOM.data, ATOM.hint, len(ATOM), hash(ATOM), repr(ATOM)),
    "Atom compare": lambda: (ATOM == ATOM, ATOM != b"a", ATOM == Atom(b"a" * 3000, b"text/plain")),
    "effective_hint": lambda: (ATOM.effective_hint(b"d"), Atom(b"x").effective_hint(b"d" * 500)),
    "eq_ignoring_hint": lambda: ATOM.eq_ignoring_hint(b"a" * 3000),
    "to_canonical": lambda: _tarnel.to_canonical(BIG_TREE),
    "to_transport": lambda: _tarnel.to_transport(BIG_TREE),
    "to_advanced": lambda: _tarnel.to_advanced(BIG_TREE),
    "to_canonical tuples": lambda: _tarnel.to_canonical((b"a", ("b" * 500, bytearray(b"c")), ATOM)),
}

FAILING = {
    **{"refused " + kind + ("" if i < 24 else " in transport"): refusal(p, d, kind)
       for i, (p, d, kind) in enumerate(REFUSALS)},
    "parse not octets": raises(TypeError, _tarnel.parse, 5),
    "parse surrogate": raises(UnicodeEncodeError, _tarnel.parse, "\ud800"),
    "parse no argument": raises(TypeError, _tarnel.parse),
    "parse two arguments": raises(TypeError, _tarnel.parse, b"", b""),
    "parse unknown keyword": raises(TypeError, _tarnel.parse, data=b"", other=1),
    "parse repeated": raises(TypeError, _tarnel.parse, b"", data=b""),
    "Parser positional": raises(TypeError, Parser, True),
    "Parser bad flag": raises(TypeError, Parser, allow_advanced=1),
    "Parser bad count": raises(TypeError, Parser, max_depth=b"x" * 100),
    "Parser negative": raises(OverflowError, Parser, max_depth=-1),
    "Parser index raises": raises(ZeroDivisionError, Parser, max_depth=RaisingIndex(ZeroDivisionError)),
    "Atom bad data": raises(TypeError, Atom, 5),
    "Atom bad hint": raises(TypeError, Atom, b"x" * 1000, 5.0),
    "Atom octet out of range": raises(TypeError, Atom, [1, 2, 256]),
    "Atom index raises": raises(TypeError, Atom, Seq(*range(100), RaisingIndex(ValueError))),
    "Atom index interrupted": raises(KeyboardInterrupt, Atom, Seq(*range(100), RaisingIndex(KeyboardInterrupt))),
    "Atom order": raises(TypeError, lambda: ATOM < ATOM),
    "Atom set attribute": raises(AttributeError, setattr, ATOM, "data", b""),
    "Atom compare interrupted": raises(SystemExit, lambda: ATOM == Seq(1, RaisingIndex(SystemExit))),
    "effective_hint bad": raises(TypeError, ATOM.effective_hint, None),
    "eq_ignoring_hint bad": raises(TypeError, ATOM.eq_ignoring_hint, {}),
    "to_canonical bad atom": raises(TypeError, _tarnel.to_canonical, big_list_with(5)),
    "to_transport bad atom": raises(TypeError, _tarnel.to_transport, big_list_with(None)),
    "to_advanced surrogate": raises(UnicodeEncodeError, _tarnel.to_advanced, big_list_with("\udc00")),
    "to_canonical too deep": raises(ValueError, _tarnel.to_canonical, [BIG_TREE, DEEP_1025]),
    "to_canonical itself": raises(ValueError, _tarnel.to_canonical, SELF),
    "to_canonical index raises": raises(TypeError, _tarnel.to_canonical,
                                        big_list_with(Seq(1, RaisingIndex(LookupError)))),
    "to_canonical interrupted": raises(KeyboardInterrupt, _tarnel.to_canonical,
                                       big_list_with(Seq(1, RaisingIndex(KeyboardInterrupt)))),
    "to_advanced memory": raises(MemoryError, _tarnel.to_advanced,
                                 big_list_with(Seq(1, RaisingIndex(MemoryError)))),
    "to_canonical no argument": raises(TypeError, _tarnel.to_canonical),
}


def rss_growth(call, times):
    """RSS growth over `times` calls after a warm-up, or None where it cannot be read."""
    for _ in range(max(times // 10, 100)):
        call()
    gc.collect()
    before = rss()
    for _ in range(times):
        call()
    gc.collect()
    return None if before is None else rss() - before


def traced_growth(call, times):
    """Growth of what tracemalloc sees live over `times` calls, after a warm-up."""
    for _ in range(100):
        call()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(times):
            call()
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()


@pytest.mark.parametrize("name", [*SUCCEEDING, *FAILING])
def test_repeated_calls_keep_memory_flat(name):
    call = SUCCEEDING.get(name) or FAILING[name]
    # Inputs are a few kilobytes, so a lost copy of one shows at once; a lost small object shows
    # as the number of calls times its size.
    # The allocator's own bookkeeping can grow once in a while; a leak grows on every try.
    for _ in range(3):
        grown = rss_growth(call, ITERATIONS)
        if grown is None or grown < 1024 * 1024:
            break
    else:
        raise AssertionError(f"RSS grew by {grown} octets over {ITERATIONS} calls, three times")
    for _ in range(3):
        traced = traced_growth(call, TRACED_ITERATIONS)
        if traced < 8 * 1024:
            break
    else:
        raise AssertionError(f"tracemalloc grew by {traced} octets over {TRACED_ITERATIONS} calls")


def test_every_kind_of_refusal_is_covered():
    assert len({kind for _, _, kind in REFUSALS}) == 24


# ---------------------------------------------------------------------------------------------
# Caller code that raises in the middle of a conversion


class Interrupting:
    """A sequence whose iteration yields `count` octets, then raises `exc`."""

    def __init__(self, count, exc):
        self.count = count
        self.exc = exc

    def __len__(self):
        return self.count + 1

    def __getitem__(self, i):  # makes it a sequence; iteration goes through __iter__
        raise AssertionError("not indexed")

    def __iter__(self):
        for _ in range(self.count):
            yield 0x61
        raise self.exc


class FailingLength(Seq):
    def __init__(self, exc, *items):
        super().__init__(*items)
        self.exc = exc

    def __len__(self):
        raise self.exc


SITES = {
    "parse": lambda o: _tarnel.parse(o),
    "Parser.parse": lambda o: PARSER.parse(o),
    "parse_prefix": lambda o: PARSER.parse_prefix(o),
    "Atom data": lambda o: Atom(o),
    "Atom hint": lambda o: Atom(b"x", o),
    "effective_hint": lambda o: ATOM.effective_hint(o),
    "eq_ignoring_hint": lambda o: ATOM.eq_ignoring_hint(o),
    "==": lambda o: Atom(b"x") == o,
    "!=": lambda o: o != Atom(b"x"),
    "to_canonical": lambda o: _tarnel.to_canonical([b"a", [b"b" * 100, o, b"c"]]),
    "to_transport": lambda o: _tarnel.to_transport((o,)),
    "to_advanced": lambda o: _tarnel.to_advanced(o),
}

SEVERE = [KeyboardInterrupt, SystemExit, MemoryError]


def culprits(exc):
    """Every way caller code can raise `exc` inside a conversion."""
    return {
        "iteration": Interrupting(5000, exc),
        "__index__": Seq(*range(200), RaisingIndex(exc)),
    }


@pytest.mark.parametrize("site", SITES)
@pytest.mark.parametrize("exc_type", SEVERE, ids=lambda e: e.__name__)
@pytest.mark.parametrize("where", ["iteration", "__index__"])
def test_severe_exceptions_propagate_as_raised(site, exc_type, where):
    exc = exc_type("from the caller")
    culprit = culprits(exc)[where]
    try:
        SITES[site](culprit)
    except BaseException as raised:  # noqa: BLE001
        assert raised is exc
        assert raised.__context__ is None
    else:
        raise AssertionError("nothing raised")


@pytest.mark.parametrize("site", ["parse", "Atom data", "to_canonical"])
@pytest.mark.parametrize("exc_type", SEVERE, ids=lambda e: e.__name__)
def test_severe_exceptions_from_len_propagate(site, exc_type):
    exc = exc_type()
    with pytest.raises(exc_type) as info:
        SITES[site](FailingLength(exc, 0x31, 0x3A, 0x61))
    assert info.value is exc


@pytest.mark.parametrize("site", SITES)
@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, ValueError, MemoryError],
                         ids=lambda e: e.__name__)
def test_failed_conversions_hold_no_references(site, exc_type):
    items = [bytes(bytearray(b"abc")), bytes(bytearray(b"defg")), Atom(b"x", b"h")]
    exc = exc_type()
    culprit = Seq(*[RaisingIndex(exc) if i == 150 else YieldingIndex(i) for i in range(200)])
    watched = [culprit, exc, *items, *culprit.items]
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(5):
        try:
            if site.startswith("to_"):
                SITES[site]([items, culprit])
            else:
                SITES[site](culprit)
        except BaseException:  # noqa: BLE001 - the kind is checked by the tests above
            pass
    exc.__traceback__ = None
    exc.__context__ = None
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before


@pytest.mark.parametrize("writer", [_tarnel.to_canonical, _tarnel.to_transport, _tarnel.to_advanced])
def test_a_failed_write_changes_nothing_it_was_given(writer):
    inner = [b"a", Atom(b"b", b"h")]
    value = [inner, (inner, bytearray(b"c")), [Interrupting(10, KeyboardInterrupt())]]
    snapshot = repr(value)
    with pytest.raises(KeyboardInterrupt):
        writer(value)
    assert repr(value) == snapshot
    assert writer(value[:2]) == writer([[b"a", Atom(b"b", b"h")], ([b"a", Atom(b"b", b"h")], b"c")])


def test_system_exit_keeps_its_code():
    with pytest.raises(SystemExit) as info:
        _tarnel.to_canonical([Interrupting(3, SystemExit(7))])
    assert info.value.code == 7


# A process stuck converting an endless sequence, which Ctrl-C must stop as Ctrl-C.
ENDLESS = r"""
import signal, sys, _tarnel

# A process started from a background job inherits SIGINT ignored, and Python then installs no
# handler of its own; restore it so that the signal raises KeyboardInterrupt as at a terminal.
signal.signal(signal.SIGINT, signal.default_int_handler)

class Endless:
    def __len__(self):
        return 10**12
    def __getitem__(self, i):
        return 0x61
    def __iter__(self):
        while True:
            yield 0x61

mode = sys.argv[1]
print("converting", flush=True)
if mode == "uncaught":
    _tarnel.%s(%s)
else:
    try:
        _tarnel.%s(%s)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    print(_tarnel.to_canonical([b"still", _tarnel.parse(b"(2:ok)")]), flush=True)
"""

LONG_CALLS = [
    ("to_canonical", "[b'x', [Endless()]]"),
    ("parse", "Endless()"),
    ("to_advanced", "(Endless(),)"),
]


def interrupt(code, mode):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(_tarnel.__file__))
    proc = subprocess.Popen(
        [sys.executable, "-c", code, mode], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        env=env, text=True,
    )
    try:
        assert proc.stdout.readline() == "converting\n"
        time.sleep(0.3)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    return proc.returncode, out, err


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
@pytest.mark.parametrize("function,argument", LONG_CALLS, ids=[c[0] for c in LONG_CALLS])
def test_ctrl_c_stops_a_long_conversion(function, argument):
    code = ENDLESS % (function, argument, function, argument)
    returncode, out, err = interrupt(code, "uncaught")
    assert returncode == -signal.SIGINT, err
    assert "KeyboardInterrupt" in err and "TypeError" not in err

    returncode, out, err = interrupt(code, "caught")
    assert returncode == 0, err
    assert out.splitlines() == ["interrupted", "b'(5:still(2:ok))'"]


# ---------------------------------------------------------------------------------------------
# Subinterpreters


# Running out of memory: a process whose address space is capped fails each large allocation (a
# tree being read, a writer's output, the octets of an Atom). Each must become a MemoryError that
# leaves nothing behind: afterwards, a call needing most of the cap still works.
OUT_OF_MEMORY = r"""
import resource, sys, _tarnel
cap = 400 * 1024 * 1024
resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
calls = {
    "tree": lambda: _tarnel.parse(b"(" + b"()" * 10_000_000 + b")"),
    "canonical": lambda: _tarnel.to_canonical([b"x" * 50_000_000] * 10),
    "transport": lambda: _tarnel.to_transport([b"x" * 50_000_000] * 7),  # 467 MB of text
    "advanced": lambda: _tarnel.to_advanced([b"\x00" * 50_000_000] * 3),
    "atoms": lambda: [_tarnel.Atom(b"y" * 1_000_000, b"h") for _ in range(1000)],
}
for name, call in calls.items():
    try:
        call()
    except MemoryError:
        pass
    else:
        print(name, "did not run out")
    assert len(_tarnel.to_canonical([b"z" * 120_000_000])) == 120_000_012
print("done")
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="address-space cap")
def test_running_out_of_memory_raises_memory_error():
    assert run_python(OUT_OF_MEMORY).splitlines() == ["done"]


# Runs in a fresh process of the CPython under test. Subinterpreters share the main interpreter's
# GIL (the module declares no per-interpreter GIL): how to ask for that differs between versions.
SUBINTERPRETER_USE = r'''
import os, sys
try:
    import _interpreters as interpreters  # 3.13
    def create():
        return interpreters.create(interpreters.new_config("legacy"))
except ImportError:
    try:
        import _xxsubinterpreters as interpreters  # 3.10 to 3.12
    except ImportError:
        print("none")
        sys.exit(0)
    def create():
        if sys.version_info >= (3, 12):
            return interpreters.create(isolated=False)
        return interpreters.create()
import _tarnel

read_end, write_end = os.pipe()
script = """
import os, _tarnel
from _tarnel import Atom, Parser, ParseError
value = _tarnel.parse(b"([1:h]1:x(3:abc))")
assert type(value[0]) is Atom and value == [Atom(b"x", b"h"), [b"abc"]]
assert _tarnel.to_canonical(value) == b"([1:h]1:x(3:abc))"
assert _tarnel.parse(_tarnel.to_transport(value)) == value
assert _tarnel.parse(_tarnel.to_advanced(value)) == value
try:
    Parser(max_depth=1).parse(b"((1:a))")
except ParseError as err:
    assert type(err) is ParseError and (err.kind, err.offset) == ("too_deep", 1)
    assert isinstance(err, ValueError)
else:
    raise AssertionError("accepted")
try:
    Atom(5)
except TypeError as err:
    assert str(err) == "expected bytes, str, or Atom, and got int"
for _ in range(200):
    _tarnel.parse(_tarnel.to_canonical([value] * 10))
os.write(WRITE_END, b"%d %d %d %d " % (id(Atom), id(Parser), id(ParseError), hash(value[0])))
"""
alive = []
for _ in range(3):
    interp = create()
    interpreters.run_string(interp, script.replace("WRITE_END", str(write_end)))
    alive.append(interp)
for interp in alive:
    interpreters.destroy(interp)
# Made and destroyed again and again: each gets its classes afresh and nothing is carried over.
for _ in range(10):
    interp = create()
    interpreters.run_string(interp, "import _tarnel; assert _tarnel.parse(b'1:a') == b'a'")
    interpreters.destroy(interp)
assert _tarnel.parse(b"[1:h]1:x") == _tarnel.Atom(b"x", b"h")
print(id(_tarnel.Atom), id(_tarnel.Parser), id(_tarnel.ParseError), hash(_tarnel.Atom(b"x", b"h")))
print(os.read(read_end, 10000).decode())
'''


@pytest.mark.parametrize("python", [sys.executable, *OTHER_PYTHONS],
                         ids=lambda p: os.path.basename(p))
def test_subinterpreters_get_classes_of_their_own(python, tmp_path):
    path = None if python == sys.executable else module_dir(tmp_path)
    lines = run_python(SUBINTERPRETER_USE, python=python, path=path).splitlines()
    if lines == ["none"]:
        pytest.skip("this CPython has no subinterpreter module")
    main = lines[0].split()
    reported = lines[1].split()
    subs = [reported[i:i + 4] for i in range(0, len(reported), 4)]
    assert len(subs) == 3
    # The same hash everywhere; no class object is shared by two interpreters alive at once.
    assert {s[3] for s in subs} == {main[3]}
    for k in range(3):
        ids = [main[k]] + [s[k] for s in subs]
        assert len(set(ids)) == 4, ids
