"""The `tarnel` command: converts, lays out and hashes streams of S-expressions.

Each input (the files named, or standard input) is read as a stream of S-expressions one after
another, whitespace between them skipped, and each is written out as soon as it has been read:
canonical octets back to back, transport and advanced text one per line, `--pretty` layouts one
after another, each ending in a line break, `--hash` digests one per line (after each digest two
spaces and the input's name, as `sha256sum` writes them, when there are several inputs). Output is
written as octets, so canonical data passes through unchanged whatever the locale; it is not
written to a terminal in the canonical form unless `--force` says so.

Exit status: 0 when every input was read; 1 when an input is refused (the message names the file,
the offset, the kind of refusal and shows the input there, with a caret under the offending octet,
and a hint for the refusals people commonly meet); 2 for a usage error, an input that cannot be
opened or read, or output that cannot be written. The first refusal stops the run; the
S-expressions read before it have been written. An input that cannot be opened or read is reported
and the others are still converted; if a later one is refused, the status is still 2, since output
is then missing for two reasons. A failed write stops the run at once. A closed pipe on standard
output (`tarnel big.sexp | head -1`) ends the command quietly, as it ends `cat` where SIGPIPE is
ignored, but with no message: the status is 2, the status of output that could not be written.
Standard input, output or error may be closed: only reading the one or writing the other fails.
"""

from __future__ import annotations

import errno
import os
import stat
import sys
import time

TYPE_CHECKING = False
if TYPE_CHECKING:  # annotations only: the command starts without importing typing
    import argparse
    from collections.abc import Iterator, Sequence
    from typing import IO, Any, NoReturn

from ._arguments import FORMS, read_simple, reader_flag
from ._streaming import READER_OPTIONS
from ._tarnel import ParseError, Parser

from ._stream import DEFAULT_CHUNK_SIZE, _read_to_end, _wait, open_stream

