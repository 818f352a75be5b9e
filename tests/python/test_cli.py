"""The `tarnel` command end to end: real files, real processes, exit statuses and exact output."""

import errno
import hashlib
import importlib.metadata
import os
import pathlib
import shutil
import subprocess
import sys
import threading
import time

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tarnel
from conftest import SELECT_ON_PIPES
from tarnel import Atom, Parser, to_advanced, to_canonical, to_transport

try:
    import pty
except ImportError:  # Windows has no pseudo-terminals
    pty = None

needs_terminal = pytest.mark.skipif(pty is None, reason="no pseudo-terminals on this platform")

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def command(*args):
    """`python -m tarnel` with the interpreter and import path of this test run."""
    return [sys.executable, "-m", "tarnel", *(a if isinstance(a, bytes) else str(a) for a in args)]


def tarnel_cmd(*args, stdin=b"", tty=()):
    """Runs the command. The streams named in `tty` ("stdout", "stderr") share one terminal,
    whose octets are `proc.terminal` (its line breaks arrive as \\r\\n)."""
    if not tty:
        proc = subprocess.run(command(*args), input=stdin, capture_output=True, timeout=120)
        if sys.platform == "win32":  # messages go through a text stream, whose line ends are \r\n
            proc.stderr = proc.stderr.replace(b"\r\n", b"\n")
        return proc
    leader, follower = pty.openpty()
    seen = bytearray()

    def watch():  # read as it comes, so that the command never waits for room on the terminal
        while True:
            try:
                piece = os.read(leader, 1 << 16)
            except OSError:  # every writer has gone
                return
            if not piece:
                return
            seen.extend(piece)

    watcher = threading.Thread(target=watch)
    try:
        proc = subprocess.Popen(
            command(*args),
            stdin=subprocess.PIPE,
            stdout=follower if "stdout" in tty else subprocess.PIPE,
            stderr=follower if "stderr" in tty else subprocess.PIPE,
        )
        os.close(follower)
        watcher.start()
        proc.stdout, proc.stderr = proc.communicate(stdin, timeout=120)
        watcher.join(timeout=120)
    finally:
        os.close(leader)
    proc.terminal = bytes(seen)
    return proc


def expressions(data):
    parser, pos, out = Parser(max_depth=100_000), 0, []
    while data[pos:].strip():
        value, used = parser.parse_prefix(data[pos:])
        out.append(value)
        pos += used
    return out


@pytest.fixture
def keys():
    data = (EXAMPLES / "keys.sexp").read_bytes()
    return EXAMPLES / "keys.sexp", expressions(data)


# Conversions ------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, render",
    [
        ([], lambda v: (to_advanced(v) + "\n").encode()),
        (["--to", "advanced"], lambda v: (to_advanced(v) + "\n").encode()),
        (["--to", "transport"], lambda v: (to_transport(v) + "\n").encode()),
        (["--to", "canonical"], to_canonical),
        (["--hash", "sha256"], lambda v: (hashlib.sha256(to_canonical(v)).hexdigest() + "\n").encode()),
        (["--hash", "sha3_512"], lambda v: (hashlib.sha3_512(to_canonical(v)).hexdigest() + "\n").encode()),
        (["--hash", "md5"], lambda v: (hashlib.md5(to_canonical(v)).hexdigest() + "\n").encode()),
    ],
    ids=lambda a: " ".join(a) if isinstance(a, list) else "",
)
def test_each_expression_of_a_file_is_written_in_turn(keys, args, render):
    path, values = keys
    assert len(values) == 3
    proc = tarnel_cmd(*args, path)
    assert (proc.returncode, proc.stderr) == (0, b"")
    assert proc.stdout == b"".join(render(v) for v in values)


def test_canonical_example_matches_the_advanced_one(keys):
    path, values = keys
    canonical = (EXAMPLES / "keys.canonical").read_bytes()
    assert canonical == b"".join(map(to_canonical, values))
    assert tarnel_cmd("--to", "canonical", path).stdout == canonical
    assert tarnel_cmd("--canonical-only", "--to", "canonical", EXAMPLES / "keys.canonical").stdout == canonical


