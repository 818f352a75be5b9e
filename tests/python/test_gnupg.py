"""GnuPG's secret key files. Keys made by gpg itself in a throwaway home, in both of gpg-agent's
formats, must read as the agent and libgcrypt read them, and bare files come back octet for octet.
Files gpg wrote are kept under tests/data/gnupg (throwaway keys, passphrase "tarnel test key"):
name-value files whose salt or IV libgcrypt wrote as a quoted string holding raw octets, and a
bare one."""

import ctypes
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

import tarnel
from tarnel import ParseError, parse_raw, to_advanced, to_canonical
from tarnel.gnupg import read_key

from peers import key_maker, libgcrypt

DATA = pathlib.Path(__file__).resolve().parents[1] / "data" / "gnupg"
COMMAND = [sys.executable, "-m", "tarnel", "--gnupg-key"]
WHITESPACE = b" \t\r\n"  # GnuPG's


def gnupg_writes(value):
    """The `Key:` entry GnuPG's name-value writer makes of an S-expression in the advanced
    representation: newlines become spaces and whitespace after whitespace or a bracket goes, then
    the value is cut into lines of 70 columns (the first shortened by the name), each at its last
    whitespace among the last 30 columns, or at the 70th where there is none, and each line is a
    space and its piece."""
    value = value.rstrip(WHITESPACE)
    value = bytes(
        ord(" ") if c == ord("\n") else c
        for i, c in enumerate(value)
        if not (c in WHITESPACE and i and value[i - 1] in WHITESPACE + b"()")
    )
    lines, width = [], 70 - len(b"Key:")
    while value:
        cut = len(value)
        if cut > width:
            spaces = [i for i in range(width - 30, width) if value[i] in WHITESPACE]
            cut = spaces[-1] if spaces else width
        lines.append(b" " + value[:cut] + b"\n")
        value, width = value[cut:], 70
    return b"Key:" + b"".join(lines)


def gnupg_unwraps(data):
    """The `Key:` value of a file whose Key entry GnuPG's writer made (each line is one space and
    a piece of the value, and the entry comes last), joined."""
    return b"".join(line[1:] for line in data.partition(b"Key:")[2].split(b"\n"))


def libgcrypt_canonical(text):
    """libgcrypt's own reading of an S-expression in any representation, written canonical."""
    lib = libgcrypt()
    sexp, out = ctypes.c_void_p(), ctypes.create_string_buffer(1 << 16)
    assert lib.gcry_sexp_sscan(ctypes.byref(sexp), None, text, len(text)) == 0
    size = lib.gcry_sexp_sprint(sexp, 1, out, ctypes.c_size_t(len(out)))  # GCRYSEXP_FMT_CANON
    lib.gcry_sexp_release(sexp)
    assert 0 < size < len(out)
    return out.raw[:size]


SUBKEYS = [("rsa2048", "sign"), ("dsa2048", "sign")] + [
    (algorithm, "encr")
    for algorithm in ["elg2048", "cv25519", "nistp256", "nistp384", "nistp521", "brainpoolP256r1",
                      "brainpoolP384r1", "brainpoolP512r1", "secp256k1"]
]


@pytest.fixture(scope="module", params=["bare", "extended"])
def gnupg_home(request, tmp_path_factory):
    """A GnuPG home where gpg made a key of each kind it makes, in one format, twice: in the clear
    and behind a passphrase."""
    tools = ["gpg", "gpg-agent", "gpgconf", "gpg-connect-agent"]
    if any(shutil.which(tool) is None for tool in tools):  # scripts/test.sh installs them
        pytest.skip("GnuPG is not installed")
    home = tmp_path_factory.mktemp("gnupg")
    home.chmod(0o700)
    known = subprocess.run(["gpg-agent", "--dump-options"], capture_output=True, text=True).stdout
    switch = {"bare": "disable-extended-key-format", "extended": "enable-extended-key-format"}
    conf = ["s2k-count 65536", switch[request.param]]
    usable = [line for line in conf if "--" + line.split()[0] in known.split()]
    (home / "gpg-agent.conf").write_text("".join(line + "\n" for line in usable))
    env = {**os.environ, "GNUPGHOME": str(home)}

    gpg = key_maker(env, timeout=60)

    try:
        for passphrase in ("", "correct horse battery staple"):
            primary = gpg("--quick-gen-key", f"K{len(passphrase)} <k@example.org>", "ed25519",
                          "sign", "never", passphrase=passphrase)
            for algorithm, usage in SUBKEYS:
                gpg("--quick-add-key", primary, algorithm, usage, "never", passphrase=passphrase)
        yield request.param, sorted((home / "private-keys-v1.d").glob("*.key")), env
    finally:
        subprocess.run(["gpgconf", "--kill", "gpg-agent"], env=env, timeout=60)


