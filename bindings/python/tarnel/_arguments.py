"""The command's arguments read without argparse, where they are simple.

Most runs of `tarnel` name a few files, an output form and a limit or two; importing argparse and
building the parser costs more than converting a small input. `read_simple` reads such argument
lists itself and gives exactly the values argparse gives them. It reads the options by their whole
names only, each value as its own argument or after `=`, and the files as one run of arguments
(`--` making the rest files). For anything else it answers None and the command's argparse parser
reads the arguments: abbreviations, bundled or unknown options, a value that argparse would refuse
or read in a way of its own (a sign, spaces, a leading `-`), files on both sides of an option
(which argparse refuses), `--help`. It never judges an argument list wrong, so every message and
the help still come from argparse.
"""

from __future__ import annotations

from ._streaming import READER_OPTIONS

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Container, Sequence

#: The representations `--to` names.
FORMS = ("advanced", "canonical", "transport")
_DIGITS = frozenset("0123456789")
#: 2**64-1, the largest count, has 20 digits; longer values (leading zeros) go to argparse.
_MOST_DIGITS = 20


def reader_flag(name: str, kind: str) -> str:
    """The option for a reader option of READER_OPTIONS: a restriction as `--no-advanced`, a limit
    as `--max-depth` (which takes N)."""
    if kind == "flag":
        return "--no-" + name.removeprefix("allow_").replace("_", "-")
    return "--" + name.replace("_", "-")


# Each option: its attribute, and the value it stores (a switch) or the kind of value it takes.
_OPTIONS: dict[str, tuple[str, object]] = {
    "--version": ("version", True),
    "--to": ("to", "form"),
    "--pretty": ("pretty", True),
    "--width": ("width", "positive"),
    "--indent": ("indent", "count"),
    "--hash": ("hash", "hash"),
    "--find": ("find", "text"),
    "--keygrip": ("keygrip", True),
    "-f": ("force", True),
    "--force": ("force", True),
    "--canonical-only": ("canonical_only", True),
    **{
        reader_flag(name, kind): (name, False if kind == "flag" else "count")
        for name, kind, _, _ in READER_OPTIONS
    },
    "--raw-octets": ("raw_octets", True),
    "--gnupg-key": ("gnupg_key", True),
}


class Arguments:
    """The values of the arguments, as attributes named as argparse names them."""

    def __init__(self, values: dict[str, object]) -> None:
        self.__dict__.update(values)


def _defaults() -> dict[str, object]:
    values: dict[str, object] = {"files": [], "help": None}
    for dest, how in _OPTIONS.values():
        # A switch that sets True is False until given, and the other way round; a value, None.
        values[dest] = (not how) if isinstance(how, bool) else None
    for name, kind, default, _ in READER_OPTIONS:
        if kind != "flag":
            values[name] = default
    return values


def _value(kind: object, text: str, hashes: Container[str]) -> object:
    """The value of an option's argument, or None where argparse is left to read it."""
    if kind == "text":
        return text
    if kind == "form":
        return text if text in FORMS else None
    if kind == "hash":
        return text if text in hashes else None
    if not text or len(text) > _MOST_DIGITS or not _DIGITS.issuperset(text):
        return None
    number = int(text)
    if number >= 1 << 64 or (kind == "positive" and number == 0):
        return None
    return number


def read_simple(argv: Sequence[str], hashes: Container[str]) -> Arguments | None:
    """The values argparse gives `argv`, where `argv` is simple; None where argparse must read it.
    `hashes` holds the names `--hash` takes."""
    values = _defaults()
    files: list[str] = []
    files_ended = False  # a run of files was followed by an option: no more files
    i = 0
    while i < len(argv):
        arg = argv[i]
        i += 1
        if arg == "--":
            if files_ended:
                return None
            files.extend(argv[i:])
            break
        if not arg.startswith("-") or arg == "-":
            if files_ended:
                return None
            files.append(arg)
            continue
        files_ended = bool(files)
        name, equals, text = arg.partition("=")
        option = _OPTIONS.get(name)
        if option is None:
            return None
        dest, how = option
        if isinstance(how, bool):
            if equals:
                return None
            values[dest] = how
            continue
        if not equals:
            if i == len(argv):
                return None
            text = argv[i]
            i += 1
        if text.startswith("-"):
            return None
        value = _value(how, text, hashes)
        if value is None:
            return None
        values[dest] = value
    values["files"] = files
    return Arguments(values)
