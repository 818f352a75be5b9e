# Types of the package: the extension's entries, then the package's own helpers.
from . import gnupg as gnupg
from . import types as types
from ._files import dump as dump
from ._files import load as load
from ._query import Pattern as Pattern
from ._query import match as match
from ._stream import iter_parse as iter_parse
from ._streaming import find as find
from ._streaming import find_all as find_all
from ._streaming import parse_raw as parse_raw
from ._tarnel import DEFAULT_HINT as DEFAULT_HINT
from ._tarnel import DEFAULT_MAX_DEPTH as DEFAULT_MAX_DEPTH
from ._tarnel import Atom as Atom
from ._tarnel import ParseError as ParseError
from ._tarnel import Parser as Parser
from ._tarnel import parse as parse
from ._tarnel import parse_canonical as parse_canonical
from ._tarnel import to_advanced as to_advanced
from ._tarnel import to_canonical as to_canonical
from ._tarnel import to_transport as to_transport
from .pretty import to_pretty as to_pretty

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
    "load",
    "dump",
    "iter_parse",
    "to_pretty",
    "parse_raw",
    "find",
    "find_all",
    "match",
    "Pattern",
]
