"""The module's surface: attributes, signatures, argument binding and conversion errors."""

import importlib
import inspect
import os
import sys
import types

import pytest

import orvel_core

FUNCTIONS = [
    ("tokenize", ["text"]),
    ("lcs_similarity", ["a", "b"]),
    ("canonical_hash", ["content"]),
    ("assess_text_quality", ["content"]),
    ("calculate_curation_score", ["params"]),
    ("validate_pack", ["json_str"]),
    ("bm25_search_json", ["query", "memories_json"]),
]


def test_module_attributes():
    assert orvel_core.__doc__ == ""
    assert orvel_core.__all__ == [name for name, _ in FUNCTIONS]
    public = {name for name in vars(orvel_core) if not name.startswith("__")}
    assert public == {name for name, _ in FUNCTIONS}


@pytest.mark.parametrize("name, parameters", FUNCTIONS)
def test_function_signature(name, parameters):
    function = getattr(orvel_core, name)
    assert isinstance(function, types.BuiltinFunctionType)
    assert function.__module__ == "orvel_core"
    assert function.__doc__ is None
    signature = inspect.signature(function)
    assert list(signature.parameters) == parameters
    for parameter in signature.parameters.values():
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert parameter.default is inspect.Parameter.empty


def test_reimport_gives_the_same_module():
    first = sys.modules.pop("orvel_core")
    try:
        again = importlib.import_module("orvel_core")
        assert again is first
        assert again.tokenize is first.tokenize
    finally:
        sys.modules["orvel_core"] = first


def call(name, *args, **kwargs):
    return getattr(orvel_core, name)(*args, **kwargs)


@pytest.mark.parametrize(
    "name, args, kwargs, message",
    [
        ("tokenize", (), {}, "tokenize() missing 1 required positional argument: 'text'"),
        ("lcs_similarity", (), {}, "lcs_similarity() missing 2 required positional arguments: 'a' and 'b'"),
        ("lcs_similarity", (), {"b": "x"}, "lcs_similarity() missing 1 required positional argument: 'a'"),
        ("lcs_similarity", ("x",), {}, "lcs_similarity() missing 1 required positional argument: 'b'"),
        ("tokenize", ("x", "y"), {}, "tokenize() takes 1 positional arguments but 2 were given"),
        ("lcs_similarity", ("x", "y", "z"), {}, "lcs_similarity() takes 2 positional arguments but 3 were given"),
        # Too many positional arguments are refused before keywords are looked at.
        ("tokenize", ("x", "y"), {"text": "z"}, "tokenize() takes 1 positional arguments but 2 were given"),
        ("tokenize", ("x",), {"text": "y"}, "tokenize() got multiple values for argument 'text'"),
        ("tokenize", (), {"txt": "x"}, "tokenize() got an unexpected keyword argument 'txt'"),
        # Keywords are taken in the caller's order: the first bad one is reported.
        ("lcs_similarity", (), {"c": "x", "a": "y"}, "lcs_similarity() got an unexpected keyword argument 'c'"),
        ("bm25_search_json", ("q",), {"query": "x"}, "bm25_search_json() got multiple values for argument 'query'"),
        ("validate_pack", (), {}, "validate_pack() missing 1 required positional argument: 'json_str'"),
        ("calculate_curation_score", ({}, {}), {}, "calculate_curation_score() takes 1 positional arguments but 2 were given"),
    ],
)
def test_binding_errors(name, args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        call(name, *args, **kwargs)
    assert type(raised.value) is TypeError
    assert str(raised.value) == message


@pytest.mark.parametrize(
    "name, args, message",
    [
        ("tokenize", (None,), "argument 'text': 'NoneType' object cannot be converted to 'PyString'"),
        ("tokenize", (b"x",), "argument 'text': 'bytes' object cannot be converted to 'PyString'"),
        ("tokenize", (5,), "argument 'text': 'int' object cannot be converted to 'PyString'"),
        # Conversion stops at the first failing parameter.
        ("lcs_similarity", (1, 2), "argument 'a': 'int' object cannot be converted to 'PyString'"),
        ("lcs_similarity", ("x", 2.5), "argument 'b': 'float' object cannot be converted to 'PyString'"),
        ("canonical_hash", ([],), "argument 'content': 'list' object cannot be converted to 'PyString'"),
        ("validate_pack", ({},), "argument 'json_str': 'dict' object cannot be converted to 'PyString'"),
        ("bm25_search_json", ("q", None), "argument 'memories_json': 'NoneType' object cannot be converted to 'PyString'"),
        ("calculate_curation_score", ([],), "argument 'params': 'list' object cannot be converted to 'PyDict'"),
        ("calculate_curation_score", ('{"weight": 1}',), "argument 'params': 'str' object cannot be converted to 'PyDict'"),
        (
            "calculate_curation_score",
            (types.MappingProxyType({}),),
            "argument 'params': 'mappingproxy' object cannot be converted to 'PyDict'",
        ),
    ],
)
def test_conversion_errors(name, args, message):
    with pytest.raises(TypeError) as raised:
        call(name, *args)
    assert str(raised.value) == message
    assert raised.value.__cause__ is None


def test_qualified_type_name_in_conversion_error():
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError, match=r"^argument 'text': 'test_qualified_type_name_in_conversion_error.<locals>.Outer.Inner' object"):
        orvel_core.tokenize(Outer.Inner())


