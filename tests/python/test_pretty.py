"""The layout of `to_pretty` and `tarnel --pretty`, held to the pure-Python layout it replaced.

`oracle` below is that layout as the package wrote it before the core took it over (measuring
every list's one-line length by `id`, then writing with a stack); the native layout must give the
same text for every value, width and indentation, whether it walks Python values (`to_pretty`) or
lays out what the stream reader converts, in any chunking (the command's `--pretty`). The command
must also stay within a bounded memory on large inputs, where the layout through Python objects
took hundreds of megabytes.
"""

import random
import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tarnel
from tarnel import Atom, ParseError, Parser, to_advanced, to_canonical
from tarnel._stream import open_stream

# The former layout ------------------------------------------------------------------------------

_CLOSE = object()
_SPACE = object()


def _measure(sexp):
    atoms, lengths, stack = {}, {}, [sexp]
    while stack:
        item = stack.pop()
        if item is _CLOSE:
            lst = stack.pop()
            lengths[id(lst)] = 2 + max(len(lst) - 1, 0) + sum(
                lengths[id(c)] if isinstance(c, (list, tuple)) else len(atoms[id(c)]) for c in lst
            )
        elif isinstance(item, (list, tuple)):
            if id(item) not in lengths:
                stack += (item, _CLOSE)
                stack.extend(reversed(item))
        elif id(item) not in atoms:
            atoms[id(item)] = to_advanced(item)
    return atoms, lengths


def _one_line(sexp, atoms):
    pieces, stack = [], [sexp]
    while stack:
        item = stack.pop()
        if item is _CLOSE:
            pieces.append(")")
        elif isinstance(item, (list, tuple)):
            pieces.append("(")
            stack.append(_CLOSE)
            for i in range(len(item) - 1, -1, -1):
                stack.append(item[i])
                if i:
                    stack.append(_SPACE)
        else:
            pieces.append(" " if item is _SPACE else atoms[id(item)])
    return pieces


def oracle(sexp, width, indent):
    atoms, lengths = _measure(sexp)
    max_indent, out, column = width // 2, [], 0
    stack = [(sexp, 0)]
    while stack:
        entry = stack.pop()
        if entry is _CLOSE or entry is _SPACE:
            out.append(")" if entry is _CLOSE else " ")
            column += 1
            continue
        if isinstance(entry, int):
            column = min(entry, max_indent)
            out.append("\n" + " " * column)
            continue
        item, closers = entry
        if not isinstance(item, (list, tuple)):
            out.append(atoms[id(item)])
            column += len(atoms[id(item)])
        elif column + lengths[id(item)] + closers <= width or not item:
            out += _one_line(item, atoms)
            column += lengths[id(item)]
        else:
            start, last, line = column, len(item) - 1, 1
            if not isinstance(item[0], (list, tuple)):
                end = start + 1 + len(atoms[id(item[0])])
                while line <= last and not isinstance(item[line], (list, tuple)):
                    end += 1 + len(atoms[id(item[line])])
                    if end + (closers + 1 if line == last else 0) > width:
                        break
                    line += 1
            out.append("(")
            column += 1
            stack.append(_CLOSE)
            for i in range(last, 0, -1):
                stack.append((item[i], closers + 1 if i == last else 0))
                stack.append(start + indent if i >= line else _SPACE)
            stack.append((item[0], closers + 1 if last == 0 else 0))
    return "".join(out)


# Values: atoms of every written form and length (tokens, quoted, hexadecimal, hinted, wider than a
# line), lists and tuples, lists met twice.

octets = st.one_of(
    st.binary(max_size=8),
    st.sampled_from([b"a", b"key", b"x y", b"", b"\x00\x01", b'"q"', b"(", b"a" * 90]),
    st.text("ab -", max_size=30).map(str.encode),
    st.integers(1020, 1030).map(lambda n: b"z" * n),  # written straight out, or held if it fits
)
atoms = octets | st.builds(Atom, octets, st.sampled_from([b"t", b"", b"text/plain"]))
values = st.recursive(
    atoms,
    lambda inner: st.lists(inner, max_size=6) | st.lists(inner, max_size=3).map(tuple),
    max_leaves=40,
)


@settings(max_examples=800, deadline=None)
@given(values, st.integers(1, 90) | st.integers(1000, 2100), st.integers(0, 8))
def test_to_pretty_is_the_former_layout(value, width, indent):
    shared = [value, [b"x", value], value]  # the same list twice, at different columns
    for v in (value, shared):
        assert tarnel.to_pretty(v, width=width, indent=indent) == oracle(v, width, indent)


def test_widths_past_any_line():
    value = [b"a", [b"b" * 40, [b"c"] * 30]]
    assert tarnel.to_pretty(value, width=2**200, indent=2**100) == to_advanced(value)
    assert tarnel.to_pretty(value, width=3, indent=2**70) == oracle(value, 3, 2**70)


