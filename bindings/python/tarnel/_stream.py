"""Reading S-expressions one after another from a file, a socket, an iterable of chunks or a buffer.

The native reader (`tarnel._streaming.Reader`) does the work: a framer follows the octets as they
arrive and finds where each S-expression ends, and each is read once, as soon as its last octet is
in. This module only adapts sources: it turns a file, a socket's file or an iterable into a
function that gives the next piece of octets (None at the end), and hands a buffer (`bytes`,
`bytearray`, `memoryview`, `mmap`, ...) over whole, to be read in place.
"""

from __future__ import annotations

import errno
import io
import mmap
import os

from ._tarnel import Parser

TYPE_CHECKING = False
if TYPE_CHECKING:  # annotations only: reading a stream does not import typing
    from collections.abc import Callable, Iterable, Iterator
    from typing import Any, Protocol, Union

    from .types import SExp

    class BinaryReader(Protocol):
        """A binary file, a socket's file or anything else whose `read(n)` gives up to n octets
        and `b""` at the end (`read1` is used instead where there is one)."""

        def read(self, size: int, /) -> bytes | None: ...

    Source = Union[BinaryReader, Iterable[Union[bytes, bytearray, memoryview]], bytes, bytearray]

DEFAULT_CHUNK_SIZE = 1 << 16


_TEXT_SOURCE = "S-expressions are read from a binary source, and this one is text"


def _octets(piece: Any, what: str) -> bytes:
    """The octets of a piece read from a source: itself if it is `bytes`, else the octets of its
    buffer. Anything else is refused (`bytes(n)` would take an int for n zero octets)."""
    if type(piece) is bytes:
        return piece
    try:
        with memoryview(piece) as view:
            return view.tobytes()
    except TypeError:
        name = type(piece).__name__
        raise TypeError(f"{what} must be bytes or another buffer of octets, not '{name}'") from None


def _nonblocking_fd(source: Any) -> int | None:
    """The source's file descriptor if it is in non-blocking mode, else None."""
    try:
        fd = source.fileno()
        return None if os.get_blocking(fd) else int(fd)
    except (AttributeError, OSError, ValueError, TypeError, io.UnsupportedOperation):
        return None


def _wait(fd: int, writing: bool = False) -> None:
    """Blocks until `fd` can be read from (or written to), or holds its end or a failure for the
    next read or write to report. With poll() where there is one: select() refuses descriptors of
    1024 and above, which a process with many files or sockets open hands out. select() is left
    for Windows, which has no poll(), and whose descriptors are sockets only."""
    import select

    if hasattr(select, "poll"):
        poller = select.poll()
        poller.register(fd, select.POLLOUT if writing else select.POLLIN)
        for _, events in poller.poll():
            if events & select.POLLNVAL:
                raise OSError(errno.EBADF, os.strerror(errno.EBADF))
    elif writing:
        select.select([], [fd], [])
    else:
        select.select([fd], [], [])


def _read_to_end(fp: Any) -> Any:
    """All that `fp.read()` gives up to the end of the file. A file on a non-blocking descriptor
    gives what is there so far (or None for nothing): it is waited on and read again until its
    end. A text file is waited on before each read, as it cannot answer "nothing yet"."""
    fd = _nonblocking_fd(fp)
    if fd is None:
        return fp.read()
    text = isinstance(fp, io.TextIOBase)
    pieces: list[Any] = []
    while True:
        if text:
            _wait(fd)
        try:
            piece = fp.read()
        except BlockingIOError:
            piece = None
        if piece is None:
            _wait(fd)
            continue
        if not piece:
            return piece[:0].join(pieces) if pieces else piece
        pieces.append(piece)


def _from_file(source: Any, chunk_size: int) -> Callable[[], bytes | None]:
    read = getattr(source, "read1", None) or source.read
    fd = _nonblocking_fd(source)

    def next_piece() -> bytes | None:
        waited = False
        while True:
            try:
                data = read(chunk_size)
            except BlockingIOError:
                data = None
            if data is not None:
                if isinstance(data, str):
                    raise TypeError(_TEXT_SOURCE)
                data = _octets(data, "read()")
                if data:
                    return data
            if fd is None:
                if data is None:
                    raise BlockingIOError("the source is non-blocking and has no data ready")
                return None
            # A non-blocking source with nothing ready has not ended: wait until it is readable.
            # Readable and still nothing is the end.
            if waited and data is not None:
                return None
            _wait(fd)
            waited = True

    return next_piece


