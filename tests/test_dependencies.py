"""How the build finds libsodium and BLAKE3, and what it says when it cannot:
CMake's configure step only (nothing is compiled)."""
import glob
import os
import shutil
import subprocess
import sysconfig

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CMAKE = shutil.which("cmake", path=sysconfig.get_path("scripts")) or shutil.which("cmake")
DEBIAN_BLAKE3 = sorted(os.path.dirname(path) for path in glob.glob("/usr/share/cargo/registry/blake3-*/c/blake3.c"))

pytestmark = pytest.mark.skipif(CMAKE is None or shutil.which("c++") is None, reason="needs cmake and a C++ compiler")


def configure(tmp_path, *defines, env=None):
    return subprocess.run([CMAKE, "-S", ROOT, "-B", str(tmp_path / "build"), "-DVORM_ZEL_BUILD_MODULE=OFF", *defines],
                          capture_output=True, text=True, timeout=300, env=dict(os.environ, **(env or {})))


def test_missing_libsodium_names_the_packages_and_the_variables(tmp_path):
    # Nothing under the real prefixes, and no pkg-config file.
    result = configure(tmp_path, "-DCMAKE_FIND_ROOT_PATH=%s" % tmp_path, "-DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY",
                       "-DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY", env={"PKG_CONFIG_LIBDIR": str(tmp_path)})
    assert result.returncode != 0
    message = " ".join(result.stderr.split())
    for expected in ["libsodium (headers and library) not found",
                     "Debian/Ubuntu: apt-get install libsodium-dev",
                     "Fedora: dnf install libsodium-devel libsodium-static",
                     "Alpine: apk add libsodium-dev libsodium-static",
                     "-DVORM_ZEL_SODIUM_INCLUDE=DIR -DVORM_ZEL_SODIUM_LIB=FILE"]:
        assert expected in message


def test_a_blake3_source_dir_without_sources_is_refused(tmp_path):
    result = configure(tmp_path, "-DVORM_ZEL_BLAKE3_SOURCE_DIR=%s" % tmp_path)
    assert result.returncode != 0
    assert "VORM_ZEL_BLAKE3_SOURCE_DIR=%s holds no blake3.c" % tmp_path in " ".join(result.stderr.split())


@pytest.mark.skipif(not DEBIAN_BLAKE3, reason="needs the BLAKE3 C sources of librust-blake3-dev")
def test_a_blake3_source_dir_is_used_before_anything_else(tmp_path):
    sources = tmp_path / "blake3"
    shutil.copytree(DEBIAN_BLAKE3[-1], str(sources))
    result = configure(tmp_path, "-DVORM_ZEL_BLAKE3_SOURCE_DIR=%s" % sources)
    assert result.returncode == 0, result.stderr
    assert "BLAKE3: reference C sources in %s" % sources in result.stdout
    assert "libsodium: " in result.stdout
