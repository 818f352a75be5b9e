"""Uses every part of tarnel's API with full annotations; `mypy --strict` checks it in the tests."""

from __future__ import annotations

import hashlib
import io
import socket

import tarnel
from tarnel import Atom, ParseError, Parser
from tarnel.gnupg import keygrip, public_key, read_key
from tarnel.types import OctetsLike, SExp, SExpLike


def names(value: SExp) -> list[bytes]:
    """The plain atoms directly inside a list."""
    if not isinstance(value, list):
        return []
    return [item for item in value if isinstance(item, bytes)]


def hint_of(value: SExp) -> bytes:
    if isinstance(value, Atom):
        return value.effective_hint(tarnel.DEFAULT_HINT)
    return tarnel.DEFAULT_HINT


def digest(value: SExpLike) -> str:
    return hashlib.sha256(tarnel.to_canonical(value)).hexdigest()


def read_untrusted(data: OctetsLike) -> SExp | None:
    strict = Parser(
        canonical=True,
        max_depth=tarnel.DEFAULT_MAX_DEPTH // 64,
        max_atom_len=1 << 16,
        max_input_len=1 << 20,
        allow_display_hints=False,
        allow_empty_atoms=False,
        allow_empty_lists=False,
        allow_list_as_first_element=False,
        allow_advanced=False,
        allow_transport=False,
        allow_hexadecimal=False,
        allow_base64=False,
        allow_lengths=False,
    )
    try:
        return strict.parse(data)
    except ParseError as err:
        offset: int = err.offset
        kind: str = err.kind
        print(f"refused at {offset}: {kind}")
        return None


def main() -> None:
    value = tarnel.parse(b"(4:name[10:text/plain]5:hello)")
    print(names(value), hint_of(value), digest(value))
    first: SExp
    first, used = Parser().parse_prefix("(a)(b)")
    print(first, used, tarnel.parse_canonical(bytearray(b"1:a")))

    atom = Atom("text", hint=b"text/plain")
    same: bool = atom.eq_ignoring_hint(b"text") and atom == Atom(b"text", b"text/plain")
    data: bytes = atom.data
    hint: bytes | None = atom.hint
    print(same, data, hint, len(atom), hash(atom))

    canonical: bytes = tarnel.to_canonical([b"a", (b"b", "c"), atom, bytearray(b"d"), range(3)])
    transport: str = tarnel.to_transport(canonical)
    advanced: str = tarnel.to_advanced([])
    pretty: str = tarnel.to_pretty(tarnel.parse(canonical), width=20, indent=4)
    print(transport, advanced, pretty, read_untrusted(canonical))

    buffer = io.BytesIO()
    tarnel.dump(value, buffer)
    tarnel.dump(value, buffer, form="advanced")
    text = io.StringIO()
    tarnel.dump([b"x"], text, "transport")
    buffer.seek(0)
    loaded: SExp = tarnel.load(io.BytesIO(canonical), Parser(max_depth=8))
    print(loaded, tarnel.load(io.StringIO(text.getvalue())))

    for item in tarnel.iter_parse(io.BytesIO(b"(1:a) (b) c"), chunk_size=2):
        print(item)
    for item in tarnel.iter_parse([b"(1:", b"a)"], Parser()):
        print(item)
    left, right = socket.socketpair()
    with left, right, right.makefile("rb") as fp:
        left.sendall(b"(ping)")
        left.shutdown(socket.SHUT_WR)
        print(list(tarnel.iter_parse(fp)))

    salted = b'(salt "VZ4\xf2\xd1-JT")'
    raw: SExp = tarnel.parse_raw(salted, Parser(max_atom_len=64))
    print(raw, tarnel.load(io.BytesIO(salted), raw_octets=True))
    print(list(tarnel.iter_parse([salted], raw_octets=True)))
    key: SExp = read_key(b"Created: 20261208T101500\nKey: (private-key (ecc (q #40#)))\n")
    print(read_key(io.BytesIO(tarnel.to_canonical(key))))

    curve: list[SExp] | None = tarnel.find(key, "curve")
    q_list: list[SExp] | str = tarnel.find(key, b"q", default="none")
    lists: list[list[SExp]] = list(tarnel.find_all(key, "q"))
    print(curve, q_list, lists)
    pattern = tarnel.Pattern("(private-key (ecc (::optional (curve :curve)) (q :q)))")
    bound: dict[str, SExp | None] | None = pattern.match(key)
    names_bound: tuple[str, ...] = pattern.names
    print(bound, names_bound, tarnel.match("(private-key :rest...)", key))
    ed25519: SExp = [b"public-key", [b"ecc", [b"curve", b"Ed25519"], [b"q", b"\x40" * 33]]]
    grip: bytes = keygrip(ed25519)
    print(grip.hex(), public_key([b"private-key", [b"rsa", [b"n", b"\x01"], [b"e", b"\x03"]]]))


if __name__ == "__main__":
    main()
