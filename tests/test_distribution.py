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
    assert dist.metadata["License-Expression"] == "Apache-2.0"
    shipped = [str(path) for path in dist.files or [] if path.name == "LICENSE"]
    assert shipped, "no LICENSE file among the installed files"
    assert "Apache License" in dist.locate_file(shipped[0]).read_text(encoding="utf-8")


def test_classifiers_cover_every_claimed_python():
    dist = metadata.distribution("vorm_zel")
    classifiers = set(dist.metadata.get_all("Classifier"))
    assert dist.metadata["Requires-Python"] == ">=3.7"
    newest = max(sys.version_info[1], 13)
    missing = {"Programming Language :: Python :: 3.%d" % minor for minor in range(7, newest + 1)} - classifiers
    assert not missing
    assert "Operating System :: POSIX :: Linux" in classifiers
    assert "Typing :: Typed" in classifiers
