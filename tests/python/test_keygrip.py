"""Keygrips and public keys, checked against GnuPG and libgcrypt themselves.

gpg makes a key of every type it offers in a throwaway home: each file in private-keys-v1.d is
named by its keygrip, and the agent's READKEY answer is the public key. libgcrypt's own
gcry_pk_get_keygrip, called through ctypes, is the second oracle, over every curve and alias it
knows, every form of q and flag that changes a keygrip, display hints and nested lists."""

import ctypes
import os
import random
import re
import shutil
import subprocess
import sys

import pytest

import tarnel
from tarnel import Atom
from tarnel.gnupg import keygrip, public_key, read_key

from peers import key_maker, libgcrypt

# (algorithm, curve) of every key the fixture has gpg make.
KEY_TYPES = [
    ("rsa", "rsa1024", None),
    ("dsa", "dsa1024", None),
    ("elg", "elg1024", None),
    ("ecc", "ed25519", b"Ed25519"),
    ("ecc", "cv25519", b"Curve25519"),
    ("ecc", "nistp256", b"NIST P-256"),
    ("ecc", "nistp384", b"NIST P-384"),
    ("ecc", "nistp521", b"NIST P-521"),
    ("ecc", "brainpoolP256r1", b"brainpoolP256r1"),
    ("ecc", "brainpoolP384r1", b"brainpoolP384r1"),
    ("ecc", "brainpoolP512r1", b"brainpoolP512r1"),
    ("ecc", "secp256k1", b"secp256k1"),
]


def agent_env(home):
    return {**os.environ, "GNUPGHOME": str(home)}


@pytest.fixture(scope="module")
def gnupg_home(tmp_path_factory):
    """A GnuPG home where gpg made a key of every type, some of them behind a passphrase."""
    if any(shutil.which(t) is None for t in ("gpg", "gpg-agent", "gpgconf", "gpg-connect-agent")):
        pytest.skip("GnuPG is not installed")  # scripts/test.sh installs it
    home = tmp_path_factory.mktemp("gnupg")
    home.chmod(0o700)
    (home / "gpg-agent.conf").write_text("s2k-count 65536\n")
    env = agent_env(home)

    gpg = key_maker(env, timeout=120)

    try:
        primaries = {}
        for _, algo, _ in KEY_TYPES:
            if algo in ("elg1024", "cv25519"):
                continue
            locked = algo in ("ed25519", "brainpoolP384r1")  # protected keys have keygrips too
            primaries[algo] = gpg("--quick-gen-key", f"{algo} <{algo}@example.org>", algo,
                                  "sign", "never", passphrase="pw" if locked else "")
        gpg("--quick-add-key", primaries["dsa1024"], "elg1024", "encr", "never")
        gpg("--quick-add-key", primaries["ed25519"], "cv25519", "encr", "never", passphrase="pw")
        gpg("--quick-add-key", primaries["nistp256"], "nistp256", "encr", "never")
        yield home
    finally:
        subprocess.run(["gpgconf", "--kill", "gpg-agent"], env=env, timeout=60)


def read_key_from_agent(home, grip):
    """READKEY's answer: canonical octets in data lines, %, CR and LF percent-escaped; or the
    agent's error line."""
    done = subprocess.run(["gpg-connect-agent", f"READKEY {grip}", "/bye"],
                          env=agent_env(home), capture_output=True, timeout=60)
    lines = [line[2:] for line in done.stdout.splitlines() if line.startswith(b"D ")]
    if not lines:
        return done.stdout.decode(errors="replace").strip()
    data = re.sub(rb"%([0-9A-F]{2})", lambda m: bytes([int(m[1], 16)]), b"".join(lines))
    return tarnel.parse_canonical(data)