def public_key_from_agent(env, keygrip):
    """The agent's own reading of a key: its public part, canonical octets in data lines with
    %, CR and LF percent-escaped; None where the agent cannot read the key."""
    done = subprocess.run(["gpg-connect-agent", f"READKEY {keygrip}", "/bye"],
                          env=env, capture_output=True, timeout=60)
    lines = [line[2:] for line in done.stdout.splitlines() if line.startswith(b"D ")]
    data = re.sub(rb"%([0-9A-F]{2})", lambda m: bytes([int(m[1], 16)]), b"".join(lines))
    return tarnel.parse_canonical(data) if lines else None


def test_keys_gpg_made_read_as_the_agent_and_libgcrypt_read_them(gnupg_home):
    form, files, env = gnupg_home
    kinds, broken = [], 0
    for path in files:
        data = path.read_bytes()
        assert (data[:1] == b"(") == (form == "bare"), data[:40]
        key = read_key(path)
        kinds.append(key[0])
        public = public_key_from_agent(env, path.stem)
        assert public is not None and public[0] == b"public-key" and public[1][0] == key[1][0]
        assert all(parameter in key[1] for parameter in public[1][1:]), path.name
        if form == "bare":
            assert to_canonical(key) == data == libgcrypt_canonical(data)
            continue
        value = gnupg_unwraps(data)
        assert data.endswith(b"\n" + gnupg_writes(value)), path.name
        assert to_canonical(key) == libgcrypt_canonical(value), path.name
        try:  # read where it stands, line breaks taken for whitespace, as tarnel did: another key
            broken += parse_raw(data.partition(b"Key:")[2]) != key
        except ParseError:
            broken += 1
    count = len(SUBKEYS) + 1  # and the primary key, in the clear and behind a passphrase
    assert sorted(kinds) == [b"private-key"] * count + [b"protected-private-key"] * count
    assert broken or form == "bare", "no key broken in the middle of a token: nothing tested"
    done = subprocess.run([*COMMAND, "--to", "canonical", *files], capture_output=True, timeout=60)
    assert done.stdout == b"".join(to_canonical(read_key(path)) for path in files), done.stderr


# Ways to lay out a file by hand that GnuPG's reader may take or refuse: line ends, indentation,
# comments, blank lines, breaks inside a token or a quoted string, NUL, names, a second Key.
EDITS = [
    (b"\n", b" \t\r\n"), (b"Created", b"# c\n\n  # c\nCreated"), (b"Key: ", b"Key:\n \t"),
    (b"Key: ", b"Key:"), (b"Key: ", b"Key:  "), (b"Created: ", b"\rCreated: \0\x01"),
    (b"Created", b"\fCreated"), (b"Created", b"# c\n Created"), (b"Created", b"a-9: x\nCreated"),
    (b"Created", b"a_9: x\nCreated"), (b"Created", b"x\nCreated"), (b")))", b")))\nkey: ()"),
    (b"(private-key", b"(priv\n ate-key"), (b"(private-key", b"(private-key\t\n\n"),
    (b" (ecc", b"\n  (ecc"), (b" (ecc", b"\n\n\t  (ecc"), (b" (ecc", b"\n# c\n (ecc"),
    (b" (ecc", b"\n\t(ecc"), (b" (ecc", b"\n\v(ecc"), (b" (ecc", b"\n\0 (ecc"),
    (b"(q #", b"(q\n #"), (b"NIST P", b"NIST\n  P"), (b"NIST P-", b"NIST P\n -"),
    (b'"NIST P-256"', b"10:NIST\n\n \t P-256"),
    (b")))", b")))\0)\n"), (b")))", b")))\n\n \n"), (b")))", b"))) \t\r"),
]


def test_files_laid_out_by_hand_read_as_the_agent_reads_them(gnupg_home):
    form, files, env = gnupg_home
    keys = [read_key(path) for path in files]
    key = next(k for k in keys if k[0] == b"private-key" and [b"curve", b"NIST P-256"] in k[1])
    base = b"Created: 20261208T101500\nKey: " + to_advanced(key).encode() + b"\n"
    path = files[0].with_name("0" * 40 + ".key")
    for old, new in EDITS:
        assert old in base
        path.write_bytes(base.replace(old, new, 1))
        public = public_key_from_agent(env, path.stem)
        try:
            read = read_key(path)
        except (ParseError, ValueError) as err:
            assert public is None, (old, new, err)
            continue
        assert public is not None and public[1][0] == read[1][0], (old, new)
        assert all(parameter in read[1] for parameter in public[1][1:]), (old, new)
    path.unlink()


