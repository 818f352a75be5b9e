"""Reading S-expressions one after another from a file, a socket or an iterable of chunks.

The module's `Parser.parse_prefix` reads the first S-expression of the octets it is handed. A
stream arrives in pieces, so the reader keeps a buffer and decides, for each S-expression, when it
has seen enough of it:

- a parse that fails with `unexpected_end` at the very end of the octets tried needs more data;
- a parse that succeeds and uses every octet tried may still be cut short, since a token such as
  `abc` may go on in the next chunk; it is accepted only where its last octet cannot be continued
  (a list's `)`, the end of a verbatim, quoted, hexadecimal, base-64 or transport string), where
  the octet after it is known, or at the end of the stream.

So the results never depend on where the chunk boundaries fall, even inside an escape or a length.

Each attempt hands `parse_prefix` a window that starts at the S-expression, copied out of the
buffer, so the window is kept near the size of the S-expression rather than the size of the
buffer. A window that proves too short grows eightfold (copying octets costs far less than reading
them, and a failed attempt reads all of its window, so a large S-expression is read about 1.15
times in all rather than twice), and a retry waits until the buffered data has grown that much, or
until the source has paused (a short read) while the work spent on this S-expression is still
within a fixed multiple of its size: a large S-expression arriving in many small chunks is parsed a
bounded number of times per growth, never once per chunk.

Once that budget is spent, a pause no longer triggers a retry by itself: the reader follows the
octets as they arrive (`_EndScanner`: list depth, and where each string form ends) and retries when
the S-expression may have ended there. So an S-expression sent in many small pieces is yielded as
soon as its last piece is in, however many pieces there were, even when the sender then waits for
an answer; the following is done only at real pauses, where the source has nothing more ready.

The parser's limits apply to each S-expression. `max_input_len` bounds the octets from the start of
an S-expression to its end (whitespace between S-expressions is not counted); the reader learns the
limit from the parser's first `input_too_long` refusal, whose offset is the limit itself, and from
then on keeps its windows within it. Offsets of every `ParseError` raised here count from the
first octet of the stream.
"""

from __future__ import annotations

import io
import select
from collections.abc import Callable, Iterable, Iterator
from typing import Any, Protocol, Union

from ._tarnel import Atom, ParseError, Parser
from .types import SExp

#: The six whitespace octets of the advanced representation; skipped between S-expressions.
WHITESPACE = b"\t\n\v\f\r "

#: Octets that continue a token once it has begun: letters, digits and `*+-./:=_`.
TOKEN_CONTINUATION = frozenset(
    b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789*+-./:=_"
)

#: Last octets that close a string form for certain: transport, quoted, hexadecimal, base-64.
CLOSING_OCTETS = frozenset(b'}"#|')

DEFAULT_CHUNK_SIZE = 1 << 16
SMALLEST_WINDOW = 64
#: How much a window that proved too short grows for the next attempt.
WINDOW_GROWTH = 8
#: A retry after a short read is allowed while the parsing spent on the current S-expression is at
#: most this many times the octets buffered for it; past that, only doubling triggers a retry.
RETRY_BUDGET = 4

class BinaryReader(Protocol):
    """A binary file, a socket's file or anything else whose `read(n)` gives up to n octets and
    `b""` at the end (`read1` is used instead where there is one)."""

    def read(self, size: int, /) -> bytes | None: ...


Source = Union[BinaryReader, Iterable[Union[bytes, bytearray, memoryview]], bytes, bytearray]


def _has_data_ready(source: Any) -> Callable[[], bool]:
    """Returns a function telling whether the source has more octets ready right now, so that the
    next read would not wait. Only a source with a file descriptor that `select` takes can tell;
    for any other the answer is no, so the reader treats every short read as a pause."""
    try:
        fd = source.fileno()
        select.select([fd], [], [], 0)
    except (AttributeError, OSError, ValueError, TypeError, io.UnsupportedOperation):
        return lambda: False

    def ready() -> bool:
        try:
            return bool(select.select([fd], [], [], 0)[0])
        except (OSError, ValueError):
            return False

    return ready


