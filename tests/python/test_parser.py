"""Parser: every keyword end to end, the bool and integer rules, canonical forcing, the module
functions' presets, prefix reading, and the forms `data` may take."""

import array
import gc
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _tarnel
from _tarnel import Atom, ParseError, Parser

from conftest import assert_no_note, assert_note

U64_MAX = 2**64 - 1

FLAGS = [
    "allow_advanced",
    "allow_transport",
    "allow_display_hints",
    "allow_empty_atoms",
    "allow_empty_lists",
    "allow_list_as_first_element",
    "allow_hexadecimal",
    "allow_base64",
    "allow_lengths",
]
KEYWORDS = ["canonical", "max_depth", "max_atom_len", "max_input_len"] + FLAGS

# keyword -> (value that restricts, input that the default reads, expected value, kind, offset)
RESTRICTIONS = {
    "canonical": (True, b"abc", b"abc", "advanced_not_allowed", 0),
    "allow_advanced": (False, b" 3:abc", b"abc", "unexpected_octet", 0),
    "allow_transport": (False, b"{KCk=}", [], "transport_not_allowed", 0),
    "allow_display_hints": (False, b"[1:t]1:x", Atom(b"x", b"t"), "hint_not_allowed", 0),
    "allow_empty_atoms": (False, b"(1:a 0:)", [b"a", b""], "empty_atom_not_allowed", 5),
    "allow_empty_lists": (False, b"(1:a ())", [b"a", []], "empty_list_not_allowed", 5),
    "allow_list_as_first_element": (False, b"((1:a) 1:b)", [[b"a"], b"b"], "list_as_first_element_not_allowed", 0),
    "allow_hexadecimal": (False, b"#6162#", b"ab", "hexadecimal_not_allowed", 0),
    "allow_base64": (False, b"|YWI=|", b"ab", "base64_not_allowed", 0),
    "allow_lengths": (False, b'2"ab"', b"ab", "length_not_allowed", 0),
    "max_depth": (2, b"(((1:a)))", [[[b"a"]]], "too_deep", 2),
    "max_atom_len": (2, b"(2:ab 3:abc)", [b"ab", b"abc"], "atom_too_long", 6),
    "max_input_len": (4, b"3:abc", b"abc", "input_too_long", 4),
}


def outcome(read, data):
    """What a read gives: the value, or the refusal's kind, offset and message."""
    try:
        return ("value", read(data))
    except ParseError as e:
        return ("error", e.kind, e.offset, str(e))


@pytest.mark.parametrize("keyword", KEYWORDS)
def test_each_keyword_restricts_what_it_names(keyword):
    value, data, expected, kind, offset = RESTRICTIONS[keyword]
    assert Parser().parse(data) == expected
    with pytest.raises(ParseError) as info:
        Parser(**{keyword: value}).parse(data)
    assert (info.value.kind, info.value.offset) == (kind, offset)


@pytest.mark.parametrize("keyword", FLAGS)
def test_flags_given_true_are_the_default(keyword):
    _, data, expected, _, _ = RESTRICTIONS[keyword]
    assert Parser(**{keyword: True}).parse(data) == expected


def test_limits_at_the_boundary():
    assert Parser(max_depth=3).parse(b"(((1:a)))") == [[[b"a"]]]
    assert Parser(max_atom_len=3).parse(b"#616263#") == b"abc"
    assert Parser(max_input_len=5).parse(b"3:abc") == b"abc"
    assert Parser(max_depth=0).parse(b"3:abc") == b"abc"
    with pytest.raises(ParseError) as info:
        Parser(max_depth=0).parse(b"(1:a)")
    assert (info.value.kind, info.value.offset) == ("too_deep", 0)
    with pytest.raises(ParseError) as info:
        Parser(max_input_len=0).parse(b"")
    assert (info.value.kind, info.value.offset) == ("unexpected_end", 0)
    assert Parser(max_atom_len=0).parse(b"0:") == b""


@pytest.mark.parametrize("data", [b"abc", b"{KCk=}", b"3:abc", b"(1:a)"])
def test_canonical_wins_over_the_flags_it_forces(data):
    forced = Parser(canonical=True, allow_advanced=True, allow_transport=True)
    assert outcome(forced.parse, data) == outcome(Parser(canonical=True).parse, data)
    assert outcome(forced.parse, data) == outcome(_tarnel.parse_canonical, data)
    assert outcome(Parser(canonical=False).parse, data) == outcome(_tarnel.parse, data)


