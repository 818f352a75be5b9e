"""The extension module `_tarnel`, seen from inside the package.

The extension installs as the top-level module `_tarnel`. Type checkers only look for stubs inside
packages, so its stub is `_tarnel.pyi` beside this file, and the package's own modules import the
extension's contents from here: at run time they are the very same objects.
"""

from _tarnel import *  # noqa: F401,F403
from _tarnel import __all__  # noqa: F401