def test_stdin_dash_and_several_files_in_order(keys, tmp_path):
    path, values = keys
    other = tmp_path / "other.sexp"
    other.write_bytes(b"(1:x)")
    proc = tarnel_cmd(path, "-", other, stdin=b" mid ")
    lines = proc.stdout.decode().splitlines()
    assert proc.returncode == 0
    assert lines == [to_advanced(v) for v in values] + ["mid", "(x)"]
    assert tarnel_cmd(stdin=b"(a)(b)").stdout == b"(a)\n(b)\n"


ALL_OCTETS = [bytes(range(256)), Atom(bytes(range(255, -1, -1)), bytes(range(256))), b"", b"\r\n"]


@pytest.mark.parametrize("form", ["canonical", "advanced", "transport"])
def test_every_octet_value_survives_any_form(form, tmp_path):
    source = tmp_path / "octets.canonical"
    source.write_bytes(to_canonical(ALL_OCTETS) + to_canonical(bytes(range(256))))
    converted = tarnel_cmd("--to", form, source)
    assert converted.returncode == 0
    back = tarnel_cmd("--to", "canonical", stdin=converted.stdout)
    assert back.stdout == source.read_bytes()


# The pretty layout ------------------------------------------------------------------------------

sexps = st.recursive(
    st.binary(max_size=10) | st.builds(Atom, st.binary(max_size=4), st.sampled_from([b"t", b""])),
    lambda inner: st.lists(inner, max_size=5),
    max_leaves=30,
)


@settings(max_examples=15, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(sexps, min_size=1, max_size=20), st.integers(1, 60))
def test_pretty_output_reads_back_identically(tmp_path, values, width):
    source = tmp_path / "values.canonical"
    source.write_bytes(b"".join(map(to_canonical, values)))
    proc = tarnel_cmd("--pretty", "--width", width, source)
    assert proc.returncode == 0
    assert [to_canonical(v) for v in expressions(proc.stdout)] == [to_canonical(v) for v in values]
    back = tarnel_cmd("--to", "canonical", stdin=proc.stdout)
    assert back.stdout == source.read_bytes()


def test_pretty_width_and_indent(keys):
    path, values = keys
    proc = tarnel_cmd("--pretty", "--width", "40", "--indent", "4", path)
    assert proc.stdout.decode() == "".join(
        tarnel.to_pretty(v, width=40, indent=4) + "\n" for v in values
    )
    assert "\n    (rsa-pkcs1-sha256\n" in proc.stdout.decode()


def test_whatever_depth_is_read_is_written(tmp_path):
    deep = tmp_path / "deep"
    deep.write_bytes(b"(" * 2000 + b"1:x" + b")" * 2000 + b"(1:y)")
    deep_parser = Parser(max_depth=5000)
    expected = [to_canonical_deep(v) for v in tarnel.iter_parse(deep.read_bytes(), deep_parser)]
    for args in (["--to", "canonical"], ["--to", "transport"], ["--to", "advanced"], ["--pretty"]):
        proc = tarnel_cmd("--max-depth", "5000", *args, deep)
        assert (proc.returncode, proc.stderr) == (0, b""), args
        got = tarnel.iter_parse(proc.stdout, deep_parser)
        assert [to_canonical_deep(v) for v in got] == expected, args
    digest = tarnel_cmd("--max-depth", "5000", "--hash", "sha256", deep)
    assert digest.stdout.split()[0].decode() == hashlib.sha256(expected[0]).hexdigest()


def to_canonical_deep(value):
    """The canonical form of a value nested deeper than the module's writers go."""
    out, stack = [], [value]
    while stack:
        item = stack.pop()
        if isinstance(item, list):
            out.append(b"(")
            stack.append(b")")
            stack.extend([("atom", v) if not isinstance(v, list) else v for v in reversed(item)])
        elif isinstance(item, tuple):
            out.append(to_canonical(item[1]))
        else:
            out.append(item)
    return b"".join(out)


