"""The writing functions: the accepted shapes, each writer's choices, the nesting limit, the order
in which refusals are found, and what is raised."""

import array
import base64
import collections
import re
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _tarnel
from _tarnel import Atom
from _tarnel import to_advanced, to_canonical, to_transport

from conftest import assert_no_note

TYPE_ERROR = "expected bytes, str, or Atom, and got "
WRITERS = [to_canonical, to_transport, to_advanced]
WRITER_IDS = ["canonical", "transport", "advanced"]


def ident(value):
    try:
        return repr(value)[:40]
    except RecursionError:
        return "deep"


@pytest.mark.parametrize(
    "value,canonical",
    [
        (b"abc", b"3:abc"),
        ([b"a", [b"b"]], b"(1:a(1:b))"),
        ((b"a", (b"b",)), b"(1:a(1:b))"),
        ([b"a", (b"b", [])], b"(1:a(1:b()))"),
        ([], b"()"),
        ((), b"()"),
        (b"", b"0:"),
        (Atom(b"x", b"h"), b"[1:h]1:x"),
        (Atom(b""), b"0:"),
        (Atom(b"", b""), b"[0:]0:"),
        (Atom(b"x", b""), b"[0:]1:x"),
        ("\u00e9", b"2:\xc3\xa9"),
        (range(3), b"3:\x00\x01\x02"),
        ([range(3)], b"(3:\x00\x01\x02)"),
        (bytearray(b"ab"), b"2:ab"),
        (memoryview(b"ab"), b"2:ab"),
        (array.array("B", b"ab"), b"2:ab"),
        (collections.deque([97, 98]), b"2:ab"),
        ([b"abc", Atom(b"hello", b"text/plain"), []], b"(3:abc[10:text/plain]5:hello())"),
        (b"x" * 9, b"9:" + b"x" * 9),
        (b"x" * 10, b"10:" + b"x" * 10),
        (b"x" * 100, b"100:" + b"x" * 100),
        (b"():[]\x00\xff", b"7:():[]\x00\xff"),
    ],
    ids=ident,
)
def test_canonical(value, canonical):
    assert to_canonical(value) == canonical
    assert type(to_canonical(value)) is bytes


def test_subclasses_of_list_and_tuple_are_lists():
    class L(list):
        pass

    class T(tuple):
        pass

    class B(bytes):
        pass

    assert to_canonical(L([T((B(b"a"),)), b"b"])) == b"((1:a)1:b)"


@pytest.mark.parametrize(
    "value,text",
    [
        (b"abc", "{MzphYmM=}"),
        ([], "{KCk=}"),
        ([[[]]], "{KCgoKSkp}"),
        ([b"abc", Atom(b"hello", b"text/plain"), []], "{KDM6YWJjWzEwOnRleHQvcGxhaW5dNTpoZWxsbygpKQ==}"),
    ],
)
def test_transport(value, text):
    assert to_transport(value) == text
    assert type(to_transport(value)) is str


ADVANCED = [
    (b"abc", "abc"),
    (b"a1", "a1"),
    (b"_x:y=z", "_x:y=z"),
    (b"-", "-"),
    (b"*+-./:=_", "*+-./:=_"),
    (b"3abc", '"3abc"'),
    (b"1", '"1"'),
    (b"", '""'),
    (b"a b", '"a b"'),
    (b'a\nb"c\\', '"a\\nb\\"c\\\\"'),
    (b"a\rb\fc\vd\be", '"a\\rb\\fc\\vd\\be"'),
    (b"\x07\t", '"\\a\\t"'),
    (b"it's", '"it\'s"'),
    (b"#|{}[]()", '"#|{}[]()"'),
    (b"\x00\xff", "#00ff#"),
    (b"\x7f", "#7f#"),
    (b"\x1b", "#1b#"),
    (b"abc\x00", "#61626300#"),
    ("\u00e9", "#c3a9#"),
    (Atom(b"hello", b"text/plain"), "[text/plain]hello"),
    (Atom(b"x", b""), '[""]x'),
    (Atom(b"\x00\xff", b"text/plain"), "[text/plain]#00ff#"),
    (Atom(b"a b", b"\x01"), '[#01#]"a b"'),
    ([], "()"),
    ([b"abc", Atom(b"hello", b"text/plain"), []], "(abc [text/plain]hello ())"),
    ([[[]]], "((()))"),
    ([b"a", b"b c"], '(a "b c")'),
    ([[], []], "(() ())"),
]


@pytest.mark.parametrize("value,text", ADVANCED, ids=ident)
def test_advanced(value, text):
    assert to_advanced(value) == text
    assert type(to_advanced(value)) is str
    assert _tarnel.parse(text) == _tarnel.parse(to_canonical(value))


def nested(depth, inner=None):
    value = [] if inner is None else [inner]
    for _ in range(depth - 1):
        value = [value]
    return value


@pytest.mark.parametrize("writer", WRITERS, ids=WRITER_IDS)
def test_nesting_limit(writer):
    assert to_canonical(nested(1024)) == b"(" * 1024 + b")" * 1024
    assert to_canonical(nested(1024, b"a")) == b"(" * 1024 + b"1:a" + b")" * 1024
    writer(nested(1024))
    for value in (nested(1025), nested(1025, b"a"), [b"a", nested(1024)], tuple([nested(1024)])):
        with pytest.raises(ValueError) as info:
            writer(value)
        assert type(info.value) is ValueError
        assert str(info.value) == "lists nested deeper than 1024"
        assert_no_note(info.value)


