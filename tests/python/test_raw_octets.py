"""Raw octets in quoted strings: off by default everywhere, and where asked for (`parse_raw`,
`iter_parse`, `load`, the command's `--raw-octets`) the octets 0x80-0xFF inside quotes stand for
themselves with every other rule unchanged; what is written stays standard."""

import io
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tarnel
from tarnel import ParseError, Parser, iter_parse, load, parse_raw, to_advanced, to_canonical

# Octets that stand for themselves between the quotes once raw octets are allowed.
PLAIN = bytes(c for c in range(0x20, 0x7F) if c not in b'"\\') + bytes(range(0x80, 0x100))
quoted_bodies = st.lists(st.sampled_from(PLAIN), max_size=10).map(bytes)


@st.composite
def raw_streams(draw):
    """S-expressions holding quoted strings with raw octets, as libgcrypt writes them, one after
    another, and the values they stand for."""
    bodies = draw(st.lists(quoted_bodies, min_size=1, max_size=4))
    text = b" ".join(b'(salt "' + body + b'" #00#)' for body in bodies)
    return text, [[b"salt", body, b"\x00"] for body in bodies]


def first_raw(text):
    return next((i for i, c in enumerate(text) if c >= 0x80), None)


@settings(max_examples=200, suppress_health_check=[HealthCheck.too_slow])
@given(raw_streams(), st.lists(st.integers(0, 200), max_size=6))
def test_raw_octets_read_alike_everywhere_and_are_refused_without_the_mode(stream, cuts):
    text, values = stream
    points = sorted({c % (len(text) + 1) for c in cuts})
    chunks = [text[a:b] for a, b in zip([0] + points, points + [len(text)])]
    assert list(iter_parse(iter(chunks), raw_octets=True)) == values
    assert list(iter_parse(text, raw_octets=True)) == values
    first = text.split(b" (")[0]
    assert parse_raw(first) == values[0]
    assert load(io.BytesIO(first), raw_octets=True) == values[0]
    bad = first_raw(text)
    if bad is None:
        assert list(iter_parse(iter(chunks))) == values
        return
    with pytest.raises(ParseError) as err:
        list(iter_parse(iter(chunks)))
    assert (err.value.kind, err.value.offset) == ("unexpected_octet", bad)
    if first_raw(first) is not None:
        for read in (tarnel.parse, Parser().parse, lambda d: load(io.BytesIO(d))):
            with pytest.raises(ParseError) as err:
                read(first)
            assert (err.value.kind, err.value.offset) == ("unexpected_octet", first_raw(first))
    # What is written stays standard: ASCII that reads back without the mode.
    for value in values:
        advanced = to_advanced(value)
        assert advanced.isascii() and tarnel.parse(advanced) == value


@pytest.mark.parametrize(
    "data, parser, kind, offset",
    [
        (b'("\xf2\x7f")', None, "unexpected_octet", 3),  # DEL is still refused
        (b'("\xf2\x01")', None, "unexpected_octet", 3),
        (b'("\xf2\\q")', None, "invalid_escape", 3),
        (b'(\xf2)', None, "unexpected_octet", 1),  # only inside quotes
        (b'("\xf2\xd1")', Parser(max_atom_len=1), "atom_too_long", 1),
        (b'(3"\xf2\xd1")', None, "length_mismatch", 1),
        (b'("\xf2")', Parser(canonical=True), "advanced_not_allowed", 1),
    ],
)
def test_every_other_rule_holds_with_raw_octets(data, parser, kind, offset):
    with pytest.raises(ParseError) as err:
        parse_raw(data, parser)
    assert (err.value.kind, err.value.offset) == (kind, offset)
    with pytest.raises(ParseError) as err:
        list(iter_parse(data, parser, raw_octets=True))
    assert (err.value.kind, err.value.offset) == (kind, offset)


def test_the_command_reads_raw_octets_only_when_asked(tmp_path):
    path = tmp_path / "salted.sexp"
    path.write_bytes(b'(salt "VZ4\xf2\xd1-JT")\n(count "1024")\n')
    run = [sys.executable, "-m", "tarnel"]
    done = subprocess.run([*run, "--raw-octets", "--to", "canonical", path], capture_output=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout == to_canonical([b"salt", b"VZ4\xf2\xd1-JT"]) + b"(5:count4:1024)"
    done = subprocess.run([*run, "--raw-octets", path], capture_output=True)
    assert done.stdout == b'(salt #565a34f2d12d4a54#)\n(count "1024")\n'
    done = subprocess.run([*run, path], capture_output=True)
    assert done.returncode == 1 and done.stdout == b""
    assert f"{path}: offset 10: unexpected_octet".encode() in done.stderr
