"""End-to-end benchmark of the tarnel module against the serializers users already have.

Every library decodes and encodes the same tree of bytes and lists from its own format: msgpack,
cbor2, json and orjson (json and orjson with the atoms as latin-1 strings, JSON having no bytes),
and msgspec's MessagePack encoder where it is installed,
and the floor, a C helper that only builds the tree with PyList_New and PyBytes_FromStringAndSize.
Calls are timed one by one, interleaved in a shuffled order each round, with the garbage collector
off; the tables give medians and the targets their ratios. `parse` also reads the small atoms of
(a) and the large ones of (b) from a memoryview, against the same octets as bytes.

Two modes: "plain", and "keep" (PYTHONMALLOC=malloc and glibc told to keep freed memory), which
takes the cost of minor page faults out of object creation and so shows the code's own speed.
Then the peak heap of each parse beyond its result, measured in a fresh interpreter by a preloaded
allocator shim, and the whole-process conversion of a canonical file of 1,000,000 small atoms to
the advanced representation, against `sexp-conv -s advanced`.

Then streams, through the public API only: `iter_parse` over a stream of 100,000 small
S-expressions and over one large S-expression, each canonical and advanced, read from a BytesIO,
a file and lists of 4 KiB and 64 KiB chunks, against one `parse` of the same octets (in both
modes); and the command (`python -m tarnel --to ...`) against `sexp-conv -s ...` on the same
files, both ways, with the wall time and the peak RSS of each process (measured by the helper
timerss.c), and once on the stream written ten times over (about 210 MB); and the command's
`--pretty` against its own `--to advanced` on the canonical files.

Then files: the stream's 100,000 records as 1,000 files of the advanced representation, each
read with `iter_parse` and a strict parser, converted to canonical files or sent back as values
and octets, in this process and on process pools of one and of two workers.

Last, queries: `find` and `find_all` over a value of 1,000,000 atoms (125,000 lists of 8 under
one), against `to_canonical` of the same value (the target: no slower), and matching a compiled
`Pattern` against a parsed GnuPG key (the target: microseconds), beside compiling it and
`tarnel.match` with the pattern's text.

    python bench/python/bench.py [--tiny] [--rounds N] [--tarnel DIR ...] [--skip PART ...]

--tiny runs every step at a small scale in seconds; --tarnel puts DIR first on sys.path (a build
tree's bindings/python and the package's source) instead of the installed package; --skip leaves
out plain, keep, memory, process, stream, stream-process, big-stream (never run under --tiny),
files or queries.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from array import array
from pathlib import Path

HERE = Path(__file__).resolve().parent
SEED = 6
KEEP_ENV = {
    "PYTHONMALLOC": "malloc",
    "MALLOC_TRIM_THRESHOLD_": str(1 << 30),
    "MALLOC_TOP_PAD_": str(1 << 28),
}

# ---------------------------------------------------------------------------------------------
# Workloads


def flat_tree(rnd: random.Random, atoms: int) -> list:
    """(a): `atoms` atoms of 1-16 random octets, in lists of 8 under one list."""
    return [[rnd.randbytes(rnd.randint(1, 16)) for _ in range(8)] for _ in range(atoms // 8)]


TOKEN_FIRST = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
TOKEN_REST = TOKEN_FIRST + b"0123456789-./_:*+="
QUOTED_ESCAPES = {0x0A: b"\\n", 0x09: b"\\t", 0x01: b"\\x01", 0x7F: b"\\177",
                  0x22: b'\\"', 0x5C: b"\\\\"}


def advanced_atom(rnd: random.Random, index: int) -> tuple[bytes, bytes]:
    """One atom of (d) and its advanced text: token, quoted, hexadecimal, base-64 in turn."""
    import base64

    n = rnd.randint(1, 16)
    form = index % 4
    if form == 0:
        data = bytes([rnd.choice(TOKEN_FIRST)] + [rnd.choice(TOKEN_REST) for _ in range(n - 1)])
        return data, data
    if form == 1:
        specials = {0: 0x0A, 1: 0x09, 2: 0x01, 3: 0x7F}
        data = bytes(specials.get(rnd.randrange(100), 0x20 + rnd.randrange(95)) for _ in range(n))
        return data, b'"' + b"".join(QUOTED_ESCAPES.get(o, bytes([o])) for o in data) + b'"'
    data = rnd.randbytes(n)
    if form == 2:
        return data, b"#" + data.hex().encode() + b"#"
    return data, b"|" + base64.b64encode(data) + b"|"


def advanced_tree(rnd: random.Random, atoms: int) -> tuple[list, bytes]:
    tree, groups, index = [], [], 0
    for _ in range(atoms // 8):
        group, texts = [], []
        for _ in range(8):
            data, text = advanced_atom(rnd, index)
            index += 1
            group.append(data)
            texts.append(text)
        tree.append(group)
        groups.append(b"(" + b" ".join(texts) + b")")
    return tree, b"(" + b" ".join(groups) + b")"


def deep_tree(chains: int, depth: int) -> list:
    root = []
    for _ in range(chains):
        chain: list = [b"x"]
        for _ in range(depth - 1):
            chain = [chain]
        root.append(chain)
    return root


def as_text(tree):
    """The same tree with atoms as latin-1 strings, for JSON; walked without recursion."""
    out: list = []
    stack = [(tree, out)]
    while stack:
        source, target = stack.pop()
        for item in source:
            if isinstance(item, list):
                child: list = []
                target.append(child)
                stack.append((item, child))
            else:
                target.append(item.decode("latin-1"))
    return out


def plan_of(tree) -> tuple[bytes, bytes]:
    """The floor's plan: pre-order, n >= 0 an atom of n octets, -(n + 1) a list of n."""
    plan, data = array("q"), []
    stack = [tree]
    while stack:
        item = stack.pop()
        if isinstance(item, list):
            plan.append(-len(item) - 1)
            stack.extend(reversed(item))
        else:
            plan.append(len(item))
            data.append(item)
    return plan.tobytes(), b"".join(data)


def make_workloads(tarnel, tiny: bool) -> dict:
    sys.setrecursionlimit(20_000)  # ==, json and cbor2 recurse over the 1,000 levels of (c)
    atoms = 2_000 if tiny else 200_000
    rnd = random.Random(SEED)
    a = flat_tree(rnd, atoms)
    b = [rnd.randbytes(1 << (14 if tiny else 20)) for _ in range(2 if tiny else 16)]
    c = deep_tree(2 if tiny else 200, 1000)
    d, d_text = advanced_tree(random.Random(SEED + 1), atoms)
    w = {}
    for name, tree, text in (("a", a, None), ("b", b, None), ("c", c, None), ("d", d, d_text)):
        canonical = tarnel.to_canonical(tree)
        w[name] = {"tree": tree, "canonical": canonical, "text": text or canonical}
    w["e"] = {"tree": a, "canonical": w["a"]["canonical"],
              "text": tarnel.to_transport(a).encode("ascii")}
    for name, item in w.items():
        if tarnel.parse(item["text"]) != item["tree"]:
            raise SystemExit(f"workload {name}: parse does not give back the tree")
    return w