def test_canonical_leaves_the_other_flags_alone():
    with pytest.raises(ParseError) as info:
        Parser(canonical=True, allow_empty_lists=False).parse(b"()")
    assert info.value.kind == "empty_list_not_allowed"
    assert Parser(canonical=True).parse(b"[1:t]1:x") == Atom(b"x", b"t")


# The bool rule.


def fake_numpy_bool(name, result, module="numpy"):
    cls = type(name, (), {"__bool__": lambda self: result, "__module__": module})
    return cls()


@pytest.mark.parametrize("name", ["bool_", "bool"])
def test_numpy_like_bools_are_accepted(name):
    assert type(fake_numpy_bool(name, True)).__module__ == "numpy"
    with pytest.raises(ParseError):
        Parser(allow_empty_lists=fake_numpy_bool(name, False)).parse(b"()")
    assert Parser(allow_empty_lists=fake_numpy_bool(name, True)).parse(b"()") == []
    with pytest.raises(ParseError):
        Parser(canonical=fake_numpy_bool(name, True)).parse(b"abc")


def test_real_numpy_bools(numpy):
    for keyword in KEYWORDS:
        if keyword.startswith("max"):
            continue
        value, data, expected, kind, _ = RESTRICTIONS[keyword]
        assert Parser(**{keyword: numpy.bool_(not value)}).parse(data) == expected
        with pytest.raises(ParseError) as info:
            Parser(**{keyword: numpy.bool_(value)}).parse(data)
        assert info.value.kind == kind


def test_numpy_integers_are_integers_not_bools(numpy):
    assert Parser(max_depth=numpy.int64(1)).parse(b"(1:a)") == [b"a"]
    with pytest.raises(TypeError) as info:
        Parser(allow_base64=numpy.int8(1))
    assert str(info.value) == "'int8' object is not an instance of 'bool'"


class Truthy:
    def __bool__(self):
        return True


class Outer:
    class Inner:
        pass


@pytest.mark.parametrize(
    "value,message",
    [
        (None, "'None' is not an instance of 'bool'"),
        (0, "'int' object is not an instance of 'bool'"),
        (1, "'int' object is not an instance of 'bool'"),
        (1.0, "'float' object is not an instance of 'bool'"),
        ("True", "'str' object is not an instance of 'bool'"),
        (b"", "'bytes' object is not an instance of 'bool'"),
        (Truthy(), "'Truthy' object is not an instance of 'bool'"),
        (Outer.Inner(), "'Outer.Inner' object is not an instance of 'bool'"),
        (fake_numpy_bool("bool_", True, module="numpyx"), "'bool_' object is not an instance of 'bool'"),
        (fake_numpy_bool("bool8", True), "'bool8' object is not an instance of 'bool'"),
    ],
)
@pytest.mark.parametrize("keyword", ["canonical", "allow_advanced", "allow_lengths"])
def test_everything_else_is_not_a_bool(keyword, value, message):
    with pytest.raises(TypeError) as info:
        Parser(**{keyword: value})
    assert str(info.value) == message
    assert_note(info.value, keyword)


def test_numpy_like_bool_must_give_a_bool():
    with pytest.raises(TypeError) as info:
        Parser(allow_hexadecimal=fake_numpy_bool("bool_", 1))
    assert_note(info.value, "allow_hexadecimal")


def test_numpy_like_bool_failure_is_raised_with_the_note():
    class Failing:
        __module__ = "numpy"

        def __bool__(self):
            raise ZeroDivisionError("no truth here")

    Failing.__name__ = "bool_"
    with pytest.raises(ZeroDivisionError) as info:
        Parser(allow_base64=Failing())
    assert_note(info.value, "allow_base64")


# The integer rule.


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("keyword", ["max_depth", "max_atom_len", "max_input_len"])
@pytest.mark.parametrize(
    "value,exc,message",
    [
        (-1, OverflowError, None),
        (2**64, OverflowError, None),
        (-(2**70), OverflowError, None),
        (Index(-1), OverflowError, None),
        (1.0, TypeError, "'float' object cannot be interpreted as an integer"),
        ("5", TypeError, "'str' object cannot be interpreted as an integer"),
        (Index("5"), TypeError, None),
    ],
)
def test_integers_out_of_range_or_of_wrong_type(keyword, value, exc, message):
    with pytest.raises(exc) as info:
        Parser(**{keyword: value})
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    assert_note(info.value, keyword)