def _chunks_of(source: Any, chunk_size: int) -> Callable[[], tuple[bytes | None, bool]]:
    """Returns a function giving the next chunk (None at the end) and whether it was a short read,
    one where the source gave what it had rather than what was asked for."""
    if isinstance(source, io.TextIOBase):
        raise TypeError("S-expressions are read from a binary source, and this one is text")
    if isinstance(source, (bytes, bytearray, memoryview)):
        source = [source]
    read = getattr(source, "read1", None) or getattr(source, "read", None)
    if read is not None:

        def from_file() -> tuple[bytes | None, bool]:
            data = read(chunk_size)
            if data is None:
                raise BlockingIOError("the source is non-blocking and has no data ready")
            if isinstance(data, str):
                raise TypeError("S-expressions are read from a binary source, and this one is text")
            return (bytes(data) if data else None), len(data) < chunk_size

        return from_file
    try:
        chunks = iter(source)
    except TypeError:
        raise TypeError(
            f"expected a binary file or an iterable of bytes, and got {type(source).__name__}"
        ) from None

    def from_iterable() -> tuple[bytes | None, bool]:
        for chunk in chunks:
            if isinstance(chunk, str):
                raise TypeError("chunks must be bytes, and one is a str")
            if chunk:
                return bytes(chunk), True
        return None, True

    return from_iterable


def _relocated(err: ParseError, delta: int) -> ParseError:
    """The same refusal with its offset counted from the start of the stream."""
    offset = err.offset + delta
    message = str(err).rpartition(" at offset ")[0] or str(err)
    moved = ParseError(f"{message} at offset {offset}")
    moved.offset = offset
    moved.kind = err.kind
    return moved


def _too_long(limit: int, start: int) -> ParseError:
    err = ParseError(f"input longer than allowed at offset {start + limit}")
    err.offset = start + limit
    err.kind = "input_too_long"
    return err


def _ends_for_certain(window: bytes | bytearray, value: SExp) -> bool:
    """Whether an S-expression read to the last octet of `window` cannot go on past it.

    Only a token can: a list ends at `)`, and every other string form at a closing octet or, when
    verbatim, after exactly the octets its length announced. A token's octets are its data and are
    never preceded by `:`, so `<length>:<data>` at the end of the window means a verbatim string."""
    if isinstance(value, list):
        return True
    if window[-1] in CLOSING_OCTETS:
        return True
    data = value.data if isinstance(value, Atom) else value
    return window.endswith(b"%d:%s" % (len(data), data))


_MAX_LENGTH_DIGITS = 20
_ESCAPE_LETTERS = frozenset(b"abtnvfr\"'?\\x01234567\n\r")


class _Patterns:
    """The scanner's patterns, compiled at its first use rather than at import: most streams
    never need it."""

    def __init__(self) -> None:
        import re

        self.whitespace_run = re.compile(rb"[\t\n\v\f\r ]+")
        self.digits = re.compile(rb"[0-9]+")
        # A length written with no leading zero, short enough to be read at once; longer or odd
        # ones are followed digit run by digit run.
        self.verbatim_head = re.compile(rb"(0|[1-9][0-9]{0,18}):")
        self.token_rest = re.compile(rb"[A-Za-z0-9*+\-./:=_]*")
        self.quoted_plain = re.compile(rb"[\x20\x21\x23-\x5b\x5d-\x7e]*")
        # The octets each form that runs to a closing octet may hold, by that octet.
        base64_body = re.compile(rb"[A-Za-z0-9+/=\t\n\v\f\r ]*")
        self.bodies = {0x23: re.compile(rb"[0-9A-Fa-f\t\n\v\f\r ]*"), 0x7C: base64_body,
                       0x7D: base64_body}


_patterns: _Patterns | None = None


