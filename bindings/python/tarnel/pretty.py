"""An indented, multi-line advanced layout of an S-expression, for people to read.

`to_pretty` writes every atom as `to_advanced` writes it and joins them with spaces and line
breaks only, so the text reads back to the same value. A list that fits in what is left of the line
(counting the closing parentheses that will follow it) is written on that line; otherwise its first
element follows the `(`, so do the atoms after a leading atom while they fit, and each further
element starts a line of its own, indented by `indent` from the `(`:

    (public-key
      (rsa
        (n #00c5a1...#)
        (e #010001#))
      (hash sha256
        #8c2574892063f995fdf756bce07f46c1a5193e54cd52837ed91e32008ccf41ac#))

The layout is the core's (the same one `tarnel --pretty` uses): the value is walked once, as
`to_advanced` walks it, and laid out as it goes, holding back no more than about a line of text;
nothing recurses. Indentation stops growing at half the width so that deep trees give lines of
bounded indentation rather than output quadratic in the depth. Nesting is held to the limit of the
module's writers, so that what `to_advanced` refuses is refused here too, with the same
`ValueError`, and what is laid out reads back with `parse`; a list that contains itself is refused
with `ValueError` as well. `width` and `indent` are whole numbers (not bools or floats), refused as
the module refuses its own arguments: `TypeError` for the type, `ValueError` for the range.
"""

from __future__ import annotations

from ._streaming import to_pretty as _lay_out

TYPE_CHECKING = False
if TYPE_CHECKING:  # annotations only: laying out does not import typing
    from .types import SExpLike

#: How deeply lists may nest: the limit of the module's writers (`to_advanced` refuses a list
#: opened inside this many others, with the same message).
DEPTH_LIMIT = 1024


def to_pretty(sexp: SExpLike, *, width: int = 72, indent: int = 2) -> str:
    """Returns the advanced representation of the S-expression laid out over indented lines.

    Lists that fit within `width` columns stay on one line; the text reads back to the same value."""
    return _lay_out(sexp, width, indent)
