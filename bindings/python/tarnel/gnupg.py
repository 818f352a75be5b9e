"""GnuPG's secret key files, read as S-expressions.

gpg-agent keeps each secret key in a file of its own in `private-keys-v1.d` under the GnuPG home
directory, named after the key's keygrip, in one of two formats:

- a bare S-expression in the canonical representation;
- the name-value format GnuPG calls the extended key format: lines `Name: value`, each value
  continued over the indented lines that follow it, with the key itself the value of `Key:`, an
  S-expression in the advanced representation.

As gpg-agent does, a file that starts with `(` is taken for the first format and any other for the
second. GnuPG writes its S-expressions with libgcrypt, which leaves the octets 0xA1-0xFF of a
quoted string as they are where §6.4 allows only printable ASCII (a protected key's salt comes out
that way now and then), so both formats are read with raw octets allowed (see `tarnel.parse_raw`).
"""

from __future__ import annotations

import os

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
    start, end = _key_value(data)
    try:
        return parse_raw(memoryview(data)[start:end], parser)
    except ParseError as err:
        raise _moved(err, start) from None


def _octets(source: object) -> bytes:
    if isinstance(source, (str, os.PathLike)):
        with open(source, "rb") as fp:
            return fp.read()
    read = getattr(source, "read", None)
    if read is not None:
        data = read()
        if isinstance(data, str):
            raise TypeError("a GnuPG key file is read as octets, and this file is text")
        return bytes(data)
    try:
        return memoryview(source).tobytes()  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(
            f"expected a path, a binary file or octets, and got {type(source).__name__}"
        ) from None


def _key_value(data: bytes) -> tuple[int, int]:
    """Where the value of the `Key:` entry stands in a name-value file: from just past the colon
    to the end of its last continuation line. The indentation and line breaks in between are
    whitespace between the elements of the S-expression, so the value is read where it stands
    and a refusal's offset is the file's."""
    start = end = -1
    in_key = False
    in_entry = False
    pos = 0
    for number, line in enumerate(data.splitlines(keepends=True), start=1):
        at, pos = pos, pos + len(line)
        first = line[:1]
        if first in (b" ", b"\t"):
            if not in_entry:
                raise ValueError(f"not a GnuPG key file: line {number} continues no entry")
            if in_key:
                end = pos
            continue
        in_entry = in_key = False
        if first in (b"#", b"\n", b"\r"):
            continue  # a comment or an empty line
        name, colon, _ = line.partition(b":")
        if not colon or not name or any(c in b" \t" for c in name):
            raise ValueError(f"not a GnuPG key file: line {number} is not 'Name: value'")
        in_entry = True
        if name.lower() == b"key":
            if start >= 0:
                raise ValueError(f"not a GnuPG key file: a second Key entry on line {number}")
            start, end, in_key = at + len(name) + 1, pos, True
    if start < 0:
        raise ValueError("not a GnuPG key file: it has no Key entry")
    return start, end


def _moved(err: ParseError, by: int) -> ParseError:
    """The same refusal, with its offset moved on by `by` octets."""
    offset = err.offset + by
    message = str(err).rpartition(" at offset ")[0] or str(err)
    moved = ParseError(f"{message} at offset {offset}")
    moved.offset = offset
    moved.kind = err.kind
    return moved
