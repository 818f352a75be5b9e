"""ParseError: every kind of refusal reaches Python with its offset, short name and message."""

import pytest

import _tarnel
from _tarnel import ParseError, Parser

from conftest import assert_no_note

# (kind, message) in the order of the kinds.
KINDS = [
    ("unexpected_end", "the input ended in the middle of an S-expression"),
    ("unexpected_octet", "an octet that cannot appear here"),
    ("trailing_octets", "octets after a complete S-expression"),
    ("unmatched_parenthesis", "a closing parenthesis with no list open"),
    ("length_leading_zero", "a length with a leading zero"),
    ("length_overflow", "a length too large to represent"),
    ("length_mismatch", "a length that disagrees with the octets it counts"),
    ("invalid_escape", "an escape that is not defined"),
    ("invalid_hex_digit", "an octet that is not a hexadecimal digit"),
    ("odd_hex_digits", "an odd number of hexadecimal digits"),
    ("invalid_base64", "an octet that does not belong in a base-64 encoding"),
    ("hint_on_list", "a display hint before a list"),
    ("too_deep", "lists nested deeper than allowed"),
    ("atom_too_long", "an octet string longer than allowed"),
    ("input_too_long", "input longer than allowed"),
    ("hint_not_allowed", "a display hint, which is not allowed"),
    ("empty_atom_not_allowed", "a zero-length octet string, which is not allowed"),
    ("empty_list_not_allowed", "an empty list, which is not allowed"),
    ("list_as_first_element_not_allowed", "a list as the first element of a list, which is not allowed"),
    ("advanced_not_allowed", "the advanced representation, which is not allowed"),
    ("transport_not_allowed", "the basic transport representation, which is not allowed"),
    ("hexadecimal_not_allowed", "a hexadecimal octet string, which is not allowed"),
    ("base64_not_allowed", "a base-64 octet string, which is not allowed"),
    ("length_not_allowed", "a length before an octet string, which is not allowed"),
]
MESSAGES = dict(KINDS)

# (parser keywords, input, kind, offset); None for keywords means the module function `parse`.
CASES = [
    (None, b"", "unexpected_end", 0),
    (None, b"(", "unexpected_end", 1),
    (None, b"(3:abc", "unexpected_end", 6),
    (None, b"10:abc", "unexpected_end", 6),
    (None, b"{KDE6YSk=", "unexpected_end", 9),
    (None, b"{}", "unexpected_end", 0),
    (None, b"3abc", "unexpected_octet", 1),
    (None, b"({KDE6YSk=})", "unexpected_octet", 1),
    (None, b"[4:text5:hello", "unexpected_octet", 7),
    (None, b'"a\tb"', "unexpected_octet", 2),
    (None, b"\xc3\xa9", "unexpected_octet", 0),
    (None, b"(1:a)(1:b)", "trailing_octets", 5),
    (None, b"(1:a))", "trailing_octets", 5),
    (None, b")", "unmatched_parenthesis", 0),
    (None, b"00:", "length_leading_zero", 0),
    (None, b"9" * 20 + b":", "length_overflow", 0),
    (None, b"18446744073709551615:", "length_overflow", 21),
    (None, b'5"abc"', "length_mismatch", 0),
    (None, b"2#616263#", "length_mismatch", 0),
    (None, b'"\\400"', "invalid_escape", 1),
    (None, b'"\\x4g"', "invalid_escape", 1),
    (None, b"#61x2#", "invalid_hex_digit", 3),
    (None, b"#616#", "odd_hex_digits", 0),
    (None, b"|YQ=|", "invalid_base64", 4),
    (None, b"{YQ=Q}", "invalid_base64", 4),
    (None, b"[4:text](1:a)", "hint_on_list", 8),
    ({"max_depth": 1}, b"((1:a))", "too_deep", 1),
    ({"max_depth": 0}, b"()", "too_deep", 0),
    ({"max_atom_len": 2}, b"3:abc", "atom_too_long", 0),
    ({"max_atom_len": 2}, b"[3:abc]1:x", "atom_too_long", 1),
    ({"max_input_len": 3}, b"abcd", "input_too_long", 3),
    ({"max_input_len": 0}, b"a", "input_too_long", 0),
    ({"allow_display_hints": False}, b"(1:a[1:t]1:x)", "hint_not_allowed", 4),
    ({"allow_empty_atoms": False}, b"0:", "empty_atom_not_allowed", 0),
    ({"allow_empty_atoms": False}, b"[0:]1:a", "empty_atom_not_allowed", 1),
    ({"allow_empty_lists": False}, b"()", "empty_list_not_allowed", 0),
    ({"allow_empty_lists": False}, b"(() 1:b)", "empty_list_not_allowed", 1),
    ({"allow_empty_lists": False}, b"  {KCk=}", "empty_list_not_allowed", 2),
    ({"allow_list_as_first_element": False}, b"((1:a) 1:b)", "list_as_first_element_not_allowed", 0),
    ({"canonical": True}, b"abc", "advanced_not_allowed", 0),
    ({"allow_advanced": False}, b'3"abc"', "advanced_not_allowed", 0),
    (None, b"{YWJj}", "advanced_not_allowed", 0),
    ({"allow_transport": False}, b"{KCk=}", "transport_not_allowed", 0),
    (None, b"{e0tERTZZU2s9fQ==}", "transport_not_allowed", 0),
    ({"allow_hexadecimal": False}, b"#6162#", "hexadecimal_not_allowed", 0),
    ({"allow_base64": False}, b"(1:a |YWJj|)", "base64_not_allowed", 5),
    ({"allow_lengths": False}, b'3"abc"', "length_not_allowed", 0),
]


