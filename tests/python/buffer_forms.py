"""Shared test helper, also run by other interpreters with nothing but _tarnel: the calls that take
octets, and the same octets in every object that is read through its buffer."""

import array

import _tarnel
from _tarnel import Atom, Parser

try:
    import numpy
except ImportError:
    numpy = None


def compare(data):
    return Atom(b"(1:a)") == data


# A reader's input, Atom's arguments, comparison, the writers' atoms.
CALLS = [_tarnel.parse, Parser(max_atom_len=3).parse_prefix, lambda d: Atom(b"x", d), compare,
         _tarnel.to_canonical, lambda d: _tarnel.to_advanced([d, (d,)])]


def outcome(call, data):
    try:
        return call(data)
    except Exception as e:
        notes = getattr(e, "__notes__", None)
        return type(e), str(e), getattr(e, "offset", None), getattr(e, "kind", None), notes


def octet_forms(data):
    spread = bytearray(2 * len(data))
    spread[::2] = data
    forms = [bytearray(data), memoryview(data), memoryview(bytearray(data)),
             memoryview(data).cast("@B"), memoryview(spread)[::2], memoryview(data[::-1])[::-1],
             array.array("B", data)]
    if numpy is not None:
        forms += [numpy.frombuffer(data, numpy.uint8), numpy.frombuffer(spread, numpy.uint8)[::2]]
    return forms


def check_forms(data):
    for call in CALLS:
        expected = outcome(call, data)
        for form in octet_forms(data):
            assert outcome(call, form) == expected, (call, form)
