"""Patterns: the parts of an S-expression taken by name, declaratively.

`Pattern` compiles a pattern once, natively (`tarnel._streaming.compile_pattern`, the core's
compiler), and its `match` runs the core's matcher over the Python value itself, so matching
reads only what the pattern looks at and binds the value's own objects. `match` takes a pattern
in any form; text patterns it compiles once and keeps, so that a literal pattern in a loop is not
read again on every call. The pattern language is described in the README ("Matching patterns")
and in the core's header, include/tarnel/match.h.
"""

from __future__ import annotations

import functools

from ._streaming import compile_pattern as _compile
from ._streaming import match_compiled as _match

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Optional, Union

    from .types import SExp, SExpLike

    PatternSource = Union[str, bytes, bytearray, memoryview, "Pattern", SExpLike]

__all__ = ["Pattern", "match"]

#: How many text patterns `match` keeps compiled, the most recently used.
CACHED_PATTERNS = 256


class Pattern:
    """A pattern compiled once, to match any number of S-expressions.

    `pattern` is the pattern's text (`str`, or `bytes` or another buffer of its
    octets, in any representation) or the pattern as a value (a list, tuple or
    Atom). A malformed pattern raises `ParseError`, whose `offset` counts into
    the text, or for a value into its canonical form, and whose `kind` says what
    was wrong. A compiled pattern is immutable, and may be shared between threads."""

    __slots__ = ("_compiled", "_names")

    def __init__(self, pattern: PatternSource) -> None:
        if isinstance(pattern, Pattern):
            self._compiled: object = pattern._compiled
            self._names: tuple[str, ...] = pattern._names
        else:
            self._compiled, self._names = _compile(pattern)

    @property
    def names(self) -> tuple[str, ...]:
        """The names the pattern binds, in order of first appearance."""
        return self._names

    def match(self, sexp: SExpLike) -> Optional[dict[str, Optional[SExp]]]:
        """Returns the names the pattern binds in `sexp`, or None where it does not match.

        The dict has every name of the pattern, in order of first appearance, bound
        to the element it matched (the object itself, not a copy), to a new list of
        the elements a rest (`:name...`) took, or to None where the optional part
        holding it was absent."""
        return _match(self._compiled, sexp)

    def __repr__(self) -> str:
        return f"<tarnel.Pattern binding ({', '.join(self._names)})>"


@functools.lru_cache(maxsize=CACHED_PATTERNS)
def _compiled_text(text: Union[str, bytes]) -> Pattern:
    return Pattern(text)


def match(pattern: PatternSource, sexp: SExpLike) -> Optional[dict[str, Optional[SExp]]]:
    """Matches `sexp` against `pattern`: the names it binds, or None where it does not match.

    `pattern` is a `Pattern`, or anything `Pattern` takes, compiled here; `str` and
    `bytes` patterns are compiled once and kept (the last 256 used). The result is
    what `Pattern.match` returns."""
    if isinstance(pattern, Pattern):
        return pattern.match(sexp)
    if type(pattern) is str or type(pattern) is bytes:
        return _compiled_text(pattern).match(sexp)
    return Pattern(pattern).match(sexp)