@pytest.mark.parametrize("name, args", [("tokenize", ("\ud800",)), ("lcs_similarity", ("ok", "x\udfff"))])
def test_lone_surrogate_raises_the_interpreters_error(name, args):
    with pytest.raises(UnicodeEncodeError) as raised:
        call(name, *args)
    assert "argument" not in str(raised.value)


def test_subclasses_are_accepted():
    class Text(str):
        def lower(self):  # never consulted: the str's own characters are read
            return "nothing"

    class Params(dict):
        pass

    assert orvel_core.tokenize(Text("Hello World")) == ["hello", "world"]
    assert orvel_core.tokenize(text=Text("a b")) == []
    assert orvel_core.canonical_hash(Text("abc")) == orvel_core.canonical_hash("abc")
    assert orvel_core.calculate_curation_score(Params()) == orvel_core.calculate_curation_score({})


def test_every_parameter_may_be_passed_by_keyword():
    assert orvel_core.lcs_similarity(b="abc", a="abc") == 1.0
    assert orvel_core.bm25_search_json(memories_json="[]", query="x") == {"hits": [], "total": 0}
    assert orvel_core.validate_pack(json_str='{"pack":{"name":"a","version":"1.0.0"}}')["valid"] is True
    assert orvel_core.calculate_curation_score(params={})["freshness"] == 1.0


@pytest.mark.parametrize(
    "name, args, prefix",
    [
        ("validate_pack", ("",), "Invalid pack JSON: EOF while parsing a value at line 1 column 0"),
        ("bm25_search_json", ("q", ""), "Invalid memories JSON: EOF while parsing a value at line 1 column 0"),
    ],
)
def test_unreadable_json_raises_value_error(name, args, prefix):
    with pytest.raises(ValueError) as raised:
        call(name, *args)
    assert type(raised.value) is ValueError
    assert raised.value.args == (prefix,)


@pytest.mark.parametrize("module", ["orvel_core", "_orvel_pack"])
def test_import_into_a_second_interpreter_is_refused(tmp_path, module):
    testcapi = pytest.importorskip("_testcapi")
    report = tmp_path / "report.txt"
    code = (
        "try:\n"
        f"    import {module}\n"
        "    outcome = 'imported'\n"
        "except ImportError as error:\n"
        "    outcome = 'ImportError: ' + str(error)\n"
        f"open({str(report)!r}, 'w').write(outcome)\n"
    )
    assert testcapi.run_in_subinterp(code) == 0
    outcome = report.read_text()
    assert outcome.startswith("ImportError: ")
    assert "sub-interpreter" in outcome
    # The module stays usable in its own interpreter.
    assert orvel_core.tokenize("still working") == ["still", "working"]
    assert importlib.import_module(module) is not None
