"""GnuPG's secret key files, read as S-expressions.

gpg-agent keeps each secret key in a file of its own in `private-keys-v1.d` under the GnuPG home
directory, named after the key's keygrip, in one of two formats:

- a bare S-expression in the canonical representation;
- the name-value format GnuPG calls the extended key format: lines `Name: value`, with the key
  itself the value of `Key:`, an S-expression in the advanced representation.

GnuPG writes a value over lines of 70 columns, each after the first indented by one space, and
breaks it at a space in the last 30 columns or else in the middle of a token, so a line break is
not whitespace: the lines are joined as GnuPG's own reader joins them, and the joined value is
read. The core library does the joining and the reading (`tarnel::gnupg::read_key`, whose header
states the rule line by line); this module reads the file.

As gpg-agent does, a file that starts with `(` is taken for the first format and any other for the
second. GnuPG writes its S-expressions with libgcrypt, which leaves the octets 0xA1-0xFF of a
quoted string as they are where §6.4 allows only printable ASCII (a protected key's salt comes out
that way now and then), so both formats are read with raw octets allowed (see `tarnel.parse_raw`).
"""

from __future__ import annotations

import os

from ._keygrip import keygrip, public_key
from ._tarnel import Parser

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
    from ._streaming import read_key as read_key_file

    return read_key_file(_octets(source), parser)


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
