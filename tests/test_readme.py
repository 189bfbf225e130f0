"""The README's examples are what the module and the command really do."""

from __future__ import annotations

import doctest
import io
import os
import re
import stat
import subprocess
import sys
from pathlib import Path

import pytest

import orvel_core

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
FENCE = re.compile(r"^```(\w*)\n(.*?)^```$", re.M | re.S)


def blocks(language: str) -> list[tuple[int, str]]:
    """(line number, text) of each fenced block in the given language."""
    text = README.read_text(encoding="utf-8")
    return [
        (text.count("\n", 0, found.start(2)) + 1, found.group(2))
        for found in FENCE.finditer(text)
        if found.group(1) == language
    ]


def test_python_sessions_give_the_results_shown():
    # One session, as a reader who types the examples in order would have.
    sessions = [(line, text) for line, text in blocks("python") if ">>>" in text]
    assert sessions
    globs: dict[str, object] = {}
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.DONT_ACCEPT_TRUE_FOR_1)
    report = io.StringIO()
    for line, text in sessions:
        test = parser.get_doctest(text, globs, f"README.md:{line}", str(README), line - 1)
        runner.run(test, out=report.write, clear_globs=False)
        globs = test.globs  # a DocTest works on a copy of the names it is given
    assert runner.summarize(verbose=False).failed == 0, report.getvalue()


def test_every_function_has_an_example():
    shown = "\n".join(text for _, text in blocks("python"))
    for name in orvel_core.__all__:
        assert f">>> orvel_core.{name}(" in shown, name


def test_python_programs_run():
    programs = [(line, text) for line, text in blocks("python") if ">>>" not in text]
    assert programs
    for line, text in programs:
        exec(compile(text, f"README.md:{line}", "exec"), {"__name__": "readme"})


def console_steps() -> list[tuple[int, str, str]]:
    """(line number, command, expected output) of every `$ ` line in console blocks."""
    steps = []
    for line, text in blocks("console"):
        for offset, chunk in enumerate(re.split(r"^\$ ", text, flags=re.M)[1:]):
            command, _, output = chunk.partition("\n")
            steps.append((line, command, output))
    return steps


@pytest.fixture(scope="module")
def shell_env(tmp_path_factory):
    """The environment of a reader's shell: `orvel` on PATH, plain 80-column output."""
    bin_dir = tmp_path_factory.mktemp("bin")
    shim = bin_dir / "orvel"
    shim.write_text(f'#!/bin/sh\nexec "{sys.executable}" -m orvel "$@"\n')
    shim.chmod(shim.stat().st_mode | stat.S_IXUSR)
    env = dict(os.environ)
    paths = [str(ROOT / "python")] + [os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env.update(
        PATH=f"{bin_dir}{os.pathsep}{env.get('PATH', '')}",
        PYTHONPATH=os.pathsep.join(paths),
        PYTHONIOENCODING="utf-8",
        PYTHONUNBUFFERED="1",
        COLUMNS="80",
        NO_COLOR="1",
    )
    return env


def test_console_examples_print_what_is_shown(shell_env):
    steps = console_steps()
    assert steps
    status = 0
    for line, command, expected in steps:
        if command == "echo $?":
            output = f"{status}\n"
        else:
            done = subprocess.run(
                ["bash", "-c", command], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=shell_env, cwd=ROOT
            )
            status, output = done.returncode, done.stdout.decode("utf-8")
        assert output == expected, f"README.md:{line}: $ {command}"
