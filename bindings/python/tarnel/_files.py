"""`load` and `dump`: one S-expression to or from a file, in the manner of `json` and `pickle`."""

from __future__ import annotations

import errno
import io
from typing import IO, Any, Literal

from ._stream import _nonblocking_fd, _read_to_end, _wait
from ._tarnel import Parser, parse, to_advanced, to_canonical, to_transport
from .types import SExp, SExpLike


def load(
    fp: IO[bytes] | IO[str], parser: Parser | None = None, *, raw_octets: bool = False
) -> SExp:
    """Reads the one S-expression that makes up the whole of a file.

    `fp` is read to its end; a binary file gives its octets, a text file its text as UTF-8. The
    reading is `parser.parse`, or the module's `parse` (every representation, no limits) where
    `parser` is None; with `raw_octets`, `parse_raw` with the same parser. For a file holding
    several S-expressions, use `iter_parse`. A file on a non-blocking descriptor is waited on
    until its end."""
    data = _read_to_end(fp)
    if raw_octets:
        from ._streaming import parse_raw

        return parse_raw(data, parser)
    return parse(data) if parser is None else parser.parse(data)


def _is_text(fp: Any) -> bool:
    if isinstance(fp, io.TextIOBase):
        return True
    if isinstance(fp, (io.RawIOBase, io.BufferedIOBase)):
        return False
    mode = getattr(fp, "mode", None)
    return not (isinstance(mode, str) and "b" in mode)


def dump(
    sexp: SExpLike,
    fp: IO[bytes] | IO[str],
    form: Literal["canonical", "transport", "advanced"] = "canonical",
) -> None:
    """Writes an S-expression to a file in one representation, with nothing after it.

    `form` is "canonical" (octets, so `fp` must be binary), "transport" or "advanced" (ASCII text:
    written as `str` to a text file, as its ASCII octets to a binary one). The whole output is
    built before anything is written, so a value that cannot be written leaves the file as it was.
    All of it is written or an exception raised: a file that takes part of it is given the rest,
    and a non-blocking one with no room is waited for."""
    if form not in ("canonical", "transport", "advanced"):
        raise ValueError(f"form must be 'canonical', 'transport' or 'advanced', not {form!r}")
    text = _is_text(fp)
    if form == "canonical":
        if text:
            raise TypeError("the canonical form is octets, and needs a binary file")
        _write_all(fp, to_canonical(sexp))
        return
    written = to_transport(sexp) if form == "transport" else to_advanced(sexp)
    _write_all(fp, written if text else written.encode("ascii"))


def _write_all(fp: Any, data: bytes | str) -> None:
    """Writes all of `data` to `fp`, or raises.

    A file may take only part of what it is given and say how much in what `write` returns (a raw
    file, such as a pipe or socket opened unbuffered; a buffered one on a non-blocking descriptor):
    the rest is written again. One with no room takes nothing (answers 0 or None, or raises
    `BlockingIOError`) and is waited for where it has a file descriptor; where it has none,
    `BlockingIOError` goes up, its `characters_written` counting what was taken. A buffered file on
    a non-blocking descriptor is flushed before returning, so that its close does not meet a full
    pipe. A text file's `BlockingIOError` goes up as it is (it counts encoded octets, not
    characters), as does a socket's `TimeoutError`. An object that is not an `io` file and whose
    `write` returns None is taken to have written everything, as such file-like objects mean."""
    text = isinstance(data, str)
    rest: Any = data if isinstance(data, str) else memoryview(data)
    io_file = isinstance(fp, io.IOBase)
    done, waited = 0, False
    while rest:
        try:
            taken = fp.write(rest)
        except BlockingIOError as err:
            if text:
                raise
            taken = err.characters_written
        if taken is None:
            if not io_file:
                return
            taken = 0
        if isinstance(taken, bool) or not isinstance(taken, int) or not 0 <= taken <= len(rest):
            raise OSError(f"write() returned {taken!r} when given {len(rest)} to write")
        done += taken
        rest = rest[taken:]
        if taken:
            waited = False
        elif rest:
            # Nothing taken: no room. Wait for some, once; a file that then takes nothing either
            # would be written to forever.
            if waited:
                raise OSError(errno.EIO, "the file takes nothing, though ready for writing")
            _wait_until_writable(fp, done)
            waited = True
    if not text and isinstance(fp, io.BufferedIOBase) and _nonblocking_fd(fp) is not None:
        # What a buffered file holds of it would otherwise meet a full pipe at `close`.
        while True:
            try:
                fp.flush()
                return
            except BlockingIOError:
                _wait_until_writable(fp, done)


def _wait_until_writable(fp: Any, done: int) -> None:
    try:
        fd = fp.fileno()
    except (AttributeError, OSError, ValueError):
        fd = None
    if not isinstance(fd, int):
        err = BlockingIOError(errno.EAGAIN, "the file has no room and nothing to wait on")
        err.characters_written = done
        raise err
    _wait(fd, writing=True)