# Atoms of up to 80 octets repeating a short pattern: long tokens, quoted strings with spaces and
# without, hexadecimal; so that lines break at spaces and in the middle of every kind of atom.
atoms = st.builds(
    lambda unit, size: (unit * size)[:size],
    st.text("ab-7 \"\\\xff", min_size=1, max_size=3).map(lambda text: text.encode("latin-1")),
    st.integers(0, 80),
)


@given(
    st.recursive(atoms, lambda inner: st.lists(inner, max_size=5), max_leaves=12),
    st.sampled_from([b"\n", b"\r\n"]),
    st.integers(min_value=0),
)
def test_values_read_alike_wrapped_as_gnupg_wraps_them(sexp, newline, at):
    def written(value):
        return (b"Created: 20261208T101500\n" + gnupg_writes(value)).replace(b"\n", newline)

    def unwrapped(data):
        return gnupg_unwraps(data.replace(newline, b"\n"))

    data = written(to_advanced(sexp).encode())
    value = unwrapped(data)  # as GnuPG's writer cleaned it
    assert read_key(data) == parse_raw(value)
    # A refusal anywhere in the value points at the same octet of the file.
    at %= len(value) + 1
    bad = value[:at] + b"\x01" + value[at:]
    with pytest.raises(ParseError) as expected:
        parse_raw(bad)
    with pytest.raises(ParseError) as err:
        read_key(written(bad))
    assert err.value.kind == expected.value.kind
    assert unwrapped(written(bad)[: err.value.offset]) == bad[: expected.value.offset]
    assert str(err.value).endswith(f" at offset {err.value.offset}")


def test_kept_keys_read_from_a_path_a_file_or_octets():
    for path in sorted(DATA.glob("*.key")):
        data = path.read_bytes()
        key = read_key(str(path))
        with open(path, "rb") as fp:
            assert read_key(fp) == read_key(bytearray(data)) == key
        assert key[0] == b"protected-private-key"
        if data[:1] == b"(":
            assert to_canonical(key) == data
    # Written `"\b\xb6L\xc1Bp\"\xc9"`: three raw octets among escapes and plain ones.
    key = read_key(DATA / "extended-raw-salt.key")
    (_, salt, count), iv = next(p for p in key[1][1:] if p[0] == b"protected")[2]
    assert (salt, count, len(iv)) == (b'\x08\xb6L\xc1Bp"\xc9', b"65536", 12)


def test_refusals_count_from_the_start_of_the_file(tmp_path):
    data = (DATA / "extended-raw-iv.key").read_bytes()
    raw = next(i for i, c in enumerate(data) if c >= 0x80)
    start = data.index(b"Key:") + 4
    with pytest.raises(ParseError) as err:
        tarnel.parse(data[start:])  # the standard reader refuses the raw octet
    assert (err.value.kind, err.value.offset) == ("unexpected_octet", raw - start)
    broken = tmp_path / "broken.key"
    broken.write_bytes(data[:raw] + b"\x01" + data[raw + 1 :])
    with pytest.raises(ParseError) as err:
        read_key(broken)
    assert (err.value.kind, err.value.offset) == ("unexpected_octet", raw)
    assert str(err.value).endswith(f" at offset {raw}")
    done = subprocess.run([*COMMAND, broken], capture_output=True, timeout=60)
    first, shown, caret = done.stderr.decode().splitlines()
    assert first.startswith(f"tarnel: {broken}: offset {raw}: unexpected_octet: ")
    assert shown[caret.index("^") :].startswith("\\x01") and done.returncode == 1


@pytest.mark.parametrize(
    "data, message",
    [
        (b"Created: 20261208T101500\n# Key: (a)\n", "no Key entry"),
        (b"Key: (a)\nkey: (b)\n", "a second Key entry on line 2"),
        (b" (a)\nKey: (b)\n", "line 1 is not 'Name: value'"),
        (b"Key: (a)\nA_b: c\n", "line 2 is not a letter followed by letters, digits and '-'"),
    ],
)
def test_files_in_neither_format_are_refused(data, message, tmp_path):
    with pytest.raises(ValueError, match=message):
        read_key(data)
    path = tmp_path / "other.key"
    path.write_bytes(data)
    done = subprocess.run([*COMMAND, path], capture_output=True, timeout=60)
    said = done.stderr.decode()
    assert done.returncode == 1 and said.startswith(f"tarnel: {path}: not a GnuPG key file: ")
    assert said.endswith(f"{message}\n")