# Reader options ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "option, data, kind, offset",
    [
        ("--canonical-only", b"(1:a)(a)", "advanced_not_allowed", 6),
        ("--no-advanced", b"( 1:a)", "unexpected_octet", 1),
        ("--no-transport", b"{KCk=}", "transport_not_allowed", 0),
        ("--no-display-hints", b"([1:t]1:a)", "hint_not_allowed", 1),
        ("--no-empty-atoms", b'(a "")', "empty_atom_not_allowed", 3),
        ("--no-empty-lists", b"(a ())", "empty_list_not_allowed", 3),
        ("--no-list-as-first-element", b"((a) b)", "list_as_first_element_not_allowed", 0),
        ("--no-hexadecimal", b"(a #61#)", "hexadecimal_not_allowed", 3),
        ("--no-base64", b"(a |YQ==|)", "base64_not_allowed", 3),
        ("--no-lengths", b'(a 1"a")', "length_not_allowed", 3),
    ],
)
def test_each_restriction_refuses_what_is_otherwise_read(option, data, kind, offset, tmp_path):
    source = tmp_path / "input"
    source.write_bytes(data)
    assert tarnel_cmd(source).returncode == 0
    proc = tarnel_cmd(option, source)
    assert proc.returncode == 1
    first = proc.stderr.decode().splitlines()[0]
    assert first.startswith(f"tarnel: {source}: offset {offset}: {kind}: ")


@pytest.mark.parametrize(
    "option, limit, fits, too_big, kind",
    [
        ("--max-depth", 2, b"(())", b"((()))", "too_deep"),
        ("--max-atom-len", 3, b"3:abc", b"4:abcd", "atom_too_long"),
        ("--max-input-len", 5, b"(1:a)", b"(1:ab)", "input_too_long"),
    ],
)
def test_limits_apply_to_each_expression(option, limit, fits, too_big, kind):
    many = fits * 3  # longer than any limit as a whole: the limit is per expression
    ok = tarnel_cmd(option, limit, stdin=many)
    assert (ok.returncode, ok.stdout.count(b"\n")) == (0, 3)
    bad = tarnel_cmd(option, limit, stdin=fits + too_big)
    assert bad.returncode == 1
    assert f": {kind}: " in bad.stderr.decode()
    assert bad.stdout.count(b"\n") == 1  # the expression before the refusal was written


# Refusals ---------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "data, expected",
    [
        (
            b"(a b) (c\n  (d \"e\\q\"))",
            "offset 16: invalid_escape: an escape that is not defined\n"
            '      (d "e\\q"))\n'
            "           ^",
        ),
        (
            b"(abc (def",
            "offset 9: unexpected_end: the input ended in the middle of an S-expression\n"
            "    (abc (def\n"
            "             ^",
        ),
        (
            b"(1:a)\x00\xff",
            "offset 5: unexpected_octet: an octet that cannot appear here\n"
            "    (1:a)\\x00\\xff\n"
            "         ^",
        ),
        (
            b"(" + b"x" * 100 + b" #6#)",
            "offset 102: odd_hex_digits: " + "",
        ),
    ],
    ids=["escape", "end", "binary", "long-line"],
)
def test_refusal_shows_file_offset_kind_message_and_caret(data, expected, tmp_path):
    source = tmp_path / "bad.sexp"
    source.write_bytes(data)
    proc = tarnel_cmd(source)
    assert proc.returncode == 1
    err = proc.stderr.decode()
    assert err.startswith(f"tarnel: {source}: {expected}")
    assert "Traceback" not in err
    excerpt, caret = err.splitlines()[1:3]
    # The caret stands under the octet at the reported offset, whatever came before it.
    offset = int(err.split("offset ")[1].split(":")[0])
    shown_before = excerpt[4 : 4 + caret.index("^") - 4]
    assert data[:offset].replace(b"\x00", b"\\x00").decode("latin-1").endswith(shown_before)


def test_a_refusal_at_the_end_after_a_line_break_shows_the_last_line():
    proc = tarnel_cmd(stdin=b"(a b\n  (c d)\n\n")
    assert proc.returncode == 1
    assert proc.stderr.decode() == (
        "tarnel: <stdin>: offset 14: unexpected_end: "
        "the input ended in the middle of an S-expression\n"
        "      (c d)\\n\\n\n"
        "    " + " " * len("  (c d)\\n\\n") + "^\n"
    )


NUMBERS = "S-expressions have no numbers, and digits begin a length (as in 3:abc): "


