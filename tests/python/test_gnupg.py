"""GnuPG's secret key files, made by gpg itself in a throwaway home: both of gpg-agent's formats,
RSA, Ed25519, Curve25519 and NIST P-256 keys, with and without a passphrase. Every key must read as
the agent reads it (its public part is the one the agent hands out), and a file in the bare format
must come back octet for octet from `to_canonical`. Files kept under tests/data/gnupg hold quoted
strings with raw octets, as gpg wrote them."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import tarnel
from tarnel import ParseError, Parser, to_canonical
from tarnel.gnupg import read_key

DATA = pathlib.Path(__file__).resolve().parents[1] / "data" / "gnupg"
PASSPHRASE = "correct horse battery staple"
# scripts/test.sh installs GnuPG; with gpg present, its agent and tools must be there too.
needs_gnupg = pytest.mark.skipif(shutil.which("gpg") is None, reason="GnuPG is not installed")


def agent_conf(form):
    """The gpg-agent.conf that makes keys in `form`, whatever the GnuPG version's default."""
    dumped = subprocess.run(["gpg-agent", "--dump-options"], capture_output=True, text=True)
    options = set(dumped.stdout.split())
    lines = ["s2k-count 65536"] if "--s2k-count" in options else []
    if form == "bare" and "--disable-extended-key-format" in options:
        lines.append("disable-extended-key-format")
    if form == "extended" and "--enable-extended-key-format" in options:
        lines.append("enable-extended-key-format")
    return "".join(line + "\n" for line in lines)


@pytest.fixture(scope="module", params=["bare", "extended"])
def gnupg_home(request, tmp_path_factory):
    """A GnuPG home holding the keys gpg made in one format, and its environment."""
    home = tmp_path_factory.mktemp("gnupg")
    home.chmod(0o700)
    (home / "gpg-agent.conf").write_text(agent_conf(request.param))
    env = {**os.environ, "GNUPGHOME": str(home)}

    def gpg(*args, passphrase=""):
        done = subprocess.run(
            ["gpg", "--batch", "--pinentry-mode", "loopback", "--passphrase", passphrase,
             "--status-fd", "1", *args],
            env=env, capture_output=True, text=True, timeout=60,
        )
        assert done.returncode == 0, done.stderr
        created = [line.split()[3] for line in done.stdout.splitlines() if " KEY_CREATED " in line]
        return created[0] if created else None

    try:
        gpg("--quick-gen-key", "RSA <rsa@example.org>", "rsa2048", "sign", "never")
        primary = gpg("--quick-gen-key", "EC <ec@example.org>", "ed25519", "sign", "never")
        gpg("--quick-add-key", primary, "cv25519", "encr", "never")
        gpg("--quick-add-key", primary, "nistp256", "encr", "never")
        locked = gpg(
            "--quick-gen-key", "Locked <locked@example.org>", "ed25519", "sign", "never",
            passphrase=PASSPHRASE,
        )
        gpg("--quick-add-key", locked, "cv25519", "encr", "never", passphrase=PASSPHRASE)
        yield request.param, home, env
    finally:
        subprocess.run(["gpgconf", "--kill", "gpg-agent"], env=env, timeout=60)


def key_files(home):
    return sorted((home / "private-keys-v1.d").glob("*.key"))


def public_key_from_agent(env, grip):
    """The public key the agent hands out for a keygrip: canonical octets in percent-escaped
    data lines."""
    done = subprocess.run(
        ["gpg-connect-agent", f"READKEY {grip}", "/bye"],
        env=env, capture_output=True, timeout=60,
    )
    data = bytearray()
    for line in done.stdout.splitlines():
        if line.startswith(b"D "):
            piece = line[2:]
            i = 0
            while i < len(piece):
                if piece[i : i + 1] == b"%":
                    data.append(int(piece[i + 1 : i + 3], 16))
                    i += 3
                else:
                    data.append(piece[i])
                    i += 1
    assert data, done.stdout + done.stderr
    return tarnel.parse_canonical(bytes(data))


@needs_gnupg
def test_gpg_made_every_key_in_the_format_asked_for(gnupg_home):
    form, home, _ = gnupg_home
    files = key_files(home)
    assert len(files) == 6
    for path in files:
        assert (path.read_bytes()[:1] == b"(") == (form == "bare"), path.read_bytes()[:40]


@needs_gnupg
def test_every_key_reads_as_the_agent_reads_it(gnupg_home):
    form, home, env = gnupg_home
    kinds = []
    for path in key_files(home):
        key = read_key(path)
        public = public_key_from_agent(env, path.stem)
        assert public[0] == b"public-key"
        kinds.append(key[0])
        algorithm = public[1]
        assert key[1][0] == algorithm[0]
        for parameter in algorithm[1:]:
            assert parameter in key[1], (path.name, parameter)
        if key[0] == b"protected-private-key":
            assert any(p[0] == b"protected" for p in key[1][1:]), path.name
    assert sorted(kinds) == [b"private-key"] * 4 + [b"protected-private-key"] * 2


