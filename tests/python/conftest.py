"""Shared helpers for the Python tests of `_tarnel`.

The module under test is imported as `_tarnel`; the package `tarnel` only re-exports it. Helpers
here check the argument note, run snippets in fresh interpreters, and write the canonical form of a
value in plain Python as the reference the native writers are compared against.
"""

import importlib.machinery
import json
import os
import shutil
import subprocess
import sys

import pytest

import _tarnel

#: Exceptions carry notes (`add_note`, `__notes__`) from 3.11 on.
HAS_NOTES = sys.version_info >= (3, 11)


#: The suffix of `_tarnel`'s file, as the import system matched it (the longest that fits).
MODULE_SUFFIX = max(
    (s for s in importlib.machinery.EXTENSION_SUFFIXES if _tarnel.__file__.endswith(s)), key=len
)

#: Whether `_tarnel` was built for the stable ABI (one abi3 file for every CPython 3.10+), not
#: against this interpreter's full C API, whose files take the interpreter's own suffix
#: (scripts/test.sh tests both builds).
STABLE_ABI = MODULE_SUFFIX != importlib.machinery.EXTENSION_SUFFIXES[0]

#: Whether this platform's select() waits on pipes (on Windows it takes sockets only), which the
#: package needs to wait on a non-blocking pipe.
SELECT_ON_PIPES = sys.platform != "win32"


def _pyenv_pythons():
    """The CPythons a pyenv on PATH has installed, by path: its shims run only the versions
    selected, so the ones installed beside them are asked for where they live."""
    pyenv = shutil.which("pyenv")
    if pyenv is None:
        return []
    try:
        versions = subprocess.run(
            [pyenv, "versions", "--bare"], capture_output=True, text=True, timeout=30
        ).stdout.split()
        root = subprocess.run(
            [pyenv, "root"], capture_output=True, text=True, timeout=30
        ).stdout.strip()
    except (OSError, subprocess.TimeoutExpired):
        return []
    found = []
    for version in versions:
        major, _, rest = version.partition(".")
        minor = rest.partition(".")[0]
        if major == "3" and minor.isdigit() and root:
            found.append(os.path.join(root, "versions", version, "bin", f"python3.{minor}"))
    return found


_PROBE = (
    "import importlib.machinery, json, sys; print(json.dumps([sys.implementation.name, "
    "sys.version_info[:2], importlib.machinery.EXTENSION_SUFFIXES, sys.executable]))"
)


def _other_interpreters():
    """Other CPythons (3.10 and later), each with the extension suffixes it imports: those that
    TARNEL_OTHER_PYTHONS names (commands or paths, separated as in PATH; set but empty for none),
    else every python3.N on PATH that runs (a version manager's shim may not) and every CPython a
    pyenv on PATH has installed. Each is asked where it lives, so that the interpreter running the
    tests, and any found twice, are left out."""
    listed = os.environ.get("TARNEL_OTHER_PYTHONS")
    if listed is not None:
        candidates = [entry for entry in listed.split(os.pathsep) if entry]
    else:
        candidates = [f"python3.{minor}" for minor in range(10, 30)] + _pyenv_pythons()
    found, seen = [], {os.path.realpath(sys.executable)}
    for candidate in candidates:
        path = shutil.which(candidate)
        try:
            probe = subprocess.run([path, "-c", _PROBE], capture_output=True, text=True, timeout=30)
            name, version, suffixes, executable = json.loads(probe.stdout)
            usable = probe.returncode == 0 and name == "cpython" and tuple(version) >= (3, 10)
        except (TypeError, OSError, ValueError, subprocess.TimeoutExpired):
            usable = False  # not found (None), or does not run, or not a CPython
        if not usable:
            if listed is not None:
                message = f"TARNEL_OTHER_PYTHONS: {candidate!r} is not a CPython 3.10+"
                raise pytest.UsageError(message)
            continue
        executable = os.path.realpath(executable)
        if executable not in seen:
            seen.add(executable)
            found.append((executable, suffixes))
    return found


#: Other CPythons 3.10+, each with the extension suffixes it imports.
OTHER_INTERPRETERS = _other_interpreters()

#: Those of them that import this build of `_tarnel`: every one with the GIL for the abi3 build,
#: those of this version and ABI for the full-API one. Tests over them skip where there are none.
OTHER_PYTHONS = [path for path, suffixes in OTHER_INTERPRETERS if MODULE_SUFFIX in suffixes]


def assert_note(err, parameter):
    """The argument note is attached where the interpreter has notes, and nothing otherwise."""
    if HAS_NOTES:
        assert getattr(err, "__notes__", None) == [f"while processing '{parameter}'"]
    else:
        assert not hasattr(err, "__notes__")


def assert_no_note(err):
    assert not hasattr(err, "__notes__")


def reference_canonical(value):
    """The canonical form of a value (bytes, Atom or list/tuple), written in plain Python."""
    out = bytearray()
    stack = [value]
    while stack:
        item = stack.pop()
        if item is None:
            out += b")"
        elif isinstance(item, (list, tuple)):
            out += b"("
            stack.append(None)
            stack.extend(reversed(item))
        else:
            if isinstance(item, _tarnel.Atom):
                data, hint = item.data, item.hint
            else:
                data, hint = bytes(item), None
            if hint is not None:
                out += b"[%d:%s]" % (len(hint), hint)
            out += b"%d:%s" % (len(data), data)
    return bytes(out)


def package_dir(tmp_path):
    """A directory holding only copies of the built extension and of the package (its native
    stream module among it), for other interpreters."""
    import tarnel

    target = module_dir(tmp_path)
    shutil.copytree(
        os.path.dirname(tarnel.__file__),
        os.path.join(target, "tarnel"),
        ignore=shutil.ignore_patterns("__pycache__"),
    )
    return target


def module_dir(tmp_path):
    """A directory holding only a copy of the built extension, for other interpreters."""
    target = tmp_path / "mod"
    target.mkdir(exist_ok=True)
    shutil.copy(_tarnel.__file__, target / os.path.basename(_tarnel.__file__))
    return str(target)


def run_python(code, *, python=sys.executable, path=None, env_extra=None):
    """Runs `code` in a fresh interpreter that imports `_tarnel` from `path` (default: where this
    process found it); returns its stdout, failing the test on a non-zero exit."""
    env = dict(os.environ)
    env["PYTHONPATH"] = path or os.path.dirname(_tarnel.__file__)
    env.pop("PYTHONHASHSEED", None)
    env.update(env_extra or {})
    proc = subprocess.run(
        [python, "-c", code], capture_output=True, text=True, env=env, timeout=120
    )
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


@pytest.fixture
def numpy():
    return pytest.importorskip("numpy")
