"""Fast, exact SPKI S-expressions: canonical, basic transport and advanced representations.

The package re-exports every entry of the extension module `_tarnel`, in its order, and adds its
own helpers after them: `load` and `dump` for files, `iter_parse` for streams, `to_pretty` for
an indented layout, `parse_raw` for text that holds raw octets in quoted strings, and `find`,
`find_all`, `match` and `Pattern` for taking parts out of a value. `__all__` lists both, the
module's entries first. The submodule `types` holds type aliases for annotations,
`gnupg` reads GnuPG's secret key files; `python -m tarnel` is the command-line tool. Importing the
package also lets `pickle` and `copy` take `Atom` and `Parser`, as tools that spread work over
processes need.
"""

from ._tarnel import *  # noqa: F401,F403
from ._tarnel import __all__ as _module_all

__all__ = [
    *_module_all,
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

# Pickling, for the tools that move values and arguments between processes (multiprocessing,
# concurrent.futures, Dask, Ray). The extension's classes have no pickling of their own: these
# reducers are registered with copyreg (which the interpreter has imported already). A pickled
# Atom or Parser holds nothing but the arguments of its constructor, which checks them again when
# it is unpickled. Pickled parsers name `_parser_from_options`: it keeps that name.
import copyreg as _copyreg

from ._tarnel import Atom, Parser


def _reduce_atom(atom: Atom) -> tuple[object, ...]:
    return Atom, (atom.data, atom.hint)


def _reduce_parser(parser: Parser) -> tuple[object, ...]:
    from ._streaming import parser_options

    return _parser_from_options, (parser_options(parser),)


def _parser_from_options(options: dict[str, object]) -> Parser:
    """The Parser that a pickled one stands for: `Parser(**options)`."""
    return Parser(**options)


_copyreg.pickle(Atom, _reduce_atom)
_copyreg.pickle(Parser, _reduce_parser)

# The helpers written in Python and the submodules load at first use, so that `import tarnel`
# costs no more than the extension, and `typing` and the other modules they need are imported
# only by programs that use them.
_HELPERS = {
    "load": "_files",
    "dump": "_files",
    "iter_parse": "_stream",
    "to_pretty": "pretty",
    "parse_raw": "_streaming",
    "find": "_streaming",
    "find_all": "_streaming",
    "match": "_query",
    "Pattern": "_query",
}
_SUBMODULES = ("types", "pretty", "gnupg", "_files", "_stream", "_query")


def __getattr__(name: str) -> object:
    import importlib

    if name in _HELPERS:
        value = getattr(importlib.import_module(f".{_HELPERS[name]}", __name__), name)
    elif name in _SUBMODULES:
        value = importlib.import_module(f".{name}", __name__)
    else:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *_HELPERS, *_SUBMODULES})