# ---------------------------------------------------------------------------------------------
# The timed part (runs in a child process, once per mode)


def build_helpers(cache: Path) -> Path:
    """Compiles the floor extension and the allocator shim into `cache`; returns the directory."""
    cache.mkdir(parents=True, exist_ok=True)
    cc = os.environ.get("CC", "cc")
    floor = cache / ("_floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    shim = cache / "memshim.so"
    timerss = cache / "timerss"
    include = sysconfig.get_paths()["include"]
    jobs = [
        (floor, "floor.c", [cc, "-O2", "-shared", "-fPIC", f"-I{include}", str(HERE / "floor.c"),
                            "-o", str(floor)]),
        (shim, "memshim.c", [cc, "-O2", "-shared", "-fPIC", str(HERE / "memshim.c"), "-o",
                             str(shim), "-ldl"]),
        (timerss, "timerss.c", [cc, "-O2", str(HERE / "timerss.c"), "-o", str(timerss)]),
    ]
    for target, source, command in jobs:
        if not target.exists() or target.stat().st_mtime < (HERE / source).stat().st_mtime:
            subprocess.run(command, check=True)
    return cache


def candidates(tarnel, libs, floor, w) -> list[tuple[str, str, object]]:
    """(workload, operation, thunk) for every timed call."""
    msgpack, cbor2, orjson = libs["msgpack"], libs["cbor2"], libs["orjson"]
    msgspec = libs.get("msgspec")
    out = []
    for name, item in w.items():
        tree, text, canonical = item["tree"], item["text"], item["canonical"]
        out.append((name, "parse", lambda t=text: tarnel.parse(t)))
        if name in ("a", "b"):
            out.append((name, "parse memoryview", lambda v=memoryview(text): tarnel.parse(v)))
        if name == "e":
            continue  # the same tree as a, only the text differs
        out.append((name, "parse_canonical", lambda t=canonical: tarnel.parse_canonical(t)))
        packed = msgpack.packb(tree)
        cbor = cbor2.dumps(tree)
        strings = as_text(tree)
        js = json.dumps(strings)
        oj = orjson.dumps(strings) if name != "c" else None  # orjson stops at 255 levels
        plan, data = plan_of(tree)
        out += [
            (name, "floor", lambda p=plan, d=data: floor.build(p, d)),
            (name, "msgpack.unpackb", lambda p=packed: msgpack.unpackb(p)),
            (name, "cbor2.loads", lambda p=cbor: cbor2.loads(p)),
            (name, "json.loads", lambda p=js: json.loads(p)),
            (name, "to_canonical", lambda t=tree: tarnel.to_canonical(t)),
            (name, "to_transport", lambda t=tree: tarnel.to_transport(t)),
            (name, "to_advanced", lambda t=tree: tarnel.to_advanced(t)),
            (name, "to_pretty", lambda t=tree: tarnel.to_pretty(t)),
            (name, "msgpack.packb", lambda t=tree: msgpack.packb(t)),
            (name, "cbor2.dumps", lambda t=tree: cbor2.dumps(t)),
            (name, "json.dumps", lambda s=strings: json.dumps(s)),
        ]
        if oj is not None:
            out += [(name, "orjson.loads", lambda p=oj: orjson.loads(p)),
                    (name, "orjson.dumps", lambda s=strings: orjson.dumps(s))]
        if msgspec is not None:
            out.append((name, "msgspec.encode", lambda t=tree: msgspec.msgpack.encode(t)))
    return out


def time_all(cands, rounds: int, check=None) -> tuple[dict, dict]:
    """Medians per "workload/operation", and what each refused call raised. `check(name, result)`,
    where given, must hold for the result of each warm-up call, or the run stops."""
    order, refused = [], {}
    for name, op, thunk in cands:  # one warm-up call each; a library that refuses is left out
        try:
            result = thunk()
        except Exception as e:  # noqa: BLE001 - any refusal is reported, not timed
            refused[f"{name}/{op}"] = f"{type(e).__name__}: {e}"
            continue
        if check is not None and not check(name, result):
            raise SystemExit(f"{name}/{op}: the result differs from what the input holds")
        del result
        order.append((name, op, thunk))
    samples: dict = {(n, op): [] for n, op, _ in order}
    gc.collect()
    gc.disable()
    clock = time.perf_counter
    for r in range(rounds):
        random.Random(r).shuffle(order)
        for name, op, thunk in order:
            t0 = clock()
            result = thunk()
            t1 = clock()
            del result
            samples[(name, op)].append(t1 - t0)
    gc.enable()
    return {f"{n}/{op}": statistics.median(s) for (n, op), s in samples.items()}, refused


def child_main(args) -> None:
    if args.stream_dir:
        stream_child_main(args)
        return
    import tarnel
    import cbor2
    import msgpack
    import orjson

    sys.path.insert(0, args.helpers)
    import _floor

    try:
        import msgspec
    except ImportError:
        msgspec = None

    w = make_workloads(tarnel, args.tiny)
    libs = {"msgpack": msgpack, "cbor2": cbor2, "orjson": orjson, "msgspec": msgspec}
    cands = candidates(tarnel, libs, _floor, w)
    medians, refused = time_all(cands, args.rounds)
    sizes = {n: len(item["text"]) for n, item in w.items()}
    print(json.dumps({"medians": medians, "sizes": sizes, "refused": refused}))


# ---------------------------------------------------------------------------------------------
# Peak memory of parse beyond its result (fresh interpreter, preloaded shim)

MEMORY_SNIPPET = r"""
import ctypes, gc, json, sys
sys.path[:0] = {paths!r}
import tarnel, msgpack, bench
lib = ctypes.CDLL(None)
for f in (lib.memshim_current, lib.memshim_peak):
    f.restype = ctypes.c_size_t
w = bench.make_workloads(tarnel, {tiny!r})
item = w[{name!r}]
data = {{"parse": item["text"], "msgpack.unpackb": msgpack.packb(item["tree"])}}[{op!r}]
fn = {{"parse": tarnel.parse, "msgpack.unpackb": msgpack.unpackb}}[{op!r}]
del w, item
gc.collect(); gc.disable()
lib.memshim_reset_peak()
base = lib.memshim_current()
result = fn(data)
after, peak = lib.memshim_current(), lib.memshim_peak()
print(json.dumps({{"input": len(data), "result": after - base, "beyond": peak - after}}))
"""


def measure_memory(args, env, name: str, op: str) -> dict:
    paths = [*args.tarnel, str(HERE), args.helpers]
    snippet = MEMORY_SNIPPET.format(paths=paths, tiny=args.tiny, name=name, op=op)
    env = dict(env, PYTHONMALLOC="malloc", LD_PRELOAD=str(Path(args.helpers) / "memshim.so"))
    out = subprocess.run([sys.executable, "-c", snippet], env=env, check=True,
                         stdout=subprocess.PIPE, text=True).stdout
    return json.loads(out)


# ---------------------------------------------------------------------------------------------
# Whole process: canonical file to advanced, our code against sexp-conv

CONVERT_SCRIPT = r"""
import sys
sys.path[:0] = {paths!r}
import tarnel
with open(sys.argv[1], "rb") as f:
    data = f.read()
with open(sys.argv[2], "w", encoding="ascii") as f:
    f.write(tarnel.to_advanced(tarnel.parse(data)))
"""


# What a Python process must spend before any converting: starting and stopping the interpreter,
# and building and dropping the tree's objects with nothing but the floor's two calls.
FLOOR_SCRIPT = r"""
import sys
sys.path[:0] = [{helpers!r}]
import _floor
with open(sys.argv[1], "rb") as f:
    plan = f.read()
with open(sys.argv[2], "rb") as f:
    data = f.read()
tree = _floor.build(plan, data)
del tree
"""


BOUND_START = "python -c pass (start, stop)"
BOUND_FLOOR = "python + floor (objects only)"


def whole_process(args, env) -> dict | None:
    sexp_conv = shutil.which("sexp-conv")
    if sexp_conv is None:
        return None
    import tarnel

    atoms = 10_000 if args.tiny else 1_000_000
    work = Path(tempfile.mkdtemp(prefix="tarnel-bench-"))
    try:
        source = work / "in.canonical"
        tree = flat_tree(random.Random(SEED), atoms)
        source.write_bytes(tarnel.to_canonical(tree))
        script = work / "convert.py"
        script.write_text(CONVERT_SCRIPT.format(paths=list(args.tarnel)))
        plan, data = plan_of(tree)
        del tree
        (work / "plan").write_bytes(plan)
        (work / "data").write_bytes(data)
        floor_script = work / "floor.py"
        floor_script.write_text(FLOOR_SCRIPT.format(helpers=args.helpers))
        # (label, command, whether it writes to its standard output)
        commands = [
            ("python + tarnel", [sys.executable, str(script), str(source),
                                 str(work / "script.txt")], None),
            ("python -m tarnel --to advanced",
             [sys.executable, "-m", "tarnel", "--to", "advanced", str(source)], "cli.txt"),
            ("sexp-conv -s advanced", [sexp_conv, "-s", "advanced"], "theirs.txt"),
            (BOUND_START, [sys.executable, "-c", "pass"], None),
            (BOUND_FLOOR, [sys.executable, str(floor_script), str(work / "plan"),
                           str(work / "data")], None),
        ]
        times: dict = {label: [] for label, _, _ in commands}
        for _ in range(1 if args.tiny else 7):
            for label, command, output in commands:
                t0 = time.perf_counter()
                if output is None:
                    subprocess.run(command, env=env, check=True)
                else:
                    stdin = open(source, "rb") if label.startswith("sexp-conv") else None
                    with open(work / output, "wb") as o:
                        subprocess.run(command, stdin=stdin, stdout=o, env=env, check=True)
                    if stdin is not None:
                        stdin.close()
                times[label].append(time.perf_counter() - t0)
        # Every output must stand for the input's tree.
        want = tarnel.parse(source.read_bytes())
        for name in ("script.txt", "cli.txt", "theirs.txt"):
            if tarnel.parse((work / name).read_bytes()) != want:
                raise SystemExit(f"whole-process: {name} does not read back as the input")
        return {"bytes": source.stat().st_size, "atoms": atoms,
                "times": {k: statistics.median(v) for k, v in times.items()}}
    finally:
        shutil.rmtree(work)


# ---------------------------------------------------------------------------------------------
# Streams: iter_parse against one parse of the same octets, and the command against sexp-conv

STREAM_WORDS = [b"alpha", b"build", b"cache", b"delta", b"error", b"fetch", b"grant", b"index",
                b"login", b"merge", b"node-7", b"proxy", b"queue", b"renew", b"shard", b"token",
                b"user.admin", b"vault"]
STREAM_HINTS = [b"application/pkcs8", b"text/plain", b"image/png"]
#: S-expressions in the stream, and records in the one large S-expression: (full, tiny).
STREAM_RECORDS = (100_000, 2_000)
LARGE_RECORDS = (35_000, 1_000)
#: The big stream is the stream written this many times over (about 210 MB at full scale).
BIG_STREAM_REPEAT = 10
STREAM_KINDS = ("stream", "large")
STREAM_NAMES = [f"{kind}.{form}" for kind in STREAM_KINDS for form in ("canonical", "advanced")]
WHITESPACE = b"\t\n\v\f\r "


def stream_record(rnd: random.Random, seq: int) -> list:
    """One record of a log or key store, about 210 octets canonical: tokens, a time and numbers
    (quoted strings in the advanced text), words with spaces and now and then a line break, a key
    with a display hint and a binary signature, three lists deep."""
    from tarnel import Atom

    r = rnd.getrandbits(64)
    words = [STREAM_WORDS[(r >> (5 * k)) % len(STREAM_WORDS)] for k in range(8)]
    when = b"2025-%02d-%02dT%02d:%02dZ" % (1 + r % 12, 1 + (r >> 4) % 28, (r >> 9) % 24,
                                           (r >> 14) % 60)
    note = b" ".join(words[4:5 + (r >> 40) % 3]) + (b"\n" if (r >> 42) % 4 == 0 else b"")
    return [b"entry",
            [b"seq", b"%d" % seq],
            [b"time", when],
            [b"user", words[0], [b"uid", b"%d" % ((r >> 26) % 65536)]],
            [b"tags", *words[1:2 + (r >> 44) % 3]],
            [b"note", note],
            [b"key", Atom(rnd.randbytes(16), hint=STREAM_HINTS[(r >> 46) % 3])],
            [b"sig", [b"rsa-sha256", rnd.randbytes(12 + (r >> 48) % 13)]]]


def make_stream_files(tarnel, tiny: bool, directory: Path) -> dict:
    """Writes the stream workloads into `directory`, each in both representations:
    stream.canonical (records back to back), stream.advanced (one `to_advanced` per line), and
    large.canonical and large.advanced (one list of records). Returns the record counts and the
    sizes of the files."""
    records = STREAM_RECORDS[tiny]
    rnd = random.Random(SEED + 10)
    canonical, advanced = [], []
    for seq in range(records):
        record = stream_record(rnd, seq)
        canonical.append(tarnel.to_canonical(record))
        advanced.append(tarnel.to_advanced(record).encode("ascii") + b"\n")
    (directory / "stream.canonical").write_bytes(b"".join(canonical))
    (directory / "stream.advanced").write_bytes(b"".join(advanced))
    del canonical, advanced
    rnd = random.Random(SEED + 11)
    large = [b"store", *(stream_record(rnd, seq) for seq in range(LARGE_RECORDS[tiny]))]
    (directory / "large.canonical").write_bytes(tarnel.to_canonical(large))
    (directory / "large.advanced").write_bytes(tarnel.to_advanced(large).encode("ascii") + b"\n")
    return {"records": {"stream": records, "large": LARGE_RECORDS[tiny]},
            "sizes": {n: (directory / n).stat().st_size for n in STREAM_NAMES}}


def prefix_loop(tarnel, parser, data: bytes, window: int = 4096) -> list:
    """Every S-expression of `data` by the loop a user might write over `Parser.parse_prefix`:
    each call gets a copy of `window` octets from the next S-expression on (a memoryview instead
    is copied at a cost per octet), doubled while the S-expression runs past it."""
    out, pos, end = [], 0, len(data)
    while pos < end:
        if data[pos] in WHITESPACE:
            pos += 1
            continue
        size = window
        while True:
            try:
                value, used = parser.parse_prefix(data[pos:pos + size])
                break
            except tarnel.ParseError as e:
                if e.kind != "unexpected_end" or pos + size >= end:
                    raise
                size *= 2
        out.append(value)
        pos += used
    return out


STREAM_OPS = ["parse", "parse_prefix loop", "BytesIO", "file", "4 KiB chunks", "64 KiB chunks"]
STREAM_ITER_OPS = STREAM_OPS[2:]
STREAM_TARGET = 1.2


def stream_candidates(tarnel, directory: Path) -> tuple[list, dict]:
    """(workload, operation, thunk) for every timed call of the stream part, and the canonical
    form of what each workload must give: the list of its S-expressions. Every call returns that
    list and keeps all of it until the call ends, parse included."""
    import io

    parser = tarnel.Parser()
    out, expected = [], {}
    for name in STREAM_NAMES:
        path = directory / name
        data = path.read_bytes()
        canonical = directory / name.replace("advanced", "canonical")
        expected[name] = b"(" + canonical.read_bytes() + b")"
        chunks = {size: [data[i:i + size] for i in range(0, len(data), size)]
                  for size in (4 << 10, 64 << 10)}
        if name.startswith("stream."):
            wrapped = b"(" + data + b")"
            out += [(name, "parse", lambda d=wrapped: tarnel.parse(d)),
                    (name, "parse_prefix loop", lambda d=data: prefix_loop(tarnel, parser, d))]
        else:
            out.append((name, "parse", lambda d=data: [tarnel.parse(d)]))

        def from_file(p=path):
            with open(p, "rb") as f:
                return list(tarnel.iter_parse(f))

        out += [
            (name, "BytesIO", lambda d=data: list(tarnel.iter_parse(io.BytesIO(d)))),
            (name, "file", from_file),
            (name, "4 KiB chunks", lambda c=chunks[4 << 10]: list(tarnel.iter_parse(c))),
            (name, "64 KiB chunks", lambda c=chunks[64 << 10]: list(tarnel.iter_parse(c))),
        ]
    return out, expected


def stream_child_main(args) -> None:
    import tarnel

    cands, expected = stream_candidates(tarnel, Path(args.stream_dir))
    medians, refused = time_all(
        cands, args.rounds, lambda name, result: tarnel.to_canonical(result) == expected[name])
    print(json.dumps({"medians": medians, "refused": refused}))


def report_stream(mode: str, result: dict, files: dict) -> str:
    m, sizes = result["medians"], files["sizes"]
    rows = [f"{n} ({sizes[n] / 1e6:.2f} MB)" for n in STREAM_NAMES]

    def ms(key):
        return f"{m[key] * 1e3:.2f}" if key in m else "-"

    def ratio(name, op):
        key, base = f"{name}/{op}", f"{name}/parse"
        return f"{m[key] / m[base]:.2f}x" if key in m and base in m else "-"

    cells = []
    for name in STREAM_NAMES:
        row = [ratio(name, op) for op in STREAM_OPS[1:]]
        ratios = [float(c[:-1]) for c in row[1:] if c != "-"]
        if len(ratios) < len(STREAM_ITER_OPS):
            row.append("-")
        else:
            row.append("met" if max(ratios) <= STREAM_TARGET else "NOT met")
        cells.append(row)
    out = [f"### Streams, {mode}: iter_parse against one parse of the same octets "
           "(medians in ms)", "",
           table("workload", rows, STREAM_OPS,
                 [[ms(f"{n}/{op}") for op in STREAM_OPS] for n in STREAM_NAMES]), "",
           table("ratio to parse", rows, STREAM_OPS[1:] + [f"<= {STREAM_TARGET}x"], cells),
           f"target: iter_parse (BytesIO, file, chunks) at most {STREAM_TARGET}x one parse; parse "
           "reads a stream wrapped in one\nlist, b'(' + stream + b')', and every call keeps all "
           "the S-expressions it read", ""]
    out += [f"refused (shown as -): {k}: {v}" for k, v in result["refused"].items()]
    if result["refused"]:
        out.append("")
    return "\n".join(out)


# The command against sexp-conv on the same files: (workload, representation written).
STREAM_JOBS = [(f"{kind}.{source}", target) for kind in STREAM_KINDS
               for source, target in (("canonical", "advanced"), ("advanced", "canonical"))]
STREAM_SPEEDUP = 5.0
STREAM_RSS_MIB = 32
# The command's --pretty against its own --to advanced on the same files.
PRETTY_JOBS = [(f"{kind}.canonical", "pretty") for kind in STREAM_KINDS]
PRETTY_RATIO = 2.0
PRETTY_RSS_MIB = 64
IMPORT_ONLY = "python -c 'import tarnel'"


def run_measured(timerss: str, env: dict, command: list, stdin: Path, stdout: Path) -> tuple:
    """Wall seconds and peak RSS in bytes of `command`, run by the timerss helper."""
    out = subprocess.run([timerss, str(stdin), str(stdout), *command], env=env, check=True,
                         stdout=subprocess.PIPE, text=True).stdout.split()
    seconds, kib, code = float(out[0]), int(out[1]), int(out[2])
    if code != 0:
        raise SystemExit(f"stream process: {' '.join(command)} exited with status {code}")
    return seconds, kib * 1024


def stream_commands(sexp_conv: str, source: Path, target: str) -> dict:
    """The two converters of one job: (command, standard input). The target "pretty" is the
    command's --pretty, which has no counterpart in sexp-conv."""
    form = ["--pretty"] if target == "pretty" else ["--to", target]
    return {"tarnel": ([sys.executable, "-m", "tarnel", *form, str(source)], Path(os.devnull)),
            "sexp-conv": ([sexp_conv, "-s", target], source)}


def reads_back(tarnel, directory: Path, name: str, target: str, output: bytes) -> bool:
    """Whether one converter's output stands for the input: canonical output must be the
    canonical file itself, advanced output must read back as its S-expressions."""
    canonical = (directory / name.replace("advanced", "canonical")).read_bytes()
    if target == "canonical":
        return output == canonical
    try:
        if name.startswith("stream."):
            return tarnel.to_canonical(tarnel.parse(b"(" + output + b")")) == (
                b"(" + canonical + b")")
        return tarnel.to_canonical(tarnel.parse(output)) == canonical
    except tarnel.ParseError:
        return False


def file_digest(path: Path, repeat: int = 1):
    import hashlib

    h = hashlib.sha256()
    for _ in range(repeat):
        with open(path, "rb") as f:
            while block := f.read(1 << 20):
                h.update(block)
    return h.hexdigest()


def stream_process(args, env, directory: Path, timerss: str) -> dict | None:
    """The command and sexp-conv on each job: median wall seconds and the largest peak RSS over
    the runs, each output checked once; then, unless left out, the big stream once."""
    sexp_conv = shutil.which("sexp-conv")
    if sexp_conv is None:
        return None
    import tarnel

    runs = 1 if args.tiny else 5
    times: dict = {}
    rss: dict = {}

    def record(key, measured):
        times.setdefault(key, []).append(measured[0])
        rss[key] = max(rss.get(key, 0), measured[1])

    order = [(name, target, tool) for name, target in STREAM_JOBS
             for tool in ("tarnel", "sexp-conv")] + [(IMPORT_ONLY, "", "tarnel")]
    order += [(name, target, "tarnel") for name, target in PRETTY_JOBS]
    for r in range(runs):
        random.Random(r).shuffle(order)
        for name, target, tool in order:
            if name == IMPORT_ONLY:
                command = [sys.executable, "-c", "import tarnel"]
                record((name, tool), run_measured(timerss, env, command, Path(os.devnull),
                                                  Path(os.devnull)))
                continue
            command, stdin = stream_commands(sexp_conv, directory / name, target)[tool]
            output = directory / f"out.{name}.{target}.{tool}"
            record((f"{name} to {target}", tool),
                   run_measured(timerss, env, command, stdin, output))
            if r == 0 and not reads_back(tarnel, directory, name, target, output.read_bytes()):
                raise SystemExit(f"stream process: {tool}, {name} to {target}: the output does "
                                 "not read back as the input")
    sizes = {f"{name} to {target}": (directory / name).stat().st_size
             for name, target in STREAM_JOBS}

    if not args.tiny and "big-stream" not in args.skip:
        # The stream written BIG_STREAM_REPEAT times over; each output must be the output of the
        # stream, written as many times over (canonical: the big canonical file itself).
        for form in ("canonical", "advanced"):
            with open(directory / f"big.{form}", "wb") as f:
                for _ in range(BIG_STREAM_REPEAT):
                    f.write((directory / f"stream.{form}").read_bytes())
        for form, target in (("canonical", "advanced"), ("advanced", "canonical")):
            name = f"big.{form}"
            sizes[f"{name} to {target}"] = (directory / name).stat().st_size
            for tool in ("tarnel", "sexp-conv"):
                command, stdin = stream_commands(sexp_conv, directory / name, target)[tool]
                output = directory / f"out.{name}.{target}.{tool}"
                record((f"{name} to {target}", tool),
                       run_measured(timerss, env, command, stdin, output))
                small = directory / (f"out.stream.{form}.{target}.{tool}" if target == "advanced"
                                     else "stream.canonical")
                if file_digest(output) != file_digest(small, BIG_STREAM_REPEAT):
                    raise SystemExit(f"stream process: {tool}, {name} to {target}: the output is "
                                     "not the stream's output written over again")
                output.unlink()
        name = "big.canonical"
        command, stdin = stream_commands(sexp_conv, directory / name, "pretty")["tarnel"]
        output = directory / f"out.{name}.pretty"
        record((f"{name} to pretty", "tarnel"), run_measured(timerss, env, command, stdin, output))
        small = directory / "out.stream.canonical.pretty.tarnel"
        if file_digest(output) != file_digest(small, BIG_STREAM_REPEAT):
            raise SystemExit(f"stream process: {name} to pretty: the output is not the stream's "
                             "output written over again")
        output.unlink()
        for form in ("canonical", "advanced"):
            (directory / f"big.{form}").unlink()
    return {"times": {k: statistics.median(v) for k, v in times.items()}, "rss": rss,
            "sizes": sizes, "runs": runs}


def report_stream_process(r: dict, files: dict) -> str:
    t, rss, sizes = r["times"], r["rss"], r["sizes"]
    mib = 1 << 20
    rows, cells = [], []
    for job, size in sizes.items():
        ours, theirs = t[(job, "tarnel")], t[(job, "sexp-conv")]
        speedup = theirs / ours
        if job.startswith("big."):
            limit = STREAM_RSS_MIB * mib
        elif job.startswith("large."):
            limit = STREAM_RSS_MIB * mib + 2 * size
        else:
            limit = None
        peak = rss[(job, "tarnel")]
        rows.append(f"{job} ({size / 1e6:.2f} MB)")
        cells.append([f"{ours:.3f}", f"{theirs:.3f}", f"{speedup:.2f}x",
                      "met" if speedup >= STREAM_SPEEDUP else "NOT met",
                      f"{peak / mib:.1f}", "-" if limit is None else f"{limit / mib:.1f}",
                      "" if limit is None else "met" if peak <= limit else "NOT met",
                      f"{rss[(job, 'sexp-conv')] / mib:.1f}"])
    rows.append(IMPORT_ONLY)
    cells.append([f"{t[(IMPORT_ONLY, 'tarnel')]:.3f}", "-", "-", "",
                  f"{rss[(IMPORT_ONLY, 'tarnel')] / mib:.1f}", "-", "", "-"])
    records = files["records"]
    pretty_rows, pretty_cells = [], []
    for job, size in sizes.items():
        pretty = job.replace(" to advanced", " to pretty")
        if pretty == job or (pretty, "tarnel") not in t:
            continue
        ratio = t[(pretty, "tarnel")] / t[(job, "tarnel")]
        peak = rss[(pretty, "tarnel")]
        pretty_rows.append(f"{pretty} ({size / 1e6:.2f} MB)")
        pretty_cells.append([f"{t[(pretty, 'tarnel')]:.3f}", f"{t[(job, 'tarnel')]:.3f}",
                             f"{ratio:.2f}x", "met" if ratio <= PRETTY_RATIO else "NOT met",
                             f"{peak / mib:.1f}", f"{rss[(job, 'tarnel')] / mib:.1f}",
                             "met" if peak <= PRETTY_RSS_MIB * mib else "NOT met"])
    pretty_report = [
        f"### The command's --pretty against its --to advanced (median wall seconds of "
        f"{r['runs']}, peak RSS; big: one run)", "",
        table("job", pretty_rows,
              ["--pretty", "--to advanced", "ratio", f"<= {PRETTY_RATIO:g}x", "--pretty MiB",
               "advanced MiB", f"< {PRETTY_RSS_MIB} MiB"], pretty_cells),
        f"targets: --pretty at most {PRETTY_RATIO:g}x --to advanced on the same input, its peak "
        f"RSS under {PRETTY_RSS_MIB} MiB", ""] if pretty_rows else []
    return "\n".join([
        f"### Streams, whole process, plain: the command against sexp-conv (median wall seconds "
        f"of {r['runs']}, peak RSS)", "",
        f"stream: {records['stream']:,} S-expressions; large: one list of {records['large']:,} "
        "records" + (f"; big: the stream {BIG_STREAM_REPEAT} times over (one run)"
                     if any(job.startswith("big.") for job in sizes) else ""), "",
        table("job", rows, ["tarnel", "sexp-conv", "speed-up", f">= {STREAM_SPEEDUP:g}x",
                            "tarnel MiB", "limit MiB", "", "sexp-conv MiB"], cells),
        f"targets: the command at least {STREAM_SPEEDUP:g}x faster than sexp-conv; its peak RSS "
        f"at most {STREAM_RSS_MIB} MiB on the big stream,\nand {STREAM_RSS_MIB} MiB plus twice "
        "the input on one large S-expression; the last row starts Python and imports tarnel", "",
        *pretty_report])


# ---------------------------------------------------------------------------------------------
# Files: many files read and converted on a pool of one and of two worker processes

#: Files, and records in each: (full, tiny). At full scale, the records of the stream workload.
FILE_COUNT = (1_000, 20)
FILE_RECORDS = (100, 10)
FILE_JOBS = ["convert to canonical files", "check: values and octets sent back"]
FILE_WHERE = ["this process", "1 process", "2 processes"]


def file_parser():
    """The strict parser every file is read with, as a program reading files from elsewhere
    would build it; the pools get it pickled with each batch of tasks."""
    from tarnel import Parser

    return Parser(max_depth=16, max_atom_len=1 << 16, max_input_len=1 << 20,
                  allow_transport=False)


def convert_file(path: str, parser) -> int:
    """One worker's job: the S-expressions of one file read with `parser` and written canonical
    to `path + ".canonical"`; returns how many there were."""
    from tarnel import iter_parse, to_canonical

    with open(path, "rb") as fp:
        out = [to_canonical(value) for value in iter_parse(fp, parser)]
    with open(path + ".canonical", "wb") as fp:
        fp.write(b"".join(out))
    return len(out)


def check_file(path: str, parser) -> tuple:
    """The README's recipe: (path, values, their canonical octets, refusal) for one file."""
    from tarnel import ParseError, iter_parse, to_canonical

    values = []
    try:
        with open(path, "rb") as fp:
            for value in iter_parse(fp, parser):
                values.append(value)
    except ParseError as refusal:
        return path, values, None, refusal
    return path, values, [to_canonical(value) for value in values], None


def start_worker(_: int) -> int:
    import tarnel  # noqa: F401 - started and imported before the timing

    time.sleep(0.2)
    return os.getpid()


def run_files(tarnel, tiny: bool, directory: Path, rounds: int) -> dict:
    """Writes the files (each its records in the advanced representation, one per line), then
    times both jobs over all of them in this process and on pools of 1 and 2 workers started
    with "spawn" and running before the timing. Every result is checked once against the
    canonical octets the records were written from."""
    import hashlib
    from concurrent.futures import ProcessPoolExecutor
    from functools import partial
    from multiprocessing import get_context

    count, per = FILE_COUNT[tiny], FILE_RECORDS[tiny]
    rnd = random.Random(SEED + 12)
    paths, expected, size = [], hashlib.sha256(), 0
    for n in range(count):
        records = [stream_record(rnd, n * per + k) for k in range(per)]
        data = b"".join(tarnel.to_advanced(r).encode("ascii") + b"\n" for r in records)
        path = directory / f"{n:04d}.sexp"
        path.write_bytes(data)
        paths.append(str(path))
        expected.update(b"".join(map(tarnel.to_canonical, records)))
        size += len(data)
    expected = expected.digest()
    parser = file_parser()

    def converted(counts) -> bool:
        digest = hashlib.sha256()
        for p in paths:
            digest.update(Path(p + ".canonical").read_bytes())
        return list(counts) == [per] * count and digest.digest() == expected

    def checked(results) -> bool:
        digest = hashlib.sha256()
        for path, values, canonical, refusal in results:
            if refusal is not None or len(values) != per:
                return False
            digest.update(b"".join(canonical))
        return digest.digest() == expected

    context = get_context("spawn")
    pools = {1: ProcessPoolExecutor(1, mp_context=context),
             2: ProcessPoolExecutor(2, mp_context=context)}
    try:
        for workers, pool in pools.items():
            started = set(pool.map(start_worker, range(workers)))
            assert len(started) == workers, "a pool did not start all its workers"
        cands = []
        for job, fn in zip(FILE_JOBS, (convert_file, check_file)):
            task = partial(fn, parser=parser)
            cands.append((job, FILE_WHERE[0], lambda t=task: list(map(t, paths))))
            for workers, where in zip((1, 2), FILE_WHERE[1:]):
                cands.append((job, where, lambda t=task, p=pools[workers]:
                              list(p.map(t, paths, chunksize=8))))
        checks = {FILE_JOBS[0]: converted, FILE_JOBS[1]: checked}
        medians, refused = time_all(cands, rounds, lambda job, result: checks[job](result))
    finally:
        for pool in pools.values():
            pool.shutdown()
    return {"files": count, "records": per, "size": size, "rounds": rounds,
            "medians": medians, "refused": refused}


def report_files(r: dict) -> str:
    m = r["medians"]

    def seconds(key):
        return f"{m[key]:.3f}" if key in m else "-"

    cells = []
    for job in FILE_JOBS:
        one, two = m.get(f"{job}/1 process"), m.get(f"{job}/2 processes")
        cells.append([seconds(f"{job}/{where}") for where in FILE_WHERE]
                     + [f"{one / two:.2f}x" if one and two else "-"])
    out = [f"### Files: {r['files']:,} files of {r['records']} records ({r['size'] / 1e6:.2f} MB "
           f"advanced) on pools of processes (median wall seconds of {r['rounds']})", "",
           table("job", FILE_JOBS, FILE_WHERE + ["speed-up, 2 / 1"], cells),
           "each file read with iter_parse and a strict parser that goes to the workers pickled; "
           "the pools' workers\nare started (spawn) before the timing", ""]
    out += [f"refused (shown as -): {k}: {v}" for k, v in r["refused"].items()]
    if r["refused"]:
        out.append("")
    return "\n".join(out)


# ---------------------------------------------------------------------------------------------
# Report

DECODE_COLUMNS = ["parse", "parse memoryview", "parse_canonical", "floor", "msgpack.unpackb",
                  "cbor2.loads", "json.loads", "orjson.loads"]
ENCODE_COLUMNS = ["to_canonical", "to_transport", "to_advanced", "to_pretty", "msgpack.packb",
                  "msgspec.encode", "cbor2.dumps", "json.dumps", "orjson.dumps"]

# (label, numerator, denominator, limit); a negative limit means "at least".
TARGETS = [
    ("parse a / msgpack.unpackb a", "a/parse", "a/msgpack.unpackb", 1.3),
    ("parse b / msgpack.unpackb b", "b/parse", "b/msgpack.unpackb", 1.3),
    ("parse c / msgpack.unpackb c", "c/parse", "c/msgpack.unpackb", 1.3),
    ("parse a / floor a", "a/parse", "a/floor", 1.5),
    ("parse d / json.loads d", "d/parse", "d/json.loads", 0.5),
    ("parse d / parse_canonical d", "d/parse", "d/parse_canonical", 2.0),
    ("parse e / parse a", "e/parse", "a/parse", 1.5),
    ("parse memoryview a / parse a", "a/parse memoryview", "a/parse", 2.0),
    ("parse memoryview b / parse b", "b/parse memoryview", "b/parse", 2.0),
    ("to_canonical a / msgpack.packb a", "a/to_canonical", "a/msgpack.packb", 1.5),
    ("to_canonical b / msgpack.packb b", "b/to_canonical", "b/msgpack.packb", 1.5),
    ("to_canonical a / msgspec.encode a", "a/to_canonical", "a/msgspec.encode", 1.0),
    ("to_advanced a / json.dumps a", "a/to_advanced", "a/json.dumps", 1.0),
    ("to_advanced d / json.dumps d", "d/to_advanced", "d/json.dumps", 1.0),
    ("to_transport a / to_canonical a", "a/to_transport", "a/to_canonical", 2.0),
]


# ---------------------------------------------------------------------------------------------
# Queries

# A protected Ed25519 key as gpg-agent keeps it (the salt, IV and secret are made up).
GNUPG_KEY = (
    b"(protected-private-key (ecc (curve Ed25519) (flags eddsa) (q #40E8197B902F421601D453232F"
    b"42529EC2D78EA76C4C5291120C94A73F10F65D44#) (protected openpgp-s2k3-ocb-aes ((sha1 #08B64CC"
    b"1427022C9# 5:65536) #A532C6156C498E7F83D6C60E#) #" + b"D2237908" * 12 + b"#)) (protected-at "
    b"15:20261208T103711))"
)
KEY_PATTERN = "(protected-private-key (ecc (curve :curve) (::optional (flags :flags...)) (q :q)))"
MATCHES_PER_CALL = 1000


def run_queries(tarnel, tiny: bool, rounds: int) -> dict:
    """Medians of find, find_all and to_canonical over a large value, and of matching a key."""
    rnd = random.Random(SEED)
    lists = (2_000 if tiny else 1_000_000) // 8
    tree = [[b"entry", *(rnd.randbytes(rnd.randint(1, 16)) for _ in range(7))]
            for _ in range(lists)]
    key = tarnel.parse(GNUPG_KEY)
    pattern = tarnel.Pattern(KEY_PATTERN)
    expected = {"curve": b"Ed25519", "flags": [b"eddsa"], "q": tarnel.find(key, "q")[1]}
    if pattern.match(key) != expected or tarnel.match(KEY_PATTERN, key) != expected:
        raise SystemExit("queries: the pattern does not take the key's parts")
    if len(list(tarnel.find_all(tree, "entry"))) != lists:
        raise SystemExit("queries: find_all does not find every list")

    def matches(match=pattern.match):
        for _ in range(MATCHES_PER_CALL):
            match(key)

    def text_matches(match=tarnel.match):
        for _ in range(MATCHES_PER_CALL):
            match(KEY_PATTERN, key)

    def compiles(compile=tarnel.Pattern):
        for _ in range(MATCHES_PER_CALL):
            compile(KEY_PATTERN)

    cands = [
        ("value", "to_canonical", lambda: tarnel.to_canonical(tree)),
        ("value", "find (absent)", lambda: tarnel.find(tree, "absent")),
        ("value", "find_all", lambda: list(tarnel.find_all(tree, "entry"))),
        ("key", "Pattern.match", matches),
        ("key", "match (text)", text_matches),
        ("key", "Pattern()", compiles),
    ]
    medians, _ = time_all(cands, rounds)
    return {"medians": medians, "atoms": lists * 8,
            "bytes": len(tarnel.to_canonical(tree)), "key": len(GNUPG_KEY)}


def report_queries(r: dict) -> str:
    m = r["medians"]
    value = ["to_canonical", "find (absent)", "find_all"]
    rows = [f"{op}" for op in value]
    cells = [[f"{m['value/' + op] * 1e3:.2f}",
              f"{m['value/' + op] / m['value/to_canonical']:.2f}x"] for op in value]
    out = [f"### Queries: a value of {r['atoms']:,} atoms ({r['bytes'] / 1e6:.1f} MB canonical),"
           " medians", "", table("call", rows, ["ms", "/ to_canonical"], cells), "",
           "target: find over the value <= 1.00x to_canonical "
           + ("(met)" if m["value/find (absent)"] <= m["value/to_canonical"] else "(NOT met)"), ""]
    key_ops = ["Pattern.match", "match (text)", "Pattern()"]
    out += [table(f"a GnuPG key ({r['key']} octets)", key_ops, ["us per call"],
                  [[f"{m['key/' + op] / MATCHES_PER_CALL * 1e6:.2f}"] for op in key_ops]), "",
            "target: Pattern.match in microseconds "
            + ("(met)" if m["key/Pattern.match"] / MATCHES_PER_CALL < 1e-4 else "(NOT met)"), ""]
    return "\n".join(out)


def table(title: str, rows: list[str], header: list[str], cells: list[list[str]]) -> str:
    widths = [max(len(title), *(len(r) for r in rows))]
    widths += [max(len(h), *(len(c[i]) for c in cells)) for i, h in enumerate(header)]
    lines = ["  ".join([title.ljust(widths[0])] + [h.rjust(w) for h, w in
                                                   zip(header, widths[1:])])]
    lines.append("  ".join("-" * w for w in widths))
    for row, cell in zip(rows, cells):
        lines.append("  ".join([row.ljust(widths[0])] + [c.rjust(w) for c, w in
                                                         zip(cell, widths[1:])]))
    return "\n".join(lines)


def report_mode(mode: str, result: dict) -> str:
    m, sizes = result["medians"], result["sizes"]
    names = list(sizes)

    def ms(key):
        return f"{m[key] * 1e3:.2f}" if key in m else "-"

    rows = [f"{n} ({sizes[n] / 1e6:.2f} MB)" for n in names]
    out = [f"### Mode: {mode} (medians in ms)", "",
           table("decode", rows, DECODE_COLUMNS,
                 [[ms(f"{n}/{c}") for c in DECODE_COLUMNS] for n in names]), "",
           table("encode", rows[:-1], ENCODE_COLUMNS,
                 [[ms(f"{n}/{c}") for c in ENCODE_COLUMNS] for n in names[:-1]]), ""]
    cells, labels = [], []
    for label, num, den, limit in TARGETS:
        if num not in m or den not in m:
            continue  # a library that is not installed
        labels.append(label)
        ratio = m[num] / m[den]
        cells.append([f"{ratio:.2f}x", f"<= {limit}x", "met" if ratio <= limit else "NOT met"])
    out += [table("target", labels, ["ratio", "limit", ""], cells), ""]
    out += [f"refused (shown as -): {k}: {v}" for k, v in result["refused"].items()]
    if result["refused"]:
        out.append("")
    return "\n".join(out)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tiny", action="store_true", help="a small scale, seconds in all")
    parser.add_argument("--rounds", type=int, default=None, help="timed rounds per mode")
    parser.add_argument("--tarnel", action="append", default=[], metavar="DIR",
                        help="put DIR first on sys.path to import tarnel from it")
    parser.add_argument("--child", choices=["plain", "keep"], help=argparse.SUPPRESS)
    parser.add_argument("--helpers", help=argparse.SUPPRESS)
    parser.add_argument("--stream-dir", help=argparse.SUPPRESS)
    parser.add_argument("--skip", action="append", default=[],
                        choices=["plain", "keep", "memory", "process", "stream", "stream-process",
                                 "big-stream", "files", "queries"],
                        help="leave out one part of the run")
    args = parser.parse_args()
    args.tarnel = [str(Path(p).resolve()) for p in args.tarnel]
    sys.path[:0] = args.tarnel
    # The stream part takes 7 rounds unless told: each of its calls reads 7 to 29 MB.
    stream_rounds = args.rounds or (3 if args.tiny else 7)
    if args.rounds is None:
        args.rounds = 3 if args.tiny else 15
    if args.child:
        child_main(args)
        return

    root = HERE.parent.parent
    args.helpers = str(build_helpers(root / "build" / "bench-python"))
    base_env = dict(os.environ)
    base_env["PYTHONPATH"] = os.pathsep.join(args.tarnel + [base_env.get("PYTHONPATH", "")])
    for key in (*KEEP_ENV, "LD_PRELOAD"):
        base_env.pop(key, None)
    envs = {"plain": base_env, "keep": dict(base_env, **KEEP_ENV)}
    scale = "tiny" if args.tiny else "full"
    print(f"tarnel benchmark, {scale} scale, {args.rounds} rounds, Python "
          f"{sys.version.split()[0]}\n")
    for mode in ("plain", "keep"):
        if mode in args.skip:
            continue
        command = [sys.executable, str(Path(__file__).resolve()), "--child", mode,
                   "--rounds", str(args.rounds), "--helpers", args.helpers]
        command += ["--tiny"] * args.tiny + [x for p in args.tarnel for x in ("--tarnel", p)]
        out = subprocess.run(command, env=envs[mode], check=True, stdout=subprocess.PIPE,
                             text=True).stdout
        print(report_mode(mode, json.loads(out)), flush=True)

    if "memory" not in args.skip:
        rows, cells = [], []
        for name, op in (("a", "parse"), ("a", "msgpack.unpackb"), ("d", "parse"),
                         ("e", "parse"), ("b", "parse")):
            r = measure_memory(args, base_env, name, op)
            rows.append(f"{op} {name}")
            cells.append([f"{r['input'] / 1e6:.2f}", f"{r['result'] / 1e6:.2f}",
                          f"{r['beyond'] / 1e6:.2f}", f"{r['beyond'] / r['input']:.2f}x"])
        print("### Peak heap beyond the result (MB, fresh interpreter)\n")
        print(table("call", rows, ["input", "result", "beyond", "beyond/input"], cells))
        print("target: parse a beyond/input <= 1.5x\n", flush=True)

    if "process" not in args.skip:
        for mode in ("plain", "keep"):
            r = whole_process(args, envs[mode])
            if r is None:
                print("### Whole process: sexp-conv not found, left out\n")
                break
            print(f"### Whole process, {mode}: {r['bytes'] / 1e6:.1f} MB canonical, "
                  f"{r['atoms']:,} atoms, to advanced (median wall seconds)\n")
            t = r["times"]
            theirs = t["sexp-conv -s advanced"]
            print(table("command", list(t), ["seconds", "speed-up"],
                        [[f"{v:.3f}", f"{theirs / v:.2f}x"] for v in t.values()]))
            print(f"target: speed-up >= 3x, so at most {theirs / 3:.3f} s; the last two rows are "
                  "the least any Python process\nspends: starting and stopping, and building and "
                  "dropping the tree's objects with nothing else\n", flush=True)

    if "stream" not in args.skip or "stream-process" not in args.skip:
        import tarnel

        work = Path(tempfile.mkdtemp(prefix="tarnel-bench-stream-"))
        try:
            files = make_stream_files(tarnel, args.tiny, work)
            for mode in ("plain", "keep"):
                if "stream" in args.skip:
                    break
                command = [sys.executable, str(Path(__file__).resolve()), "--child", mode,
                           "--stream-dir", str(work), "--rounds", str(stream_rounds),
                           "--helpers", args.helpers]
                command += ["--tiny"] * args.tiny
                command += [x for p in args.tarnel for x in ("--tarnel", p)]
                out = subprocess.run(command, env=envs[mode], check=True, stdout=subprocess.PIPE,
                                     text=True).stdout
                print(report_stream(mode, json.loads(out), files), flush=True)
            if "stream-process" not in args.skip:
                r = stream_process(args, base_env, work, str(Path(args.helpers) / "timerss"))
                if r is None:
                    print("### Streams, whole process: sexp-conv not found, left out\n")
                else:
                    print(report_stream_process(r, files), flush=True)
        finally:
            shutil.rmtree(work)

    if "files" not in args.skip:
        import tarnel

        work = Path(tempfile.mkdtemp(prefix="tarnel-bench-files-"))
        try:
            print(report_files(run_files(tarnel, args.tiny, work, stream_rounds)), flush=True)
        finally:
            shutil.rmtree(work)

    if "queries" not in args.skip:
        import tarnel

        print(report_queries(run_queries(tarnel, args.tiny, args.rounds)), flush=True)


if __name__ == "__main__":
    main()
