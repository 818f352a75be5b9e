"""Where a conversion replaces a failure of the caller's code with its own TypeError, it does so
only for ordinary exceptions: KeyboardInterrupt, SystemExit (anything not an Exception) and
MemoryError go up unchanged, from every place a conversion runs."""

import pytest

import _tarnel
from _tarnel import Atom, Parser

from conftest import assert_note
from octet_sequences import Seq

TYPE_ERROR = "expected bytes, str, or Atom, and got "


class Raising:
    """A sequence whose iteration raises `exc`."""

    def __init__(self, exc):
        self.exc = exc

    def __len__(self):
        return 2

    def __getitem__(self, i):
        raise self.exc


class RaisingLength:
    """A sequence whose `__len__` raises `exc`; iteration would give b'ab'."""

    def __init__(self, exc):
        self.exc = exc

    def __len__(self):
        raise self.exc

    def __getitem__(self, i):
        if i < 2:
            return 97 + i
        raise IndexError



class RaisingIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


def unreadable_name(behaviour):
    """An instance of a class whose `__name__` lookup misbehaves."""

    class Meta(type):
        @property
        def __name__(cls):
            return behaviour()

    return Meta("Opaque", (), {})()


def raise_(exc):
    def f():
        raise exc

    return f


PASSING = [KeyboardInterrupt, SystemExit, MemoryError, GeneratorExit]
REPLACED = [ValueError, RuntimeError, ZeroDivisionError, LookupError]

# Every place an object goes through the conversion: (name, call, note parameter or None).
SITES = [
    ("Atom data", lambda o: Atom(o), "data"),
    ("Atom hint", lambda o: Atom(b"x", o), "hint"),
    ("effective_hint", lambda o: Atom(b"x").effective_hint(o), "default"),
    ("eq_ignoring_hint", lambda o: Atom(b"x").eq_ignoring_hint(o), None),
    ("parse", lambda o: _tarnel.parse(o), "data"),
    ("Parser.parse_prefix", lambda o: Parser().parse_prefix(o), "data"),
    ("to_canonical", lambda o: _tarnel.to_canonical([b"a", [o]]), None),
    ("to_advanced", lambda o: _tarnel.to_advanced(o), None),
]


@pytest.mark.parametrize("site,call,parameter", SITES, ids=[s[0] for s in SITES])
@pytest.mark.parametrize("exc", PASSING, ids=lambda e: e.__name__)
def test_iteration_failure_that_must_pass(site, call, parameter, exc):
    with pytest.raises(exc):
        call(Raising(exc("from iteration")))
    with pytest.raises(exc):
        call(Seq(97, RaisingIndex(exc("from __index__"))))
    with pytest.raises(exc):
        call(RaisingLength(exc("from __len__")))
    with pytest.raises(exc):
        call(unreadable_name(raise_(exc("from __name__"))))


@pytest.mark.parametrize("site,call,parameter", SITES, ids=[s[0] for s in SITES])
@pytest.mark.parametrize("exc", REPLACED, ids=lambda e: e.__name__)
def test_ordinary_failures_are_replaced(site, call, parameter, exc):
    for obj, name in [(Raising(exc()), "Raising"), (Seq(97, RaisingIndex(exc())), "Seq")]:
        with pytest.raises(TypeError) as info:
            call(obj)
        assert str(info.value) == TYPE_ERROR + name
        assert info.value.__cause__ is None
        if parameter:
            assert_note(info.value, parameter)
    with pytest.raises(TypeError) as info:
        call(unreadable_name(raise_(exc())))
    assert str(info.value) == TYPE_ERROR + "a value of an unreadable type"


@pytest.mark.parametrize("site,call,parameter", SITES, ids=[s[0] for s in SITES])
def test_failing_length_is_ignored(site, call, parameter):
    call(RaisingLength(ValueError()))  # converts as b"ab"


@pytest.mark.parametrize("name", [5, None, b"bytes"])
def test_name_that_is_not_a_str(name):
    with pytest.raises(TypeError) as info:
        Atom(unreadable_name(lambda: name))
    assert str(info.value) == TYPE_ERROR + "a value of an unreadable type"
    assert_note(info.value, "data")


@pytest.mark.parametrize("exc", PASSING, ids=lambda e: e.__name__)
def test_equality_lets_them_pass(exc):
    atom = Atom(b"ab")
    with pytest.raises(exc):
        atom == Raising(exc())
    with pytest.raises(exc):
        Raising(exc()) != atom
    with pytest.raises(exc):
        atom == Seq(97, RaisingIndex(exc()))


@pytest.mark.parametrize("exc", REPLACED, ids=lambda e: e.__name__)
def test_equality_swallows_ordinary_failures(exc):
    atom = Atom(b"ab")
    assert (atom == Raising(exc())) is False
    assert (atom != Raising(exc())) is True
    assert (atom == unreadable_name(raise_(exc()))) is False
    assert (atom == RaisingLength(exc())) is True
