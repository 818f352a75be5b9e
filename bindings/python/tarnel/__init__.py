"""Fast, exact SPKI S-expressions: canonical, basic transport and advanced representations."""

from _tarnel import *  # noqa: F401,F403
from _tarnel import __all__  # noqa: F401