@pytest.mark.parametrize(
    "data, offset, hint",
    [
        (b'(entry 0 "x")', 8, NUMBERS + 'write 0 as a string, "0" or 1:0'),
        (b"(entry 12)", 9, NUMBERS + 'write 12 as a string, "12" or 2:12'),
        (b"(n 007)", 3, NUMBERS + 'write 007 as a string, "007" or 3:007'),
        (
            b"(a b) ; a note\n",
            6,
            "S-expressions have no comments: remove the ';' and the rest of its line "
            "(some other tools skip them)",
        ),
    ],
)
def test_common_refusals_come_with_a_hint(data, offset, hint):
    proc = tarnel_cmd(stdin=data)
    assert proc.returncode == 1
    lines = proc.stderr.decode().splitlines()
    assert lines[0].startswith(f"tarnel: <stdin>: offset {offset}: ")  # the refusal as it was
    assert lines[3:] == [f"tarnel: hint: {hint}"]


HINTS = {
    "number": NUMBERS,
    "comment": "S-expressions have no comments",
    "mark": "the input begins with a UTF-8 byte-order mark (EF BB BF)",
    "raw": "quoted strings hold printable ASCII only: add --raw-octets",
}


@pytest.mark.parametrize(
    "data, hint",
    [
        # Between elements, where a bare number or a comment is met, near and far from the start.
        (b"(a [12] b)", "number"), (b"(" + b"(a)" * 3000 + b" 42)", "number"),
        (b"(a ; x)", "comment"),
        # The same octets inside strings, where neither fits.
        (b"(d #12Z4#)", None), (b"(d #1;#)", None), (b"(d |12;4|)", None), (b'(d "12\x01")', None),
        (b'(d 3"12\x01")', None), (b'(d "a ;\x01")', None),
        (b'(a "' + b"x" * 5000 + b' 12\x01")', None),
        # Digits that are no bare number, and refusals of other kinds.
        (b'(a "b 12', None), (b"(a 12:b)", None), (b"(a1 2:b)", None), (b"(a ]", None),
        (b"(a 3:ab 1#6#)", None),
        # A byte-order mark at the start, and only there.
        (b"\xef\xbb\xbf(a)", "mark"), (b"(a) \xef\xbb\xbf(b)", None),
        # Octets of 0x80 and above in a quoted string, but not in a token.
        (b'(name "Jos\xc3\xa9")', "raw"), (b'(a ["\xff"] b)', "raw"), (b'(a 4"Jo\xc3\xa9")', "raw"),
        (b'(a "' + b"x" * 5000 + b'\xff")', "raw"), (b"(name Jos\xc3\xa9)", None),
    ],
)
def test_hints_come_only_where_they_fit_the_refusal(data, hint):
    _, (kind, offset) = stream_refusal(data)
    proc = tarnel_cmd(stdin=data)
    assert proc.returncode == 1
    lines = proc.stderr.decode().splitlines()
    assert lines[0].startswith(f"tarnel: <stdin>: offset {offset}: {kind}: ")
    given = [line for line in lines if line.startswith("tarnel: hint: ")]
    assert given == ([] if hint is None else [given[0]])
    if hint is not None:
        assert given[0].startswith("tarnel: hint: " + HINTS[hint])
    # What the hint says to do reads the input.
    if hint == "raw":
        assert tarnel_cmd("--raw-octets", stdin=data).returncode == 0
    if hint == "mark":
        assert tarnel_cmd(stdin=data[3:]).returncode == 0


def stream_refusal(data):
    """What the stream reader itself reads of `data`, and its refusal (kind, offset)."""
    got = []
    try:
        for value in tarnel.iter_parse(data):
            got.append(value)
    except tarnel.ParseError as err:
        return got, (err.kind, err.offset)
    raise AssertionError(f"{data!r} is read without a refusal")


def test_names_that_are_not_utf8_are_shown_with_escapes(tmp_path):
    name = os.path.join(os.fsencode(tmp_path), b"b\xe9d\x1b.sexp")
    try:
        with open(name, "wb") as fp:
            fp.write(b"(")
    except OSError:
        pytest.skip("the file system takes only UTF-8 names")
    proc = tarnel_cmd(name)
    assert proc.returncode == 1
    shown = f"{tmp_path}{os.sep}b\\xe9d\\x1b.sexp"
    assert proc.stderr.decode().startswith(f"tarnel: {shown}: offset 1: unexpected_end: ")


