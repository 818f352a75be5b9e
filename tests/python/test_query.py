"""find, find_all, match and Pattern on the values parse returns, and the command's --find.

find and find_all are held to a naive walk over random values; patterns made from random values by
putting variables in place of their parts must match them, compiled from the value or from its
text alike; refusals carry the offset of the offending octet in the pattern's text."""

import gc
import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tarnel
from conftest import assert_note
from tarnel import Atom, ParseError, Pattern, find, find_all, match

NAMES = [b"a", b"b", b"ab", b""]

atoms = st.one_of(
    st.sampled_from(NAMES),
    st.builds(Atom, st.sampled_from(NAMES), st.sampled_from(NAMES + [None])),
    st.sampled_from(["a", "b"]),
)
values = st.recursive(
    atoms,
    lambda inner: st.one_of(st.lists(inner, max_size=5), st.lists(inner, max_size=3).map(tuple)),
    max_leaves=40,
)


def naive_find_all(value, name):
    """Every list or tuple in document order whose first element is an unhinted atom `name`."""
    found, stack = [], [value]
    while stack:
        item = stack.pop()
        if not isinstance(item, (list, tuple)):
            continue
        head = item[0] if item else None
        if isinstance(head, Atom) and head.hint is None:
            head = head.data
        if isinstance(head, str):
            head = head.encode()
        if isinstance(head, bytes) and head == name:
            found.append(item)
        stack.extend(reversed(item))
    return found


@settings(max_examples=400, deadline=None)
@given(values, st.sampled_from(NAMES))
def test_find_agrees_with_a_naive_walk(value, name):
    expected = naive_find_all(value, name)
    got = list(find_all(value, name))
    assert len(got) == len(expected) and all(g is e for g, e in zip(got, expected))
    first = find(value, name.decode(), default=None)
    assert first is (expected[0] if expected else None)
    assert find(value, name, "absent") == (expected[0] if expected else "absent")


def test_find_on_parsed_values():
    value = tarnel.parse(b"(a (b 1:x) (c (b 1:y)) ([h]b z))")
    assert find(value, "b") == [b"b", b"x"]
    assert find(value, "b") is value[1]
    assert list(find_all(value, b"b")) == [[b"b", b"x"], [b"b", b"y"]]
    assert find(value, "a") is value and find(value, "x") is None
    assert list(find_all(b"b", "b")) == []


def test_find_refuses_what_is_not_an_s_expression():
    with pytest.raises(TypeError, match="expected bytes, str, or Atom, and got int") as err:
        find([b"a", [5]], "b")
    assert_note(err.value, "sexp")
    with pytest.raises(TypeError) as err:
        find([b"a"], 5)
    assert_note(err.value, "name")
    loop = [b"a"]
    loop.append(loop)
    with pytest.raises(ValueError, match="contains itself"):
        list(find_all(loop, "b"))
    # Deep values are walked with a heap stack; shared sublists are found wherever they stand.
    deep = [b"end"]
    for _ in range(100_000):
        deep = [b"a", deep]
    assert sum(1 for _ in find_all(deep, "a")) == 100_000
    assert find(deep, "end") == [b"end"]
    shared = [b"s"]
    assert list(find_all([b"r", shared, [shared]], "s")) == [shared, shared]


def test_found_and_bound_objects_are_held_not_leaked():
    value = tarnel.parse(b"(a (b x) (b y))")
    pattern = Pattern("(a (b :x) :all...)")
    objects = [*value, value[1][1], pattern]
    # Garbage of earlier tests that holds these objects (a traceback's cycle, say) is collected
    # first, so that a collection during the loop cannot move their counts.
    gc.collect()
    before = [sys.getrefcount(v) for v in objects]
    for _ in range(1000):
        found = list(find_all(value, "b"))
        bound = pattern.match(value)
        assert bound == {"x": b"x", "all": value[1:]} and bound["x"] is value[1][1]
        del found, bound
        find(value, "b")
        match("(a :_ (c :x))", value)
        loop = [b"a"]
        loop.append(loop)
        with pytest.raises(ValueError, match="contains itself"):
            match("(p :x :x)", [b"p", loop, loop])
        loop.clear()
    gc.collect()
    assert [sys.getrefcount(v) for v in objects] == before


KEY = "(private-key (ecc (curve Ed25519) (flags eddsa) (q #40AB#) (d #01#)))"


def test_match_the_examples_and_the_rules():
    key = tarnel.parse(KEY)
    assert match("(private-key (ecc (curve :curve) (q :q)))", key) == {
        "curve": b"Ed25519",
        "q": b"\x40\xab",
    }
    assert match("(a :x)", tarnel.parse("(a (b c))")) == {"x": [b"b", b"c"]}
    # The bound objects are the value's own; a rest is a new list of them.
    found = match("(private-key (:algo :all...))", key)
    assert found["algo"] is key[1][0] and found["all"] == key[1][1:]
    assert all(bound is part for bound, part in zip(found["all"], key[1][1:]))
    optional = Pattern("(k (ecc (curve :c) (::optional (flags :f...)) (q :q)))")
    assert optional.names == ("c", "f", "q")
    assert optional.match(tarnel.parse("(k (ecc (curve E) (q 1:1)))")) == {
        "c": b"E", "f": None, "q": b"1",
    }
    assert optional.match(tarnel.parse("(k (ecc (curve E) (flags a b) (q 1:1)))"))["f"] == [
        b"a", b"b",
    ]
    assert match("(p :x :x)", [b"p", [b"a"], (b"a",)]) == {"x": [b"a"]}  # tuples are lists
    assert match("(p :x :x)", [b"p", Atom(b"a", b"h"), b"a"]) is None
    assert match("(p [*]a)", [b"p", Atom(b"a", b"text/plain")]) == {}
    assert match("(p a)", [b"p", Atom(b"a", b"text/plain")]) is None
    assert match("(p (a :x) (b :x))", tarnel.parse("(p (b 1:1) (a 1:1))")) == {"x": b"1"}
    assert match("(a :x)", b"a") is None and match(":v", b"a") == {"v": b"a"}


