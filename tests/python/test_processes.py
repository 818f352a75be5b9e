"""The README's recipe for many files on many processes, run as the README gives it: on a process
pool, and on a local Dask cluster of two worker processes. Workers read each file with the parser
the caller sends, and what comes back equals reading the same files in this process."""

import importlib
import pathlib
import re
import sys

import pytest

import tarnel
from tarnel import Atom

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
MODULE = "tarnel_readme_checks"

# The parser the tests send: its atom limit and its refusal of transport forms are not the
# recipe's defaults, so a worker that read with any other parser would answer differently.
PARSER = tarnel.Parser(max_depth=8, max_atom_len=16, allow_transport=False)

RECORD = [b"entry", [b"user", b"alice"], [b"key", Atom(b"\x01" * 16, b"aes")], [b"note", b"a b"]]

FILES = {
    "a.sexp": tarnel.to_advanced(RECORD).encode() + b"\n(two)\n",
    "b.canonical": tarnel.to_canonical(RECORD) * 3,
    "c.sexp": b"(ok)\n(bad \"end",
    #                           ^ 14: the input ends inside the second S-expression
    "d.sexp": b"(ok) {KDE6YSk=}",
    #                ^ 5: a transport form
    "e.sexp": b"(ok) (17:aaaaaaaaaaaaaaaaa)",
    #                 ^ 6: an atom of 17 octets
    "f.sexp": b"",
}

REFUSALS = {
    "c.sexp": ("unexpected_end", 14),
    "d.sexp": ("transport_not_allowed", 5),
    "e.sexp": ("atom_too_long", 6),
}


@pytest.fixture
def recipe(tmp_path, monkeypatch):
    """The README's checks.py, importable in this process and in workers started from it."""
    text = README.read_text()
    blocks = [b for b in re.findall(r"```python\n(.*?)```", text, re.S) if "def check_file" in b]
    assert len(blocks) == 1
    (tmp_path / f"{MODULE}.py").write_text(blocks[0])
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.delitem(sys.modules, MODULE, raising=False)
    module = importlib.import_module(MODULE)
    yield module
    sys.modules.pop(MODULE, None)


@pytest.fixture
def paths(tmp_path):
    directory = tmp_path / "files"
    directory.mkdir()
    for name, data in FILES.items():
        (directory / name).write_bytes(data)
    return sorted(str(directory / name) for name in FILES)


def summary(result):
    path, values, canonical, refusal = result
    told = None if refusal is None else (type(refusal), refusal.kind, refusal.offset, str(refusal))
    return pathlib.Path(path).name, values, canonical, told


def check_results(results, recipe, paths):
    got = [summary(r) for r in results]
    assert got == [summary(recipe.check_file(p, PARSER)) for p in paths]
    by_name = {name: (values, canonical, told) for name, values, canonical, told in got}
    assert by_name["a.sexp"] == ([RECORD, [b"two"]],
                                 [tarnel.to_canonical(RECORD), b"(3:two)"], None)
    assert by_name["b.canonical"][0] == [RECORD] * 3
    assert type(by_name["b.canonical"][0][2][2][1]) is Atom
    assert by_name["f.sexp"] == ([], [], None)
    for name, (kind, offset) in REFUSALS.items():
        values, canonical, told = by_name[name]
        assert (values, canonical) == ([[b"ok"]], None)
        assert told[:3] == (tarnel.ParseError, kind, offset)


def test_a_process_pool_checks_every_file(recipe, paths):
    check_results(recipe.check_with_pool(paths, PARSER, workers=2), recipe, paths)


def test_a_dask_cluster_checks_every_file(recipe, paths):
    pytest.importorskip("dask.bag")
    distributed = pytest.importorskip("dask.distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        results = recipe.check_with_dask(client, paths, PARSER)
    check_results(results, recipe, paths)
