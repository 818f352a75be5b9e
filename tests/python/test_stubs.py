"""Types and documentation: the stubs agree with the module, `mypy --strict` accepts the example
program and refuses misuse, and the README's API reference quotes the docstrings exactly."""

import ast
import inspect
import os
import pathlib
import re
import subprocess
import sys
import sysconfig

import pytest

import _tarnel
import tarnel

ROOT = pathlib.Path(__file__).resolve().parents[2]
PACKAGE = pathlib.Path(tarnel.__file__).parent


def stub(name):
    return ast.parse((PACKAGE / name).read_text())


def stub_all(tree):
    for node in tree.body:
        if isinstance(node, ast.Assign) and node.targets[0].id == "__all__":
            return ast.literal_eval(node.value)
    raise AssertionError("no __all__")


def test_stub_lists_match_the_runtime():
    assert stub_all(stub("_tarnel.pyi")) == _tarnel.__all__
    assert stub_all(stub("__init__.pyi")) == tarnel.__all__


def stub_functions(tree):
    """Name -> ast function for module functions and class methods (as 'Class.method')."""
    found = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            found[node.name] = node
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    found[f"{node.name}.{item.name}"] = item
    return found


def stub_parameters(fn):
    args = fn.args
    plain = [(a.arg, "POSITIONAL_OR_KEYWORD") for a in args.posonlyargs + args.args]
    if plain and plain[0][0] in ("self", "cls"):
        plain = plain[1:]
    return plain + [(a.arg, "KEYWORD_ONLY") for a in args.kwonlyargs]


RUNTIME_CALLABLES = {
    "parse": _tarnel.parse,
    "parse_canonical": _tarnel.parse_canonical,
    "to_canonical": _tarnel.to_canonical,
    "to_transport": _tarnel.to_transport,
    "to_advanced": _tarnel.to_advanced,
    "Parser.__new__": _tarnel.Parser,
    "Parser.parse": _tarnel.Parser.parse,
    "Parser.parse_prefix": _tarnel.Parser.parse_prefix,
    "Atom.__new__": _tarnel.Atom,
    "Atom.effective_hint": _tarnel.Atom.effective_hint,
    "Atom.eq_ignoring_hint": _tarnel.Atom.eq_ignoring_hint,
}


@pytest.mark.parametrize("name", sorted(RUNTIME_CALLABLES))
def test_stub_parameters_match_the_text_signatures(name):
    runtime = inspect.signature(RUNTIME_CALLABLES[name])
    expected = [
        (p.name, p.kind.name) for p in runtime.parameters.values() if p.name not in ("self", "$self")
    ]
    assert stub_parameters(stub_functions(stub("_tarnel.pyi"))[name]) == expected


@pytest.mark.parametrize(
    "name", ["load", "dump", "iter_parse", "to_pretty"], ids=lambda n: n
)
def test_package_helpers_are_annotated_throughout(name):
    sig = inspect.signature(getattr(tarnel, name))
    assert sig.return_annotation is not inspect.Signature.empty
    assert all(p.annotation is not inspect.Parameter.empty for p in sig.parameters.values())


mypy_api = pytest.importorskip("mypy.api", reason="mypy is not installed")


def run_mypy(*paths):
    """mypy --strict over files, finding tarnel where this test run imports it from."""
    env = dict(os.environ)
    where = str(PACKAGE.parent)
    if where not in (sysconfig.get_paths()["purelib"], sysconfig.get_paths()["platlib"]):
        env["MYPYPATH"] = where
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         "--python-executable", sys.executable, *map(str, paths)],
        capture_output=True, text=True, env=env, timeout=300,
    )
    return proc.returncode, proc.stdout + proc.stderr


def test_example_program_passes_mypy_strict():
    code, out = run_mypy(ROOT / "examples" / "typed_usage.py")
    assert code == 0, out


MISUSES = [
    ("tarnel.to_canonical(5)", "to_canonical"),
    ("tarnel.to_canonical([b'a', 5])", "List item 1"),
    ("tarnel.Parser(True)", "Too many positional"),
    ("tarnel.Parser(max_depth='8')", "max_depth"),
    ("tarnel.Parser(allow_hexdecimal=False)", "allow_hexdecimal"),
    ("tarnel.parse(b'a').data", "data"),
    ("s: str = tarnel.to_canonical(b'a')", "assignment"),
    ("b: bytes = tarnel.to_advanced(b'a')", "assignment"),
    ("tarnel.Atom(b'a').hint.upper()", "None"),
    ("tarnel.dump(b'a', open('f', 'wb'), form='pretty')", "dump"),
    ("i: int = tarnel.Parser().parse_prefix(b'a')[0]", "assignment"),
    ("for v in tarnel.iter_parse(5): pass", "iter_parse"),
    ("tarnel.to_pretty(b'a', 40)", "Too many positional"),
]


def test_mypy_refuses_misuse(tmp_path):
    # One file per misuse would be slow; one line each, and every line must be reported.
    source = tmp_path / "misuse.py"
    source.write_text("import tarnel\n" + "".join(line + "\n" for line, _ in MISUSES))
    code, out = run_mypy(source)
    assert code == 1
    for number, (line, expected) in enumerate(MISUSES, start=2):
        reported = [r for r in out.splitlines() if f"misuse.py:{number}:" in r]
        assert reported, f"not refused: {line}\n{out}"
        assert any(expected in r for r in reported), (line, reported)


# The README's API reference ---------------------------------------------------------------------


def documented():
    """(heading, quoted docstring) for each entry of the README's API reference."""
    text = (ROOT / "README.md").read_text()
    reference = text.split("## API reference", 1)[1]
    entries = re.findall(r"^### `([^`]+)`\n\n((?:>.*\n)+)", reference, re.M)
    return [(head, "\n".join(l[2:] if l.startswith("> ") else l[1:] for l in quote.splitlines()))
            for head, quote in entries]


def resolve(heading):
    name = heading.split("(")[0]
    obj = tarnel
    for part in name.split(".")[1:]:
        obj = getattr(obj, part)
    return obj


def test_readme_quotes_every_public_docstring():
    entries = documented()
    headings = {h.split("(")[0] for h, _ in entries}
    for name in tarnel.__all__:
        obj = getattr(tarnel, name)
        if callable(obj):
            assert f"tarnel.{name}" in headings, name
        if isinstance(obj, type) and obj is not tarnel.ParseError:
            for member in vars(obj):
                if not member.startswith("_"):
                    assert f"tarnel.{name}.{member}" in headings, member


@pytest.mark.parametrize("heading, quoted", documented(), ids=lambda x: x.split("(")[0][:40])
def test_readme_docstrings_and_parameters_match(heading, quoted):
    obj = resolve(heading)
    assert quoted == inspect.getdoc(obj)
    if "(" in heading:
        inside = heading[heading.index("(") + 1 : heading.rindex(")")]
        shown = [p.split("=")[0].strip() for p in inside.split(",") if p.strip() not in ("", "*")]
        actual = [n for n in inspect.signature(obj).parameters if n not in ("self", "$self")]
        assert shown == actual
