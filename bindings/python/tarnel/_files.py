"""`load` and `dump`: one S-expression to or from a file, in the manner of `json` and `pickle`."""

from __future__ import annotations

import io
from typing import IO, Any, Literal

from ._tarnel import Parser, parse, to_advanced, to_canonical, to_transport
from .types import SExp, SExpLike


def load(
    fp: IO[bytes] | IO[str], parser: Parser | None = None, *, raw_octets: bool = False
) -> SExp:
    """Reads the one S-expression that makes up the whole of a file.

    `fp` is read to its end; a binary file gives its octets, a text file its text as UTF-8. The
    reading is `parser.parse`, or the module's `parse` (every representation, no limits) where
    `parser` is None; with `raw_octets`, `parse_raw` with the same parser. For a file holding
    several S-expressions, use `iter_parse`."""
    data = fp.read()
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
    built before anything is written, so a value that cannot be written leaves the file as it was."""
    if form not in ("canonical", "transport", "advanced"):
        raise ValueError(f"form must be 'canonical', 'transport' or 'advanced', not {form!r}")
    text = _is_text(fp)
    sink: Any = fp  # binary or text: which one decides what is written below
    if form == "canonical":
        if text:
            raise TypeError("the canonical form is octets, and needs a binary file")
        octets = to_canonical(sexp)
        sink.write(octets)
        return
    written = to_transport(sexp) if form == "transport" else to_advanced(sexp)
    if text:
        sink.write(written)
    else:
        sink.write(written.encode("ascii"))
