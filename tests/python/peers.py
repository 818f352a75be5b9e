"""The real counterparts the GnuPG tests compare with: libgcrypt through ctypes, and gpg run in a
throwaway home to make keys."""

import ctypes
import ctypes.util
import re
import subprocess

import pytest


def libgcrypt():
    """libgcrypt, initialized, with the S-expression calls' types set; skips where it is missing."""
    name = ctypes.util.find_library("gcrypt")
    if name is None:
        pytest.skip("libgcrypt is not installed")
    lib = ctypes.CDLL(name)
    lib.gcry_check_version.restype = ctypes.c_char_p
    assert lib.gcry_check_version(None)  # initializes the library
    lib.gcry_sexp_sscan.argtypes = [ctypes.POINTER(ctypes.c_void_p),
                                    ctypes.POINTER(ctypes.c_size_t), ctypes.c_char_p,
                                    ctypes.c_size_t]
    lib.gcry_sexp_sprint.restype = ctypes.c_size_t
    lib.gcry_sexp_release.argtypes = [ctypes.c_void_p]
    return lib


def key_maker(env, timeout):
    """`gpg(*args, passphrase="")`: runs gpg in batch mode with `env`, and gives the fingerprint of
    the key it created."""

    def gpg(*args, passphrase=""):
        done = subprocess.run(
            ["gpg", "--batch", "--pinentry-mode", "loopback", "--passphrase", passphrase,
             "--status-fd", "1", *args],
            env=env, capture_output=True, text=True, timeout=timeout,
        )
        assert done.returncode == 0, done.stderr
        return re.search(r"KEY_CREATED \w (\w+)", done.stdout)[1]

    return gpg
