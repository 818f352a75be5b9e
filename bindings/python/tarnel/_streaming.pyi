# Types of the package's native stream module, `tarnel._streaming`.
from collections.abc import Callable
from typing import Any, final

from ._tarnel import Parser
from .types import OctetsLike, SExp, SExpLike

@final
class Reader:
    def __new__(
        cls,
        parser: Parser,
        *,
        chunks: Callable[[], bytes | None] | None = None,
        data: Any = None,
        form: str | None = None,
        raw_octets: bool = False,
        width: int = ...,
        indent: int = ...,
    ) -> Reader: ...
    def __iter__(self) -> Reader: ...
    # Values, or with a form each S-expression's octets in that representation ('pretty': laid
    # out as `to_pretty` lays it out, with `width` and `indent`).
    def __next__(self) -> Any: ...
    def convert(self, write: Callable[[memoryview], object], separator: bytes = ...) -> None: ...
    def buffered(self, start: int, stop: int) -> tuple[int, bytes]: ...
    @property
    def offset(self) -> int: ...
    @property
    def start(self) -> int: ...

def parser_options(parser: Parser) -> dict[str, object]: ...
def parse_raw(data: OctetsLike, parser: Parser | None = None) -> SExp: ...
def to_pretty(sexp: SExpLike, width: int = 72, indent: int = 2) -> str: ...
