"""GnuPG's secret key files. Keys made by gpg itself in a throwaway home, in both of gpg-agent's
formats, must read as the agent reads them, and bare files come back octet for octet. Files gpg
wrote are kept under tests/data/gnupg (throwaway keys, passphrase "tarnel test key"): name-value
files whose salt or IV libgcrypt wrote as a quoted string holding raw octets, and a bare one."""

import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

import tarnel
from tarnel import ParseError, to_canonical
from tarnel.gnupg import read_key

DATA = pathlib.Path(__file__).resolve().parents[1] / "data" / "gnupg"
COMMAND = [sys.executable, "-m", "tarnel", "--gnupg-key"]


@pytest.fixture(scope="module", params=["bare", "extended"])
def gnupg_home(request, tmp_path_factory):
    """A GnuPG home where gpg made six keys in one format, two behind a passphrase."""
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

    def gpg(*args, passphrase=""):
        done = subprocess.run(
            ["gpg", "--batch", "--pinentry-mode", "loopback", "--passphrase", passphrase,
             "--status-fd", "1", *args],
            env=env, capture_output=True, text=True, timeout=60,
        )
        assert done.returncode == 0, done.stderr
        return re.search(r"KEY_CREATED \w (\w+)", done.stdout)[1]

    try:
        gpg("--quick-gen-key", "RSA <rsa@example.org>", "rsa2048", "sign", "never")
        primary = gpg("--quick-gen-key", "EC <ec@example.org>", "ed25519", "sign", "never")
        gpg("--quick-add-key", primary, "cv25519", "encr", "never")
        gpg("--quick-add-key", primary, "nistp256", "encr", "never")
        secret = "correct horse battery staple"
        locked = gpg("--quick-gen-key", "L <l@example.org>", "ed25519", "sign", "never",
                     passphrase=secret)
        gpg("--quick-add-key", locked, "cv25519", "encr", "never", passphrase=secret)
        yield request.param, sorted((home / "private-keys-v1.d").glob("*.key")), env
    finally:
        subprocess.run(["gpgconf", "--kill", "gpg-agent"], env=env, timeout=60)


def public_key_from_agent(env, keygrip):
    """The agent's own reading of a key: its public part, canonical octets in data lines with
    %, CR and LF percent-escaped."""
    done = subprocess.run(["gpg-connect-agent", f"READKEY {keygrip}", "/bye"],
                          env=env, capture_output=True, timeout=60)
    lines = [line[2:] for line in done.stdout.splitlines() if line.startswith(b"D ")]
    data = re.sub(rb"%([0-9A-F]{2})", lambda m: bytes([int(m[1], 16)]), b"".join(lines))
    return tarnel.parse_canonical(data)


def test_keys_gpg_made_read_as_the_agent_reads_them(gnupg_home):
    form, files, env = gnupg_home
    kinds = []
    for path in files:
        data = path.read_bytes()
        assert (data[:1] == b"(") == (form == "bare"), data[:40]
        key = read_key(path)
        kinds.append(key[0])
        public = public_key_from_agent(env, path.stem)
        assert public[0] == b"public-key" and public[1][0] == key[1][0]
        assert all(parameter in key[1] for parameter in public[1][1:]), path.name
        if form == "bare":
            assert to_canonical(key) == data
    assert sorted(kinds) == [b"private-key"] * 4 + [b"protected-private-key"] * 2
    done = subprocess.run([*COMMAND, "--to", "canonical", *files], capture_output=True, timeout=60)
    assert done.stdout == b"".join(to_canonical(read_key(path)) for path in files), done.stderr


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
        (b"Created: 20261208T101500\n", "no Key entry"),
        (b"Key: (a)\nKey: (b)\n", "a second Key entry on line 2"),
        (b" (a)\nKey: (b)\n", "line 1 continues no entry"),
        (b"\x00\x01binary", "line 1 is not 'Name: value'"),
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