def test_the_limit_counts_open_lists_not_all_lists():
    wide = [nested(1023) for _ in range(3)]
    assert to_canonical([wide[0], wide[1]]) == b"(" + (b"(" * 1023 + b")" * 1023) * 2 + b")"
    assert to_canonical([nested(1023)] * 3 + [b"x"]).endswith(b"1:x)")


def test_self_containing_lists_are_refused():
    direct = [b"a"]
    direct.append(direct)
    indirect_a, indirect_b = [], []
    indirect_a.append(indirect_b)
    indirect_b.append(indirect_a)
    for value in (direct, indirect_a):
        for writer in WRITERS:
            with pytest.raises(ValueError) as info:
                writer(value)
            assert str(info.value) == "lists nested deeper than 1024"


def test_shared_sublists_are_written_each_time():
    shared = [b"s"]
    assert to_canonical([shared, shared, (shared,)]) == b"((1:s)(1:s)((1:s)))"


@pytest.mark.parametrize(
    "value,name",
    [
        ([1, 2], "int"),
        (5, "int"),
        (None, "NoneType"),
        ({}, "dict"),
        ([b"a", 5, 6.0], "int"),
        ([b"a", [b"b", [None]], 5], "NoneType"),
        ((b"a", (1.5,)), "float"),
        ([[[[{1}]]]], "set"),
        ([256], "int"),
        (collections.deque([b"a"]), "deque"),
        ([range(256, 257)], "range"),
        (Atom, "type"),
        ([iter([])], "list_iterator"),
    ],
    ids=ident,
)
@pytest.mark.parametrize("writer", WRITERS, ids=WRITER_IDS)
def test_refused_objects(writer, value, name):
    with pytest.raises(TypeError) as info:
        writer(value)
    assert str(info.value) == TYPE_ERROR + name
    assert_no_note(info.value)


@pytest.mark.parametrize(
    "value,exc,text",
    [
        ([5, "\ud800"], TypeError, TYPE_ERROR + "int"),
        (["\ud800", 5], UnicodeEncodeError, None),
        ([5, nested(1025)], TypeError, TYPE_ERROR + "int"),
        ([nested(1025), 5], ValueError, "lists nested deeper than 1024"),
        ([[b"a", [None]], nested(1025)], TypeError, TYPE_ERROR + "NoneType"),
        ([b"ok", [b"ok", ["\udc80"]], None], UnicodeEncodeError, None),
    ],
    ids=ident,
)
@pytest.mark.parametrize("writer", WRITERS, ids=WRITER_IDS)
def test_first_refusal_in_document_order_decides(writer, value, exc, text):
    with pytest.raises(exc) as info:
        writer(value)
    assert type(info.value) is exc
    if text is not None:
        assert str(info.value) == text
    assert_no_note(info.value)


@pytest.mark.parametrize("writer", WRITERS, ids=WRITER_IDS)
def test_lone_surrogate(writer):
    for value in ("\ud800", ["a", ("\udfff",)]):
        with pytest.raises(UnicodeEncodeError) as info:
            writer(value)
        assert info.value.encoding == "utf-8"
        assert_no_note(info.value)


def test_items_are_taken_when_a_list_is_reached():
    class Grows:
        """Octets whose reading changes the lists around them."""

        def __len__(self):
            return 1

        def __getitem__(self, i):
            if i == 0:
                outer.append(b"late")  # outer was reached already: no effect
                mid.clear()  # so was mid, holding this object
                later.clear()  # not reached yet: it is read as it is when reached
                return 97
            raise IndexError

    mid = [Grows(), b"y"]
    later = [b"x"]
    outer = [mid, b"b", later]
    assert to_canonical(outer) == b"((1:a1:y)1:b())"
    assert len(outer) == 4 and mid == [] and later == []


def test_nothing_passed_in_is_changed():
    atom = Atom(b"x", b"h")
    value = [b"a", (b"b", [atom]), bytearray(b"c")]
    before = repr(value)
    for writer in WRITERS:
        writer(value)
    with pytest.raises(TypeError):
        to_canonical(value + [5])
    assert repr(value) == before


PRINTABLE_LINE = re.compile(r"[\x20-\x7e]*\Z")


def test_advanced_output_is_one_printable_line():
    value = [bytes(range(256)), Atom(bytes(range(32)), b"\n\t"), b"a\nb", b"", [b"x" * 5000]]
    text = to_advanced(value)
    assert PRINTABLE_LINE.match(text)
    assert _tarnel.parse(text) == value


def test_large_atom_transport_is_one_line():
    text = to_transport(b"\x00" * 1_000_000)
    canonical_length = len(b"1000000:") + 1_000_000
    assert len(text) == 4 * -(-canonical_length // 3) + 2
    assert text.startswith("{") and text.endswith("}") and "\n" not in text
    assert _tarnel.parse(text) == b"\x00" * 1_000_000


@settings(max_examples=300, deadline=None)
@given(
    st.lists(
        st.one_of(
            st.integers(0, 6).map(lambda n: b"x" * n),
            st.integers(4090, 4100).map(lambda n: (bytes(range(256)) * 17)[:n]),
            st.builds(Atom, st.binary(max_size=5), st.binary(max_size=3)),
            st.lists(st.binary(max_size=4), max_size=3),
        ),
        max_size=8,
    )
)
def test_transport_is_the_base64_of_the_canonical_octets(value):
    # Long atoms are encoded from where they lie, between the pieces around them, with every
    # carry of 0-2 octets across their edges: the text must be Python's own encoding.
    text = to_transport(value)
    assert text == "{" + base64.b64encode(to_canonical(value)).decode("ascii") + "}"
    assert hash(text) == hash("".join(text)) and text.isascii()
    assert sys.getsizeof(text) == sys.getsizeof(text.encode("ascii").decode("ascii"))