def _from_iterable(source: Any) -> Callable[[], bytes | None]:
    try:
        chunks = iter(source)
    except TypeError:
        raise TypeError(
            f"expected a binary file or an iterable of bytes, and got {type(source).__name__}"
        ) from None

    def next_piece() -> bytes | None:
        for chunk in chunks:
            data = _octets(chunk, "chunks")
            if data:
                return data
        return None

    return next_piece


def _is_buffer(source: Any) -> bool:
    """Whether `source` exports the buffer protocol (bytes, bytearray, memoryview, mmap, array,
    NumPy arrays): its octets are then the whole stream."""
    if isinstance(source, (bytes, bytearray, memoryview, mmap.mmap)):
        return True
    try:
        memoryview(source).release()
    except TypeError:
        return False
    return True


def open_stream(
    source: Source,
    parser: Parser | None = None,
    *,
    chunk_size: int = DEFAULT_CHUNK_SIZE,
    form: str | None = None,
    raw_octets: bool = False,
    **layout: int,
) -> Any:
    """The native reader over `source`: values, or with `form` each S-expression's octets in that
    representation (with form "pretty", laid out by `layout`: `width` and `indent`, as `to_pretty`
    takes them); with `raw_octets`, quoted strings may hold the octets 0x80-0xFF as they are.
    It also offers `offset`, `start`, `buffered(start, stop)` and, with a form,
    `convert(write, separator)`."""
    from ._streaming import Reader

    if not isinstance(chunk_size, int) or isinstance(chunk_size, bool) or chunk_size < 1:
        raise ValueError("chunk_size must be a positive integer")
    parser = parser if parser is not None else Parser()
    if isinstance(source, io.TextIOBase):
        raise TypeError(_TEXT_SOURCE)
    if _is_buffer(source):
        # The whole stream: read in place (a buffer of another item type or shape: its octets,
        # copied once).
        return Reader(parser, data=source, form=form, raw_octets=raw_octets, **layout)
    if getattr(source, "read1", None) is not None or getattr(source, "read", None) is not None:
        chunks = _from_file(source, chunk_size)
        return Reader(parser, chunks=chunks, form=form, raw_octets=raw_octets, **layout)
    chunks = _from_iterable(source)
    return Reader(parser, chunks=chunks, form=form, raw_octets=raw_octets, **layout)


def iter_parse(
    source: Source,
    parser: Parser | None = None,
    *,
    chunk_size: int = DEFAULT_CHUNK_SIZE,
    raw_octets: bool = False,
) -> Iterator[SExp]:
    """Yields the S-expressions of a stream one after another, as they arrive.

    `source` is a binary file (a socket's `makefile("rb")` too) read with `read1` where it has
    one, else `read`, `chunk_size` octets at a time; or an iterable of `bytes` chunks; or a
    `bytes`, `bytearray`, `memoryview`, `mmap` or other buffer holding the whole stream, read
    in place.
    Whitespace between S-expressions is skipped. Each S-expression is read with `parser` (default
    `Parser()`) on its own, so its limits apply to each: `max_input_len` counts the octets of one
    S-expression, not of the stream. A token that ends the data so far (`abc`) may go on, so it is
    yielded once the octet after it or the end of the stream has arrived; everything else is
    yielded as soon as its last octet has. A refusal raises `ParseError` with its offset counted
    from the start of the stream; the S-expressions before it have been yielded. A non-blocking
    source with nothing ready is waited for where it has a file descriptor. With `raw_octets`,
    quoted strings may hold the octets 0x80-0xFF as they are (see `parse_raw`)."""
    reader: Iterator[SExp] = open_stream(
        source, parser, chunk_size=chunk_size, raw_octets=raw_octets
    )
    return reader
