"""Fast, exact SPKI S-expressions: canonical, basic transport and advanced representations.

The package re-exports every entry of the extension module `_tarnel`, in its order, and adds its
own helpers after them: `load` and `dump` for files, `iter_parse` for streams and `to_pretty` for
an indented layout. `__all__` lists both, the module's entries first. The submodule `types` holds
type aliases for annotations; `python -m tarnel` is the command-line tool.
"""

from ._tarnel import *  # noqa: F401,F403
from ._tarnel import __all__ as _module_all

from ._files import dump, load
from ._stream import iter_parse
from .pretty import to_pretty

__all__ = [*_module_all, "load", "dump", "iter_parse", "to_pretty"]
