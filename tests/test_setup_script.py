"""The system-package step of scripts/setup.sh: apt-get on Debian and Ubuntu
only, the packages printed in the system's own names elsewhere, and a switch
that skips the step. apt-get and dpkg-query are stand-ins that log their calls."""
import os
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STEP = os.path.join(ROOT, "scripts", "system_packages.sh")

FAKE_TOOLS = {
    "apt-get": 'echo "apt-get $*" >> "$CALLS"\n',
    # Only libsodium-dev is missing.
    "dpkg-query": 'echo "dpkg-query $*" >> "$CALLS"\n'
                  'case "$*" in *libsodium-dev*) exit 1 ;; *) echo "install ok installed" ;; esac\n',
}


def run_step(tmp_path, os_release, **env):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    for name, body in FAKE_TOOLS.items():
        (bin_dir / name).write_text("#!/bin/sh\n" + body)
        (bin_dir / name).chmod(0o755)
    (tmp_path / "os-release").write_text(os_release)
    calls = tmp_path / "calls"
    calls.write_text("")
    script = ('set -euo pipefail\nlog() { printf "[setup] %%s\\n" "$*"; }\n'
              'DEBIAN_PACKAGES=(g++ pkg-config libsodium-dev librust-blake3-dev)\n'
              'source %s\ninstall_system_packages\necho done\n' % STEP)
    result = subprocess.run(
        ["bash", "-c", script], capture_output=True, text=True, timeout=60,
        env=dict(os.environ, PATH="%s:%s" % (bin_dir, os.environ["PATH"]), CALLS=str(calls),
                 VORM_ZEL_OS_RELEASE=str(tmp_path / "os-release"), **env))
    return result, calls.read_text()


@pytest.mark.parametrize("os_release,expected", [
    ('ID=fedora\n', "fedora: install with: dnf install gcc-c++ pkgconf-pkg-config libsodium-devel libsodium-static blake3-devel"),
    ('ID=alpine\n', "alpine: install with: apk add g++ pkgconf libsodium-dev libsodium-static blake3-dev"),
    ('ID=arch\n', "arch is not a Debian system: install the equivalents of these Debian packages: g++ pkg-config libsodium-dev librust-blake3-dev"),
    ('', "unknown is not a Debian system"),
])
def test_another_system_gets_the_package_names_and_set_up_goes_on(tmp_path, os_release, expected):
    result, calls = run_step(tmp_path, os_release)
    assert result.returncode == 0, result.stderr
    assert expected in result.stdout
    assert result.stdout.rstrip().endswith("done")
    assert "apt-get" not in calls


@pytest.mark.skipif(os.geteuid() != 0, reason="apt-get is called only as root")
@pytest.mark.parametrize("os_release", ['ID=debian\n', 'ID=ubuntu\nID_LIKE=debian\n', 'ID=linuxmint\nID_LIKE="ubuntu debian"\n'])
def test_debian_and_its_derivatives_install_what_is_missing(tmp_path, os_release):
    result, calls = run_step(tmp_path, os_release)
    assert result.returncode == 0, result.stderr
    assert "installing Debian packages: libsodium-dev" in result.stdout
    assert "apt-get update -qq" in calls
    assert "apt-get install -y -qq --no-install-recommends libsodium-dev" in calls


def test_the_switch_skips_the_step(tmp_path):
    result, calls = run_step(tmp_path, 'ID=debian\n', VORM_ZEL_SKIP_SYSTEM_PACKAGES="1")
    assert result.returncode == 0, result.stderr
    assert "skipping system packages" in result.stdout
    assert calls == ""