def test_refusal_on_stdin_is_named_so():
    proc = tarnel_cmd(stdin=b"(")
    assert proc.returncode == 1
    assert proc.stderr.decode().startswith("tarnel: <stdin>: offset 1: unexpected_end: ")


def test_the_first_refusal_stops_the_run(tmp_path):
    bad, good = tmp_path / "bad", tmp_path / "good"
    bad.write_bytes(b"(a) )")
    good.write_bytes(b"(b)")
    proc = tarnel_cmd(bad, good)
    assert (proc.returncode, proc.stdout) == (1, b"(a)\n")


# Usage ------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, message",
    [
        (["--to", "xml"], "invalid choice: 'xml'"),
        (["--hash", "crc32"], "invalid choice: 'crc32'"),
        (["--max-depth", "-1"], "out of range"),
        (["--max-atom-len", "lots"], "not a whole number"),
        (["--max-input-len", str(1 << 64)], "out of range"),
        (["--width", "0"], "must be at least 1"),
        (["--bogus"], "unrecognized arguments: --bogus"),
        (["--hash", "sha256", "--to", "canonical"], "cannot be combined"),
        (["--pretty", "--to", "transport"], "advanced representation only"),
        (["--width", "10"], "need --pretty"),
    ],
)
def test_usage_errors_exit_2_with_a_message(args, message):
    proc = tarnel_cmd(*args, stdin=b"(a)")
    assert (proc.returncode, proc.stdout) == (2, b"")
    usage, error, *rest = proc.stderr.decode().splitlines()
    assert usage == "usage: tarnel [OPTION]... [FILE]..."
    assert error.startswith("tarnel: error: ") and message in error
    assert rest == ["Try 'tarnel --help' for more information."]


def test_an_unreadable_input_is_reported_and_the_others_still_converted(tmp_path):
    first, second, bad = tmp_path / "first", tmp_path / "second", tmp_path / "bad"
    first.write_bytes(b"(1:a)")
    second.write_bytes(b"(1:b)")
    bad.write_bytes(b"(c")
    missing, directory = tmp_path / "missing", tmp_path / "directory"
    directory.mkdir()
    proc = tarnel_cmd(first, missing, directory, second)
    assert (proc.returncode, proc.stdout) == (2, b"(a)\n(b)\n")
    assert proc.stderr.decode().splitlines() == [
        f"tarnel: {missing}: {os.strerror(errno.ENOENT)}",
        f"tarnel: {directory}: {os.strerror(errno.EISDIR)}",
    ]
    # Unreadable, then refused: both reported, and 2 says so rather than 1.
    both = tarnel_cmd(missing, bad, first)
    assert (both.returncode, both.stdout) == (2, b"")
    first, second = both.stderr.decode().splitlines()[:2]
    assert first == f"tarnel: {missing}: {os.strerror(errno.ENOENT)}"
    assert second.startswith(f"tarnel: {bad}: offset 2: unexpected_end: ")


@pytest.mark.parametrize("make", ["missing", "directory"])
def test_unreadable_files_exit_2(make, tmp_path):
    path = tmp_path / "x"
    if make == "directory":
        path.mkdir()
    proc = tarnel_cmd(path)
    assert proc.returncode == 2
    assert proc.stderr.decode().startswith(f"tarnel: {path}: ")
    assert "Traceback" not in proc.stderr.decode()


def test_version_is_the_installed_distributions():
    proc = tarnel_cmd("--version")
    try:
        version = importlib.metadata.version("tarnel")
    except importlib.metadata.PackageNotFoundError:
        version = "(version unknown: not installed)"
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, f"tarnel {version}\n".encode(), b"")