_TOKEN_START = frozenset(b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ*+-./:=_")
#: Where the string forms that run to a closing octet end: quoted, hexadecimal, base-64, transport.
_CLOSERS = {0x23: 0x23, 0x7C: 0x7C, 0x7B: 0x7D}

(_BETWEEN, _LENGTH, _VERBATIM, _QUOTED, _ESCAPE, _BREAK, _UNTIL, _TOKEN) = range(8)


class _EndScanner:
    """Follows the octets of one S-expression as they arrive, just far enough to tell where it may
    end: the depth of its lists, and where each string form ends (a verbatim string after the
    octets its length announced, a quoted string at its unescaped `"`, hexadecimal, base-64 and
    transport forms at their closing octet, a token at the first octet that cannot continue it).

    It errs only one way: on octets it cannot follow, which the parser will refuse (an octet no
    form can hold, a length with a leading zero or past 64 bits, a `)` too many), it says the
    S-expression may have ended, so that a retry reports the refusal. Refusals that depend on the
    parser's options (depth, hints, empty atoms and lists, ...) it does not see; those are found
    by the retries the budget still allows or at the end of the stream. Each octet is looked at
    once, however the octets are split into pieces."""

    def __init__(self) -> None:
        self.at = 0  # octets of the S-expression followed so far
        self._state = _BETWEEN
        self._depth = 0
        self._hint = False  # between `[` and `]`
        self._count = 0  # a length being read, or the octets of a verbatim string still to come
        self._digits = 0  # digits of the length being read
        self._closer = 0  # the octet that ends the form being skipped (_UNTIL), or the second
        # octet of a line break that a continuation may take (_BREAK)

    def may_end_within(self, octets: bytes | bytearray, start: int) -> bool:
        """Follows `octets[start + self.at:]`, the octets that arrived since the last call (the
        S-expression begins at `start`), and returns whether it may have ended among them."""
        global _patterns
        if _patterns is None:
            _patterns = _Patterns()
        p = _patterns
        i, end = start + self.at, len(octets)
        ended = False
        while i < end and not ended:
            state = self._state
            if state == _BETWEEN:
                c = octets[i]
                if c in WHITESPACE:
                    i = p.whitespace_run.match(octets, i).end()  # type: ignore[union-attr]
                    continue
                i += 1
                if c == 0x28:  # (
                    self._depth += 1
                elif c == 0x29:  # )
                    self._depth -= 1
                    ended = self._depth <= 0
                elif c == 0x5B:  # [
                    self._hint = True
                elif c == 0x5D:  # ]
                    self._hint = False
                elif c == 0x22:  # "
                    self._state = _QUOTED
                elif c in _CLOSERS:
                    self._state, self._closer = _UNTIL, _CLOSERS[c]
                elif 0x30 <= c <= 0x39:
                    # A whole verbatim string at hand is passed over in one step.
                    m = p.verbatim_head.match(octets, i - 1)
                    if m is not None and m.end() + int(m[1]) <= end:
                        i = m.end() + int(m[1])
                        ended = self._element_ended()
                    else:
                        self._state, self._count, self._digits = _LENGTH, c - 0x30, 1
                elif c in _TOKEN_START:
                    self._state = _TOKEN
                else:
                    ended = True
            elif state == _LENGTH:
                m = p.digits.match(octets, i)
                if m is not None:
                    digits = m.end() - i
                    i = m.end()
                    if self._count == 0 or self._digits + digits > _MAX_LENGTH_DIGITS:
                        ended = True  # a leading zero or a length past 64 bits: refused
                        continue
                    self._count = self._count * 10**digits + int(octets[i - digits : i])
                    self._digits += digits
                    ended = self._count >= 1 << 64
                    continue
                c = octets[i]
                i += 1
                if c == 0x3A:  # :
                    self._state = _VERBATIM
                    ended = self._element_ended() if self._count == 0 else False
                elif c == 0x22:
                    self._state = _QUOTED
                elif c in (0x23, 0x7C):
                    self._state, self._closer = _UNTIL, c
                else:
                    ended = True
            elif state == _VERBATIM:
                take = min(self._count, end - i)
                i += take
                self._count -= take
                if self._count == 0:
                    ended = self._element_ended()
            elif state == _QUOTED:
                i = p.quoted_plain.match(octets, i).end()  # type: ignore[union-attr]
                if i < end:
                    c = octets[i]
                    i += 1
                    if c == 0x5C:  # backslash
                        self._state = _ESCAPE
                    else:
                        # The closing quote, or an octet no quoted string holds as it is.
                        ended = self._element_ended() if c == 0x22 else True
            elif state == _ESCAPE:
                # The octet after a backslash; the rest of a longer escape holds no quote.
                c = octets[i]
                i += 1
                ended = c not in _ESCAPE_LETTERS
                self._state = _QUOTED
                if c in (0x0A, 0x0D):
                    # A line continuation: LF CR and CR LF count as one line break.
                    self._state, self._closer = _BREAK, 0x0D if c == 0x0A else 0x0A
            elif state == _BREAK:
                if octets[i] == self._closer:
                    i += 1
                self._state = _QUOTED
            elif state == _UNTIL:
                i = p.bodies[self._closer].match(octets, i).end()  # type: ignore[union-attr]
                if i < end:
                    # The closing octet, or one the form cannot hold.
                    ended = self._element_ended() if octets[i] == self._closer else True
                    i += 1
            else:  # _TOKEN
                i = p.token_rest.match(octets, i).end()  # type: ignore[union-attr]
                if i < end:
                    ended = self._element_ended()
        self.at = i - start
        return ended

    def _element_ended(self) -> bool:
        """An atom (or a transport form) is complete; the S-expression may end with it."""
        self._state = _BETWEEN
        return self._depth <= 0 and not self._hint


class StreamReader:
    """Yields the S-expressions of a stream one after another; see the module's docstring.

    `offset` is the number of octets of the stream consumed so far, `start` the offset of the
    S-expression last read or being read, and `buffered(start, stop)` returns what of the stream
    between those offsets is still held, with the offset it begins at, for showing the input around
    a refusal."""

    def __init__(
        self, source: Source, parser: Parser | None = None, *, chunk_size: int = DEFAULT_CHUNK_SIZE
    ) -> None:
        if not isinstance(chunk_size, int) or chunk_size < 1:
            raise ValueError("chunk_size must be a positive integer")
        self._parser = parser if parser is not None else Parser()
        self._next_chunk = _chunks_of(source, chunk_size)
        self._has_data_ready = _has_data_ready(source)
        self._scanner = _EndScanner()
        # A bytearray once it holds more than one chunk; until then the chunk itself, which
        # parse_prefix can read in place while the S-expression starts at its first octet.
        self._buf: bytes | bytearray = b""
        self._pos = 0  # the first unconsumed octet of _buf
        self._base = 0  # the stream offset of _buf[0]
        self._eof = False
        self._short = False  # whether the last read was short (the source paused)
        self._limit: int | None = None  # the parser's max_input_len, once learned
        self._window = SMALLEST_WINDOW
        self.start = 0

    @property
    def offset(self) -> int:
        return self._base + self._pos

    def buffered(self, start: int, stop: int) -> tuple[int, bytes]:
        lo = max(start - self._base, 0)
        hi = max(min(stop - self._base, len(self._buf)), lo)
        return self._base + lo, bytes(self._buf[lo:hi])

    def __iter__(self) -> Iterator[SExp]:
        return self

    def _read(self) -> None:
        chunk, self._short = self._next_chunk()
        if chunk is None:
            self._eof = True
            return
        if self._pos == len(self._buf):
            # Everything buffered is consumed: the chunk becomes the buffer as it is.
            self._base += self._pos
            self._pos = 0
            self._buf = chunk
            return
        if isinstance(self._buf, bytes):
            with memoryview(self._buf) as view:
                self._buf = bytearray(view[self._pos :])
            self._base += self._pos
            self._pos = 0
        elif self._pos > len(self._buf) // 2:
            # Drop the consumed part once it outweighs the rest: each octet moves at most once
            # per doubling of the buffer.
            del self._buf[: self._pos]
            self._base += self._pos
            self._pos = 0
        self._buf += chunk

    def _skip_whitespace(self) -> bool:
        """Moves past whitespace; returns whether an S-expression starts in the buffer."""
        while True:
            buf, pos = self._buf, self._pos
            while pos < len(buf) and buf[pos] in WHITESPACE:
                pos += 1
            self._pos = pos
            if pos < len(buf):
                return True
            if self._eof:
                return False
            self._read()

    def _wait_for(self, target: int, spent: int) -> None:
        """Reads until `target` octets are buffered past the S-expression's start, the stream ends,
        or the source pauses while retrying is still cheap."""
        while not self._eof:
            self._read()
            avail = len(self._buf) - self._pos
            if avail >= target:
                return
            if self._short and spent <= RETRY_BUDGET * avail:
                return
            if self._short and not self._has_data_ready():
                if self._scanner.may_end_within(self._buf, self._pos):
                    return

    def __next__(self) -> SExp:
        if not self._skip_whitespace():
            raise StopIteration
        start = self.start = self.offset
        self._scanner = _EndScanner()
        window = self._window
        spent = 0
        while True:
            avail = len(self._buf) - self._pos
            if self._pos == 0 and isinstance(self._buf, bytes) and self._limit is None:
                # The buffer is one chunk and the S-expression starts it: read in place, no copy,
                # so the window need not be kept small (the reader stops at the S-expression's
                # end however much follows).
                n = avail
                data = self._buf
            else:
                n = min(avail, window) if self._limit is None else min(avail, window, self._limit)
                with memoryview(self._buf) as view:
                    # bytes, which the module reads in place, not a bytearray it would copy.
                    data = bytes(view[self._pos : self._pos + n])
            whole = n == avail and self._eof  # the window runs to the end of the stream
            spent += n
            try:
                value, consumed = self._parser.parse_prefix(data)
            except ParseError as err:
                if err.kind == "input_too_long" and err.offset < n:
                    self._limit = err.offset
                    continue
                if err.kind != "unexpected_end" or err.offset != n or whole:
                    raise _relocated(err, start) from None
                if self._limit is not None and n == self._limit:
                    raise _too_long(self._limit, start) from None
            else:
                if consumed < n or whole or _ends_for_certain(data, value):
                    return self._accept(value, consumed)
                if self._limit is not None and n == self._limit:
                    # A token that fills the limit: it fits unless the next octet continues it.
                    if avail == n:
                        self._wait_for(n + 1, 0)
                    if len(self._buf) - self._pos > n:
                        if self._buf[self._pos + n] in TOKEN_CONTINUATION:
                            raise _too_long(self._limit, start) from None
                    return self._accept(value, consumed)
            # More octets are needed: widen the window over what is buffered, or read on.
            window = WINDOW_GROWTH * n
            if avail < window:
                # Past a known limit no more octets can help: the next attempt refuses.
                self._wait_for(window if self._limit is None else min(window, self._limit), spent)

    def _accept(self, value: SExp, consumed: int) -> SExp:
        self._pos += consumed
        self._window = max(SMALLEST_WINDOW, 2 * consumed)
        return value


def iter_parse(
    source: Source, parser: Parser | None = None, *, chunk_size: int = DEFAULT_CHUNK_SIZE
) -> Iterator[SExp]:
    """Yields the S-expressions of a stream one after another, as they arrive.

    `source` is a binary file (a socket's `makefile("rb")` too) read with `read1` where it has
    one, else `read`, `chunk_size` octets at a time; or an iterable of `bytes` chunks. Whitespace
    between S-expressions is skipped. Each S-expression is read with `parser` (default `Parser()`)
    on its own, so its limits apply to each: `max_input_len` counts the octets of one
    S-expression, not of the stream. A token that ends the data so far (`abc`) may go on, so it is
    yielded once the octet after it or the end of the stream has arrived; everything else is
    yielded as soon as its last octet has. A refusal raises `ParseError` with its offset counted
    from the start of the stream; the S-expressions before it have been yielded."""
    return StreamReader(source, parser, chunk_size=chunk_size)
