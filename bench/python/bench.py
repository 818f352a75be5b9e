"""End-to-end benchmark of the tarnel module against the serializers users already have.

Every library decodes and encodes the same tree of bytes and lists from its own format: msgpack,
cbor2, json and orjson (json and orjson with the atoms as latin-1 strings, JSON having no bytes),
and the floor, a C helper that only builds the tree with PyList_New and PyBytes_FromStringAndSize.
Calls are timed one by one, interleaved in a shuffled order each round, with the garbage collector
off; the tables give medians and the targets their ratios.

Two modes: "plain", and "keep" (PYTHONMALLOC=malloc and glibc told to keep freed memory), which
takes the cost of minor page faults out of object creation and so shows the code's own speed.
Then the peak heap of each parse beyond its result, measured in a fresh interpreter by a preloaded
allocator shim, and the whole-process conversion of a canonical file of 1,000,000 small atoms to
the advanced representation, against `sexp-conv -s advanced`.

    python bench/python/bench.py [--tiny] [--rounds N] [--tarnel DIR ...]

--tiny runs every step at a small scale in seconds; --tarnel puts DIR first on sys.path (a build
tree's bindings/python and the package's source) instead of the installed package.
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
    include = sysconfig.get_paths()["include"]
    jobs = [
        (floor, "floor.c", [cc, "-O2", "-shared", "-fPIC", f"-I{include}", str(HERE / "floor.c"),
                            "-o", str(floor)]),
        (shim, "memshim.c", [cc, "-O2", "-shared", "-fPIC", str(HERE / "memshim.c"), "-o",
                             str(shim), "-ldl"]),
    ]
    for target, source, command in jobs:
        if not target.exists() or target.stat().st_mtime < (HERE / source).stat().st_mtime:
            subprocess.run(command, check=True)
    return cache


def candidates(tarnel, libs, floor, w) -> list[tuple[str, str, object]]:
    """(workload, operation, thunk) for every timed call."""
    msgpack, cbor2, orjson = libs["msgpack"], libs["cbor2"], libs["orjson"]
    out = []
    for name, item in w.items():
        tree, text, canonical = item["tree"], item["text"], item["canonical"]
        out.append((name, "parse", lambda t=text: tarnel.parse(t)))
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
            (name, "msgpack.packb", lambda t=tree: msgpack.packb(t)),
            (name, "cbor2.dumps", lambda t=tree: cbor2.dumps(t)),
            (name, "json.dumps", lambda s=strings: json.dumps(s)),
        ]
        if oj is not None:
            out += [(name, "orjson.loads", lambda p=oj: orjson.loads(p)),
                    (name, "orjson.dumps", lambda s=strings: orjson.dumps(s))]
    return out


def time_all(cands, rounds: int) -> tuple[dict, dict]:
    """Medians per "workload/operation", and what each refused call raised."""
    order, refused = [], {}
    for name, op, thunk in cands:  # one warm-up call each; a library that refuses is left out
        try:
            thunk()
            order.append((name, op, thunk))
        except Exception as e:  # noqa: BLE001 - any refusal is reported, not timed
            refused[f"{name}/{op}"] = f"{type(e).__name__}: {e}"
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
    import tarnel
    import cbor2
    import msgpack
    import orjson

    sys.path.insert(0, args.helpers)
    import _floor

    w = make_workloads(tarnel, args.tiny)
    cands = candidates(tarnel, {"msgpack": msgpack, "cbor2": cbor2, "orjson": orjson}, _floor, w)
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
# Report

DECODE_COLUMNS = ["parse", "parse_canonical", "floor", "msgpack.unpackb", "cbor2.loads",
                  "json.loads", "orjson.loads"]
ENCODE_COLUMNS = ["to_canonical", "to_transport", "to_advanced", "msgpack.packb", "cbor2.dumps",
                  "json.dumps", "orjson.dumps"]

# (label, numerator, denominator, limit); a negative limit means "at least".
TARGETS = [
    ("parse a / msgpack.unpackb a", "a/parse", "a/msgpack.unpackb", 1.3),
    ("parse b / msgpack.unpackb b", "b/parse", "b/msgpack.unpackb", 1.3),
    ("parse c / msgpack.unpackb c", "c/parse", "c/msgpack.unpackb", 1.3),
    ("parse a / floor a", "a/parse", "a/floor", 1.5),
    ("parse d / json.loads d", "d/parse", "d/json.loads", 0.5),
    ("parse d / parse_canonical d", "d/parse", "d/parse_canonical", 2.0),
    ("parse e / parse a", "e/parse", "a/parse", 1.5),
    ("to_canonical a / msgpack.packb a", "a/to_canonical", "a/msgpack.packb", 1.5),
    ("to_canonical b / msgpack.packb b", "b/to_canonical", "b/msgpack.packb", 1.5),
    ("to_advanced a / json.dumps a", "a/to_advanced", "a/json.dumps", 1.0),
    ("to_advanced d / json.dumps d", "d/to_advanced", "d/json.dumps", 1.0),
    ("to_transport a / to_canonical a", "a/to_transport", "a/to_canonical", 2.0),
]


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
    parser.add_argument("--skip", action="append", default=[],
                        choices=["plain", "keep", "memory", "process"],
                        help="leave out one part of the run")
    args = parser.parse_args()
    args.tarnel = [str(Path(p).resolve()) for p in args.tarnel]
    sys.path[:0] = args.tarnel
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


if __name__ == "__main__":
    main()
