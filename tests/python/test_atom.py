"""Atom: construction and its conversions, getters, immutability, length and truth, equality with
every octet-like form, repr escaping, effective_hint, eq_ignoring_hint and the hash."""

import array
import gc
import struct
import sys
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _tarnel
from _tarnel import Atom

from conftest import assert_no_note, assert_note, run_python

ATOM = _tarnel.Atom


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


# Construction.


@pytest.mark.parametrize(
    "data,expected",
    [
        (b"hi", b"hi"),
        ("hi", b"hi"),
        ("\u00e9", b"\xc3\xa9"),
        (bytearray(b"hi"), b"hi"),
        ([104, 105], b"hi"),
        ((104, 105), b"hi"),
        (range(104, 106), b"hi"),
        (memoryview(b"hi"), b"hi"),
        (array.array("B", b"hi"), b"hi"),
        ([Index(104), Index(105)], b"hi"),
        ([True, False], b"\x01\x00"),
        (Atom(b"hi", b"h"), b"hi"),
        (b"", b""),
        ([], b""),
        (bytes(range(256)), bytes(range(256))),
    ],
    ids=lambda d: type(d).__name__,
)
def test_data_conversions(data, expected):
    atom = Atom(data)
    assert type(atom.data) is bytes and atom.data == expected
    assert atom.hint is None


@pytest.mark.parametrize(
    "hint,expected",
    [(None, None), (b"", b""), ("", b""), (b"text/plain", b"text/plain"),
     (Atom(b"text/plain"), b"text/plain"), (Atom(b"t", b"ignored"), b"t"), ([0, 255], b"\x00\xff")],
)
def test_hint_conversions(hint, expected):
    assert Atom(b"x", hint).hint == expected
    assert Atom(b"x", hint=hint).hint == expected


def test_subclasses_of_bytes_str_bytearray():
    class B(bytes):
        pass

    class S(str):
        pass

    class BA(bytearray):
        pass

    assert Atom(B(b"ab")).data == Atom(S("ab")).data == Atom(BA(b"ab")).data == b"ab"


@pytest.mark.parametrize(
    "value,name",
    [(5, "int"), (None, "NoneType"), ({}, "dict"), ({1: 2}, "dict"), ([256], "list"),
     ([-1], "list"), ([b"a"], "list"), ([1.0], "list"), ([2**80], "list"), (1.5, "float"),
     (iter(b"ab"), "bytes_iterator"), (object(), "object"), (memoryview(b"abcd").cast("B", (2, 2)), "memoryview"),
     (array.array("H", [256]), "array")],
    ids=str,
)
def test_unconvertible_data_and_hint(value, name):
    message = f"expected bytes, str, or Atom, and got {name}"
    if value is not None:
        with pytest.raises(TypeError) as info:
            Atom(value)
        assert str(info.value) == message
        assert_note(info.value, "data")
    with pytest.raises(TypeError) as info:
        Atom(b"x", [256] if value is None else value)
    assert_note(info.value, "hint")


def test_data_is_converted_before_hint():
    with pytest.raises(TypeError) as info:
        Atom(5, 6.0)
    assert str(info.value).endswith("int")
    assert_note(info.value, "data")


@pytest.mark.parametrize(
    "call,parameter",
    [(lambda: Atom("\ud800"), "data"), (lambda: Atom(b"x", "\udfff"), "hint"),
     (lambda: Atom(b"x").effective_hint("a\ud800"), "default")],
)
def test_lone_surrogates(call, parameter):
    with pytest.raises(UnicodeEncodeError) as info:
        call()
    assert_note(info.value, parameter)


def test_lying_sequence_length_only_sizes_the_reservation():
    class Liar:
        def __len__(self):
            return sys.maxsize

        def __getitem__(self, i):
            if i < 2:
                return 97 + i
            raise IndexError

    assert Atom(Liar()).data == b"ab"

    class BrokenLength(Liar):
        def __len__(self):
            raise ValueError("no length")

    assert Atom(BrokenLength()).data == b"ab"


# Getters and immutability.


def test_getters_build_new_objects():
    atom = Atom(b"abc", b"text")
    assert atom.data == b"abc" and atom.hint == b"text"
    assert type(atom.hint) is bytes
    assert atom.data is not atom.data
    assert atom.hint is not atom.hint
    assert atom.effective_hint(b"d") is not atom.effective_hint(b"d")


