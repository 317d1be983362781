"""The CPython interpreters >= 3.7 that this machine has."""
import glob
import os
import shutil
import subprocess


def cpython_interpreters():
    """[((major, minor), path)] for pyenv's versions and those on PATH, one per version."""
    found = {}
    candidates = sorted(glob.glob(os.path.expanduser("~/.pyenv/versions/*/bin/python3")))
    candidates += [shutil.which("python3.%d" % minor) for minor in range(7, 20)]
    for path in filter(None, candidates):
        try:
            out = subprocess.run([path, "-c", "import sys, platform; print(platform.python_implementation(), *sys.version_info[:2])"],
                                 capture_output=True, text=True, timeout=30).stdout.split()
        except (OSError, subprocess.TimeoutExpired):
            continue
        if len(out) == 3 and out[0] == "CPython" and (int(out[1]), int(out[2])) >= (3, 7):
            found.setdefault((int(out[1]), int(out[2])), path)
    return sorted(found.items())


def version_id(value):
    """A test id for a (major, minor) parameter."""
    return ".".join(map(str, value)) if isinstance(value, tuple) else ""
