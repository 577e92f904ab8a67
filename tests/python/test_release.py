"""The release: one version everywhere it is told, and wheels within their platform tag."""
import os
import re
import subprocess
import sys
from importlib import metadata

import pytest

import kestro

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CHECKER = os.path.join(ROOT, "scripts", "check_wheel_symbols.py")


def project_version():
    with open(os.path.join(ROOT, "pyproject.toml")) as f:
        return re.search(r'^version = "([^"]+)"', f.read(), re.M).group(1)


def wheel_tags():
    text = metadata.distribution("kestro").read_text("WHEEL") or ""
    return [line.split(":", 1)[1].strip() for line in text.splitlines() if line.startswith("Tag:")]


def test_version_is_told_the_same_everywhere():
    version = project_version()
    assert kestro.__version__ == version
    from kestro import __version__
    assert __version__ == version
    out = subprocess.run([sys.executable, "-m", "kestro"], stdout=subprocess.PIPE, check=True,
                         universal_newlines=True, cwd=ROOT).stdout
    assert out == "kestro %s\n" % version
    with open(os.path.join(ROOT, "CHANGELOG.md")) as f:
        assert re.search(r"^## \[%s\] - " % re.escape(version), f.read(), re.M)


def test_unknown_attribute_is_still_an_attribute_error():
    with pytest.raises(AttributeError):
        kestro.no_such_name  # noqa: B018
    assert not hasattr(kestro, "__no_such_dunder__")


@pytest.mark.parametrize("glibc, fails", [("2.17", True), ("99.0", False)])
def test_symbol_checker_judges_glibc_versions(glibc, fails):
    # The interpreter's own executable was linked against this machine's glibc
    # (2.34 or later: __libc_start_main@GLIBC_2.34), so it must fail a 2.17 promise.
    pytest.importorskip("elftools")
    exe = os.path.realpath(sys.executable)
    proc = subprocess.run([sys.executable, CHECKER, "--glibc", glibc, exe], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True)
    too_new = re.findall(r"needs (GLIBC_[0-9.]+)", proc.stderr)
    if fails:
        assert proc.returncode == 1 and too_new, proc.stderr
        newest = re.search(r"newest glibc symbol version ([0-9.]+)", proc.stdout).group(1)
        assert "GLIBC_" + newest in too_new
    else:
        assert not too_new, proc.stderr


def test_installed_wheel_is_within_its_tag():
    tags = wheel_tags()
    if not any("manylinux" in t for t in tags):
        pytest.skip("kestro is installed from a source build (tags %s)" % tags)
    pytest.importorskip("elftools")
    proc = subprocess.run([sys.executable, CHECKER, "--installed"], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True)
    assert proc.returncode == 0, proc.stderr
    # one line per module, each naming a glibc no newer than the tag's
    assert len(re.findall(r"newest glibc symbol version", proc.stdout)) == 5, proc.stdout