@needs_gnupg
def test_bare_files_come_back_octet_for_octet(gnupg_home):
    form, home, _ = gnupg_home
    if form != "bare":
        pytest.skip("the name-value format is text, not the canonical octets")
    for path in key_files(home):
        data = path.read_bytes()
        assert to_canonical(read_key(path)) == data
        assert to_canonical(read_key(data)) == data


@needs_gnupg
def test_the_command_writes_each_key_file(gnupg_home):
    _, home, _ = gnupg_home
    files = key_files(home)
    done = subprocess.run(
        [sys.executable, "-m", "tarnel", "--gnupg-key", "--to", "canonical", *files],
        capture_output=True, timeout=60,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout == b"".join(to_canonical(read_key(path)) for path in files)


# Files gpg wrote, kept (throwaway keys, passphrase "tarnel test key"): protected keys in the
# name-value format whose salt or IV libgcrypt wrote as a quoted string holding raw octets, and one
# in the bare format.

KEPT = sorted(DATA.glob("*.key"))


@pytest.mark.parametrize("path", KEPT, ids=lambda p: p.name)
def test_kept_keys_read_in_every_way(path):
    data = path.read_bytes()
    key = read_key(path)
    assert key[0] == b"protected-private-key"
    with open(path, "rb") as fp:
        assert read_key(fp) == key
    assert read_key(str(path)) == read_key(bytearray(data)) == key
    if data[:1] == b"(":
        assert to_canonical(key) == data


def test_a_kept_salt_reads_as_the_octets_gpg_chose():
    # Written `"\b\xb6L\xc1Bp\"\xc9"` with three raw octets among escapes and plain ones.
    key = read_key(DATA / "extended-raw-salt.key")
    protected = next(item for item in key[1][1:] if item[0] == b"protected")
    (hash_name, salt, count), iv = protected[2]
    assert (hash_name, salt, count) == (b"sha1", b'\x08\xb6L\xc1Bp"\xc9', b"65536")
    assert len(iv) == 12


def extended_kept():
    return next(p for p in KEPT if not p.read_bytes().startswith(b"("))


def test_raw_octets_are_read_only_in_the_lenient_mode_and_refusals_count_from_the_file():
    data = extended_kept().read_bytes()
    raw = next(i for i, c in enumerate(data) if c >= 0x80)
    start = data.index(b"Key:") + 4
    end = data.index(b"\n", raw)
    with pytest.raises(ParseError) as err:
        tarnel.parse(data[start:end])
    assert (err.value.kind, err.value.offset) == ("unexpected_octet", raw - start)
    broken = data[:raw] + b"\x7f" + data[raw + 1 :]
    with pytest.raises(ParseError) as err:
        read_key(broken)
    assert (err.value.kind, err.value.offset) == ("unexpected_octet", raw)
    assert str(err.value).endswith(f" at offset {raw}")
    with pytest.raises(ParseError) as err:
        read_key(data, Parser(max_atom_len=4))
    assert err.value.kind == "atom_too_long" and err.value.offset > start


@pytest.mark.parametrize(
    "data, message",
    [
        (b"Created: 20261208T101500\n", "no Key entry"),
        (b"Key: (a)\nKey: (b)\n", "a second Key entry on line 2"),
        (b" (a)\nKey: (b)\n", "line 1 continues no entry"),
        (b"Key (a)\n", "line 1 is not 'Name: value'"),
        (b"\x00\x01binary", "line 1 is not 'Name: value'"),
    ],
)
def test_files_in_neither_format_are_refused(data, message):
    with pytest.raises(ValueError, match=message):
        read_key(data)


def test_the_key_entry_is_found_among_others_and_continued_over_lines():
    data = (
        b"# a comment\nCreated: 20261208T101500\nkey: (private-key\n (ecc (curve Ed25519)\n"
        b'\t(q #40AB#) (d "\xa1\xfe")))\nLabel: mine\n  continued\n'
    )
    assert read_key(data) == [
        b"private-key", [b"ecc", [b"curve", b"Ed25519"], [b"q", b"\x40\xab"], [b"d", b"\xa1\xfe"]]
    ]
    with pytest.raises(TypeError):
        read_key(5)
    with open(os.devnull) as text, pytest.raises(TypeError):
        read_key(text)


def test_the_command_names_the_file_and_offset_of_a_refusal(tmp_path):
    data = extended_kept().read_bytes()
    raw = next(i for i, c in enumerate(data) if c >= 0x80)
    broken = tmp_path / "broken.key"
    broken.write_bytes(data[:raw] + b"\x01" + data[raw + 1 :])
    other = tmp_path / "other.key"
    other.write_bytes(b"Created: 20261208T101500\n")
    run = [sys.executable, "-m", "tarnel", "--gnupg-key"]
    done = subprocess.run([*run, broken], capture_output=True, timeout=60)
    assert done.returncode == 1 and done.stdout == b""
    first, shown, caret = done.stderr.decode().splitlines()
    assert first.startswith(f"tarnel: {broken}: offset {raw}: unexpected_octet: ")
    assert shown[caret.index("^")] == "\\" and shown[caret.index("^") + 1] == "x"
    done = subprocess.run([*run, other], capture_output=True, timeout=60)
    assert done.returncode == 1
    assert done.stderr.decode() == f"tarnel: {other}: not a GnuPG key file: it has no Key entry\n"
