"""What the distribution says about itself: version, supported Pythons, licences, the
description shown on the package index, and the interpreter lock."""

from __future__ import annotations

import doctest
import importlib.metadata
import os
import re
import subprocess
import sys
import sysconfig
import tomllib
from pathlib import Path

import pytest

import orvel

ROOT = Path(__file__).resolve().parent.parent
PYPROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))
PROJECT = PYPROJECT["project"]


def test_one_version_number():
    assert PROJECT["dynamic"] == ["version"] and "version" not in PROJECT
    metadata = PYPROJECT["tool"]["scikit-build"]["metadata"]["version"]
    source = (ROOT / metadata["input"]).read_text(encoding="utf-8")
    source_version = re.search(r'^__version__ = "([^"]+)"$', source, re.M)
    assert source_version and metadata["input"] == "python/orvel/__init__.py"
    assert importlib.metadata.version("orvel_core") == source_version.group(1) == orvel.__version__


def test_changelog_starts_with_this_release():
    # Changes not yet released gather under "Unreleased", above this release.
    text = (ROOT / "CHANGELOG.md").read_text(encoding="utf-8")
    first_release = re.search(r"^## (?!Unreleased$)(\S+)", text, re.M)
    assert first_release and first_release.group(1) == orvel.__version__


def test_the_running_python_is_supported_and_listed():
    # A lower bound only: an upper cap makes installers pick old releases.
    assert re.fullmatch(r">=\s*3\.\d+", PROJECT["requires-python"])
    minimum = tuple(map(int, PROJECT["requires-python"].lstrip(">= ").split(".")))
    assert sys.version_info[:2] >= minimum
    assert f"Programming Language :: Python :: {sys.version_info.major}.{sys.version_info.minor}" in PROJECT["classifiers"]


def test_licence_files_exist():
    assert PROJECT["license"] == "MIT"
    for name in PROJECT["license-files"]:
        assert (ROOT / name).is_file(), name


def pypi_description() -> str:
    return (ROOT / PROJECT["readme"]).read_text(encoding="utf-8")


def test_pypi_description_links_stand_alone():
    # The package index shows the text without the repository: relative links break.
    targets = re.findall(r"\]\(([^)]*)\)", pypi_description())
    assert [t for t in targets if not t.startswith("https://")] == []


def test_pypi_description_examples_give_the_results_shown():
    examples = "\n".join(re.findall(r"^```python\n(.*?)^```$", pypi_description(), re.M | re.S))
    assert ">>>" in examples
    test = doctest.DocTestParser().get_doctest(examples, {}, "pypi", str(ROOT / PROJECT["readme"]), 0)
    runner = doctest.DocTestRunner()
    report: list[str] = []
    runner.run(test, out=report.append)
    assert runner.failures == 0, "".join(report)


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs a free-threaded interpreter")
def test_free_threaded_interpreter_turns_the_lock_on():
    probe = "import sys; print(sys._is_gil_enabled()); import orvel_core; print(sys._is_gil_enabled())"
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    result = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, env=env)
    assert result.stdout.split() == ["False", "True"], result.stderr