@pytest.mark.parametrize("value", [0, 5, U64_MAX, True, Index(3)])
@pytest.mark.parametrize("keyword", ["max_depth", "max_atom_len", "max_input_len"])
def test_integers_in_range_are_accepted(keyword, value):
    assert repr(Parser(**{keyword: value})) == "Parser()"


def test_none_means_no_limit_except_for_depth():
    data = b"(" + b"9999:" + b"x" * 9999 + b")"
    for parser in (Parser(), Parser(max_atom_len=None, max_input_len=None), Parser(max_atom_len=U64_MAX, max_input_len=U64_MAX)):
        assert parser.parse(data) == [b"x" * 9999]
    with pytest.raises(TypeError) as info:
        Parser(max_depth=None)
    assert_note(info.value, "max_depth")


def test_true_counts_as_one():
    with pytest.raises(ParseError) as info:
        Parser(max_depth=True).parse(b"((1:a))")
    assert (info.value.kind, info.value.offset) == ("too_deep", 1)


def test_keywords_are_converted_in_signature_order():
    # Given last, converted first.
    with pytest.raises(TypeError) as info:
        Parser(allow_lengths=1, max_depth=-1, canonical=1)
    assert str(info.value) == "'int' object is not an instance of 'bool'"
    assert_note(info.value, "canonical")
    with pytest.raises(OverflowError) as info:
        Parser(allow_lengths=1, max_input_len=-1, max_depth=-1)
    assert_note(info.value, "max_depth")
    with pytest.raises(TypeError) as info:
        Parser(allow_lengths=1, allow_base64=2)
    assert_note(info.value, "allow_base64")


def test_a_failing_note_is_discarded():
    class Stubborn(Exception):
        def add_note(self, note):
            raise RuntimeError("refused")

    class Bad:
        def __index__(self):
            raise Stubborn("from __index__")

    with pytest.raises(Stubborn) as info:
        Parser(max_depth=Bad())
    assert str(info.value) == "from __index__"
    assert_no_note(info.value)


# The class itself.


def test_parser_is_immutable_and_plain():
    parser = Parser(max_depth=5, allow_base64=False)
    assert repr(parser) == str(parser) == "Parser()"
    with pytest.raises(AttributeError):
        parser.max_depth = 3
    with pytest.raises(AttributeError):
        parser.max_depth
    assert not hasattr(parser, "__dict__")
    with pytest.raises(TypeError):
        Parser.parse = None
    with pytest.raises(TypeError):

        class Sub(Parser):
            pass

    assert Parser() != Parser()
    assert parser == parser
    assert hash(parser) == hash(parser)
    assert sorted(vars(Parser)) == ["__doc__", "__module__", "__new__", "__repr__", "parse", "parse_prefix"]
    assert not gc.is_tracked(parser)
    with pytest.raises(TypeError):
        weakref.ref(parser)


def test_a_parser_is_unchanged_by_its_calls():
    parser = Parser(allow_empty_lists=False)
    for _ in range(3):
        with pytest.raises(ParseError):
            parser.parse(b"()")
        with pytest.raises(TypeError):
            parser.parse(5)
        assert parser.parse(b"(1:a)") == [b"a"]


# Same acceptance for the presets.

CORPUS = [
    b"", b"3:abc", b"abc", b"(1:a 1:b)", b"(1:a1:b)", b" 3:abc ", b"{KDE6YSk=}", b"{KCk=}",
    b"[4:text]5:hello", b"[ 4:text ] 5:hello", b"[0:]1:a", b"[]5:hello", b"((1:a) 1:b)",
    b'"a\\x41\\101\\n"', b"#61 62 63#", b"|YW Jj|", b"(", b")", b"(1:a))", b"00:", b"3abc",
    b"{e0tERTZZU2s9fQ==}", b'3"abc"', b'5"abc"', b"#616#", b"|YQ=|", b"[4:text](1:a)",
    b"(()())", b"\t(\n1:a\r)\x0b", b"\x0c3:abc", b"abc-1.2", b"{YWJj}",
]


@pytest.mark.parametrize("data", CORPUS)
def test_presets_read_like_the_parsers(data):
    assert outcome(Parser().parse, data) == outcome(_tarnel.parse, data)
    assert outcome(Parser(canonical=True).parse, data) == outcome(_tarnel.parse_canonical, data)