@needs_terminal
def test_canonical_output_goes_to_a_terminal_only_when_forced():
    refused = tarnel_cmd("--to", "canonical", stdin=b"(a)", tty=["stdout"])
    assert (refused.returncode, refused.terminal) == (2, b"")
    assert refused.stderr.decode().splitlines()[1] == (
        "tarnel: error: canonical output is binary and standard output is a terminal: "
        "redirect it, or add --force to write it there anyway"
    )
    for force in ("--force", "-f"):
        forced = tarnel_cmd("--to", "canonical", force, stdin=b"(a)", tty=["stdout"])
        assert (forced.returncode, forced.terminal) == (0, b"(1:a)")
    text = tarnel_cmd("--to", "transport", stdin=b"(a)", tty=["stdout"])
    assert (text.returncode, text.terminal) == (0, b"{KDE6YSk=}\r\n")


def test_hashes_of_several_inputs_name_each_as_sha256sum_does(tmp_path):
    plain, odd = tmp_path / "plain.canonical", tmp_path / "back\\slash\nline.canonical"
    plain.write_bytes(b"(1:a)")
    odd.write_bytes(b"(1:b)")
    proc = tarnel_cmd("--hash", "sha256", plain, "-", odd, stdin=b"(1:c) (1:d)")
    assert proc.returncode == 0
    sha = {c: hashlib.sha256(b"(1:%s)" % c.encode()).hexdigest() for c in "abcd"}
    escaped = str(odd).replace("\\", "\\\\").replace("\n", "\\n")
    assert proc.stdout.decode().splitlines() == [
        f"{sha['a']}  {plain}",
        f"{sha['c']}  -",
        f"{sha['d']}  -",
        f"\\{sha['b']}  {escaped}",
    ]
    sha256sum = shutil.which("sha256sum")
    if sha256sum is not None:  # each file holds one canonical S-expression: the same digest
        reference = subprocess.run([sha256sum, plain, odd], capture_output=True, check=True)
        assert tarnel_cmd("--hash", "sha256", plain, odd).stdout == reference.stdout


def test_help_lists_every_parser_flag():
    out = tarnel_cmd("--help").stdout.decode()
    for flag in ["--canonical-only", "--max-depth", "--max-atom-len", "--max-input-len"]:
        assert flag in out
    for keyword in ["advanced", "transport", "display_hints", "empty_atoms", "empty_lists",
                    "list_as_first_element", "hexadecimal", "base64", "lengths"]:
        assert "--no-" + keyword.replace("_", "-") in out
        Parser(**{"allow_" + keyword: False})  # every flag names a real keyword


# Streams, progress, pipes -----------------------------------------------------------------------


