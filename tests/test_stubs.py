"""The typed stub of orvel_core: type checkers use it, and it says what the module does."""

from __future__ import annotations

import ast
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import orvel_core

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "python" / "orvel_core.pyi"
DATA = ROOT / "tests" / "data" / "stubs"
INSTALLED_STUB = Path(orvel_core.__file__).parent / "orvel_core-stubs" / "__init__.pyi"


def type_checker_env() -> dict[str, str]:
    """Installed, the stub must be found the way any project finds it; in a
    build directory, it is taken from the source tree."""
    env = dict(os.environ)
    # The checker runs in a scratch directory: relative entries would be lost.
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep))
    if INSTALLED_STUB.exists():
        env.pop("MYPYPATH", None)
    else:
        env["MYPYPATH"] = str(ROOT / "python")
    return env


def mypy(*args: str | Path, cwd: Path) -> subprocess.CompletedProcess[str]:
    pytest.importorskip("mypy", reason="mypy comes with the test extras (make test)")
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--cache-dir", str(cwd / ".mypy_cache"), *map(str, args)],
        capture_output=True,
        text=True,
        env=type_checker_env(),
        cwd=cwd,
        timeout=300,
    )


def test_installed_stub_is_the_source_stub():
    if not INSTALLED_STUB.exists():
        pytest.skip("orvel_core is not installed (build directory)")
    assert INSTALLED_STUB.read_text(encoding="utf-8") == STUB.read_text(encoding="utf-8")


def test_typed_caller_passes_strict_checking_and_runs(tmp_path):
    checked = mypy("--strict", DATA / "typed_usage.py", cwd=tmp_path)
    assert checked.returncode == 0, checked.stdout + checked.stderr
    ran = subprocess.run([sys.executable, DATA / "typed_usage.py"], capture_output=True, text=True, timeout=60)
    assert (ran.returncode, ran.stdout, ran.stderr) == (0, "ran\n", "")


def test_mistakes_are_reported_where_they_are(tmp_path):
    source = DATA / "typed_mistakes.py"
    lines = source.read_text(encoding="utf-8").splitlines()
    marked = {number for number, line in enumerate(lines, 1) if re.search(r"#\s*E:", line)}
    checked = mypy(source, cwd=tmp_path)
    assert checked.returncode == 1, checked.stdout + checked.stderr
    reported = {int(n) for n in re.findall(r"^[^\n]*typed_mistakes\.py:(\d+): error:", checked.stdout, re.M)}
    assert reported == marked, checked.stdout


@pytest.mark.parametrize("module", ["orvel_core", "_orvel_index", "_orvel_pack"])
def test_stub_agrees_with_the_runtime_module(tmp_path, module):
    # stubtest imports the module and compares every name and parameter
    pytest.importorskip("mypy", reason="mypy comes with the test extras (make test)")
    checked = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", module],
        capture_output=True,
        text=True,
        env=type_checker_env(),
        cwd=tmp_path,
        timeout=300,
    )
    assert checked.returncode == 0, checked.stdout + checked.stderr


def test_command_line_package_checks_strictly_against_the_stub(tmp_path):
    checked = mypy("--strict", "-p", "orvel", cwd=tmp_path)
    assert checked.returncode == 0, checked.stdout + checked.stderr


def typed_dicts() -> dict[str, list[tuple[str, str]]]:
    """The TypedDicts of the stub: name -> [(key, annotation)] in order."""
    found = {}
    for node in ast.parse(STUB.read_text(encoding="utf-8")).body:
        if isinstance(node, ast.ClassDef) and any(getattr(base, "id", "") == "TypedDict" for base in node.bases):
            found[node.name] = [
                (item.target.id, ast.unparse(item.annotation))
                for item in node.body
                if isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name)
            ]
    return found


RUNTIME_TYPES = {"str": str, "float": float, "int": int, "bool": bool}


def conforms(value: object, annotation: str, dicts: dict[str, list[tuple[str, str]]]) -> bool:
    if annotation.startswith("list[") and annotation.endswith("]"):
        return isinstance(value, list) and all(conforms(item, annotation[5:-1], dicts) for item in value)
    if annotation in dicts:
        fields = dicts[annotation]
        return (
            isinstance(value, dict)
            and list(value) == [key for key, _ in fields]
            and all(conforms(value[key], kind, dicts) for key, kind in fields)
        )
    return type(value) is RUNTIME_TYPES[annotation]


@pytest.mark.parametrize(
    "name, result",
    [
        ("SearchResult", lambda: orvel_core.bm25_search_json("alpha", '[{"id": "a", "content": "alpha beta"}]')),
        ("SearchResult", lambda: orvel_core.bm25_search_json("alpha", "[]")),
        ("PackReport", lambda: orvel_core.validate_pack('{"pack": {"name": "", "version": "x"}, "memories": []}')),
        ("CurationResult", lambda: orvel_core.calculate_curation_score({"content": "API"})),
    ],
)
def test_result_dictionaries_have_the_stub_keys_in_order(name, result):
    dicts = typed_dicts()
    value = result()
    assert conforms(value, name, dicts), (value, dicts[name])
    if name == "SearchResult" and value["hits"]:
        assert conforms(value["hits"][0], "SearchHit", dicts)


def test_every_params_key_of_the_stub_is_read_by_the_module():
    # A misspelt key would be ignored by the module: each key must change the result.
    fields = dict(typed_dicts()["CurationParams"])
    samples = {"float": 0.3, "int": 90, "str": "cornerstone"}
    baseline = orvel_core.calculate_curation_score({})
    for key, kind in fields.items():
        value = "API" if key == "content" else samples[kind]
        assert orvel_core.calculate_curation_score({key: value}) != baseline, key
    assert len(fields) == 8


def test_stub_declares_exactly_the_module_functions():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    functions = [node.name for node in tree.body if isinstance(node, ast.FunctionDef)]
    assert functions == orvel_core.__all__
    declared_all = next(
        node.value for node in tree.body if isinstance(node, ast.Assign) and ast.unparse(node.targets[0]) == "__all__"
    )
    assert ast.literal_eval(declared_all) == orvel_core.__all__


@pytest.mark.parametrize("caller", ["typed_index_usage.py", "typed_sharded_usage.py"])
def test_typed_index_caller_passes_strict_checking_and_runs(tmp_path, caller):
    checked = mypy("--strict", DATA / caller, cwd=tmp_path)
    assert checked.returncode == 0, checked.stdout + checked.stderr
    ran = subprocess.run([sys.executable, DATA / caller], capture_output=True, text=True, timeout=60)
    assert (ran.returncode, ran.stdout, ran.stderr) == (0, "ran\n", "")