PROG = "tarnel"
#: Inputs larger than this show their progress on a terminal's standard error.
PROGRESS_THRESHOLD = 4 << 20
PROGRESS_INTERVAL = 0.2
#: Regular files up to this size are read in one piece (unless their progress is shown), so that
#: every S-expression in them is converted where it lies, in one pass. Larger ones, and other
#: inputs, are read in pieces of a fixed size: an S-expression that a piece holds whole is still
#: converted where it lies, and only one that spans pieces is followed by the framer and gathered.
#: Either way the input held is bounded, and the output goes out in pieces of bounded size.
WHOLE_FILE_LIMIT = 16 << 20
FILE_CHUNK_SIZE = 1 << 20
#: Octets of input shown on each side of a refused octet.
EXCERPT_RADIUS = 32
#: Octets that may follow the digits of a length: those are not a bare number.
LENGTH_ENDS = b':"#|'
#: Octets of a token, which digits within are part of.
TOKEN_OCTETS = frozenset(b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-./_:*+=")

class _Hashes:
    """The digest algorithms `--hash` takes (hashlib's, but the variable-length shake ones),
    listed at their first use: hashlib loads the cryptographic library, which most runs of the
    command do not need."""

    def _names(self) -> list[str]:
        import hashlib

        return sorted(n for n in hashlib.algorithms_available if not n.startswith("shake"))

    def __contains__(self, name: object) -> bool:
        return name in self._names()

    def __iter__(self) -> Iterator[str]:
        return iter(self._names())

    def __len__(self) -> int:
        return len(self._names())


HASHES = _Hashes()


#: The usage line, as --help and every usage error show it (the options are listed by --help).
USAGE = f"{PROG} [OPTION]... [FILE]..."


class UsageError(Exception):
    pass


class HelpWanted(Exception):
    """--help was given: the help is written as any output is, its failure reported."""


def _count(text: str) -> int:
    import argparse  # loaded already: argparse is the caller

    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 0 <= value < 1 << 64:
        raise argparse.ArgumentTypeError(f"out of range (0 to 2**64-1): {text}")
    return value


def _positive(text: str) -> int:
    import argparse

    value = _count(text)
    if value == 0:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def build_argument_parser() -> argparse.ArgumentParser:
    """The parser of the command's arguments, imported and built only for the runs whose arguments
    `read_simple` leaves to it, and for --help."""
    import argparse

    class _ArgumentParser(argparse.ArgumentParser):
        def error(self, message: str) -> NoReturn:  # raised, to be reported as `_check`'s are
            raise UsageError(message)

    class _Help(argparse.Action):
        def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
            super().__init__(option_strings, dest, nargs=0, **kwargs)

        def __call__(self, *args: Any, **kwargs: Any) -> None:
            raise HelpWanted

    ap = _ArgumentParser(
        prog=PROG,
        usage=USAGE,
        add_help=False,
        description="Read streams of SPKI S-expressions and write them in another representation, "
        "laid out for people, or as digests of their canonical form.",
        epilog="Exit status: 0 success, 1 input refused, 2 usage error, unreadable file or failed "
        "write (2 also when one input was unreadable and another refused).",
    )
    ap.add_argument("files", nargs="*", metavar="FILE", help="inputs; standard input if none or -")
    ap.add_argument("-h", "--help", action=_Help, help="show this help and exit")
    ap.add_argument("--version", action="store_true", help="print the version and exit")
    out = ap.add_argument_group("output")
    out.add_argument(
        "--to",
        choices=FORMS,
        default=None,
        help="representation to write (default: advanced, one S-expression per line)",
    )
    out.add_argument(
        "--pretty", action="store_true", help="advanced, over indented lines (reads back the same)"
    )
    out.add_argument("--width", type=_positive, metavar="N", help="line width for --pretty (72)")
    out.add_argument("--indent", type=_count, metavar="N", help="indentation for --pretty (2)")
    out.add_argument(
        "--hash",
        choices=HASHES,
        metavar="ALGORITHM",
        help="print the hex digest of each canonical form instead, followed by the input's name "
        "when there are several inputs: %(choices)s",
    )
    out.add_argument(
        "--find",
        metavar="NAME",
        help="write, of each S-expression, only the first list whose first element is NAME "
        "(nothing where there is none), in the form chosen",
    )
    out.add_argument(
        "--keygrip",
        action="store_true",
        help="print the keygrip of each key read (with --gnupg-key, of each key file) in "
        "hexadecimal, as GnuPG names its key files",
    )
    out.add_argument(
        "-f",
        "--force",
        action="store_true",
        help="write canonical output even to a terminal",
    )
    rd = ap.add_argument_group("reading (the same restrictions and limits as tarnel.Parser)")
    rd.add_argument(
        "--canonical-only", action="store_true", help="accept the canonical representation only"
    )
    # Parser's limits and restrictions, from the table they are defined in: a limit as
    # --max-depth N, a restriction as --no-advanced.
    for name, kind, default, what in READER_OPTIONS:
        flag = reader_flag(name, kind)
        if kind == "flag":
            rd.add_argument(flag, dest=name, action="store_false", help="refuse " + what)
        else:
            shown = what if default is None else f"{what} (default {default})"
            rd.add_argument(flag, type=_count, default=default, metavar="N", help=shown)
    rd.add_argument(
        "--raw-octets",
        action="store_true",
        help="let quoted strings hold the octets 0x80-0xFF as they are, as libgcrypt writes them "
        "(what is written stays standard)",
    )
    rd.add_argument(
        "--gnupg-key",
        action="store_true",
        help="read each input as a GnuPG secret key file (private-keys-v1.d) in either of its "
        "formats, raw octets allowed, and write its key",
    )
    return ap


def _check(args: argparse.Namespace, stdout: Output) -> None:
    if args.keygrip and (args.to or args.pretty or args.hash or args.find is not None):
        raise UsageError("--keygrip prints keygrips, and cannot be combined with other output")
    if args.hash is not None and (args.to is not None or args.pretty):
        raise UsageError("--hash writes digests, and cannot be combined with --to or --pretty")
    if args.pretty and args.to not in (None, "advanced"):
        raise UsageError("--pretty lays out the advanced representation only")
    if not args.pretty and (args.width is not None or args.indent is not None):
        raise UsageError("--width and --indent need --pretty")
    if args.to == "canonical" and not args.force and stdout.isatty():
        raise UsageError(
            "canonical output is binary and standard output is a terminal: "
            "redirect it, or add --force to write it there anyway"
        )


def _version() -> str:
    try:
        from ._version import version  # written by the build

        return version
    except ImportError:
        pass
    from importlib import metadata

    try:
        return metadata.version("tarnel")
    except metadata.PackageNotFoundError:
        # Run from a source tree (PYTHONPATH) rather than installed: there is no record to read.
        return "(version unknown: not installed)"


def _reader_parser(args: argparse.Namespace) -> Parser:
    options = {name: getattr(args, name) for name, *_ in READER_OPTIONS}
    return Parser(canonical=args.canonical_only, **options)


class Progress:
    """A one-line indication of how much of a large input has been read, on a terminal only."""

    def __init__(self, name: str, size: int | None, stream: Messages) -> None:
        self._name, self._size, self._stream = name, size, stream
        self._active = size is not None and size > PROGRESS_THRESHOLD and stream.isatty()
        self._next = 0.0
        self._width = 0

    @property
    def active(self) -> bool:
        return self._active

    def update(self, done: int) -> None:
        if not self._active or self._size is None:
            return
        now = time.monotonic()
        if now < self._next:
            return
        self._next = now + PROGRESS_INTERVAL
        mib = 1 << 20
        line = (
            f"{PROG}: {self._name}: {100 * done // self._size}% "
            f"({done / mib:.1f} of {self._size / mib:.1f} MiB)"
        )
        self._width = max(self._width, len(line))
        self._stream.write("\r" + line.ljust(self._width))
        self._stream.flush()

    def clear(self) -> None:
        if self._active and self._width:
            self._stream.write("\r" + " " * self._width + "\r")
            self._stream.flush()
            self._width = 0


class Input:
    """The binary file being read, as the stream reader sees it: before each read the output so
    far is flushed (so interactive use shows each result before waiting), after it the progress
    moves on."""

    def __init__(self, fp: Any, out: Output, progress: Progress) -> None:
        self._fp, self._out, self._progress = fp, out, progress
        self._read = getattr(fp, "read1", None) or fp.read
        self.done = 0

    def read1(self, size: int) -> bytes:
        self._out.flush()
        data: bytes = self._read(size)
        self.done += len(data)
        self._progress.update(self.done)
        return data

    read = read1

    def fileno(self) -> int:
        # Lets the stream reader ask whether more input is ready before it waits for it.
        return int(self._fp.fileno())


class WriteFailed(Exception):
    """Writing the output failed: `error` says why. Kept apart from OSError so that a failed write
    is never taken for a fault of the input being read."""

    def __init__(self, error: OSError) -> None:
        super().__init__(error)
        self.error = error


class Output:
    """Standard output as the command writes it: every write in full (a non-blocking descriptor
    with no room is waited for, not taken for a failure), any failure raised as `WriteFailed`, and
    a progress line on the terminal cleared before anything written after it can join it."""

    def __init__(self, stream: IO[bytes] | None) -> None:
        self._stream = stream
        self.progress: Progress | None = None
        try:
            self._tty = stream is not None and stream.isatty()
        except (OSError, ValueError):
            self._tty = False

    def isatty(self) -> bool:
        return self._tty

    def write(self, data: Any) -> None:
        if self.progress is not None and self._tty:
            self.progress.clear()
        if self._stream is None:
            if len(data):
                raise WriteFailed(OSError(errno.EBADF, "standard output is closed"))
            return
        failure = self._write(data)
        if failure is not None:
            raise WriteFailed(failure)

    def _write(self, data: Any) -> OSError | None:
        # A buffered file on a non-blocking descriptor takes what there is room for and says how
        # much (None for nothing), or raises BlockingIOError saying so; the rest is written once
        # there is room.
        assert self._stream is not None
        rest, waited = data, False
        while True:
            try:
                taken = self._stream.write(rest)
            except BlockingIOError as err:
                taken = err.characters_written
            except OSError as err:
                # Without the traceback, which would keep `rest` (a view of the writer's buffer,
                # which it must release) alive.
                return err.with_traceback(None)
            taken = taken or 0  # None: nothing, for want of room
            if taken >= len(rest):
                return None
            rest = rest[taken:]
            if taken:
                waited = False
                continue
            if waited:
                return OSError(errno.EIO, "standard output takes nothing, though ready for it")
            failure = self._wait()
            if failure is not None:
                return failure
            waited = True

    def flush(self) -> None:
        if self._stream is None:
            return
        while True:
            try:
                self._stream.flush()
                return
            except BlockingIOError:
                failure = self._wait()
            except OSError as err:
                failure = err.with_traceback(None)
            if failure is not None:
                raise WriteFailed(failure)

    def abandon(self) -> None:
        """Points standard output at the null device after a failed write, so that what is still
        buffered is dropped rather than written, and its failure reported, at exit."""
        if self._stream is not None:
            try:
                _point_at_null(self._stream.fileno())
            except (OSError, ValueError):
                pass

    def _wait(self) -> OSError | None:
        assert self._stream is not None
        try:
            _wait(self._stream.fileno(), writing=True)
        except (OSError, ValueError) as err:
            return err if isinstance(err, OSError) else OSError(errno.EBADF, str(err))
        return None


class Messages:
    """Standard error, or nowhere where it is closed or fails: a message that cannot be shown
    must not change what the command does or its exit status."""

    def __init__(self, stream: IO[str] | None) -> None:
        self._stream = stream

    def write(self, text: str) -> None:
        try:
            if self._stream is not None:
                self._stream.write(text)
        except (OSError, ValueError):
            pass

    def flush(self) -> None:
        try:
            if self._stream is not None:
                self._stream.flush()
        except (OSError, ValueError):
            pass

    def isatty(self) -> bool:
        try:
            return self._stream is not None and self._stream.isatty()
        except (OSError, ValueError):
            return False


def shown_name(path: str) -> str:
    """A file name as messages show it: octets that are not UTF-8 (which arrive as lone
    surrogates) and control characters as backslash escapes, so that every name shows on one line
    and as it was typed."""
    text = os.fsencode(path).decode("utf-8", "backslashreplace")
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


def _hash_label(path: str) -> tuple[bytes, bytes]:
    """The name after a digest, with what goes before the digest, as `sha256sum` writes them: the
    name's own octets, and where it holds a backslash or a line break, those escaped and the line
    begun with a backslash."""
    name = b"-" if path == "-" else os.fsencode(path)
    if not any(o in name for o in b"\\\n\r"):
        return b"", name
    escaped = name.replace(b"\\", b"\\\\").replace(b"\n", b"\\n").replace(b"\r", b"\\r")
    return b"\\", escaped


def _render(octets: bytes) -> list[str]:
    """Each octet as it is shown in an excerpt: printable ASCII as itself, the rest escaped."""
    shown = []
    for o in octets:
        if 0x20 <= o < 0x7F:
            shown.append(chr(o))
        else:
            shown.append({9: "\\t", 10: "\\n", 13: "\\r"}.get(o, f"\\x{o:02x}"))
    return shown


def excerpt(octets: bytes, at: int) -> str:
    """Two lines: the line of `octets` holding index `at` (cut to the excerpt's radius), and a
    caret under that octet, or just past the last one where `at` is the end. At the end after a
    line break, that is the last line with text, its line breaks shown."""
    before = at
    if at == len(octets):
        while before > 0 and octets[before - 1] in b"\r\n":
            before -= 1
    line_start = octets.rfind(b"\n", 0, before) + 1
    line_end = octets.find(b"\n", at)
    line_end = len(octets) if line_end < 0 else max(line_end, at + 1)
    lo = max(line_start, at - EXCERPT_RADIUS)
    hi = min(line_end, at + EXCERPT_RADIUS)
    shown = _render(octets[lo:hi])
    column = sum(len(s) for s in shown[: at - lo])
    return "    " + "".join(shown) + "\n    " + " " * column + "^"


class Refused(Exception):
    """An input was refused; the message is ready to print."""


#: Refusals whose octet may stand between the elements of a list, where a bare number or a
#: comment is met; any other kind is refused inside a string, or is no fault of such octets.
BETWEEN_KINDS = ("unexpected_octet", "trailing_octets", "length_leading_zero", "length_overflow")
BYTE_ORDER_MARK = b"\xef\xbb\xbf"


def _place(octets: bytes, start: int | None, at: int) -> str | None:
    """Where the refusal at index `at` of `octets` stands within the S-expression that begins at
    index `start`: "between" its elements, inside a "quoted" string, or None where that is not
    known (its start is not held).

    The reader itself says, reading again the octets from the start up to the refusal (digits
    just before it left off, being a length or the string's own) with a quotation mark added:
    where that opens a string, the octets after it are taken into the string and the input
    ends inside it; where it closes one, they are read as structure, and refused or end it."""
    if start is None or not 0 <= start <= at:
        return None
    prefix = octets[start:at].rstrip(b"0123456789")
    if not prefix:
        return "between"
    probe = prefix + b'"])'
    from ._streaming import parse_raw

    try:
        parse_raw(probe, Parser(max_depth=len(probe)))
    except ParseError as err:
        if err.kind == "unexpected_end" and err.offset == len(probe):
            return "between"
        if err.offset < len(prefix) and err.kind != "length_mismatch":
            return None
    return "quoted"


def hint(octets: bytes, at: int, kind: str, start: int | None, offset: int) -> str | None:
    """A hint for a refusal that people commonly meet, at index `at` of `octets` and `offset` of
    the input, in the S-expression that begins at index `start` (None if it is not held): a
    byte-order mark, octets of 0x80 and above in a quoted string, and where they stand between
    elements, a bare number or a comment (as other tools accept them)."""
    if kind == "unexpected_octet" and offset == 0 and octets[at : at + 3] == BYTE_ORDER_MARK:
        return (
            "the input begins with a UTF-8 byte-order mark (EF BB BF), which is no part of an "
            "S-expression: remove it (some editors add it when saving)"
        )
    if kind not in BETWEEN_KINDS or at >= len(octets):
        return None
    place = _place(octets, start, at)
    if place == "quoted" and octets[at] >= 0x80:
        return (
            "quoted strings hold printable ASCII only: add --raw-octets to read the octets "
            "0x80-0xFF in them as they are (as libgcrypt writes them), or write the string in "
            "hexadecimal (#...#)"
        )
    if place != "between":
        return None
    if octets[at] == ord(";"):
        return (
            "S-expressions have no comments: remove the ';' and the rest of its line "
            "(some other tools skip them)"
        )
    digits = b"0123456789"
    lo = at
    while lo > 0 and octets[lo - 1] in digits:
        lo -= 1
    hi = at
    while hi < len(octets) and octets[hi] in digits:
        hi += 1
    if lo == hi or (lo > 0 and octets[lo - 1] in TOKEN_OCTETS):
        return None  # no digits here, or digits within a token
    if hi < len(octets) and octets[hi] in LENGTH_ENDS:
        return None  # a length, refused for another reason
    number = octets[lo:hi].decode("ascii")
    return (
        "S-expressions have no numbers, and digits begin a length (as in 3:abc): "
        f'write {number} as a string, "{number}" or {len(number)}:{number}'
    )


def _refusal(name: str, buffered: Any, err: ParseError, start: int | None = None) -> Refused:
    """The message for a refusal; `buffered(start, stop)` gives the input held around it, and
    `start` is where the S-expression refused begins, where known."""
    message = str(err).rpartition(" at offset ")[0] or str(err)
    lo = err.offset - EXCERPT_RADIUS
    if start is not None:
        lo = min(lo, start)  # for what the refusal stands in; the reader keeps what is near
    begins, around = buffered(lo, err.offset + EXCERPT_RADIUS)
    text = f"{PROG}: {name}: offset {err.offset}: {err.kind}: {message}"
    if begins <= err.offset <= begins + len(around):
        at = err.offset - begins
        text += "\n" + excerpt(around, at)
        held_start = start - begins if start is not None and start >= begins else None
        advice = hint(around, at, err.kind, held_start, err.offset)
        if advice:
            text += f"\n{PROG}: hint: {advice}"
    return Refused(text)


def _gnupg_key(fp: Any, name: str, parser: Parser) -> Any:
    """The key of a GnuPG key file, as a file of its canonical octets to write as any input."""
    import io

    from ._tarnel import to_canonical
    from .gnupg import read_key

    data = _read_to_end(fp)
    try:
        key = read_key(data, parser)
    except ParseError as err:

        def held(start: int, stop: int) -> tuple[int, bytes]:
            start = max(start, 0)
            return start, data[start:stop]

        raise _refusal(name, held, err) from None
    except ValueError as err:
        raise Refused(f"{PROG}: {name}: {err}") from None
    return io.BytesIO(to_canonical(key))


def _convert(
    fp: Any,
    name: str,
    parser: Parser,
    args: argparse.Namespace,
    out: Output,
    messages: Messages,
    label: str | None,
) -> None:
    """Converts one input. With `--hash` over several inputs, `label` is the input as named on the
    command line, which follows each digest; otherwise None."""
    if args.gnupg_key:
        # The key is read once, by the rules of `parser`; its canonical octets go on as they are.
        fp = _gnupg_key(fp, name, parser)
        parser = Parser(canonical=True, max_depth=args.max_depth)
    size = None
    try:
        info = os.fstat(fp.fileno())
        if stat.S_ISREG(info.st_mode):
            size = info.st_size
    except (AttributeError, OSError, ValueError):
        pass
    progress = Progress(name, size, messages)
    chunk_size = DEFAULT_CHUNK_SIZE
    if size is not None:
        whole = size < WHOLE_FILE_LIMIT and not progress.active
        # (A file that reports size 0, such as those under /proc, may still hold octets.)
        chunk_size = max(size + 1, DEFAULT_CHUNK_SIZE) if whole else FILE_CHUNK_SIZE
    layout: dict[str, int] = {}
    if args.find is not None or args.keygrip:
        form = None
    elif args.pretty:
        form = "pretty"
        width = 72 if args.width is None else args.width
        layout = {"width": width, "indent": 2 if args.indent is None else args.indent}
    elif args.hash is not None:
        form = "canonical"
    else:
        form = args.to or "advanced"
    source = Input(fp, out, progress)
    raw = args.raw_octets
    reader = open_stream(source, parser, chunk_size=chunk_size, form=form, raw_octets=raw, **layout)
    out.progress = progress
    try:
        if args.find is not None or args.keygrip:
            _query(reader, name, args, out, label)
        elif args.hash is not None:
            import hashlib

            algorithm = args.hash
            before, after = b"", b"\n"
            if label is not None:
                before, name_octets = _hash_label(label)
                after = b"  " + name_octets + b"\n"
            for octets in reader:
                digest = hashlib.new(algorithm, octets).hexdigest().encode("ascii")
                out.write(before + digest + after)
        else:
            # Converted natively, straight from the octets read to the octets written (laid out
            # as it is written, for --pretty).
            reader.convert(out.write, b"" if form == "canonical" else b"\n")
    except ParseError as err:
        raise _refusal(name, reader.buffered, err, reader.start) from None
    finally:
        out.progress = None
        progress.clear()


def _query(reader: Any, name: str, args: argparse.Namespace, out: Output, label: str | None) -> None:
    """--find and --keygrip: each value read, reduced to the list found or to its keygrip."""
    if args.keygrip:
        from ._keygrip import keygrip

        for value in reader:
            try:
                grip = keygrip(value)
            except ValueError as err:
                raise Refused(
                    f"{PROG}: {name}: offset {reader.start}: no keygrip for this key: {err}"
                ) from None
            out.write(grip.hex().upper().encode("ascii") + b"\n")
        return
    from ._streaming import find
    from ._tarnel import to_advanced, to_canonical, to_transport

    wanted = os.fsencode(args.find)
    for value in reader:
        found = find(value, wanted)
        if found is None:
            continue
        if args.pretty:
            from .pretty import to_pretty

            width = 72 if args.width is None else args.width
            indent = 2 if args.indent is None else args.indent
            try:
                text = to_pretty(found, width=width, indent=indent)
            except ValueError as err:  # deeper than the layout goes
                raise Refused(f"{PROG}: {name}: offset {reader.start}: {err}") from None
            out.write(text.encode("ascii") + b"\n")
        elif args.hash is not None:
            import hashlib

            before, after = b"", b"\n"
            if label is not None:
                before, name_octets = _hash_label(label)
                after = b"  " + name_octets + b"\n"
            digest = hashlib.new(args.hash, to_canonical(found)).hexdigest().encode("ascii")
            out.write(before + digest + after)
        elif args.to == "canonical":
            out.write(to_canonical(found))
        else:
            writer = to_transport if args.to == "transport" else to_advanced
            out.write(writer(found).encode("ascii") + b"\n")


def run(argv: Sequence[str] | None, stdin: Any, stdout: Output, stderr: Messages) -> int:
    """Runs the command; `stdin` is None where standard input is closed."""
    ap = None
    try:
        try:
            # A Namespace, or the same values read without argparse where the arguments are simple.
            args: Any = read_simple(sys.argv[1:] if argv is None else argv, HASHES)
            if args is None:
                ap = build_argument_parser()
                args = ap.parse_args(argv)
            if args.version:
                stdout.write(f"{PROG} {_version()}\n".encode())
                stdout.flush()
                return 0
            _check(args, stdout)
        except HelpWanted:
            assert ap is not None  # only argparse reads --help
            stdout.write(ap.format_help().encode())
            stdout.flush()
            return 0
        except UsageError as err:
            # The one useful line, not buried under the whole usage, as GNU tools do it.
            stderr.write(
                f"usage: {USAGE}\n{PROG}: error: {err}\n"
                f"Try '{PROG} --help' for more information.\n"
            )
            return 2
        return _convert_all(args, stdin, stdout, stderr)
    except WriteFailed as failed:
        # What is still buffered cannot go out either; it must not be reported again at exit.
        stdout.abandon()
        if not isinstance(failed.error, BrokenPipeError):
            stderr.write(f"{PROG}: write error: {failed.error.strerror or failed.error}\n")
        return 2


def _convert_all(args: argparse.Namespace, stdin: Any, stdout: Output, stderr: Messages) -> int:
    parser = _reader_parser(args)
    paths = args.files or ["-"]
    status = 0
    for path in paths:
        label = path if args.hash is not None and len(paths) > 1 else None
        if path == "-":
            name, fp, close = "<stdin>", stdin, False
            if stdin is None:
                stderr.write(f"{PROG}: {name}: standard input is closed\n")
                status = 2
                continue
        else:
            name = shown_name(path)
            try:
                fp, close = open(path, "rb"), True
            except OSError as err:
                stderr.write(f"{PROG}: {name}: {err.strerror or err}\n")
                status = 2
                continue
        try:
            _convert(fp, name, parser, args, stdout, stderr, label)
        except Refused as err:
            stdout.flush()
            stderr.write(f"{err}\n")
            return max(status, 1)
        except OSError as err:
            stderr.write(f"{PROG}: {name}: {err.strerror or err}\n")
            status = 2
        finally:
            if close:
                fp.close()
    stdout.flush()
    return status


def _point_at_null(fd: int) -> None:
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, fd)
    finally:
        os.close(devnull)


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command with `argv` (default: the process's arguments); returns the exit status."""
    # A standard stream that was closed when the command started is None here.
    stdin = sys.stdin.buffer if sys.stdin is not None else None
    stdout = Output(sys.stdout.buffer if sys.stdout is not None else None)
    messages = Messages(sys.stderr)
    try:
        return run(argv, stdin, stdout, messages)
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