def chunked(data, cuts):
    edges = sorted({min(c, len(data)) for c in cuts})
    return [data[a:b] for a, b in zip([0, *edges], [*edges, len(data)]) if a < b]


@settings(max_examples=300, deadline=None)
@given(
    st.lists(values, min_size=1, max_size=6),
    st.sampled_from([to_canonical, lambda v: to_advanced(v).encode()]),
    st.integers(1, 60),
    st.integers(0, 6),
    st.lists(st.integers(0, 400), max_size=8),
)
def test_the_reader_lays_out_any_chunking_as_to_pretty(items, write, width, indent, cuts):
    data = b" ".join(write(v) for v in items)
    expected = [oracle(v, width, indent) for v in items]
    reader = open_stream(chunked(data, cuts), form="pretty", width=width, indent=indent)
    assert [t.decode() for t in reader] == expected
    pieces = []
    reader = open_stream(chunked(data, cuts), form="pretty", width=width, indent=indent)
    reader.convert(lambda view: pieces.append(bytes(view)), b"\n")
    assert b"".join(pieces).decode() == "".join(t + "\n" for t in expected)


def run(*args, stdin=b""):
    return subprocess.run(
        [sys.executable, "-m", "tarnel", *args], input=stdin, capture_output=True, timeout=300
    )


def test_the_command_lays_out_a_pipe_as_to_pretty():
    rnd = random.Random(4)

    def make(depth):
        if depth > 6 or rnd.random() < 0.3:
            return rnd.choice([b"n", b"rsa", b"x y"]) if rnd.random() < 0.7 else rnd.randbytes(9)
        return [make(depth + 1) for _ in range(rnd.randrange(6))]

    items = [make(0) for _ in range(3000)]
    data = b"\n".join(to_advanced(v).encode() for v in items) + b" " + to_canonical(items)
    for width, indent in ((72, 2), (9, 3)):
        proc = run("--pretty", "--width", str(width), "--indent", str(indent), stdin=data)
        assert (proc.returncode, proc.stderr) == (0, b"")
        expected = "".join(oracle(v, width, indent) + "\n" for v in [*items, items])
        assert proc.stdout.decode() == expected


def test_the_command_lays_out_any_depth_its_parser_reads():
    # Spanning the pipe's pieces, so that the framer finds the deep one whole before it is laid out.
    fine = b"(" * 1024 + b"x" + b")" * 1024
    deep = b"(" * 1025 + b"|" + b"QUJD" * 40000 + b"|" + b")" * 1025
    data = fine + b" " + deep + b" (never)"
    proc = run("--max-depth", "5000", "--pretty", "--width", "40", stdin=data)
    assert (proc.returncode, proc.stderr) == (0, b"")
    values = tarnel.iter_parse(data, Parser(max_depth=5000))
    assert proc.stdout.decode() == "".join(oracle(v, 40, 2) + "\n" for v in values)
    with pytest.raises(ParseError):  # and a refusal is still one
        list(open_stream([deep[:-1] + b"]"], Parser(max_depth=5000), form="pretty"))


# Memory ----------------------------------------------------------------------------------------

# A process started by the test would count the test's own memory, which it held before exec, in
# its peak: a small launcher starts the command and reports the peak of its child instead (which
# counts at most the launcher's few megabytes).
PEAK = (
    "import resource, subprocess, sys\n"
    "with open(sys.argv[1], 'rb') as source:\n"
    "    done = subprocess.run([sys.executable, '-m', 'tarnel', *sys.argv[2:]], stdin=source,\n"
    "                          stdout=subprocess.DEVNULL)\n"
    "print(done.returncode, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n"
)


def peak_mib(path, *args):
    """The command's exit status and the peak RSS of its process, in MiB."""
    proc = subprocess.run(
        [sys.executable, "-c", PEAK, str(path), *args], capture_output=True, timeout=600
    )
    status, kib = proc.stdout.split()
    return int(status), int(kib) / 1024


@pytest.mark.skipif(sys.platform == "win32", reason="resource is POSIX only")
def test_the_command_lays_out_large_inputs_in_bounded_memory(tmp_path):
    rnd = random.Random(8)
    small = [
        [b"key", rnd.randbytes(rnd.randrange(1, 7)), b"%d" % rnd.randrange(10**4)]
        for _ in range(1_200_000)
    ]
    stream = tmp_path / "stream"  # over 16 MiB: read in pieces
    stream.write_bytes(b"".join(map(to_canonical, small)))
    one = tmp_path / "one"  # one S-expression, held whole by the reader whatever the form
    one.write_bytes(to_canonical(small[:500_000]))
    del small
    for path in (stream, one):
        status, advanced = peak_mib(path, "--to", "advanced")
        assert status == 0
        status, pretty = peak_mib(path, "--pretty", "--width", "30")
        assert status == 0
        assert pretty <= advanced + 8, (path.name, pretty, advanced)
        assert pretty < 64, (path.name, pretty)
