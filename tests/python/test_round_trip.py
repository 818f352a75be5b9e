"""Round trips over generated trees: every writer's output reads back as the value written, and
the canonical output always equals a plain-Python canonical writer's."""

import array
import re

from hypothesis import given, settings
from hypothesis import strategies as st

import _tarnel
from _tarnel import Atom, Parser

from conftest import reference_canonical

PRINTABLE_LINE = re.compile(r"[\x20-\x7e]*\Z")

octets = st.one_of(
    st.binary(max_size=12),
    st.text(alphabet=st.characters(min_codepoint=0x20, max_codepoint=0x7E), max_size=12).map(str.encode),
    st.text(alphabet="abcXYZ019*+-./:=_", min_size=1, max_size=8).map(str.encode),
    st.sampled_from([b"", b" ", b"\t\n\r\x07\x08\x0b\x0c", b'"\\', b"\x00", b"\xff", b"1", b"a b"]),
)
atoms = st.one_of(
    octets,
    st.builds(Atom, octets, octets),
)
trees = st.recursive(atoms, lambda children: st.lists(children, max_size=5), max_leaves=25)


def widened(value, draw):
    """The same S-expression in the other shapes the writers accept."""
    if isinstance(value, list):
        items = [widened(item, draw) for item in value]
        return tuple(items) if draw(st.booleans()) else items
    if isinstance(value, Atom):
        return value
    form = draw(st.sampled_from(["bytes", "bytearray", "memoryview", "array", "atom", "str"]))
    if form == "bytearray":
        return bytearray(value)
    if form == "memoryview":
        return memoryview(value)
    if form == "array":
        return array.array("B", value)
    if form == "atom":
        return Atom(value)
    if form == "str":
        try:
            return value.decode("utf-8")
        except UnicodeDecodeError:
            return value
    return value


@settings(max_examples=300, deadline=None)
@given(trees)
def test_every_writer_round_trips(tree):
    canonical = _tarnel.to_canonical(tree)
    assert canonical == reference_canonical(tree)
    assert _tarnel.parse_canonical(canonical) == tree
    assert _tarnel.parse(canonical) == tree
    transport = _tarnel.to_transport(tree)
    assert transport.isascii()
    assert _tarnel.parse(transport) == tree
    assert _tarnel.parse(transport.encode()) == tree
    advanced = _tarnel.to_advanced(tree)
    assert PRINTABLE_LINE.match(advanced), advanced
    assert _tarnel.parse(advanced) == tree
    # The canonical output of what was read is the canonical form of the input, hints included.
    for text in (canonical, transport, advanced):
        assert _tarnel.to_canonical(_tarnel.parse(text)) == canonical


@settings(max_examples=150, deadline=None)
@given(trees, st.data())
def test_widened_shapes_write_the_same(tree, data):
    other = widened(tree, data.draw)
    assert _tarnel.to_canonical(other) == _tarnel.to_canonical(tree)
    assert _tarnel.to_advanced(other) == _tarnel.to_advanced(tree)
    assert _tarnel.to_transport(other) == _tarnel.to_transport(tree)


@settings(max_examples=100, deadline=None)
@given(trees)
def test_prefix_reads_each_of_a_stream(tree):
    parts = [_tarnel.to_canonical(tree), _tarnel.to_advanced(tree).encode(), _tarnel.to_transport(tree).encode()]
    stream = b" ".join(parts)
    parser = Parser()
    position = 0
    for _ in parts:
        value, consumed = parser.parse_prefix(stream[position:])
        assert value == tree
        position += consumed
    assert position == len(stream)


def test_hints_absent_empty_and_present_stay_apart():
    tree = [b"x", Atom(b"x", b""), Atom(b"x", b"h"), Atom(b"", b""), b""]
    for write in (_tarnel.to_canonical, _tarnel.to_transport, _tarnel.to_advanced):
        back = _tarnel.parse(write(tree))
        assert [type(v) for v in back] == [bytes, Atom, Atom, Atom, bytes]
        assert [getattr(v, "hint", None) for v in back] == [None, b"", b"h", b"", None]


# Long bytes objects reach the canonical output by another route than short ones: only their
# place is noted while the rest is written, and they are copied in when the output is assembled.
long_octets = st.sampled_from([4095, 4096, 4097, 9000]).flatmap(
    lambda n: st.binary(min_size=n, max_size=n)
)
trees_with_long_atoms = st.recursive(
    st.one_of(atoms, long_octets), lambda children: st.lists(children, max_size=4), max_leaves=10
)


@settings(max_examples=80, deadline=None)
@given(trees_with_long_atoms)
def test_long_atoms_land_where_they_belong(tree):
    canonical = _tarnel.to_canonical(tree)
    assert canonical == reference_canonical(tree)
    assert _tarnel.to_transport(tree) == _tarnel.to_transport(_tarnel.parse(canonical))
    assert _tarnel.parse(_tarnel.to_transport(tree)) == tree


def test_one_long_object_written_at_several_places():
    big = bytes(range(256)) * 20
    tree = [big, [b"a", big, Atom(b"x", b"h")], (big,), big[:4095], bytearray(big)]
    assert _tarnel.to_canonical(tree) == reference_canonical(tree)
    assert _tarnel.to_canonical(big) == reference_canonical(big)
