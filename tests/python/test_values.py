"""Python values built from what was read: bytes, Atom and list at every level, fresh objects on
every call, and trees far deeper than the call stack could follow."""

import pytest

import _tarnel
from _tarnel import Atom, Parser

from conftest import run_python


def shape(value):
    """The value as nested tuples naming each object's exact type (walked without recursion)."""
    out = []
    stack = [(value, out)]
    while stack:
        item, into = stack.pop()
        if type(item) is list:
            children = []
            into.append(("list", children))
            stack.extend((child, children) for child in reversed(item))
        elif type(item) is Atom:
            into.append(("Atom", item.data, item.hint))
        else:
            into.append((type(item).__name__, item))
    return out[0]


@pytest.mark.parametrize(
    "data,expected",
    [
        (b"3:abc", ("bytes", b"abc")),
        (b"0:", ("bytes", b"")),
        (b"[10:text/plain]3:abc", ("Atom", b"abc", b"text/plain")),
        (b"[0:]3:abc", ("Atom", b"abc", b"")),
        (b'[""]x', ("Atom", b"x", b"")),
        (b"[0:]0:", ("Atom", b"", b"")),
        (b"()", ("list", [])),
        (
            b"(1:a(1:b[1:h]1:c)())",
            ("list", [("bytes", b"a"), ("list", [("bytes", b"b"), ("Atom", b"c", b"h")]), ("list", [])]),
        ),
        (
            b"((([1:h]1:a)))",
            ("list", [("list", [("list", [("Atom", b"a", b"h")])])]),
        ),
        (b"{KDE6YSk=}", ("list", [("bytes", b"a")])),
    ],
)
def test_types_at_every_level(data, expected):
    assert shape(_tarnel.parse(data)) == expected


def test_every_call_builds_fresh_objects():
    data = b"(1:a(1:b)[1:h]1:c)"
    first, second = _tarnel.parse(data), _tarnel.parse(data)
    assert first == second
    assert first is not second and first[1] is not second[1] and first[2] is not second[2]
    first[1].append(b"changed")
    assert _tarnel.parse(data) == second


def nested(depth):
    return b"(" * depth + b")" * depth


def depth_of(value):
    depth = 0
    while type(value) is list:
        depth += 1
        value = value[0] if value else None
    return depth


def test_deep_tree_converts():
    value = Parser(max_depth=200000).parse(nested(100000))
    assert depth_of(value) == 100000
    value, consumed = Parser(max_depth=100000).parse_prefix(nested(100000) + b"tail")
    assert (depth_of(value), consumed) == (100000, 200000)
    with pytest.raises(_tarnel.ParseError) as info:
        Parser(max_depth=99999).parse(nested(100000))
    assert (info.value.kind, info.value.offset) == ("too_deep", 99999)


def test_deep_tree_needs_no_call_stack():
    # A thread with a small stack: reading, converting and writing must not recurse.
    code = r"""
import sys, threading
import _tarnel
from _tarnel import Parser
result = []
def work():
    depth = 100000
    data = b"(" * depth + b"[1:h]1:x" + b")" * depth
    value = Parser(max_depth=depth).parse(data)
    inner = value
    for _ in range(depth - 1):
        inner = inner[0]
    result.append(repr(inner))
    # The writers refuse it by their own limit, without recursing either.
    try:
        _tarnel.to_canonical(value)
    except ValueError as e:
        result.append(str(e))
    try:
        _tarnel.parse(data)
    except _tarnel.ParseError as e:
        result.append(e.kind)
    # Release the tree iteratively before leaving the small stack.
    while value:
        value = value.pop()
threading.stack_size(256 * 1024)
t = threading.Thread(target=work)
t.start()
t.join()
print(result)
"""
    out = run_python(code)
    assert eval(out) == ['[Atom(b"x", hint=b"h")]', "lists nested deeper than 1024", "too_deep"]
