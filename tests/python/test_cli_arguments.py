"""The command's quick argument reader against argparse: where it reads an argument list it gives
what argparse gives, and it leaves every list argparse refuses to argparse. A conversion whose
arguments are simple imports neither argparse nor the code of options it was not given."""

import re
import subprocess
import sys

import pytest
from hypothesis import event, example, given, settings
from hypothesis import strategies as st

from tarnel import parse, to_advanced, to_canonical
from tarnel.__main__ import HASHES, HelpWanted, UsageError, build_argument_parser
from tarnel._arguments import read_simple

# Every option --help shows; values some option takes, then values each refuses or reads its way.
HELP = build_argument_parser().format_help()
OPTION = st.sampled_from(re.findall(r"(?<![\w-])--?[a-z][a-z0-9-]*", HELP))
VALUE = st.one_of(
    st.sampled_from(["canonical", "sha256", "0", "1", "7", "x"]),
    st.sampled_from(["transport", "md5", "Canonical", "", "a b", "007", "18446744073709551615",
                     "18446744073709551616", "0" * 20 + "1", "-1", "+5", " 5", "5_0", "\u0663",
                     "-", "--", "-x", "-5", "--pretty", "-x y"]),
)
FILE = st.sampled_from(["a.sexp", "-", "", "-a", "-x y", "--weird name", "-5", "--", "\udcff"])
WORD = st.one_of(
    OPTION, VALUE, FILE,
    st.builds(lambda o, v: f"{o}={v}", OPTION, VALUE),
    st.builds(lambda o, n: o[: max(2, len(o) - n)], OPTION, st.integers(1, 8)),  # prefixes
    st.sampled_from(["-fh", "-ff", "-f5", "-f=x", "--=x", "-h"]),
)


@st.composite
def arguments(draw):
    """Options, with a value where one follows, and one run of files among them or after `--`;
    now and then any words at all."""
    if draw(st.integers(0, 3)) == 0:
        return draw(st.lists(WORD, max_size=8))
    item = st.one_of(st.tuples(OPTION), st.tuples(OPTION, VALUE), st.tuples(WORD))
    words = [w for i in draw(st.lists(item, max_size=5)) for w in i]
    files = draw(st.lists(FILE, max_size=3))
    at = draw(st.sampled_from([None, *range(len(words) + 1)]))
    return words + ["--"] + files if at is None else words[:at] + files + words[at:]


def values(argv, quick):
    """The values read from `argv`, with their types (True is not 1); None where refused."""
    try:
        read = read_simple(argv, HASHES) if quick else build_argument_parser().parse_args(argv)
    except (UsageError, HelpWanted):
        return None
    return None if read is None else {k: (type(v), v) for k, v in vars(read).items()}


@settings(max_examples=3000, deadline=None)
@given(arguments())
@example(["--width", "0"])  # one edge each: any other would hide it
@example(["--max-depth=18446744073709551616"])
@example(["--find", "-x"])
@example(["--pre"])
@example(["a", "--pretty", "b"])
@example(["a", "--pretty", "--", "b"])
def test_the_quick_reader_gives_what_argparse_gives_or_leaves_it_to_argparse(argv):
    quick = values(argv, quick=True)
    event("left to argparse" if quick is None else "read quickly")
    if quick is not None:
        assert quick == values(argv, quick=False)


@pytest.mark.parametrize(
    "line",
    [
        "", "-", "a b --to canonical", "--to=transport -f - a", "--version",
        "--pretty --width 40 --indent=0 x", "--hash sha256 --find=x --keygrip",
        "--raw-octets --canonical-only --max-depth 5 --max-atom-len=0 --no-base64",
        "--to advanced --to canonical --force -- -x --pretty --",
    ],
)
def test_the_quick_reader_reads_the_common_argument_lists(line):
    quick = values(line.split(), quick=True)
    assert quick is not None and quick == values(line.split(), quick=False)


# Runs the command on the arguments after -c, then lists the modules imported on standard error.
RUN_AND_LIST = (
    "import sys; from tarnel.__main__ import main; status = main(); "
    "sys.stdout.flush(); sys.stderr.write(' '.join(sys.modules)); sys.exit(status)"
)
OPTIONAL_CODE = {"hashlib", "tarnel.gnupg", "tarnel._keygrip", "tarnel._query", "tarnel.pretty"}
INPUT = b"(a (b #6364#))"


@pytest.mark.parametrize(
    "quick, abbreviated, written",
    [
        (["--to", "canonical"], ["--t", "canonical"], to_canonical(parse(INPUT))),
        ([], ["--max-d", "1024"], (to_advanced(parse(INPUT)) + "\n").encode()),
    ],
)
def test_a_simple_conversion_imports_neither_argparse_nor_options_not_given(
    quick, abbreviated, written
):
    with_argparse = []
    for argv in (quick, abbreviated):  # the abbreviation is read by argparse
        command = [sys.executable, "-c", RUN_AND_LIST, *argv]
        proc = subprocess.run(command, input=INPUT, capture_output=True, timeout=60)
        modules = set(proc.stderr.decode().split())
        assert (proc.returncode, proc.stdout) == (0, written)
        assert "tarnel.__main__" in modules and not modules & OPTIONAL_CODE
        with_argparse.append("argparse" in modules)
    assert with_argparse == [False, True]
