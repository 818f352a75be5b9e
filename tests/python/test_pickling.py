"""Pickling and copying, which the package registers for the extension's classes: values and
parsers come back equal and reading alike, crafted pickles meet the constructors' checks, and
importing `_tarnel` alone stays without any of it."""

import copy
import os
import pickle

import pytest

import _tarnel
import tarnel
from conftest import assert_note, run_python
from tarnel import Atom, ParseError, Parser
from tarnel._streaming import parser_options


def cloudpickle_round_trip(value):
    cloudpickle = pytest.importorskip("cloudpickle")
    return pickle.loads(cloudpickle.dumps(value))


ROUND_TRIPS = {
    **{
        f"pickle-{p}": (lambda value, p=p: pickle.loads(pickle.dumps(value, protocol=p)))
        for p in range(pickle.HIGHEST_PROTOCOL + 1)
    },
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
    "cloudpickle": cloudpickle_round_trip,
}


@pytest.fixture(params=sorted(ROUND_TRIPS))
def round_trip(request):
    return ROUND_TRIPS[request.param]


def test_values_come_back_equal_and_hash_alike(round_trip):
    atoms = [Atom(b"x", b"h"), Atom(b""), Atom(b"\x00\xff" * 40, b"text/plain; charset=\xe9")]
    value = [b"k", atoms, [atoms[0], [b""]]]
    back = round_trip(value)
    assert back == value
    assert tarnel.to_canonical(back) == tarnel.to_canonical(value)
    for original in atoms:
        copied = round_trip(original)
        assert type(copied) is Atom
        assert (copied.data, copied.hint) == (original.data, original.hint)
        assert hash(copied) == hash(original)


def test_refusals_keep_offset_kind_and_message(round_trip):
    with pytest.raises(ParseError) as info:
        tarnel.parse(b"(1:a 1:b")
    back = round_trip(info.value)
    assert type(back) is ParseError
    assert (str(back), back.offset, back.kind) == (str(info.value), 8, "unexpected_end")


# Each parser reads the probes below in its own way (a test checks that), so one that came back
# with any option lost or changed would read one of them differently.
PARSERS = {
    "default": {},
    "canonical": {"canonical": True},
    **{
        f"no-{flag}": {f"allow_{flag}": False}
        for flag in ("advanced", "transport", "display_hints", "empty_atoms", "empty_lists",
                     "list_as_first_element", "hexadecimal", "base64", "lengths")
    },
    "max_depth": {"max_depth": 2},
    "max_atom_len": {"max_atom_len": 3},
    "max_input_len": {"max_input_len": 12},
    "largest": {"max_depth": 2**64 - 1, "max_atom_len": 2**64 - 1, "max_input_len": 0},
}

PROBES = [
    b"(3:abc[1:h]1:x)",      # canonical, a hint
    b"(abc def)",            # advanced
    b"{KDM6YWJjKQ==}",       # transport
    b"(0:)",                 # an empty atom
    b"(()1:a)",              # an empty list first
    b"((1:a)1:b)",           # a list first
    b"(#616263#)",           # hexadecimal
    b"(|YWJj|)",             # base-64
    b'(3"abc")',             # a length before a quoted string
    b"(((1:a)))",            # depth 3
    b"(4:abcd)",             # an atom of 4 octets
    b"(1:a1:b1:c1:d)",       # 14 octets
    b"",
]


def outcomes(parser):
    out = []
    for probe in PROBES:
        try:
            out.append(("read", tarnel.to_canonical(parser.parse(probe))))
        except ParseError as err:
            out.append((err.kind, err.offset))
    return out


def test_the_probes_tell_every_parser_apart():
    readings = {name: tuple(outcomes(Parser(**kw))) for name, kw in PARSERS.items()}
    assert len(set(readings.values())) == len(PARSERS)


@pytest.mark.parametrize("name", sorted(PARSERS))
def test_parsers_come_back_reading_alike(name, round_trip):
    original = Parser(**PARSERS[name])
    back = round_trip(original)
    assert type(back) is Parser and back is not original
    assert parser_options(back) == parser_options(original)
    assert outcomes(back) == outcomes(original)


