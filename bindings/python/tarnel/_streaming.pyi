# Types of the package's native stream module, `tarnel._streaming`.
from collections.abc import Callable
from typing import Any, final

from ._tarnel import Parser
from .types import OctetsLike, SExp

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
    ) -> Reader: ...
    def __iter__(self) -> Reader: ...
    # Values, or with a form each S-expression's octets in that representation.
    def __next__(self) -> Any: ...
    def convert(self, write: Callable[[memoryview], object], separator: bytes = ...) -> None: ...
    def buffered(self, start: int, stop: int) -> tuple[int, bytes]: ...
    @property
    def offset(self) -> int: ...
    @property
    def start(self) -> int: ...

# Parser's limits and restrictions: (name, "count" | "limit" | "flag", default, what it bounds or
# refuses), in the order of Parser's keywords.
READER_OPTIONS: tuple[tuple[str, str, int | bool | None, str], ...]

def parser_options(parser: Parser) -> dict[str, object]: ...
def parse_raw(data: OctetsLike, parser: Parser | None = None) -> SExp: ...
