"""GnuPG's secret key files, read as S-expressions.

gpg-agent keeps each secret key in a file of its own in `private-keys-v1.d` under the GnuPG home
directory, named after the key's keygrip, in one of two formats:

- a bare S-expression in the canonical representation;
- the name-value format GnuPG calls the extended key format: lines `Name: value`, with the key
  itself the value of `Key:`, an S-expression in the advanced representation.

GnuPG writes a value over lines of 70 columns, each after the first indented by one space, and
breaks it at a space in the last 30 columns or else in the middle of a token, so a line break is
not whitespace: the lines are joined as GnuPG's own reader joins them (see `_key_value`), and the
joined value is read.

As gpg-agent does, a file that starts with `(` is taken for the first format and any other for the
second. GnuPG writes its S-expressions with libgcrypt, which leaves the octets 0xA1-0xFF of a
quoted string as they are where §6.4 allows only printable ASCII (a protected key's salt comes out
that way now and then), so both formats are read with raw octets allowed (see `tarnel.parse_raw`).
"""

from __future__ import annotations

import bisect
import os
import re

from ._keygrip import keygrip, public_key
from ._tarnel import ParseError, Parser

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import IO, Union

    from .types import SExp

    KeySource = Union[str, "os.PathLike[str]", IO[bytes], bytes, bytearray, memoryview]

__all__ = ["read_key", "keygrip", "public_key"]


def read_key(source: KeySource, parser: Parser | None = None) -> SExp:
    """Reads a GnuPG secret key file and returns the key's S-expression.

    `source` is the file's path, a binary file, or the file's octets. Both formats gpg-agent
    writes are read: a bare S-expression, and the name-value format ("extended key format") whose
    `Key:` value is the S-expression. Quoted strings may hold the octets 0x80-0xFF as they are, as
    GnuPG writes them. `parser` (default `Parser()`) sets the restrictions and limits; a refusal
    raises `ParseError` with its offset counted from the start of the file, and a file in neither
    format raises `ValueError`."""
    from ._streaming import parse_raw

    data = _octets(source)
    if data[:1] == b"(":
        return parse_raw(data, parser)
    value, starts, places = _key_value(data)
    try:
        return parse_raw(value, parser)
    except ParseError as err:
        piece = bisect.bisect_right(starts, err.offset) - 1
        raise _moved(err, places[piece] + err.offset - starts[piece]) from None


def _octets(source: object) -> bytes:
    if isinstance(source, (str, os.PathLike)):
        with open(source, "rb") as fp:
            return fp.read()
    if getattr(source, "read", None) is not None:
        from ._stream import _read_to_end

        data = _read_to_end(source)  # to the end, waited for where non-blocking
        if isinstance(data, str):
            raise TypeError("a GnuPG key file is read as octets, and this file is text")
        return bytes(data)
    try:
        return memoryview(source).tobytes()  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(
            f"expected a path, a binary file or octets, and got {type(source).__name__}"
        ) from None


# What GnuPG's name-value reader counts as whitespace (not form feed or vertical tab), and the
# names it takes.
_WHITESPACE = b" \t\r\n"
_NAME = re.compile(rb"[A-Za-z][A-Za-z0-9-]*")


def _key_value(data: bytes) -> tuple[bytes, list[int], list[int]]:
    """The value of the `Key:` entry of a name-value file, joined as GnuPG's reader joins it,
    and where it came from: piece i of the value begins at `starts[i]` in the value and at
    `places[i]` in the file, so a position in the value maps back to the file.

    Lines end at LF, and a NUL ends what GnuPG sees of a line. While an entry is open, a line that
    begins with a space or a tab, or holds nothing but whitespace, continues it whatever follows
    (a `#` there is data); any other line ends it, and is a comment (`#` its first octet past any
    whitespace), blank, or a new entry `Name: value`."""
    value: list[bytes] = []
    starts: list[int] = []
    places: list[int] = []
    size = 0
    in_entry = in_key = found = swallow = False
    lines = data.split(b"\n")
    if not lines[-1]:
        lines.pop()  # the end of the last line, not a line of its own
    at = 0
    for number, line in enumerate(lines, start=1):
        where, at = at, at + len(line) + 1
        line = line.partition(b"\0")[0]
        text = line.lstrip(_WHITESPACE)
        if in_entry and (line[:1] in (b" ", b"\t") or not text):
            if not in_key:
                continue
        else:
            in_entry = in_key = False
            if not text or text[:1] == b"#":
                continue  # a blank line or a comment
            colon = line.find(b":")
            if colon < 0:
                raise ValueError(f"not a GnuPG key file: line {number} is not 'Name: value'")
            name = line[len(line) - len(text) : colon]
            if not _NAME.fullmatch(name):
                raise ValueError(
                    f"not a GnuPG key file: the name on line {number} is not a letter followed"
                    " by letters, digits and '-'"
                )
            in_entry = True
            if name.lower() != b"key":
                continue
            if found:
                raise ValueError(f"not a GnuPG key file: a second Key entry on line {number}")
            found = in_key = True
            where, line = where + colon + 1, line[colon + 1 :]
        skip, piece, swallow = _piece(line, swallow)
        value.append(piece)
        starts.append(size)
        places.append(where + skip)
        size += len(piece)
    if not found:
        raise ValueError("not a GnuPG key file: it has no Key entry")
    return b"".join(value), starts, places


def _piece(line: bytes, swallow: bool) -> tuple[int, bytes, bool]:
    """What one line of an entry adds to its value, by GnuPG's rule: where that begins in the
    line, the octets, and whether the next line loses all its leading whitespace.

    One leading whitespace octet is dropped ("more than one space encodes a space"), or all of it
    after a blank line, and all trailing whitespace; a line left empty stands for a newline."""
    if swallow:
        skip = len(line) - len(line.lstrip(_WHITESPACE))
    else:
        skip = 1 if line[:1] and line[0] in _WHITESPACE else 0
    kept = line[skip:].rstrip(_WHITESPACE)
    if not kept:
        return len(line), b"\n", True
    return skip, kept, False


def _moved(err: ParseError, offset: int) -> ParseError:
    """The same refusal, at `offset` instead."""
    message = str(err).rpartition(" at offset ")[0] or str(err)
    moved = ParseError(f"{message} at offset {offset}")
    moved.offset = offset
    moved.kind = err.kind
    return moved
