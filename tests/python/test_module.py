"""The module frame: contents and their order, docstrings and text signatures, constants,
`__module__` values, re-import identity, and the argument binding shared by every callable."""

import importlib
import importlib.machinery
import importlib.util
import os
import sys

import pytest

import _tarnel
import tarnel
from _tarnel import Atom, Parser

from conftest import OTHER_PYTHONS, assert_no_note, assert_note, module_dir, run_python

NAMES = [
    "Atom",
    "Parser",
    "ParseError",
    "DEFAULT_HINT",
    "DEFAULT_MAX_DEPTH",
    "parse",
    "parse_canonical",
    "to_canonical",
    "to_transport",
    "to_advanced",
]

SECTION = "\u00a7"

FUNCTION_DOCS = {
    "parse": (
        "(data)",
        f"Reads one S-expression, in whichever representation of {SECTION}6 it is written.\n\n"
        "Build a [`Parser`] where the input comes from somewhere untrusted, or where\n"
        "only one representation is to be accepted.",
    ),
    "parse_canonical": (
        "(data)",
        f"Reads one S-expression written in the canonical representation of {SECTION}6.2.\n\n"
        "Read this way where the octets themselves matter, as they do to a signature\n"
        "computed over them.",
    ),
    "to_canonical": (
        "(sexp)",
        f"Returns the canonical representation of the S-expression ({SECTION}6.2).",
    ),
    "to_transport": (
        "(sexp)",
        f"Returns the basic transport representation of the S-expression ({SECTION}6.3).",
    ),
    "to_advanced": (
        "(sexp)",
        f"Returns the advanced representation of the S-expression ({SECTION}6.4).",
    ),
}

CLASS_DOCS = {
    Atom: (
        "(data, hint=None)",
        "An octet string with a display hint.\n\nBuilding one is the only way to give an octet "
        "string a hint, since plain\n`bytes` carries none. Text is taken as UTF-8, which "
        f"{SECTION}4.6 recommends where\nthe data is text.",
    ),
    Parser: (
        "(*, canonical=False, max_depth=..., max_atom_len=None, max_input_len=None, "
        "allow_advanced=True, allow_transport=True, allow_display_hints=True, "
        "allow_empty_atoms=True, allow_empty_lists=True, allow_list_as_first_element=True, "
        "allow_hexadecimal=True, allow_base64=True, allow_lengths=True)",
        "A reader of S-expressions, and the restrictions it reads against.\n\nBuilt with no "
        f"arguments it accepts every representation of {SECTION}6, which is\nwhat {SECTION}6 "
        "asks a reader to accept. Each keyword turns on one of the\nrestrictions "
        f"{SECTION}8 lists, or bounds how large or how deeply nested the input\nmay be.\n\n"
        "A parser holds no state between parses, so one may be built once and used\nas often "
        "as wanted.",
    ),
}

METHOD_DOCS = {
    (Parser, "parse"): (
        "($self, data)",
        "Reads one S-expression, which is the whole of the input.",
    ),
    (Parser, "parse_prefix"): (
        "($self, data)",
        "Reads one S-expression from the start of the input, and returns it with\nthe number "
        "of octets it occupied.\n\nWhat follows is not examined, so this is the way to read a "
        "stream of\nS-expressions one after another.",
    ),
    (Atom, "effective_hint"): (
        "($self, default)",
        "Returns the display hint, or `default` where the atom carries none.\n\n"
        f"{SECTION}4.7 allows an atom without a display hint to be compared as though it\nhad "
        "whichever hint the application supplies by default.",
    ),
    (Atom, "eq_ignoring_hint"): (
        "($self, other)",
        "Returns whether two octet strings hold the same data, whatever their\ndisplay hints."
        f"\n\n{SECTION}4.7 names this as a criterion an application may use in place of the\n"
        "one `==` implements.",
    ),
}


def test_all_lists_the_entries_in_order():
    assert _tarnel.__all__ == NAMES
    assert type(_tarnel.__all__) is list
    for name in NAMES:
        assert hasattr(_tarnel, name)


def test_module_docstring():
    assert _tarnel.__doc__ == "Builds the extension module the `tarnel` package imports."


def test_constants():
    assert type(_tarnel.DEFAULT_HINT) is bytes
    assert _tarnel.DEFAULT_HINT == b"application/octet-stream"
    assert type(_tarnel.DEFAULT_MAX_DEPTH) is int
    assert _tarnel.DEFAULT_MAX_DEPTH == 1024


