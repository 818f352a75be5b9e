"""The command's quick argument reader against argparse: where it reads an argument list, it gives
what argparse gives; where argparse refuses one, it leaves it to argparse. And a conversion whose
arguments are simple runs without importing argparse or the code of options it was not given."""

import re
import subprocess
import sys

import pytest
from hypothesis import event, example, given, settings
from hypothesis import strategies as st

from tarnel import parse, to_advanced, to_canonical
from tarnel.__main__ import HASHES, HelpWanted, UsageError, build_argument_parser
from tarnel._arguments import read_simple

# The options as --help shows them, so that every option the parser has is drawn.
HELP = build_argument_parser().format_help()
OPTIONS = sorted(set(re.findall(r"(?<![\w-])(--?[a-z][a-z0-9-]*)", HELP)))
# Values that some option takes, then values that each option refuses or reads its own way.
LIKELY = ["canonical", "sha256", "0", "1", "7", "x"]
VALUES = [
    "advanced", "canonical", "transport", "sha256", "md5", "shake_128", "Canonical", "x", "",
    "a b", "0", "1", "7", "007", "1024", "18446744073709551615", "18446744073709551616",
    "000000000000000000001", "-1", "+5", " 5", "5 ", "5_0", "\u0663", "1e3", "0x10",
    "-", "--", "-x", "-5", "--pretty", "-x y",
]
FILES = ["a.sexp", "-", "", "-a", "-x y", "--weird name", "-5", "--", "b", "\udcff"]

VALUE = st.one_of(st.sampled_from(LIKELY), st.sampled_from(VALUES))
OPTION = st.sampled_from(OPTIONS)
WORD = st.one_of(
    OPTION,
    st.builds(lambda o, v: f"{o}={v}", OPTION, VALUE),
    st.builds(lambda o, n: o[: max(2, len(o) - n)], OPTION, st.integers(1, 8)),  # prefixes
    VALUE,
    st.sampled_from(FILES),
    st.sampled_from(["-fh", "-hf", "-ff", "-f5", "-f=x", "--=x", "--help", "-h"]),
)


@st.composite
def arguments(draw):
    """Options (with a value where the next word is one), one run of files placed among them or
    after `--`, and now and then any words at all."""
    if draw(st.integers(0, 3)) == 0:
        return draw(st.lists(WORD, max_size=8))
    item = st.one_of(st.tuples(OPTION), st.tuples(OPTION, VALUE), st.tuples(WORD))
    items = draw(st.lists(item, max_size=5))
    words = [w for item in items for w in item]
    files = draw(st.lists(st.sampled_from(FILES), max_size=3))
    if draw(st.booleans()):
        return words + ["--"] + files
    at = draw(st.integers(0, len(words)))
    return words[:at] + files + words[at:]


def by_argparse(argv):
    """argparse's values for `argv`, or None where it refuses them or shows the help."""
    try:
        return vars(build_argument_parser().parse_args(argv))
    except (UsageError, HelpWanted):
        return None


def typed(values):
    return {name: (type(value), value) for name, value in values.items()}  # so True is not 1


@settings(max_examples=3000, deadline=None)
@given(arguments())
@example(["--width", "0"])  # one edge each: any other would hide it
@example(["--max-depth=18446744073709551616"])
@example(["--find", "-x"])
@example(["--pre"])
@example(["a", "--pretty", "b"])
@example(["a", "--pretty", "--", "b"])
def test_the_quick_reader_gives_what_argparse_gives_or_leaves_it_to_argparse(argv):
    quick = read_simple(argv, HASHES)
    expected = by_argparse(argv)
    event("left to argparse" if quick is None else "read quickly")
    if quick is not None:
        assert expected is not None, "argparse refuses what the quick reader read"
        assert typed(vars(quick)) == typed(expected)


@pytest.mark.parametrize(
    "argv",
    [
        [],
        ["-"],
        ["a.sexp", "b.sexp", "--to", "canonical"],
        ["--to=transport", "-f", "-", "a"],
        ["--pretty", "--width", "40", "--indent=0", "x"],
        ["--version"],
        ["--raw-octets", "--canonical-only", "--max-depth", "5", "--max-atom-len=0", "--no-base64"],
        ["--to", "advanced", "--to", "canonical", "--force", "--", "-x", "--pretty", "--", ""],
        ["--hash", "sha256", "--find=", "--keygrip", "--gnupg-key", "a"],
    ],
)
def test_the_quick_reader_reads_the_common_argument_lists(argv):
    quick = read_simple(argv, HASHES)
    assert quick is not None
    assert typed(vars(quick)) == typed(by_argparse(argv))


# What a run imports -----------------------------------------------------------------------------

# Runs the command with the arguments after -c (the command reads them itself), then lists the
# modules imported on standard error.
RUN_AND_LIST = (
    "import sys; from tarnel.__main__ import main; status = main(); "
    "sys.stdout.flush(); sys.stderr.write(' '.join(sorted(sys.modules))); sys.exit(status)"
)
OPTIONAL_CODE = {"hashlib", "tarnel.gnupg", "tarnel._keygrip", "tarnel._query", "tarnel.pretty"}
INPUT = b"(a (b #6364#))"


@pytest.mark.parametrize(
    "quick, through_argparse, written",
    [
        (["--to", "canonical"], ["--t", "canonical"], to_canonical(parse(INPUT))),
        ([], ["--max-d", "1024"], (to_advanced(parse(INPUT)) + "\n").encode()),
    ],
)
def test_a_simple_conversion_imports_neither_argparse_nor_code_it_was_not_asked_for(
    quick, through_argparse, written
):
    runs = []
    for argv in (quick, through_argparse):  # the second with an abbreviation: argparse reads it
        proc = subprocess.run(
            [sys.executable, "-c", RUN_AND_LIST, *argv],
            input=INPUT,
            capture_output=True,
            timeout=60,
        )
        modules = set(proc.stderr.decode().split())
        assert (proc.returncode, proc.stdout) == (0, written)
        assert "tarnel.__main__" in modules and not modules & OPTIONAL_CODE
        runs.append("argparse" in modules)
    assert runs == [False, True]
