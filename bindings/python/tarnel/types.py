"""Type aliases for code that reads and writes S-expressions with tarnel.

`SExp` is what the reading functions return: `bytes` for an octet string without a display hint,
`Atom` for one with a hint, `list` for a list. `SExpLike` is what the writing functions accept:
also `str` (as UTF-8), `bytearray`, `memoryview` and `range` for octet strings, and any sequence of
these for a list (at run time only `list` and `tuple` make lists). `OctetsLike` is what stands for
the octets of one input or one octet string: also any sequence of integers 0 to 255.
"""

from typing import List, Sequence, Union

from ._tarnel import Atom

SExp = Union[bytes, Atom, List["SExp"]]
SExpLike = Union[bytes, bytearray, memoryview, str, Atom, range, Sequence["SExpLike"]]
OctetsLike = Union[bytes, bytearray, memoryview, str, Atom, Sequence[int]]

__all__ = ["SExp", "SExpLike", "OctetsLike"]