def test_atom_is_immutable_and_plain():
    atom = Atom(b"x", b"h")
    with pytest.raises(AttributeError):
        atom.data = b"y"
    with pytest.raises(AttributeError):
        atom.hint = None
    with pytest.raises(AttributeError):
        del atom.hint
    with pytest.raises(AttributeError):
        atom.other = 1
    assert not hasattr(atom, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(atom)
    with pytest.raises(TypeError):
        Atom.data = None
    with pytest.raises(TypeError):

        class Sub(Atom):
            pass

    assert (atom.data, atom.hint) == (b"x", b"h")
    assert not gc.is_tracked(atom)
    assert sorted(name for name in vars(Atom) if not name.startswith("__")) == [
        "data", "effective_hint", "eq_ignoring_hint", "hint"]
    for absent in ("__init__", "__str__", "__bytes__", "__iter__", "__getitem__", "__reduce__", "__dict__", "__weakref__"):
        assert absent not in vars(Atom)


def test_no_str_bytes_iteration_or_indexing():
    atom = Atom(b"ab", b"h")
    assert str(atom) == repr(atom)
    with pytest.raises(TypeError):
        bytes(atom)
    with pytest.raises(TypeError):
        iter(atom)
    with pytest.raises(TypeError):
        atom[0]
    with pytest.raises(TypeError):
        memoryview(atom)


@pytest.mark.parametrize(
    "atom,length",
    [(Atom(b""), 0), (Atom(b"", b"h"), 0), (Atom(b"", b""), 0), (Atom(b"abc"), 3), (Atom(b"a", b"long hint"), 1)],
)
def test_length_and_truth(atom, length):
    assert len(atom) == length
    assert bool(atom) is (length > 0)


# Equality.

EQUAL = [
    (Atom(b"ab"), b"ab"),
    (Atom(b"ab"), "ab"),
    (Atom(b"ab"), bytearray(b"ab")),
    (Atom(b"ab"), [97, 98]),
    (Atom(b"ab"), (97, 98)),
    (Atom(b"ab"), range(97, 99)),
    (Atom(b"ab"), memoryview(b"ab")),
    (Atom(b"ab"), array.array("B", b"ab")),
    (Atom(b"ab"), Atom("ab")),
    (Atom(b"ab", b"t"), Atom(b"ab", "t")),
    (Atom(b"ab", b""), Atom(b"ab", "")),
    (Atom(b""), b""),
    (Atom(b"\xc3\xa9"), "\u00e9"),
]
UNEQUAL = [
    (Atom(b"ab", b"t"), b"ab"),
    (Atom(b"ab", b""), b"ab"),
    (Atom(b"ab", b""), Atom(b"ab")),
    (Atom(b"ab", b"t"), Atom(b"ab", b"u")),
    (Atom(b"ab"), b"abc"),
    (Atom(b"ab"), b"ba"),
    (Atom(b"ab"), 5),
    (Atom(b"ab"), None),
    (Atom(b"ab"), [97, 256]),
    (Atom(b"ab"), "a\ud800"),
    (Atom(b"ab"), {97: 98}),
    (Atom(b"ab"), 1.5),
]


@pytest.mark.parametrize("atom,other", EQUAL, ids=str)
def test_equal_in_both_orders(atom, other):
    assert (atom == other) is True
    assert (other == atom) is True
    assert (atom != other) is False
    assert (other != atom) is False


@pytest.mark.parametrize("atom,other", UNEQUAL, ids=str)
def test_unequal_in_both_orders(atom, other):
    assert (atom == other) is False
    assert (other == atom) is False
    assert (atom != other) is True
    assert (other != atom) is True


@pytest.mark.parametrize("other", [Atom(b"b"), b"b", 5, "b", [1]])
def test_ordering_is_refused(other):
    atom = Atom(b"a")
    for compare in (lambda: atom < other, lambda: atom <= other, lambda: atom > other, lambda: atom >= other):
        with pytest.raises(TypeError):
            compare()
    assert atom.__lt__(other) is NotImplemented
    assert atom.__ge__(other) is NotImplemented


def test_eq_ignoring_hint():
    assert Atom(b"ab", b"t").eq_ignoring_hint(b"ab") is True
    assert Atom(b"ab", b"t").eq_ignoring_hint(Atom(b"ab", b"u")) is True
    assert Atom(b"ab").eq_ignoring_hint(Atom(b"ab", b"")) is True
    assert Atom(b"ab").eq_ignoring_hint([97, 98]) is True
    assert Atom(b"ab").eq_ignoring_hint(b"abc") is False
    assert Atom(b"").eq_ignoring_hint("") is True


@pytest.mark.parametrize(
    "other,exc", [(5, TypeError), ([300], TypeError), ("\ud800", UnicodeEncodeError)]
)
def test_eq_ignoring_hint_raises_without_a_note(other, exc):
    with pytest.raises(exc) as info:
        Atom(b"ab").eq_ignoring_hint(other)
    assert type(info.value) is exc
    assert_no_note(info.value)


# effective_hint.


def test_effective_hint():
    assert Atom(b"x", b"h").effective_hint(b"d") == b"h"
    assert Atom(b"x", b"").effective_hint(b"d") == b""
    assert Atom(b"x").effective_hint("d") == b"d"
    assert Atom(b"x").effective_hint(_tarnel.DEFAULT_HINT) == b"application/octet-stream"
    assert Atom(b"x").effective_hint(Atom(b"d", b"e")) == b"d"
    assert Atom(b"x").effective_hint([100]) == b"d"
    assert type(Atom(b"x").effective_hint("d")) is bytes


def test_effective_hint_converts_default_even_when_the_hint_is_present():
    with pytest.raises(TypeError) as info:
        Atom(b"x", b"h").effective_hint(5)
    assert str(info.value) == "expected bytes, str, or Atom, and got int"
    assert_note(info.value, "default")


# repr.

REPRS = [
    (Atom(b"ab\x00", b"text/plain"), 'Atom(b"ab\\x00", hint=b"text/plain")'),
    (Atom(b""), 'Atom(b"")'),
    (Atom(b"x", b""), 'Atom(b"x", hint=b"")'),
    (Atom(b"\t\n\r"), 'Atom(b"\\t\\n\\r")'),
    (Atom(b"'\"\\"), 'Atom(b"\\\'\\"\\\\")'),
    (Atom(b"\x07\x08\x0b\x0c\x1f\x7f\x80\xff"), 'Atom(b"\\x07\\x08\\x0b\\x0c\\x1f\\x7f\\x80\\xff")'),
    (Atom(b" ~az09#|[]"), 'Atom(b" ~az09#|[]")'),
    (Atom(b"\xab\xcd"), 'Atom(b"\\xab\\xcd")'),
]


@pytest.mark.parametrize("atom,text", REPRS, ids=str)
def test_repr(atom, text):
    assert repr(atom) == text


def test_repr_of_quotes_and_backslash_is_fifteen_characters():
    text = repr(Atom(b"'\"\\"))
    assert len(text) == 15
    assert list(text) == ["A", "t", "o", "m", "(", "b", '"', "\\", "'", "\\", '"', "\\", "\\", '"', ")"]


def reference_repr_literal(octets):
    escapes = {0x09: "\\t", 0x0A: "\\n", 0x0D: "\\r", 0x22: '\\"', 0x27: "\\'", 0x5C: "\\\\"}
    return 'b"' + "".join(
        escapes.get(o) or (chr(o) if 0x20 <= o <= 0x7E else f"\\x{o:02x}") for o in octets
    ) + '"'


@settings(max_examples=200)
@given(st.binary(max_size=40), st.none() | st.binary(max_size=10))
def test_repr_matches_the_escaping_table(data, hint):
    expected = "Atom(" + reference_repr_literal(data)
    if hint is not None:
        expected += ", hint=" + reference_repr_literal(hint)
    assert repr(Atom(data, hint)) == expected + ")"


# Hash.


def siphash13(data, k0=0, k1=0):
    """SipHash-1-3, written from the published description."""
    mask = 2**64 - 1

    def rotl(x, b):
        return ((x << b) | (x >> (64 - b))) & mask

    v = [k0 ^ 0x736F6D6570736575, k1 ^ 0x646F72616E646F6D, k0 ^ 0x6C7967656E657261, k1 ^ 0x7465646279746573]

    def sipround():
        v[0] = (v[0] + v[1]) & mask; v[1] = rotl(v[1], 13); v[1] ^= v[0]; v[0] = rotl(v[0], 32)
        v[2] = (v[2] + v[3]) & mask; v[3] = rotl(v[3], 16); v[3] ^= v[2]
        v[0] = (v[0] + v[3]) & mask; v[3] = rotl(v[3], 21); v[3] ^= v[0]
        v[2] = (v[2] + v[1]) & mask; v[1] = rotl(v[1], 17); v[1] ^= v[2]; v[2] = rotl(v[2], 32)

    tail = len(data) % 8
    blocks = data[: len(data) - tail] if tail else data
    for i in range(0, len(blocks), 8):
        m = int.from_bytes(blocks[i : i + 8], "little")
        v[3] ^= m
        sipround()
        v[0] ^= m
    last = ((len(data) & 0xFF) << 56) | int.from_bytes(data[len(data) - tail :], "little")
    v[3] ^= last
    sipround()
    v[0] ^= last
    v[2] ^= 0xFF
    for _ in range(3):
        sipround()
    return v[0] ^ v[1] ^ v[2] ^ v[3]


def layout(data, hint):
    out = struct.pack("<Q", len(data)) + data
    if hint is None:
        return out + struct.pack("<Q", 0)
    return out + struct.pack("<QQ", 1, len(hint)) + hint


def expected_hash(data, hint):
    h = siphash13(layout(data, hint))
    h = h - 2**64 if h >= 2**63 else h
    return -2 if h == -1 else h


HASH_CASES = [
    (b"", None), (b"", b""), (b"abc", None), (b"abc", b""), (b"abc", b"text/plain"),
    (b"\x00" * 7, None), (b"x" * 8, b"y" * 8), (bytes(range(256)), b"\xff"), (b"hello", b"h" * 100),
]


@pytest.mark.parametrize("data,hint", HASH_CASES)
def test_hash_is_siphash13_over_the_layout(data, hint):
    assert hash(Atom(data, hint)) == expected_hash(data, hint)


@settings(max_examples=200)
@given(st.binary(max_size=70), st.none() | st.binary(max_size=20))
def test_hash_matches_the_reference_and_equality(data, hint):
    atom = Atom(data, hint)
    assert hash(atom) == expected_hash(data, hint)
    assert hash(Atom(bytearray(data), hint)) == hash(atom)


@pytest.mark.skipif(sys.hash_info.algorithm != "siphash13", reason="needs an interpreter hashing bytes with SipHash-1-3")
def test_hash_agrees_with_the_interpreters_zero_key_siphash():
    # With PYTHONHASHSEED=0 the interpreter hashes bytes with SipHash-1-3 under the zero key.
    layouts = [layout(d, h) for d, h in HASH_CASES]
    out = run_python(f"print([hash(b) for b in {layouts!r}])", env_extra={"PYTHONHASHSEED": "0"})
    assert eval(out) == [hash(Atom(d, h)) for d, h in HASH_CASES]


def test_hash_is_the_same_in_every_process():
    code = "from _tarnel import Atom; print(hash(Atom(b'abc')), hash(Atom(b'abc', b't')), hash(b'abc'))"
    first = run_python(code, env_extra={"PYTHONHASHSEED": "1"}).split()
    second = run_python(code, env_extra={"PYTHONHASHSEED": "2"}).split()
    assert first[:2] == second[:2] == [str(hash(Atom(b"abc"))), str(hash(Atom(b"abc", b"t")))]
    assert first[2] != second[2]  # the interpreter's own bytes hash does vary
    assert hash(Atom(b"abc")) != hash(b"abc")


def test_equal_atoms_hash_alike_and_work_as_keys():
    table = {Atom(b"ab", b"t"): 1, Atom(b"ab"): 2, Atom(b"ab", b""): 3}
    assert len(table) == 3
    assert table[Atom("ab", "t")] == 1
    assert table[Atom([97, 98])] == 2
    assert table[Atom(b"ab", [])] == 3