def test_keygrips_and_public_keys_are_those_of_gnupg(gnupg_home):
    files = sorted((gnupg_home / "private-keys-v1.d").glob("*.key"))
    seen, kinds = set(), set()
    for path in files:
        key = read_key(path)
        grip = keygrip(key)
        assert len(grip) == 20 and grip.hex().upper() == path.stem, path.name
        agent = read_key_from_agent(gnupg_home, path.stem)
        assert public_key(key) == agent, path.name
        assert keygrip(agent) == grip  # the public key has the private key's keygrip
        curve = tarnel.find(key, "curve")
        seen.add((key[1][0].decode(), curve[1] if curve else None))
        kinds.add(key[0])
    assert seen == {(algo, curve) for algo, _, curve in KEY_TYPES}
    assert kinds == {b"private-key", b"protected-private-key"}
    done = subprocess.run([sys.executable, "-m", "tarnel", "--gnupg-key", "--keygrip", *files],
                          capture_output=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.decode().split() == [path.stem for path in files]


# Private keys gpg would never write, for the agent to read as it reads any key file: whatever it
# answers (or refuses), public_key must answer (or refuse) too.
CRAFTED = [
    [b"private-key", [b"rsa", [b"n", b"\xc1\x02"], [b"e", b"\x00\x01"], [b"d", b"\x01"]],
     [b"comment", b"hi"], [b"uri", b"file:x"]],
    [b"private-key", [b"RSA", [b"e", b"\x03"], [b"n", b"\x00\x00\x41"], [b"u", b"\x05"]]],
    [b"private-key", [b"ecc", [b"curve", b"Ed25519", b"x"], [b"flags", b"eddsa", [b"z"]],
                      [b"q", b"\x00\x40\xab"], [b"d", b"\x01"]]],
    [b"private-key", [b"ecdsa", [b"curve", b"nistp256"], [b"q", b"\x84\x01"]]],
    [b"private-key", [b"ecc", [b"curve", Atom(b"Ed25519", b"h")], [b"q", b"\x01"]],
     [b"comment", Atom(b"c", b"t")]],
    [b"private-key", [b"dsa", [b"p", b"\x01"], [b"q", b"\x02"], [b"g", b"\x03"], [b"y", b"\x04"],
                      [b"x", [b"l"]]]],
    [b"shadowed-private-key", [b"rsa", [b"n", b"\x81"], [b"e", b"\x03"],
                               [b"shadowed", b"t1-v1", [b"x"]]]],
    [b"private-key", [b"rsa", [b"n", b"\x41"], [b"e", b"\x03"]], [b"comment", [b"x"]]],
    [b"private-key", [b"rsa", [b"n", b"\x41"]]],
    [b"private-key", [b"foo", [b"p", b"\x01"]]],
    [b"private-key", b"rsa", [b"n", b"\x01"]],
    [b"public-key", [b"rsa", [b"n", b"\x41"], [b"e", b"\x03"]]],
]


@pytest.mark.parametrize("key", CRAFTED, ids=lambda k: tarnel.to_advanced(k)[:60])
def test_public_keys_of_odd_keys_are_what_the_agent_reads(gnupg_home, key):
    grip = "AB" * 20  # READKEY reads the file of that name, whatever it holds
    path = gnupg_home / "private-keys-v1.d" / f"{grip}.key"
    path.write_bytes(tarnel.to_canonical(key))
    try:
        agent = read_key_from_agent(gnupg_home, grip)
    finally:
        path.unlink()
    if isinstance(agent, str):
        assert agent.startswith("ERR")
        with pytest.raises(ValueError):
            public_key(key)
    else:
        assert public_key(key) == agent


class Libgcrypt:
    """gcry_pk_get_keygrip through ctypes, on the canonical octets of a value."""

    def __init__(self):
        lib = libgcrypt()
        lib.gcry_pk_get_keygrip.restype = ctypes.c_void_p
        lib.gcry_pk_get_keygrip.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
        self.lib = lib

    def keygrip(self, value):
        """The keygrip, None where libgcrypt has none, or "unread" where it cannot read the
        value (it refuses empty octet strings in the canonical form)."""
        canonical = tarnel.to_canonical(value)
        sexp, offset = ctypes.c_void_p(), ctypes.c_size_t()
        if self.lib.gcry_sexp_sscan(ctypes.byref(sexp), ctypes.byref(offset), canonical,
                                    len(canonical)):
            return "unread"
        try:
            out = ctypes.create_string_buffer(20)
            return out.raw if self.lib.gcry_pk_get_keygrip(sexp, out) else None
        finally:
            self.lib.gcry_sexp_release(sexp)


def ours(value):
    try:
        return keygrip(value)
    except ValueError:
        return None


CURVES = {
    b"Ed25519": 32, b"Curve25519": 32, b"Ed448": 57, b"X448": 56, b"NIST P-192": 24,
    b"NIST P-224": 28, b"NIST P-256": 32, b"NIST P-384": 48, b"NIST P-521": 66,
    b"brainpoolP160r1": 20, b"brainpoolP192r1": 24, b"brainpoolP224r1": 28,
    b"brainpoolP256r1": 32, b"brainpoolP320r1": 40, b"brainpoolP384r1": 48,
    b"brainpoolP512r1": 64, b"GOST2001-test": 32, b"GOST2001-CryptoPro-A": 32,
    b"GOST2001-CryptoPro-B": 32, b"GOST2001-CryptoPro-C": 32, b"GOST2012-256-A": 32,
    b"GOST2012-512-test": 64, b"GOST2012-512-tc26-A": 64, b"GOST2012-512-tc26-B": 64,
    b"GOST2012-512-tc26-C": 64, b"secp256k1": 32, b"sm2p256v1": 32,
}  # name: octets of the prime
ALIASES = [b"1.3.101.112", b"1.3.6.1.4.1.11591.15.1", b"X25519", b"1.3.101.110", b"nistp256",
           b"prime256v1", b"secp384r1", b"1.3.132.0.35", b"1.3.36.3.3.2.8.1.1.7",
           b"1.3.36.3.3.2.8.1.1.13", b"1.3.132.0.10", b"GOST2012-tc26-A", b"1.2.643.7.1.2.1.1.1",
           b"ed25519", b"NIST P-999"]
FLAGS = [[], [b"eddsa"], [b"djb-tweak"], [b"param"], [b"eddsa", b"param"], [b"comp"],
         [b"igninvflag", b"bogus"], [b"bogus"], [b"pss", b"pkcs1"], [b"noparam", b"raw"]]


def random_ecc_key(rng):
    name = rng.choice(list(CURVES) + ALIASES)
    octets = CURVES.get(name, 32)
    q = rng.choice([
        b"\x04" + rng.randbytes(2 * octets),
        b"\x40" + rng.randbytes(octets),
        bytes([rng.choice([2, 3])]) + rng.randbytes(octets),
        rng.randbytes(octets),
        bytes([rng.choice([2, 3, 4, 0x40])]) + rng.randbytes(rng.randrange(3)),
        rng.randbytes(rng.randrange(1, 70)),
    ])
    params = [b"ecc", [b"curve", name]]
    flags = rng.choice(FLAGS)
    if flags:
        params.insert(rng.randrange(1, 3), [b"flags", *flags])
    params.append([b"q", q])
    if rng.random() < 0.1:  # the curve given by its parameters instead of its name
        reference = tarnel.parse(tarnel.to_canonical(params))
        params = [b"ecc", [b"flags", b"param", *flags]]
        for letter in "pabgn":
            params.append([letter.encode(), rng.randbytes(octets).lstrip(b"\0") or b"\1"])
        params.append([b"q", tarnel.find(reference, "q")[1]])
    return [rng.choice([b"public-key", b"private-key", b"protected-private-key"]), params], q, octets


def random_other_key(rng):
    words = [b"n", b"e", b"p", b"q", b"g", b"y", b"rsa", b"public-key", b"x"]

    def atom():
        data = rng.choice([rng.randbytes(rng.randrange(1, 6)), rng.choice(words)])
        return Atom(data, rng.choice(words)) if rng.random() < 0.15 else data

    algorithm = rng.choice([b"rsa", b"dsa", b"elg", b"openpgp-elg-sig", b"RSA", b"openpgp-dsa",
                            b"oid.1.2.840.113549.1.1.1", b"kyber"])
    params = [algorithm if rng.random() > 0.1 else Atom(algorithm, b"h")]
    for letter in rng.sample([b"n", b"e", b"p", b"q", b"g", b"y", b"x"], rng.randrange(3, 7)):
        element = [letter if rng.random() > 0.1 else Atom(letter, b"t"),
                   atom() if rng.random() > 0.05 else [atom()]]
        if rng.random() < 0.1:
            element.insert(1, atom())
        params.append(element)
        if rng.random() < 0.1:
            params.append([rng.choice(words), [letter, atom()]])
    key = [rng.choice([b"public-key", b"private-key", b"shadowed-private-key"]), params]
    return [b"wrap", atom(), key] if rng.random() < 0.1 else key


def test_keygrips_agree_with_libgcrypt():
    libgcrypt = Libgcrypt()
    rng = random.Random(20260)
    compared = 0
    for _ in range(3000):
        key, q, octets = random_ecc_key(rng)
        # libgcrypt ends the process on a compressed point whose x is longer than the prime.
        if q[:1] in (b"\x02", b"\x03") and len(q) - 1 > octets:
            continue
        expected = libgcrypt.keygrip(key)
        if expected != "unread":
            assert ours(key) == expected, tarnel.to_advanced(key)
            compared += 1
    for _ in range(2000):
        key = random_other_key(rng)
        expected = libgcrypt.keygrip(key)
        if expected != "unread":
            assert ours(key) == expected, tarnel.to_advanced(key)
            compared += 1
    assert compared > 4000


def test_unknown_algorithms_and_curves_are_named():
    with pytest.raises(ValueError, match="unknown public-key algorithm 'kyber'"):
        keygrip([b"public-key", [b"kyber", [b"n", b"1"]]])
    with pytest.raises(ValueError, match="unknown curve 'NIST P-999'"):
        keygrip([b"public-key", [b"ecc", [b"curve", b"NIST P-999"], [b"q", b"\x04\x01\x02"]]])
    with pytest.raises(ValueError, match="unknown or conflicting flag 'bogus'"):
        keygrip([b"public-key", [b"ecc", [b"flags", b"bogus"], [b"curve", b"Ed25519"],
                                 [b"q", b"\x01"]]])
    with pytest.raises(ValueError, match="not a key"):
        keygrip(tarnel.parse("(sig-val (rsa (s #01#)))"))
    with pytest.raises(ValueError, match="no q parameter"):
        public_key([b"private-key", [b"ecc", [b"curve", b"Ed25519"]]])
    done = subprocess.run([sys.executable, "-m", "tarnel", "--keygrip"],
                          input=b"(public-key (rsa (n #01#)))(public-key (elg (p #01#)))",
                          capture_output=True, timeout=60)
    assert done.returncode == 1
    assert done.stdout == keygrip(tarnel.parse("(public-key (rsa (n #01#)))")).hex().upper().encode() + b"\n"
    assert done.stderr.decode().startswith("tarnel: <stdin>: offset 27: no keygrip for this key: ")