@pytest.fixture
def big_file(tmp_path):
    path = tmp_path / "big.canonical"
    one = to_canonical([b"entry", bytes(range(256)) * 4])
    path.write_bytes(one * (6 * 1024 * 1024 // len(one)))
    return path


@needs_terminal
def test_progress_only_for_large_inputs_on_a_terminal(big_file, tmp_path):
    tty = tarnel_cmd("--hash", "sha256", big_file, tty=["stderr"])
    assert tty.returncode == 0
    assert b"% (" in tty.terminal and b" MiB)" in tty.terminal
    assert tty.terminal.endswith(b"\r")  # the line is cleared at the end
    piped = tarnel_cmd("--hash", "sha256", big_file)
    assert piped.stderr == b"" and piped.stdout == tty.stdout
    small = tmp_path / "small"
    small.write_bytes(b"(a)")
    assert tarnel_cmd(small, tty=["stderr"]).terminal == b""


def screen(octets):
    """The lines a terminal shows for `octets`: a carriage return goes back to the start of the
    line, and what follows overwrites what was there."""
    lines = []
    for text in octets.split(b"\n"):
        line, column = bytearray(), 0
        for octet in text:
            if octet == ord("\r"):
                column = 0
                continue
            line[column : column + 1] = bytes([octet])
            column += 1
        lines.append(bytes(line).rstrip())
    return lines


@needs_terminal
def test_progress_is_cleared_before_output_on_the_same_terminal(big_file):
    expected = tarnel_cmd("--hash", "sha256", big_file).stdout.split()
    shared = tarnel_cmd("--hash", "sha256", big_file, tty=["stdout", "stderr"])
    assert shared.returncode == 0
    assert b"% (" in shared.terminal  # the progress was shown
    assert screen(shared.terminal) == expected + [b""]


@pytest.mark.skipif(
    sys.platform == "win32", reason="Windows reports a closed pipe as EINVAL, not EPIPE"
)
@pytest.mark.parametrize(
    "args", [["--to", "advanced"], ["--to", "canonical"], ["--hash", "sha256"], ["--pretty"]]
)
def test_a_closed_pipe_ends_quietly(big_file, args):
    proc = subprocess.Popen(
        command(*args, big_file), stdout=subprocess.PIPE, stderr=subprocess.PIPE
    )
    proc.stdout.read(10)
    proc.stdout.close()
    assert proc.wait(timeout=60) == 2
    assert proc.stderr.read() == b""


@pytest.mark.skipif(
    sys.platform == "win32", reason="Windows reports a closed pipe as EINVAL, not EPIPE"
)
@pytest.mark.parametrize("args", [[], ["--hash", "md5"], ["--version"], ["--help"]])
def test_a_pipe_closed_before_anything_is_written_ends_quietly(keys, args):
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        proc = subprocess.run(
            command(*args, keys[0]), stdout=write_end, stderr=subprocess.PIPE, timeout=60
        )
    finally:
        os.close(write_end)
    assert (proc.returncode, proc.stderr) == (2, b"")


@pytest.mark.skipif(not SELECT_ON_PIPES, reason="non-blocking pipes are waited for with select()")
@pytest.mark.parametrize("args", [["--to", "canonical"], ["--hash", "sha256"]])
def test_non_blocking_output_is_waited_for_not_cut_short(big_file, args):
    expected = tarnel_cmd(*args, big_file).stdout
    read_end, write_end = os.pipe()
    os.set_blocking(write_end, False)
    try:
        proc = subprocess.Popen(command(*args, big_file), stdout=write_end, stderr=subprocess.PIPE)
    finally:
        os.close(write_end)
    got = bytearray()
    with open(read_end, "rb", buffering=0) as reader:
        while piece := reader.read(1 << 12):  # slowly: the pipe is full most of the time
            got += piece
            time.sleep(0.0005)
    assert (proc.wait(timeout=60), proc.stderr.read()) == (0, b"")
    assert got == expected


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="no device that is always full")
@pytest.mark.parametrize(
    "args",
    [[], ["--to", "canonical"], ["--hash", "sha256"], ["--pretty"], ["--version"], ["--help"]],
)
def test_a_failed_write_is_blamed_on_the_output(keys, args):
    with open("/dev/full", "wb") as full:
        proc = subprocess.run(command(*args, keys[0]), stdout=full, stderr=subprocess.PIPE)
    assert proc.returncode == 2
    assert proc.stderr.decode() == f"tarnel: write error: {os.strerror(errno.ENOSPC)}\n"


SH = shutil.which("sh")


@pytest.mark.skipif(
    SH is None or sys.platform == "win32", reason="no POSIX sh to close the standard streams with"
)
@pytest.mark.parametrize(
    "closing, inputs, status, message",
    [
        ("<&-", ["keys"], 0, ""),
        ("<&-", ["keys", "-"], 2, "tarnel: <stdin>: standard input is closed\n"),
        (">&-", ["keys"], 2, "tarnel: write error: standard output is closed\n"),
        (">&-", ["empty"], 0, ""),
        (">&-", ["--help"], 2, "tarnel: write error: standard output is closed\n"),
        (">&-", ["--version"], 2, "tarnel: write error: standard output is closed\n"),
        ("2>&-", ["keys"], 0, None),
        ("2>&-", ["missing", "keys"], 2, None),
        ("2>&-", ["bad"], 1, None),
    ],
)
def test_closed_standard_streams(keys, tmp_path, closing, inputs, status, message):
    files = {"keys": keys[0], "-": "-", "missing": tmp_path / "missing"}
    files.update({"--help": "--help", "--version": "--version"})
    files["empty"], files["bad"] = tmp_path / "empty", tmp_path / "bad"
    files["empty"].write_bytes(b" \n")
    files["bad"].write_bytes(b"(")
    script = f'exec "$@" {closing}'
    args = [files[name] for name in inputs]
    proc = subprocess.run(
        [SH, "-c", script, "sh", *command(*args)], capture_output=True, timeout=60
    )
    assert proc.returncode == status
    if message is not None:
        assert proc.stderr.decode() == message
    if closing != ">&-":
        converted = b"".join((to_advanced(v) + "\n").encode() for v in keys[1])
        assert proc.stdout == (converted if "keys" in inputs else b"")


@pytest.mark.skipif(sys.platform == "win32", reason="a directory cannot be opened as a file")
@pytest.mark.parametrize("args", [[], ["--gnupg-key"]])
def test_a_directory_on_standard_input_is_reported(tmp_path, args):
    # CPython stops at start-up, before any code of the command runs, when standard input is a
    # directory (`tarnel < /`: "Fatal Python error", status 1); the command, when it is reached
    # with one, reports it as an input that cannot be read.
    script = (
        "import os, sys; os.dup2(os.open(sys.argv[1], os.O_RDONLY), 0); "
        "from tarnel.__main__ import main; sys.exit(main(sys.argv[2:]))"
    )
    proc = subprocess.run([sys.executable, "-c", script, tmp_path, *args], capture_output=True)
    assert (proc.returncode, proc.stdout) == (2, b"")
    assert proc.stderr.decode() == f"tarnel: <stdin>: {os.strerror(errno.EISDIR)}\n"


def test_output_is_flushed_before_waiting_for_more_input():
    proc = subprocess.Popen(
        [sys.executable, "-m", "tarnel"], stdin=subprocess.PIPE, stdout=subprocess.PIPE
    )
    try:
        proc.stdin.write(b"(a b) ")
        proc.stdin.flush()
        assert proc.stdout.readline() == b"(a b)\n"  # while stdin is still open
        proc.stdin.write(b"(c)")
        proc.stdin.close()
        assert proc.stdout.read() == b"(c)\n"
    finally:
        proc.kill()
        proc.wait()


@pytest.mark.skipif(
    shutil.which("tarnel", path=os.path.dirname(sys.executable)) is None,
    reason="the console script is only there when the package is installed",
)
def test_console_script_is_the_same_command(keys):
    path, values = keys
    script = shutil.which("tarnel", path=os.path.dirname(sys.executable))
    proc = subprocess.run([script, "--to", "canonical", str(path)], capture_output=True, timeout=60)
    assert proc.stdout == b"".join(map(to_canonical, values))


# Interactive input ------------------------------------------------------------------------------


@pytest.mark.skipif(not SELECT_ON_PIPES, reason="non-blocking pipes are waited for with select()")
def test_each_result_shows_while_the_writer_waits_even_on_non_blocking_input():
    # A writer that sends a message of exactly two 64 KiB reads, then waits for the answer; then
    # a second message after a pause. Standard input is non-blocking: a pause is not the end.
    read_end, write_end = os.pipe()
    os.set_blocking(read_end, False)
    proc = subprocess.Popen([sys.executable, "-m", "tarnel", "--to", "canonical"], stdin=read_end,
                            stdout=subprocess.PIPE)
    os.close(read_end)
    try:
        first = b"(131063:" + b"x" * 131063 + b")"
        assert len(first) == 1 << 17
        os.write(write_end, first)
        assert proc.stdout.read(len(first)) == first  # before the writer closes
        time.sleep(0.3)
        os.write(write_end, b"(1:b)")
    finally:
        os.close(write_end)
    assert proc.stdout.read() == b"(1:b)"
    assert proc.wait(timeout=30) == 0


@pytest.mark.skipif(not SELECT_ON_PIPES, reason="non-blocking pipes are waited for with select()")
def test_a_key_file_on_non_blocking_input_is_read_to_its_end():
    from tarnel.gnupg import read_key

    data = (EXAMPLES.parent / "tests" / "data" / "gnupg" / "extended-raw-iv.key").read_bytes()
    read_end, write_end = os.pipe()
    os.set_blocking(read_end, False)
    proc = subprocess.Popen(
        command("--gnupg-key", "--to", "canonical"),
        stdin=read_end, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
    )
    os.close(read_end)
    try:
        third = len(data) // 3 + 1
        for i in range(0, len(data), third):  # pauses that are not the end
            time.sleep(0.2)
            os.write(write_end, data[i : i + third])
    finally:
        os.close(write_end)
    out, err = proc.communicate(timeout=60)
    assert (proc.returncode, err, out) == (0, b"", to_canonical(read_key(data)))