def test_patterns_refuse_values_that_are_not_s_expressions():
    with pytest.raises(TypeError) as err:
        match("(a :x :y)", [b"a", b"b", 3.5])
    assert_note(err.value, "sexp")
    assert match("(a :x)", [b"b", 3.5]) is None  # decided before 3.5 is reached
    with pytest.raises(TypeError):
        Pattern([b"a", object()])


@pytest.mark.parametrize(
    "text, offset, kind",
    [
        ("(a (b :x) : c)", 10, "invalid_variable"),
        #          ^ a colon and no name
        ("(a (::maybe b))", 4, "unknown_keyword"),
        ("(a (::optional b) c)", 18, "misplaced_optional"),
        #                  ^ required after optional
        ("(a :r... b)", 3, "misplaced_rest"),
        ("(a (::optional b c))", 3, "invalid_optional"),
        ("(a :x\n  (b :x...))", 11, "rest_and_element"),
        #           ^ the second use
        ("(a (b", 5, "unexpected_end"),
        ("(a) b", 4, "trailing_octets"),
    ],
)
def test_malformed_patterns_raise_parse_error_at_the_offending_octet(text, offset, kind):
    for source in (text, text.encode(), bytearray(text.encode()), memoryview(text.encode())):
        with pytest.raises(ParseError) as err:
            Pattern(source)
        assert (err.value.offset, err.value.kind) == (offset, kind)
        assert str(err.value).endswith(f" at offset {offset}")
    with pytest.raises(ParseError):
        match(text, b"a")


# Patterns made from a value by putting variables, wildcards and rests in place of some of its
# parts: each must match the value it was made from. A sub-list kept with its first element is
# looked up rather than taken by position, so a wildcard before it keeps the positions in step.
@st.composite
def value_and_pattern(draw):
    counter = iter(range(1_000_000))

    def looked_up(pattern):
        head = pattern[0] if isinstance(pattern, list) and pattern else None
        return isinstance(head, (bytes, str, Atom)) and not (
            isinstance(head, bytes) and head.startswith(b":")
        )

    def blank_list(parts, keep_head):
        use_rest = bool(parts) and draw(st.integers(0, 5)) == 0
        out = []
        for i, part in enumerate(parts):
            if use_rest and i == len(parts) - 1 and not (keep_head and i == 0):
                out.append(b":r%d..." % next(counter))
                break
            blanked = part if keep_head and i == 0 else blank(part)
            if i > 0 and looked_up(blanked):
                out.append(b":_")
            out.append(blanked)
        return out

    def blank(item):
        roll = draw(st.integers(0, 9))
        if roll == 0:
            return b":_"
        if roll < 3:
            return b":v%d" % next(counter)
        if isinstance(item, (list, tuple)):
            return blank_list(list(item), keep_head=False)
        # A literal: hint-free atoms that begin with ':' would read as variables.
        if isinstance(item, Atom) and item.hint is not None and draw(st.booleans()):
            return Atom(item.data, b"*")
        return item

    # Wrapped in a list: a pattern that is bytes would be read as the pattern's text.
    value = [b"w", draw(values)]
    return value, blank_list(value, keep_head=True)


@settings(max_examples=300, deadline=None)
@given(value_and_pattern())
def test_a_pattern_made_from_a_value_matches_it_from_value_and_text_alike(case):
    value, pattern = case
    from_value = Pattern(pattern)
    bound = from_value.match(value)
    assert bound is not None, (tarnel.to_advanced(pattern), tarnel.to_advanced(value))
    assert list(bound) == list(from_value.names)
    assert Pattern(tarnel.to_advanced(pattern)).match(value) == bound
    assert Pattern(tarnel.to_canonical(pattern)).match(value) == bound


def test_malformed_value_patterns_count_offsets_in_the_canonical_form():
    pattern = [b"a", [b"b", b":x"], b":", b"c"]
    with pytest.raises(ParseError) as from_value:
        Pattern(pattern)
    with pytest.raises(ParseError) as from_text:
        Pattern(tarnel.to_canonical(pattern))
    assert from_value.value.offset == from_text.value.offset == 13
    assert from_value.value.kind == from_text.value.kind == "invalid_variable"


def test_command_find_writes_the_first_list_of_each_s_expression():
    def run(*args, data):
        return subprocess.run(
            [sys.executable, "-m", "tarnel", *args], input=data, capture_output=True, timeout=60
        )

    done = run("--find", "b", data=b"(a (b 1:x) (c (b 1:y)))(q (b 1:z))(r)")
    assert (done.returncode, done.stdout, done.stderr) == (0, b"(b x)\n(b z)\n", b"")
    done = run("--find", "b", "--to", "canonical", data=b"(a (b 1:x))(b)")
    assert done.stdout == b"(1:b1:x)(1:b)"
    done = run("--find", "b", "--to", "transport", data=b"(a (b 1:x))")
    assert done.stdout == tarnel.to_transport([b"b", b"x"]).encode() + b"\n"
    done = run("--find", "b", data=b"(a (b 1:x)")
    assert done.returncode == 1 and b"unexpected_end" in done.stderr