def test_parser_options_rebuild_the_parser():
    assert parser_options(Parser()) == {
        "max_depth": 1024, "max_atom_len": None, "max_input_len": None,
        "allow_advanced": True, "allow_transport": True, "allow_display_hints": True,
        "allow_empty_atoms": True, "allow_empty_lists": True, "allow_list_as_first_element": True,
        "allow_hexadecimal": True, "allow_base64": True, "allow_lengths": True,
    }
    options = parser_options(Parser(canonical=True, max_atom_len=7))
    assert (options["allow_advanced"], options["allow_transport"], options["max_atom_len"]) == (
        False, False, 7)
    with pytest.raises(TypeError) as info:
        parser_options({})
    assert str(info.value) == "'dict' object is not an instance of 'Parser'"
    assert_note(info.value, "parser")


class Claim:
    """Pickles as a call of `target` with `args`: what a crafted pickle can say."""

    def __init__(self, target, *args):
        self.target, self.args = target, args

    def __reduce__(self):
        return self.target, self.args


def failure(call):
    with pytest.raises(Exception) as info:
        call()
    return type(info.value), str(info.value), getattr(info.value, "__notes__", None)


@pytest.mark.parametrize(
    "claim, direct",
    [
        (Claim(Atom, b"x", 5), lambda: Atom(b"x", 5)),
        (Claim(Atom, b"x", b"h", b"more"), lambda: Atom(b"x", b"h", b"more")),
        (Claim(Atom, [b"x"], None), lambda: Atom([b"x"], None)),
        (Claim(tarnel._parser_from_options, {"max_depth": -1}), lambda: Parser(max_depth=-1)),
        (Claim(tarnel._parser_from_options, {"max_atom_len": 2**64}),
         lambda: Parser(max_atom_len=2**64)),
        (Claim(tarnel._parser_from_options, {"allow_base64": 1}), lambda: Parser(allow_base64=1)),
        (Claim(tarnel._parser_from_options, {"run": "os.system"}), lambda: Parser(run="os.system")),
    ],
    ids=["hint-int", "three", "data-list", "depth", "atom-len", "flag", "unknown"],
)
def test_crafted_pickles_fail_as_the_constructors_do(claim, direct):
    data = pickle.dumps(claim)
    assert failure(lambda: pickle.loads(data)) == failure(direct)


def test_pickles_name_only_the_constructors():
    named = set()

    class Recording(pickle.Unpickler):
        def find_class(self, module, name):
            named.add((module, name))
            return super().find_class(module, name)

    import io

    value = [Atom(b"x", b"h"), Parser(canonical=True, max_depth=3)]
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        Recording(io.BytesIO(pickle.dumps(value, protocol=protocol))).load()
    # Before protocol 3, pickle writes bytes as a call of codecs.encode.
    assert named - {("_codecs", "encode")} == {("tarnel", "Atom"), ("tarnel", "_parser_from_options")}


def test_the_extension_alone_has_no_pickling_and_the_package_stays_light():
    package_dir = os.path.dirname(os.path.dirname(tarnel.__file__))
    out = run_python(
        "import copyreg, pickle, sys\n"
        "import _tarnel\n"
        "for obj in (_tarnel.Atom(b'x', b'h'), _tarnel.Parser()):\n"
        "    try:\n"
        "        pickle.dumps(obj)\n"
        "    except TypeError as err:\n"
        "        print(err)\n"
        "print(_tarnel.Atom in copyreg.dispatch_table, _tarnel.Parser in copyreg.dispatch_table)\n"
        "del sys.modules['pickle']\n"
        "import tarnel\n"
        "print(sorted(n for n in ('pickle', 'typing') if n in sys.modules))\n"
        "import pickle\n"
        "print(pickle.loads(pickle.dumps(_tarnel.Atom(b'x', b'h'))))\n",
        path=os.pathsep.join([os.path.dirname(_tarnel.__file__), package_dir]),
    )
    assert out.splitlines() == [
        "cannot pickle 'tarnel.Atom' object",
        "cannot pickle 'tarnel.Parser' object",
        "False False",
        "[]",
        "Atom(b\"x\", hint=b\"h\")",
    ]
