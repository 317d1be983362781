"""The installed distribution's metadata: one version for the module and the
package, the license, and classifiers for every Python it claims."""
import sys

import pytest

import vorm_zel

metadata = pytest.importorskip("importlib.metadata", reason="importlib.metadata needs Python 3.8")


def test_module_version_is_the_distribution_version():
    assert vorm_zel.__version__ == metadata.version("vorm_zel")


def test_license_is_declared_and_shipped():
    dist = metadata.distribution("vorm_zel")
    # Ours, and those of libsodium and BLAKE3, which the module links in.
    assert dist.metadata["License-Expression"] == "Apache-2.0 AND ISC AND BSD-2-Clause AND (Apache-2.0 OR CC0-1.0)"
    shipped = {path.name: dist.locate_file(path).read_text(encoding="utf-8")
               for path in dist.files or [] if "licenses" in path.parts}
    assert "Apache License" in shipped.get("LICENSE", ""), sorted(shipped)
    assert "License: ISC" in shipped.get("libsodium", ""), sorted(shipped)
    assert "BLAKE3" in shipped.get("BLAKE3", ""), sorted(shipped)


def test_classifiers_cover_every_claimed_python():
    dist = metadata.distribution("vorm_zel")
    classifiers = set(dist.metadata.get_all("Classifier"))
    assert dist.metadata["Requires-Python"] == ">=3.7"
    newest = max(sys.version_info[1], 13)
    missing = {"Programming Language :: Python :: 3.%d" % minor for minor in range(7, newest + 1)} - classifiers
    assert not missing
    assert "Operating System :: POSIX :: Linux" in classifiers
    assert "Typing :: Typed" in classifiers