@pytest.mark.parametrize("name", sorted(FUNCTION_DOCS))
def test_function_docstring_and_signature(name):
    signature, doc = FUNCTION_DOCS[name]
    function = getattr(_tarnel, name)
    assert function.__name__ == name
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc
    assert function.__module__ == "_tarnel"
    assert function.__self__ is _tarnel


@pytest.mark.parametrize("cls", [Atom, Parser], ids=["Atom", "Parser"])
def test_class_docstring_and_signature(cls):
    signature, doc = CLASS_DOCS[cls]
    assert cls.__text_signature__ == signature
    assert cls.__doc__ == doc


@pytest.mark.parametrize("cls,name", sorted(METHOD_DOCS, key=str), ids=lambda x: getattr(x, "__name__", x))
def test_method_docstring_and_signature(cls, name):
    signature, doc = METHOD_DOCS[(cls, name)]
    method = getattr(cls, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


def test_getter_docstrings():
    assert Atom.data.__doc__ == "The data octets."
    assert Atom.hint.__doc__ == "The display hint, or `None` where the atom carries none."


@pytest.mark.parametrize("cls", [Atom, Parser, _tarnel.ParseError], ids=lambda c: c.__name__)
def test_classes_belong_to_tarnel(cls):
    assert cls.__module__ == "tarnel"
    assert cls.__qualname__ == cls.__name__
    assert repr(cls) == f"<class 'tarnel.{cls.__name__}'>"


def test_package_reexports_the_module():
    # The module's entries come first, in order; the package's own helpers follow them.
    assert tarnel.__all__[: len(NAMES)] == NAMES
    for name in NAMES:
        assert getattr(tarnel, name) is getattr(_tarnel, name)
    # Nothing public beyond what `__all__` lists (submodules of the package aside).
    public = {
        name
        for name, value in vars(tarnel).items()
        if not name.startswith("_") and type(value) is not type(sys)
    }
    assert public <= set(tarnel.__all__)


def test_helpers_and_submodules_load_at_first_use():
    package_dir = os.path.dirname(os.path.dirname(tarnel.__file__))
    out = run_python(
        "import sys\n"
        "import tarnel\n"
        "print('tarnel._files' in sys.modules, 'tarnel.types' in sys.modules)\n"
        "print(sorted(set(tarnel.__all__) - set(dir(tarnel))), 'types' in dir(tarnel))\n"
        "from tarnel import *\n"
        "print(load is tarnel.load is tarnel._files.load, to_pretty is tarnel.pretty.to_pretty)\n"
        "print(tarnel.types.__all__, iter_parse.__module__)\n",
        path=os.pathsep.join([os.path.dirname(_tarnel.__file__), package_dir]),
    )
    assert out.splitlines() == [
        "False False",
        "[] True",
        "True True",
        "['SExp', 'SExpLike', 'OctetsLike'] tarnel._stream",
    ]
    with pytest.raises(AttributeError, match="^module 'tarnel' has no attribute 'nope'$"):
        tarnel.nope


def test_second_import_reuses_the_type_objects():
    first = sys.modules["_tarnel"]
    try:
        del sys.modules["_tarnel"]
        second = importlib.import_module("_tarnel")
        assert second is not first
        assert second.__all__ == NAMES
        for name in ("Atom", "Parser", "ParseError"):
            assert getattr(second, name) is getattr(first, name)
        # Functions are new objects of the new module, and work with the shared classes.
        assert second.parse is not first.parse
        assert second.parse.__self__ is second
        assert second.parse(b"[1:t]1:x") == first.Atom(b"x", b"t")
    finally:
        sys.modules["_tarnel"] = first


def load_extension_as(name, prepare=None):
    loader = importlib.machinery.ExtensionFileLoader(name, _tarnel.__file__)
    spec = importlib.util.spec_from_loader(name, loader)
    module = importlib.util.module_from_spec(spec)
    if prepare:
        prepare(module)
    loader.exec_module(module)
    return module


def test_functions_take_the_module_name_from_the_import():
    module = load_extension_as("elsewhere._tarnel")
    assert module.__name__ == "elsewhere._tarnel"
    for name in FUNCTION_DOCS:
        assert getattr(module, name).__module__ == "elsewhere._tarnel"
    assert module.Atom is Atom and module.Atom.__module__ == "tarnel"
    assert module.ParseError is _tarnel.ParseError


def test_existing_all_list_is_appended_to():
    module = load_extension_as("_tarnel", lambda m: setattr(m, "__all__", ["before"]))
    assert module.__all__ == ["before"] + NAMES


def test_existing_all_that_is_not_a_list_stops_the_import():
    with pytest.raises(TypeError) as info:
        load_extension_as("_tarnel", lambda m: setattr(m, "__all__", ("before",)))
    assert str(info.value) == "'tuple' object is not an instance of 'list'"


# Binding: every callable, every failure.

P = Parser()
A = Atom(b"x")

BINDING_CASES = [
    # (callable, args, kwargs, message)
    (_tarnel.parse, (), {}, "parse() missing 1 required positional argument: 'data'"),
    (_tarnel.parse, (b"a", b"b"), {}, "parse() takes 1 positional arguments but 2 were given"),
    (_tarnel.parse, (b"a", b"b", b"c"), {}, "parse() takes 1 positional arguments but 3 were given"),
    (_tarnel.parse, (b"a",), {"data": b"b"}, "parse() got multiple values for argument 'data'"),
    (_tarnel.parse, (), {"input": b"a"}, "parse() got an unexpected keyword argument 'input'"),
    (_tarnel.parse_canonical, (), {}, "parse_canonical() missing 1 required positional argument: 'data'"),
    (_tarnel.parse_canonical, (1, 2), {}, "parse_canonical() takes 1 positional arguments but 2 were given"),
    (_tarnel.parse_canonical, (1,), {"data": 1}, "parse_canonical() got multiple values for argument 'data'"),
    (_tarnel.parse_canonical, (), {"Data": 1}, "parse_canonical() got an unexpected keyword argument 'Data'"),
    (_tarnel.to_canonical, (), {}, "to_canonical() missing 1 required positional argument: 'sexp'"),
    (_tarnel.to_canonical, (b"a", b"b"), {}, "to_canonical() takes 1 positional arguments but 2 were given"),
    (_tarnel.to_canonical, (b"a",), {"sexp": b"b"}, "to_canonical() got multiple values for argument 'sexp'"),
    (_tarnel.to_canonical, (), {"data": b"a"}, "to_canonical() got an unexpected keyword argument 'data'"),
    (_tarnel.to_transport, (), {}, "to_transport() missing 1 required positional argument: 'sexp'"),
    (_tarnel.to_transport, (1, 2), {}, "to_transport() takes 1 positional arguments but 2 were given"),
    (_tarnel.to_transport, (1,), {"sexp": 1}, "to_transport() got multiple values for argument 'sexp'"),
    (_tarnel.to_transport, (), {"x": 1}, "to_transport() got an unexpected keyword argument 'x'"),
    (_tarnel.to_advanced, (), {}, "to_advanced() missing 1 required positional argument: 'sexp'"),
    (_tarnel.to_advanced, (1, 2), {}, "to_advanced() takes 1 positional arguments but 2 were given"),
    (_tarnel.to_advanced, (1,), {"sexp": 1}, "to_advanced() got multiple values for argument 'sexp'"),
    (_tarnel.to_advanced, (), {"x": 1}, "to_advanced() got an unexpected keyword argument 'x'"),
    (P.parse, (), {}, "Parser.parse() missing 1 required positional argument: 'data'"),
    (P.parse, (b"a", b"b"), {}, "Parser.parse() takes 1 positional arguments but 2 were given"),
    (P.parse, (b"a",), {"data": b"b"}, "Parser.parse() got multiple values for argument 'data'"),
    (P.parse, (), {"self": b"a"}, "Parser.parse() got an unexpected keyword argument 'self'"),
    (P.parse_prefix, (), {}, "Parser.parse_prefix() missing 1 required positional argument: 'data'"),
    (P.parse_prefix, (1, 2), {}, "Parser.parse_prefix() takes 1 positional arguments but 2 were given"),
    (P.parse_prefix, (1,), {"data": 2}, "Parser.parse_prefix() got multiple values for argument 'data'"),
    (P.parse_prefix, (), {"x": 1}, "Parser.parse_prefix() got an unexpected keyword argument 'x'"),
    (Parser, (True,), {}, "Parser.__new__() takes 0 positional arguments but 1 was given"),
    (Parser, (1, 2), {}, "Parser.__new__() takes 0 positional arguments but 2 were given"),
    (Parser, (), {"strict": True}, "Parser.__new__() got an unexpected keyword argument 'strict'"),
    (Atom, (), {}, "Atom.__new__() missing 1 required positional argument: 'data'"),
    (Atom, (), {"hint": b"h"}, "Atom.__new__() missing 1 required positional argument: 'data'"),
    (Atom, (1, 2, 3), {}, "Atom.__new__() takes from 1 to 2 positional arguments but 3 were given"),
    (Atom, (1, 2, 3, 4), {}, "Atom.__new__() takes from 1 to 2 positional arguments but 4 were given"),
    (Atom, (b"a",), {"data": b"b"}, "Atom.__new__() got multiple values for argument 'data'"),
    (Atom, (b"a", b"h"), {"hint": b"i"}, "Atom.__new__() got multiple values for argument 'hint'"),
    (Atom, (b"a",), {"x": 1}, "Atom.__new__() got an unexpected keyword argument 'x'"),
    (A.effective_hint, (), {}, "Atom.effective_hint() missing 1 required positional argument: 'default'"),
    (A.effective_hint, (1, 2), {}, "Atom.effective_hint() takes 1 positional arguments but 2 were given"),
    (A.effective_hint, (1,), {"default": 2}, "Atom.effective_hint() got multiple values for argument 'default'"),
    (A.effective_hint, (), {"hint": 1}, "Atom.effective_hint() got an unexpected keyword argument 'hint'"),
    (A.eq_ignoring_hint, (), {}, "Atom.eq_ignoring_hint() missing 1 required positional argument: 'other'"),
    (A.eq_ignoring_hint, (1, 2), {}, "Atom.eq_ignoring_hint() takes 1 positional arguments but 2 were given"),
    (A.eq_ignoring_hint, (1,), {"other": 2}, "Atom.eq_ignoring_hint() got multiple values for argument 'other'"),
    (A.eq_ignoring_hint, (), {"o": 1}, "Atom.eq_ignoring_hint() got an unexpected keyword argument 'o'"),
]


@pytest.mark.parametrize("function,args,kwargs,message", BINDING_CASES)
def test_binding_messages(function, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        function(*args, **kwargs)
    assert str(info.value) == message
    assert_no_note(info.value)


@pytest.mark.parametrize(
    "function,args,kwargs,message",
    [
        # Keywords are taken in the order given; the first fault decides.
        (Atom, (b"a",), {"x": 1, "data": b"b"}, "Atom.__new__() got an unexpected keyword argument 'x'"),
        (Atom, (b"a",), {"data": b"b", "x": 1}, "Atom.__new__() got multiple values for argument 'data'"),
        (Atom, (), {"hint": 1, "data": 2, "hint2": 3}, "Atom.__new__() got an unexpected keyword argument 'hint2'"),
        (Parser, (), {"canonical": 1, "strict": 2}, "Parser.__new__() got an unexpected keyword argument 'strict'"),
        (Parser, (), {"strict": 2, "canonical": 1}, "Parser.__new__() got an unexpected keyword argument 'strict'"),
        # Binding fails before any conversion is tried.
        (_tarnel.parse, (5,), {"input": 1}, "parse() got an unexpected keyword argument 'input'"),
        (Atom, (5, 6, 7), {}, "Atom.__new__() takes from 1 to 2 positional arguments but 3 were given"),
        (Atom, (), {"hint": 5}, "Atom.__new__() missing 1 required positional argument: 'data'"),
        (Parser, (1,), {"strict": 2}, "Parser.__new__() takes 0 positional arguments but 1 was given"),
        (A.effective_hint, (5, 6), {}, "Atom.effective_hint() takes 1 positional arguments but 2 were given"),
    ],
)
def test_binding_order(function, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        function(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call",
    [
        lambda: _tarnel.parse(data=b"3:abc"),
        lambda: _tarnel.parse_canonical(data=b"3:abc"),
        lambda: P.parse(data=b"3:abc"),
        lambda: P.parse_prefix(data=b"3:abc")[0],
        lambda: _tarnel.parse(b"3:abc"),
    ],
)
def test_data_may_be_given_by_keyword(call):
    assert call() == b"abc"


def test_keywords_by_name_everywhere():
    assert _tarnel.to_canonical(sexp=b"a") == b"1:a"
    assert _tarnel.to_transport(sexp=b"a") == "{MTph}"
    assert _tarnel.to_advanced(sexp=b"a") == "a"
    assert Atom(data=b"x", hint=b"h") == Atom(b"x", b"h")
    assert Atom(hint=b"h", data=b"x") == Atom(b"x", b"h")
    assert Atom(b"x", b"h").effective_hint(default=b"d") == b"h"
    assert Atom(b"x").eq_ignoring_hint(other=b"x") is True


NOTE_CASES = [
    # (call, exception type, message, parameter)
    (lambda: _tarnel.parse(5), TypeError, "expected bytes, str, or Atom, and got int", "data"),
    (lambda: _tarnel.parse_canonical(None), TypeError, "expected bytes, str, or Atom, and got NoneType", "data"),
    (lambda: P.parse({}), TypeError, "expected bytes, str, or Atom, and got dict", "data"),
    (lambda: P.parse_prefix(1.5), TypeError, "expected bytes, str, or Atom, and got float", "data"),
    (lambda: Atom(5), TypeError, "expected bytes, str, or Atom, and got int", "data"),
    (lambda: Atom(b"x", 5), TypeError, "expected bytes, str, or Atom, and got int", "hint"),
    (lambda: A.effective_hint(5), TypeError, "expected bytes, str, or Atom, and got int", "default"),
    (lambda: Parser(canonical=1), TypeError, "'int' object is not an instance of 'bool'", "canonical"),
    (lambda: Parser(allow_lengths=None), TypeError, "'None' is not an instance of 'bool'", "allow_lengths"),
    (lambda: Parser(max_depth=None), TypeError, "'NoneType' object cannot be interpreted as an integer", "max_depth"),
]


@pytest.mark.parametrize("call,exc,message,parameter", NOTE_CASES)
def test_conversion_failures_carry_the_argument_note(call, exc, message, parameter):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    assert str(info.value) == message
    assert_note(info.value, parameter)


@pytest.mark.parametrize("python", OTHER_PYTHONS, ids=lambda p: p.rsplit("/", 1)[-1])
def test_one_build_serves_other_interpreters(python, tmp_path):
    code = r"""
import sys, _tarnel
from _tarnel import Atom, Parser, parse, to_canonical, to_transport, to_advanced
assert _tarnel.__all__ == %r, _tarnel.__all__
value = parse(b"(3:abc[4:text]5:hello())")
assert value == [b"abc", Atom(b"hello", b"text"), []], value
assert to_canonical(value) == b"(3:abc[4:text]5:hello())"
assert to_transport(b"abc") == "{MzphYmM=}" and to_advanced(value) == "(abc [text]hello ())"
try:
    parse(5)
except TypeError as e:
    assert str(e) == "expected bytes, str, or Atom, and got int"
    notes = getattr(e, "__notes__", None)
    assert notes == (None if sys.version_info < (3, 11) else ["while processing 'data'"]), notes
try:
    Parser(max_depth=1).parse(b"((1:a))")
except _tarnel.ParseError as e:
    assert (e.offset, e.kind) == (1, "too_deep")
docs = [(o.__doc__, o.__text_signature__) for o in (
    Atom, Parser, Atom.effective_hint, Atom.eq_ignoring_hint, Parser.parse, Parser.parse_prefix,
    _tarnel.parse, _tarnel.parse_canonical, _tarnel.to_canonical, _tarnel.to_transport,
    _tarnel.to_advanced)]
print(repr([hash(Atom(b"abc")), hash(Atom(b"abc", b"")), docs]))
""" % (NAMES,)
    first, second, docs = eval(run_python(code, python=python, path=module_dir(tmp_path)))
    assert [first, second] == [hash(Atom(b"abc")), hash(Atom(b"abc", b""))]
    here = [(o.__doc__, o.__text_signature__) for o in (
        Atom, Parser, Atom.effective_hint, Atom.eq_ignoring_hint, Parser.parse, Parser.parse_prefix,
        _tarnel.parse, _tarnel.parse_canonical, _tarnel.to_canonical, _tarnel.to_transport,
        _tarnel.to_advanced)]
    assert docs == here


SUBINTERPRETERS = r'''
import os
import _xxsubinterpreters as interpreters
import _tarnel
read_end, write_end = os.pipe()
for _ in range(2):
    interp = interpreters.create()
    interpreters.run_string(interp, f"""
import os, _tarnel
value = _tarnel.parse(b"([1:h]1:x)")
assert type(value[0]) is _tarnel.Atom and _tarnel.Atom.__module__ == "tarnel"
os.write({write_end}, b"%d %d " % (id(_tarnel.Atom), hash(value[0])))
""")
    interpreters.destroy(interp)
print(os.read(read_end, 1000).decode(), id(_tarnel.Atom), hash(_tarnel.Atom(b"x", b"h")))
'''


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="isolated subinterpreters need a slot the module does not declare")
def test_each_interpreter_has_its_own_classes():
    pytest.importorskip("_xxsubinterpreters")
    sub1_id, sub1_hash, sub2_id, sub2_hash, main_id, main_hash = run_python(SUBINTERPRETERS).split()
    assert sub1_hash == sub2_hash == main_hash
    assert main_id not in (sub1_id, sub2_id)
