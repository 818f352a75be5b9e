"""Streams, files and the indented layout: `iter_parse`, `load`, `dump` and `to_pretty`.

The stream tests cut the same octets into chunks at random places and expect what a whole-input
read gives: the same S-expressions, or the same refusal at the same stream offset.
"""

import array
import io
import mmap
import os
import pickle
import queue
import socket
import sys
import threading
import time

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _tarnel
import tarnel
from tarnel import Atom, ParseError, Parser, iter_parse, to_canonical

from conftest import SELECT_ON_PIPES, assert_note

WHITESPACE = b"\t\n\v\f\r "
TOKEN_OCTETS = set(b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789*+-./:=_")

octets = st.one_of(
    st.binary(max_size=6),
    st.sampled_from([b"abc", b"a b", b'\\"', b"-", b"x3:y", b"3:abc", b"\x00\xff", b"#|{"]),
)
atoms = octets | st.builds(Atom, octets, octets)
sexps = st.recursive(atoms, lambda inner: st.lists(inner, max_size=4), max_leaves=12)
forms = st.sampled_from(["canonical", "transport", "advanced", "pretty"])


def written(value, form):
    if form == "canonical":
        return to_canonical(value)
    if form == "pretty":
        return tarnel.to_pretty(value, width=12).encode("ascii")
    return {"transport": tarnel.to_transport, "advanced": tarnel.to_advanced}[form](value).encode()


@st.composite
def streams(draw):
    """Several S-expressions, each in some representation, with whitespace or nothing between
    them (nothing only where the octets before cannot run on into the next)."""
    values = draw(st.lists(sexps, max_size=5))
    data = bytearray(draw(st.binary(max_size=2).map(lambda b: bytes(WHITESPACE[x % 6] for x in b))))
    for value in values:
        data += written(value, draw(forms))
        gap = bytes(WHITESPACE[x % 6] for x in draw(st.binary(max_size=2)))
        if not gap and data[-1] in TOKEN_OCTETS:
            gap = b" "
        data += gap
    return values, bytes(data)


def cut(data, cuts):
    """`data` split at the given positions (taken modulo its length), empty pieces included."""
    points = sorted({c % (len(data) + 1) for c in cuts})
    return [data[a:b] for a, b in zip([0] + points, points + [len(data)])]


def canon(values):
    return [to_canonical(v) for v in values]


@settings(max_examples=150, suppress_health_check=[HealthCheck.too_slow])
@given(streams(), st.lists(st.integers(0, 10_000), max_size=30))
def test_any_chunking_gives_the_values_written(stream, cuts):
    values, data = stream
    assert canon(iter_parse(cut(data, cuts))) == canon(values)


@settings(max_examples=60)
@given(streams(), st.integers(1, 7))
def test_files_read_in_small_chunks_give_the_values_written(stream, chunk_size):
    values, data = stream
    got = list(iter_parse(io.BufferedReader(io.BytesIO(data)), chunk_size=chunk_size))
    assert canon(got) == canon(values)


def whole_stream(data, parser):
    """The reference: the whole input at hand, each S-expression read with parse_prefix."""
    pos, out = 0, []
    while True:
        while pos < len(data) and data[pos] in WHITESPACE:
            pos += 1
        if pos == len(data):
            return out, None
        try:
            value, used = parser.parse_prefix(data[pos:])
        except ParseError as err:
            return out, (err.kind, pos + err.offset)
        out.append(value)
        pos += used


def run(stream):
    """What a stream gives: the S-expressions read, and the refusal that stopped it, if any."""
    got = []
    try:
        for value in stream:
            got.append(value)
    except ParseError as err:
        assert str(err).endswith(f" at offset {err.offset}")
        return got, (err.kind, err.offset)
    return got, None


FAULTS = [b"(1:a", b'("a\\q")', b"#6#", b")", b"(1:a]", b"3:ab", b"{K!k=}", b"[1:h](", b"|Y|"]
FAULTS += [b'"abc', b"01:a", b"(1:a 2:b)", b"[", b"12", b"{KCk="]


@settings(max_examples=150)
@given(streams(), st.sampled_from(FAULTS), st.binary(max_size=8), st.lists(st.integers(0, 999)))
def test_faults_are_found_at_the_same_stream_offset_whatever_the_chunking(stream, bad, tail, cuts):
    _, good = stream
    data = good + b" " + bad + tail
    values, error = run(iter_parse(cut(data, cuts)))
    expected_values, expected_error = whole_stream(data, Parser())
    assert error == expected_error
    assert canon(values) == canon(expected_values)


@pytest.mark.parametrize(
    "data, limit, expected",
    [
        # Each S-expression may fill the limit; the stream as a whole may be longer.
        (b"(1:a)(1:b) (1:c)", 5, [[b"a"], [b"b"], [b"c"]]),
        (b"3:abc def 3:xyz", 5, [b"abc", b"def", b"xyz"]),
        (b"3:abcdef", 5, [b"abc", b"def"]),  # a verbatim string ends where its length says
        (b"abc", 3, [b"abc"]),
        (b"abc(", 3, ParseError("unexpected_end", 4)),  # the `(` starts a 2nd S-expression
        (b"abcd", 3, ParseError("input_too_long", 3)),  # a token that goes on past the limit
        (b"ab abcd", 3, ParseError("input_too_long", 6)),
        (b"(1:a)(1:bc)", 5, ParseError("input_too_long", 10)),
        (b"  (1:a)", 5, [[b"a"]]),  # whitespace between S-expressions does not count
        (b"(1:a)", 0, ParseError("input_too_long", 0)),
    ],
)
@pytest.mark.parametrize("chunk", [1, 2, 3, 1000])
def test_input_limit_applies_to_each_expression(data, limit, expected, chunk):
    parser = Parser(max_input_len=limit)
    chunks = [data[i : i + chunk] for i in range(0, len(data), chunk)]
    if isinstance(expected, list):
        assert list(iter_parse(chunks, parser)) == expected
    else:
        with pytest.raises(ParseError) as info:
            list(iter_parse(chunks, parser))
        kind, offset = expected.args
        assert (info.value.kind, info.value.offset) == (kind, offset)


def test_input_limit_quirk_fixed_by_the_token_rule():
    # "abc" fills a limit of 3 and is followed by a token octet only after a space; accepted.
    assert list(iter_parse([b"ab", b"c", b" d"], Parser(max_input_len=3))) == [b"abc", b"d"]


@pytest.mark.parametrize(
    "options, data, kind",
    [
        ({"max_depth": 2}, b"(()) ((()))", "too_deep"),
        ({"max_atom_len": 3}, b"3:abc 4:abcd", "atom_too_long"),
        ({"canonical": True}, b"(1:a)abc", "advanced_not_allowed"),
    ],
)
def test_other_limits_apply_to_each_expression(options, data, kind):
    with pytest.raises(ParseError) as info:
        list(iter_parse([data[i : i + 1] for i in range(len(data))], Parser(**options)))
    assert info.value.kind == kind


def test_socket_yields_each_expression_as_soon_as_it_is_complete():
    left, right = socket.socketpair()
    results = queue.Queue()

    def consume():
        with right.makefile("rb") as fp:
            try:
                for value in iter_parse(fp):
                    results.put(value)
            except Exception as err:  # handed to the test thread to fail there
                results.put(err)
        results.put(None)

    thread = threading.Thread(target=consume, daemon=True)
    thread.start()
    try:
        # Complete S-expressions come out while the sender still holds the connection open;
        # one of them arrives in two pieces, split inside a length.
        for pieces, expected in [
            ([b"(1:a)"], [b"a"]),
            ([b"(1", b"0:0123456789)"], [b"0123456789"]),
            ([b' [4:text]"x\\', b'"y" '], Atom(b'x"y', b"text")),
        ]:
            for piece in pieces:
                left.sendall(piece)
            assert results.get(timeout=10) == expected
        left.sendall(b"abc")  # a token may go on: only the end of the stream settles it
        with pytest.raises(queue.Empty):
            results.get(timeout=0.2)
    finally:
        left.close()
    assert results.get(timeout=10) == b"abc"
    assert results.get(timeout=10) is None
    thread.join(10)


def test_an_expression_trickling_in_is_yielded_once_its_last_piece_is_in():
    # Hundreds of small pieces spend the retry budget; after the last one the source would block
    # (the sender waits for an answer), so asking it for more is a failure.
    value = [[b"n%d" % i, b"x" * (i % 7), b"(q)"] for i in range(300)]
    for data in (tarnel.to_advanced(value).encode(), to_canonical(value)):

        def pieces(data=data):
            for i in range(0, len(data), 3):
                yield data[i : i + 3]
            raise AssertionError("asked for more after the last piece: a real source would block")

        assert next(iter_parse(pieces())) == value


@pytest.mark.parametrize(
    "bad, kind",
    [(b"9" * 5000 + b":", "length_overflow"), (b"18446744073709551616:", "length_overflow"),
     (b"01:a", "length_leading_zero"), (b'"\\q"', "invalid_escape"), (b"#6x", "invalid_hex_digit")],
)
def test_a_refusal_trickling_in_is_raised_without_waiting_for_more(bad, kind):
    # The retry budget is spent on the valid start; the refusal must still come from the octets
    # at hand, since the source would block if asked for more.
    data = b"(" + b"(1:a)" * 300 + bad

    def pieces():
        for i in range(0, len(data), 2):
            yield data[i : i + 2]
        raise AssertionError("asked for more after the last piece: a real source would block")

    with pytest.raises(ParseError) as info:
        next(iter_parse(pieces()))
    assert info.value.kind == kind


def test_socket_trickle_then_wait_yields_the_expression():
    left, right = socket.socketpair()
    results = queue.Queue()

    def consume():
        with right.makefile("rb") as fp:
            results.put(next(iter_parse(fp)))

    thread = threading.Thread(target=consume, daemon=True)
    thread.start()
    try:
        lines = [b"(begin\n"] + [b"  (line n%d %s)\n" % (i, b"x" * i) for i in range(60)]
        for line in lines + [b")\n"]:
            left.sendall(line)
            time.sleep(0.001)
        # The sender keeps the connection open and waits for an answer.
        assert results.get(timeout=10)[-1] == [b"line", b"n59", b"x" * 59]
    finally:
        left.close()
    thread.join(10)


def never_more(data, size):
    """`data` in pieces of `size`; asking for a piece after the last fails the test, as a real
    source whose sender then waits for an answer would block."""
    for i in range(0, len(data), size):
        yield data[i : i + size]
    raise AssertionError("asked for more after the last piece: a real source would block")


@pytest.mark.parametrize(
    "tail, options",
    [(b"]", {}), (b"[1:h](", {}), (b"[(", {}), (b"{YQ==}", {}), (b"[1:a][", {}),
     (b"[1:h]]", {}), (b"(((((", {"max_depth": 4}), (b"abc", {"canonical": True})],
)
def test_a_refusal_trickling_in_after_many_pieces_is_raised_where_reading_whole_finds_it(
    tail, options
):
    parser = Parser(**options)
    data = b"(" + b"(1:a)" * 300 + tail
    with pytest.raises(ParseError) as whole:
        parser.parse_prefix(data)
    with pytest.raises(ParseError) as streamed:
        next(iter_parse(never_more(data, 2), parser))
    assert (streamed.value.kind, streamed.value.offset) == (whole.value.kind, whole.value.offset)


def test_socket_peers_that_wait_for_replies_get_each_expression_when_it_is_in():
    # A second S-expression already in the buffer, a reader asking one octet at a time (every
    # read comes back full), and a first message of exactly two default chunks.
    big = b"(131063:" + b"x" * 131063 + b")"
    assert len(big) == 131_072
    for sent, chunk_size, expected in [
        ([b"(1:a)(100:" + b"y" * 100 + b")"], 65536, [[b"a"], [b"y" * 100]]),
        ([b"(5:hello)"], 1, [[b"hello"]]),
        ([big], 65536, [[b"x" * 131063]]),
    ]:
        left, right = socket.socketpair()
        results = queue.Queue()

        def consume(right=right, chunk_size=chunk_size):
            with right.makefile("rb") as fp:
                for value in iter_parse(fp, chunk_size=chunk_size):
                    results.put(value)

        thread = threading.Thread(target=consume, daemon=True)
        thread.start()
        try:
            for piece in sent:
                left.sendall(piece)
            for value in expected:  # while the peer still holds the connection open
                assert results.get(timeout=10) == value
        finally:
            left.close()
        thread.join(10)


@pytest.mark.skipif(not SELECT_ON_PIPES, reason="non-blocking pipes are waited for with select()")
def test_a_non_blocking_source_is_waited_for_not_taken_for_the_end():
    read_end, write_end = os.pipe()
    os.set_blocking(read_end, False)

    def writer():
        os.write(write_end, b"(a)")
        time.sleep(0.3)
        os.write(write_end, b"(b)")
        os.close(write_end)

    thread = threading.Thread(target=writer, daemon=True)
    thread.start()
    with os.fdopen(read_end, "rb") as fp:
        assert list(iter_parse(fp)) == [[b"a"], [b"b"]]
    thread.join(10)


def test_buffers_are_read_in_place_as_their_octets(tmp_path):
    data = b"(1:a) [h]x" * 1000
    expected = list(iter_parse(data))
    assert len(expected) == 2000
    path = tmp_path / "stream"
    path.write_bytes(data)
    with open(path, "rb") as fp, mmap.mmap(fp.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        for source in (bytearray(data), memoryview(data), memoryview(b"." + data)[1:],
                       memoryview(bytes(b for pair in zip(data, data) for b in pair))[::2],
                       array.array("B", data), mapped):
            assert list(iter_parse(source)) == expected
    # Held while it is read: the bytearray cannot change under the reader; given back at the end.
    # 3.10 has no buffer protocol in its stable ABI, so there the reader works on a copy, which a
    # change to the bytearray does not reach.
    held = bytearray(data)
    stream = iter_parse(held)
    next(stream)
    if sys.version_info >= (3, 11):
        with pytest.raises(BufferError):
            held.extend(b" (1:b)")
    else:
        held.extend(b" (1:b)")
    assert len(list(stream)) == 1999
    held.extend(b" (1:b)")


class ReadGives(io.RawIOBase):
    """A file whose read() gives what it is told to, then the end."""

    def __init__(self, piece):
        self.pieces = [piece]

    def readable(self):
        return True

    def read(self, size=-1):
        return self.pieces.pop() if self.pieces else b""


@pytest.mark.parametrize(
    "source, message",
    [
        (io.StringIO("(1:a)"), "binary source"),
        (5, "expected a binary file or an iterable of bytes, and got int"),
        (["(1:a)"], "chunks must be bytes or another buffer of octets, not 'str'"),
        ([b"3:", 3], "chunks must be bytes or another buffer of octets, not 'int'"),
        (iter([40, 41]), "chunks must be bytes or another buffer of octets, not 'int'"),
        ([b"(", 0, b")"], "chunks must be bytes or another buffer of octets, not 'int'"),
        (ReadGives(3), r"read\(\) must be bytes or another buffer of octets, not 'int'"),
        (ReadGives("(a)"), "binary source"),
    ],
    ids=["text-file", "int", "str-chunk", "int-chunk", "ints", "zero", "read-int", "read-str"],
)
def test_sources_that_are_not_binary_are_refused(source, message):
    with pytest.raises(TypeError, match=message):
        list(iter_parse(source))


def test_chunks_with_the_buffer_protocol_are_read_as_their_octets():
    chunks = [bytearray(b"(3:a"), memoryview(b"bc)"), array.array("B", b"1:a "), mmap_of(b"(1:z)")]
    assert list(iter_parse(chunks)) == [[b"abc"], b"a", [b"z"]]
    wide = array.array("H", [0x6161, 0x2020])  # the octets "aa  ", not two numbers
    assert list(iter_parse([wide])) == [b"aa"]


def mmap_of(data):
    held = mmap.mmap(-1, len(data))
    held.write(data)
    return held


def test_a_bytes_object_is_one_chunk():
    assert list(iter_parse(b"(1:a) b")) == [[b"a"], b"b"]
    assert list(iter_parse(b" \n ")) == []


# Reader.convert: what is raised when a refusal and the writer meet ------------------------------


def convert_with(write, data):
    from tarnel._streaming import Reader

    Reader(Parser(), data=data, form="canonical").convert(write, b"\n")


def test_convert_writes_what_was_read_before_a_refusal_then_raises_it():
    out = []
    with pytest.raises(ParseError) as info:
        convert_with(lambda view: out.append(bytes(view)), b"(1:a) (1:b) (1:c")
    assert b"".join(out) == b"(1:a)\n(1:b)\n"
    err = info.value
    assert type(err) is _tarnel.ParseError
    assert (err.kind, err.offset) == ("unexpected_end", 16)
    assert str(err) == "the input ended in the middle of an S-expression at offset 16"


class WriteFailed(Exception):
    pass


def writer(failure=None, kept=None):
    """A writer that keeps an export of each view it is lent (where `kept` is a list), so that
    the view cannot be released, and then raises `failure` (where given)."""

    def write(view):
        if kept is not None:
            kept.append(pickle.PickleBuffer(view))
        if failure is not None:
            raise failure

    return write


@pytest.mark.parametrize("keeps", [False, True], ids=["lets-go", "keeps"])
@pytest.mark.parametrize("data", [b"(1:a)", b"(1:a) ("], ids=["whole", "then-refused"])
def test_a_failing_writer_is_what_convert_raises(data, keeps):
    failure, kept = WriteFailed("disk full"), []
    with pytest.raises(WriteFailed) as info:
        convert_with(writer(failure, kept if keeps else None), data)
    assert info.value is failure
    if keeps:
        assert bytes(kept[0].raw()) == b"(1:a)\n"


@pytest.mark.parametrize("data", [b"(1:a)", b"(1:a) ("], ids=["whole", "then-refused"])
def test_a_writer_that_keeps_the_view_is_told_so_and_keeps_its_octets(data):
    kept = []
    with pytest.raises(BufferError):
        convert_with(writer(kept=kept), data)
    assert bytes(kept[0].raw()) == b"(1:a)\n"


# load and dump ----------------------------------------------------------------------------------


@pytest.mark.parametrize("form", ["canonical", "transport", "advanced"])
@pytest.mark.parametrize("binary", [True, False], ids=["binary", "text"])
@given(value=sexps)
def test_dump_then_load_gives_the_value_back(form, binary, value):
    if form == "canonical" and not binary:
        return  # refused; see below
    fp = io.BytesIO() if binary else io.StringIO()
    tarnel.dump(value, fp, form)
    fp.seek(0)
    assert to_canonical(tarnel.load(fp)) == to_canonical(value)


@pytest.mark.parametrize(
    "value, fp, form, error",
    [
        ([b"a"], io.StringIO(), "canonical", TypeError),
        ([b"a"], io.BytesIO(), "pretty", ValueError),
        ([b"a", 5], io.BytesIO(), "canonical", TypeError),
        ([b"a", 5], io.StringIO(), "advanced", TypeError),
    ],
)
def test_dump_refuses_without_writing(value, fp, form, error):
    with pytest.raises(error):
        tarnel.dump(value, fp, form)
    assert fp.getvalue() in (b"", "")


def test_dump_writes_to_real_files_in_both_modes(tmp_path):
    value = [b"key", Atom(b"\x00\x01", b"bin")]
    with open(tmp_path / "b", "wb") as fp:
        tarnel.dump(value, fp, "advanced")
    with open(tmp_path / "t", "w", encoding="ascii") as fp:
        tarnel.dump(value, fp, "advanced")
    assert (tmp_path / "b").read_bytes() == (tmp_path / "t").read_bytes() == b"(key [bin]#0001#)"


BIG = [b"big", bytes(range(256)) * 4096]  # a megabyte in the canonical form


class TakesPart(io.RawIOBase):
    """A raw file that takes at most 100 octets a write, and on every other call none (None, as a
    non-blocking one with no room answers), with no descriptor to wait on."""

    def __init__(self):
        self.data, self.calls = bytearray(), 0

    def writable(self):
        return True

    def write(self, b):
        self.calls += 1
        if self.calls % 2 == 0:
            return None
        self.data += bytes(b[:100])
        return min(len(b), 100)

    def fileno(self):
        raise io.UnsupportedOperation("no descriptor")


def drain(source, into, pause=0.0):
    """Reads a descriptor or socket to its end in a thread, slowly if asked, so that writes to it
    must wait for room."""
    read = source.recv if hasattr(source, "recv") else lambda n: os.read(source, n)

    def run():
        while True:
            time.sleep(pause)
            piece = read(1 << 16)
            if not piece:
                return
            into.extend(piece)

    thread = threading.Thread(target=run)
    thread.start()
    return thread


def test_dump_writes_everything_to_files_that_take_part_of_it():
    expected = to_canonical(BIG)
    # A non-blocking pipe, raw and buffered: each is waited for when full (with select(), which
    # takes pipes outside Windows).
    for buffering in (0, -1) if SELECT_ON_PIPES else ():
        read_end, write_end = os.pipe()
        os.set_blocking(write_end, False)
        got = bytearray()
        thread = drain(read_end, got, pause=0.001)
        with open(write_end, "wb", buffering=buffering) as fp:
            tarnel.dump(BIG, fp)
        thread.join()
        os.close(read_end)
        assert got == expected, buffering
    # A socket file with a timeout, which takes what the socket has room for.
    left, right = socket.socketpair()
    with left, right:
        left.settimeout(10)
        got = bytearray()
        thread = drain(right, got)
        with left.makefile("wb", buffering=0) as fp:
            tarnel.dump(BIG, fp)
        left.shutdown(socket.SHUT_WR)
        thread.join()
        assert got == expected


def test_dump_raises_when_not_everything_can_be_written():
    part = TakesPart()
    with pytest.raises(BlockingIOError) as info:
        tarnel.dump(BIG, part)
    assert info.value.characters_written == len(part.data) == 100
    left, right = socket.socketpair()
    with left, right:
        left.settimeout(0.2)  # and nobody reads
        with pytest.raises(TimeoutError), left.makefile("wb", buffering=0) as fp:
            tarnel.dump(BIG, fp)


def test_load_reads_the_whole_file_with_the_parser_given():
    assert tarnel.load(io.BytesIO(b" (a b) \n")) == [b"a", b"b"]
    with pytest.raises(ParseError) as info:
        tarnel.load(io.BytesIO(b"(a)(b)"))
    assert (info.value.kind, info.value.offset) == ("trailing_octets", 3)
    with pytest.raises(ParseError) as info:
        tarnel.load(io.BytesIO(b"(a)"), Parser(canonical=True))
    assert (info.value.kind, info.value.offset) == ("advanced_not_allowed", 1)


# to_pretty --------------------------------------------------------------------------------------


@settings(max_examples=300)
@given(sexps, st.integers(1, 40), st.integers(0, 4))
def test_pretty_reads_back_to_the_same_value(value, width, indent):
    text = tarnel.to_pretty(value, width=width, indent=indent)
    assert to_canonical(tarnel.parse(text)) == to_canonical(value)


@settings(max_examples=200)
@given(sexps, st.integers(8, 40))
def test_pretty_lines_fit_unless_one_element_is_too_wide(value, width):
    text = tarnel.to_pretty(value, width=width)
    for line in text.split("\n"):
        if len(line) > width:
            # Only a line holding a single atom (with its list's opening and closers) overflows.
            core = line.strip().lstrip("(").rstrip(")")
            assert core == "" or not isinstance(tarnel.parse(core), list), line


def test_pretty_layout():
    value = tarnel.parse(b'(public-key (rsa (n #00c5a1aa33bb44#) (e #010001#)) (note "a b") ())')
    assert tarnel.to_pretty(value, width=30) == (
        "(public-key\n"
        "  (rsa\n"
        "    (n #00c5a1aa33bb44#)\n"
        "    (e #010001#))\n"
        '  (note "a b")\n'
        "  ())"
    )
    assert tarnel.to_pretty(value, width=30, indent=1).startswith("(public-key\n (rsa\n  (n")
    assert tarnel.to_pretty(value, width=200) == tarnel.to_advanced(value)
    assert tarnel.to_pretty([]) == "()"
    assert tarnel.to_pretty(b"abc") == "abc"


def nested(depth, inner=b"x"):
    value = inner
    for _ in range(depth):
        value = [value, b"x"]
    return value


def test_pretty_nests_as_deep_as_to_advanced_and_no_deeper():
    deepest = nested(1024)
    text = tarnel.to_pretty(deepest, width=20)
    assert text.count("\n") == 1024
    assert max(len(line) for line in text.split("\n")[1:]) <= 20 // 2 + 2  # indentation stops
    assert tarnel.to_pretty(tarnel.parse(text), width=20) == text  # parse reads it back
    shared = nested(1000)
    for too_deep in (nested(1025), [b"a", nested(1024, [b"b"])], [shared, nested(24, shared)]):
        with pytest.raises(ValueError) as by_advanced:
            tarnel.to_advanced(too_deep)
        with pytest.raises(ValueError) as by_pretty:
            tarnel.to_pretty(too_deep)
        assert str(by_pretty.value) == str(by_advanced.value) == "lists nested deeper than 1024"
    tarnel.to_pretty([shared, nested(23, shared)])  # one list less: within the limit


@pytest.mark.parametrize(
    "keywords, error, message",
    [
        ({"width": True}, TypeError, "width must be an integer, not bool"),
        ({"width": 72.0}, TypeError, "'float' object cannot be interpreted as an integer"),
        ({"indent": 2.0}, TypeError, "'float' object cannot be interpreted as an integer"),
        ({"indent": False}, TypeError, "indent must be an integer, not bool"),
        ({"width": "72"}, TypeError, "'str' object cannot be interpreted as an integer"),
        ({"width": 0}, ValueError, "width must be at least 1, not 0"),
        ({"indent": -1}, ValueError, "indent must be at least 0, not -1"),
    ],
)
def test_pretty_refuses_widths_and_indents_that_are_not_whole_numbers_in_range(
    keywords, error, message
):
    for value in (b"short", [b"a" * 100, [b"b" * 100]]):  # whether or not a line must break
        with pytest.raises(error) as info:
            tarnel.to_pretty(value, **keywords)
        assert str(info.value) == message
        assert_note(info.value, next(iter(keywords)))


@pytest.mark.parametrize("make", [lambda l: l.append(l), lambda l: l.append([[l]])])
def test_pretty_refuses_a_list_that_contains_itself(make):
    value = [b"a"]
    make(value)
    with pytest.raises(ValueError, match="contains itself"):
        tarnel.to_pretty(value)


def test_pretty_refuses_what_cannot_be_written():
    with pytest.raises(TypeError, match="got int"):
        tarnel.to_pretty([b"a", 5])


# Descriptors select() cannot wait on, and files that are not all there yet ----------------------


@pytest.fixture
def beyond_select():
    """Moves a socket to a descriptor numbered 1024 or above, which select() refuses to wait on,
    raising the limit of open files for the test where it allows no more."""
    resource = pytest.importorskip("resource")
    fcntl = pytest.importorskip("fcntl")
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < 1100:
        if hard != resource.RLIM_INFINITY and hard < 1100:
            pytest.skip("no more than 1100 descriptors may be open")
        resource.setrlimit(resource.RLIMIT_NOFILE, (1100, hard))
    moved = []

    def move(sock):
        high = socket.socket(fileno=fcntl.fcntl(sock.fileno(), fcntl.F_DUPFD_CLOEXEC, 1024))
        sock.close()
        moved.append(high)
        return high

    yield move
    for sock in moved:
        sock.close()
    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


def test_sockets_numbered_beyond_select_are_read_and_written_to_the_end(beyond_select):
    values = [[b"a", bytes(range(256))], b"b", [[b"c"]] * 5000, BIG]
    data = b" ".join(to_canonical(v) for v in values)
    near, far = socket.socketpair()
    far = beyond_select(far)
    assert far.fileno() >= 1024
    # Read: a timeout makes the socket non-blocking underneath, so its end is waited for.
    far.settimeout(30)
    sender = threading.Thread(target=lambda: (near.sendall(data), near.shutdown(socket.SHUT_WR)))
    sender.start()
    with far.makefile("rb") as fp:
        assert canon(iter_parse(fp)) == canon(values)
    sender.join()
    # Written: non-blocking, to a peer that reads slowly, so that the socket is full at times.
    far.setblocking(False)
    got = bytearray()
    reader = drain(near, got, pause=0.001)
    with far.makefile("wb", buffering=0) as fp:
        tarnel.dump(values, fp)
    far.shutdown(socket.SHUT_WR)
    reader.join()
    near.close()
    assert bytes(got) == to_canonical(values)


KEY_FILE = os.path.join(os.path.dirname(__file__), "..", "data", "gnupg", "extended-raw-iv.key")


@pytest.mark.skipif(not SELECT_ON_PIPES, reason="non-blocking pipes are waited for with select()")
@pytest.mark.parametrize("buffering", [0, -1], ids=["raw", "buffered"])
@pytest.mark.parametrize("read", ["load", "read_key"])
def test_whole_files_on_non_blocking_descriptors_are_read_to_their_end(read, buffering):
    from tarnel.gnupg import read_key

    with open(KEY_FILE, "rb") as fp:
        key_file = fp.read()
    data = key_file if read == "read_key" else to_canonical(BIG) + b"\n"
    reader = read_key if read == "read_key" else tarnel.load
    read_end, write_end = os.pipe()
    os.set_blocking(read_end, False)

    def writer():  # in pieces, with pauses between them that are not the end
        for i in range(0, len(data), len(data) // 3 + 1):
            time.sleep(0.1)
            os.write(write_end, data[i : i + len(data) // 3 + 1])
        os.close(write_end)

    thread = threading.Thread(target=writer)
    thread.start()
    with open(read_end, "rb", buffering=buffering) as fp:
        got = reader(fp)
    thread.join()
    assert to_canonical(got) == to_canonical(reader(io.BytesIO(data)))


# Re-entry: a source or a writer that calls back into the reader it serves -----------------------


@pytest.mark.parametrize("calls_back", ["read", "chunks", "write"])
def test_a_reader_called_back_by_its_own_source_or_writer_refuses_and_reads_on(calls_back):
    from tarnel._streaming import Reader

    # One S-expression spans many pieces and is larger than the writer is handed at once: the
    # writer is called back from inside its conversion, and the reader's buffer is in use then.
    values = [[b"a"], [b"b", b"y" * 300_000, [b"z"]], b"c", [[b"d"]] * 3]
    data = b" ".join(tarnel.to_advanced(v).encode() for v in values)
    pieces = iter([data[i : i + 4096] for i in range(0, len(data), 4096)])
    refused = []
    reader = None

    def call_back():
        for again in (lambda: next(reader), lambda: reader.convert(lambda view: None)):
            with pytest.raises(ValueError, match="^the reader is already running$"):
                again()
        refused.append(reader.offset)

    def chunk():
        if calls_back != "write":
            call_back()
        return next(pieces, None)

    class Source:
        def read(self, size):
            return chunk() or b""

    if calls_back == "read":
        reader = iter_parse(Source())
        assert canon(reader) == canon(values)
    elif calls_back == "chunks":
        reader = Reader(Parser(), chunks=chunk)
        assert canon(reader) == canon(values)
    else:
        out = bytearray()
        reader = Reader(Parser(), chunks=chunk, form="canonical")

        def write(view):
            call_back()
            out.extend(view)

        reader.convert(write, b"\n")
        assert bytes(out) == b"".join(to_canonical(v) + b"\n" for v in values)
    assert len(refused) > 2
