# Types of the extension module `_tarnel`, which the package re-exports.
from typing import Final, final

from .types import OctetsLike, SExp, SExpLike

__all__ = [
    "Atom",
    "Parser",
    "ParseError",
    "DEFAULT_HINT",
    "DEFAULT_MAX_DEPTH",
    "parse",
    "parse_canonical",
    "to_canonical",
    "to_transport",
    "to_advanced",
]

DEFAULT_HINT: Final[bytes]
DEFAULT_MAX_DEPTH: Final[int]

@final
class Atom:
    def __new__(cls, data: OctetsLike, hint: OctetsLike | None = None) -> Atom: ...
    @property
    def data(self) -> bytes: ...
    @property
    def hint(self) -> bytes | None: ...
    def effective_hint(self, default: OctetsLike) -> bytes: ...
    def eq_ignoring_hint(self, other: OctetsLike) -> bool: ...
    def __len__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

@final
class Parser:
    def __new__(
        cls,
        *,
        canonical: bool = False,
        max_depth: int = ...,
        max_atom_len: int | None = None,
        max_input_len: int | None = None,
        allow_advanced: bool = True,
        allow_transport: bool = True,
        allow_display_hints: bool = True,
        allow_empty_atoms: bool = True,
        allow_empty_lists: bool = True,
        allow_list_as_first_element: bool = True,
        allow_hexadecimal: bool = True,
        allow_base64: bool = True,
        allow_lengths: bool = True,
    ) -> Parser: ...
    def parse(self, data: OctetsLike) -> SExp: ...
    def parse_prefix(self, data: OctetsLike) -> tuple[SExp, int]: ...

class ParseError(ValueError):
    # Set on every instance the module raises; absent from one built by Python code.
    offset: int
    kind: str

def parse(data: OctetsLike) -> SExp: ...
def parse_canonical(data: OctetsLike) -> SExp: ...
def to_canonical(sexp: SExpLike) -> bytes: ...
def to_transport(sexp: SExpLike) -> str: ...
def to_advanced(sexp: SExpLike) -> str: ...