def read(keywords, data):
    if keywords is None:
        return _tarnel.parse(data)
    return Parser(**keywords).parse(data)


def test_every_kind_is_covered():
    assert {case[2] for case in CASES} == set(MESSAGES)
    assert len(KINDS) == 24


@pytest.mark.parametrize("keywords,data,kind,offset", CASES)
def test_refusal_reaches_python(keywords, data, kind, offset):
    with pytest.raises(ParseError) as info:
        read(keywords, data)
    err = info.value
    message = f"{MESSAGES[kind]} at offset {offset}"
    assert (err.kind, err.offset, str(err)) == (kind, offset, message)
    assert type(err.offset) is int and type(err.kind) is str
    assert err.args == (message,)
    assert isinstance(err, ValueError)
    assert type(err) is ParseError
    assert_no_note(err)


def test_prefix_reading_raises_the_same():
    with pytest.raises(ParseError) as info:
        Parser(allow_empty_lists=False).parse_prefix(b" (1:a ()) trailing")
    assert (info.value.kind, info.value.offset) == ("empty_list_not_allowed", 6)
    assert str(info.value) == "an empty list, which is not allowed at offset 6"


def test_class_properties():
    assert ParseError.__bases__ == (ValueError,)
    assert ParseError.__name__ == ParseError.__qualname__ == "ParseError"
    assert ParseError.__module__ == "tarnel"
    assert ParseError.__doc__ == (
        "Raised where input is not an S-expression the parser accepts.\n\nCarries `offset`, the "
        "octet the offending construct begins at, and `kind`, a short name for what was wrong."
    )
    assert "offset" not in vars(ParseError) and "kind" not in vars(ParseError)


def test_instance_made_by_python_has_no_attributes():
    err = ParseError("x")
    with pytest.raises(AttributeError):
        err.offset
    with pytest.raises(AttributeError):
        err.kind
    assert err.args == ("x",)


def test_attributes_are_ordinary_and_mutable():
    with pytest.raises(ParseError) as info:
        _tarnel.parse(b"(")
    err = info.value
    assert vars(err) == {"offset": 1, "kind": "unexpected_end"}
    err.offset = 7
    del err.kind
    assert err.offset == 7 and not hasattr(err, "kind")


def test_each_raise_is_a_new_instance():
    errors = []
    for _ in range(2):
        try:
            _tarnel.parse(b")")
        except ParseError as e:
            errors.append(e)
    assert errors[0] is not errors[1]
    assert str(errors[0]) == str(errors[1])


def test_pickles_with_its_attributes():
    import pickle

    with pytest.raises(ParseError) as info:
        _tarnel.parse(b"(1:a")
    copy = pickle.loads(pickle.dumps(info.value))
    assert type(copy) is ParseError
    assert (str(copy), copy.offset, copy.kind) == (str(info.value), 4, "unexpected_end")