@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=24) | st.lists(st.sampled_from(b'()[]{}|#":0123abc= \\YWJj'), max_size=24).map(bytes))
def test_presets_read_like_the_parsers_on_random_input(data):
    assert outcome(Parser().parse, data) == outcome(_tarnel.parse, data)
    assert outcome(Parser(canonical=True).parse, data) == outcome(_tarnel.parse_canonical, data)
    prefix = outcome(Parser().parse_prefix, data)
    whole = outcome(Parser().parse, data)
    if whole[0] == "value":
        assert prefix[0] == "value" and prefix[1][0] == whole[1]


# Prefix reading.


def test_parse_prefix_counts_what_it_read():
    assert Parser().parse_prefix(b"(1:a)(1:b)") == ([b"a"], 5)
    assert Parser().parse_prefix(b" (1:a) ") == ([b"a"], 6)
    assert Parser().parse_prefix(b"abc(") == (b"abc", 3)
    assert Parser().parse_prefix(b"3:abc!!!") == (b"abc", 5)
    with pytest.raises(ParseError) as info:
        Parser().parse(b"(1:a)(1:b)")
    assert (info.value.kind, info.value.offset) == ("trailing_octets", 5)
    result = Parser().parse_prefix(b"1:a")
    assert type(result) is tuple and type(result[1]) is int


def test_parse_prefix_reads_a_stream():
    items = [
        (b"(1:a)", [b"a"]),
        (b" [1:t]1:b", Atom(b"b", b"t")),
        (b"\n{KDE6YSk=}", [b"a"]),
        (b"  abc", b"abc"),
        (b' "x y"', b"x y"),
        (b" #6162#", b"ab"),
        (b" |YWJj|", b"abc"),
        (b"()", []),
        (b"3:(((", b"((("),
    ]
    stream = b"".join(chunk for chunk, _ in items)
    parser = Parser()
    position = 0
    seen = []
    for chunk, expected in items:
        value, consumed = parser.parse_prefix(stream[position:])
        assert consumed == len(chunk)
        seen.append(value)
        position += consumed
    assert seen == [expected for _, expected in items]
    assert position == len(stream)


def test_parse_prefix_checks_the_whole_input_length():
    with pytest.raises(ParseError) as info:
        Parser(max_input_len=5).parse_prefix(b"1:a 1:b")
    assert (info.value.kind, info.value.offset) == ("input_too_long", 5)


# What `data` may be.


@pytest.mark.parametrize(
    "data",
    [
        b"3:abc",
        "3:abc",
        bytearray(b"3:abc"),
        [51, 58, 97, 98, 99],
        (51, 58, 97, 98, 99),
        memoryview(b"3:abc"),
        array.array("B", b"3:abc"),
        Atom(b"3:abc", hint=b"x"),
        Atom(b"3:abc"),
        [Index(51), 58, True * 97, 98, 99],
    ],
    ids=lambda d: type(d).__name__,
)
def test_data_forms(data):
    assert _tarnel.parse(data) == b"abc"
    assert _tarnel.parse_canonical(data) == b"abc"
    assert Parser().parse(data) == b"abc"
    assert Parser().parse_prefix(data) == (b"abc", 5)


def test_str_data_is_read_as_utf8():
    assert _tarnel.parse("(2:\u00e9)") == [b"\xc3\xa9"]
    with pytest.raises(ParseError) as info:
        _tarnel.parse("\u00e9")
    assert (info.value.kind, info.value.offset) == ("unexpected_octet", 0)


def test_bytes_subclass_data():
    class B(bytes):
        pass

    assert _tarnel.parse(B(b"(1:a)")) == [b"a"]


@pytest.mark.parametrize(
    "data,name",
    [(5, "int"), (None, "NoneType"), ({}, "dict"), ([256], "list"), ([-1], "list"), (["a"], "list"),
     (1.5, "float"), (object(), "object"), ({1, 2}, "set"), (iter([1]), "list_iterator")],
)
@pytest.mark.parametrize(
    "read",
    [_tarnel.parse, _tarnel.parse_canonical, Parser().parse, Parser().parse_prefix],
    ids=["parse", "parse_canonical", "Parser.parse", "Parser.parse_prefix"],
)
def test_unconvertible_data(read, data, name):
    with pytest.raises(TypeError) as info:
        read(data)
    assert str(info.value) == f"expected bytes, str, or Atom, and got {name}"
    assert_note(info.value, "data")


@pytest.mark.parametrize("read", [_tarnel.parse, Parser().parse_prefix])
def test_lone_surrogate_data(read):
    with pytest.raises(UnicodeEncodeError) as info:
        read("(1:\ud800)")
    assert_note(info.value, "data")
