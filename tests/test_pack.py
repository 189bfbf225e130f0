"""validate_pack: reading the pack document into its records, and the rules
that judge it.

The records read are seen through the test-only module (read_json with shape
"pack": nested dicts, absent fields as None); everything else goes through
orvel_core.validate_pack.
"""

import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _orvel_testing import read_json
from oracles import CONFIDENCES, LEVELS, WHITE_SPACE, ZONES, pack_report
from orvel_core import validate_pack

META = '{"name":"n","version":"1"}'


def read_pack(text):
    return read_json(text, "pack")


def pack_error(text):
    with pytest.raises(ValueError) as info:
        validate_pack(text)
    message = str(info.value)
    assert message.startswith("Invalid pack JSON: ")
    return message[len("Invalid pack JSON: ") :]


def memory(**fields):
    base = {"content": "x", "level": "fact", "weight": 1}
    base.update(fields)
    return {k: v for k, v in base.items() if v is not ...}


def validate(name="my-pack", version="1.0.0", memories=None):
    document = {"pack": {"name": name, "version": version}}
    if memories is not None:
        document["memories"] = memories
    return validate_pack(json.dumps(document, ensure_ascii=False))


# --- Reading: what the records hold -------------------------------------------

ABSENT_META = {"author": None, "description": None, "orvelVersion": None, "tags": None, "memoryCount": None}


def test_minimal_document_reads_with_every_optional_field_absent():
    assert read_pack('{"pack":{"name":"my-pack","version":"1.0.0"}}') == {
        "pack": {"name": "my-pack", "version": "1.0.0", **ABSENT_META},
        "memories": [],
    }


def test_every_field_in_object_form_in_any_order():
    text = json.dumps(
        {
            "memories": [
                {
                    "metadata": {"k": [1, -2, 2.5, None, True]},
                    "trust": {"confidence": "high", "source": "me"},
                    "tags": ["t"],
                    "weight": 3,
                    "zone": "work",
                    "level": "fact",
                    "content": "c",
                }
            ],
            "pack": {
                "memoryCount": 1,
                "tags": ["a", "b"],
                "orvelVersion": "0.1",
                "description": "d",
                "author": "me",
                "version": "1.0.0",
                "name": "p",
            },
        }
    )
    assert read_pack(text) == {
        "pack": {
            "name": "p",
            "version": "1.0.0",
            "author": "me",
            "description": "d",
            "orvelVersion": "0.1",
            "tags": ["a", "b"],
            "memoryCount": 1,
        },
        "memories": [
            {
                "content": "c",
                "level": "fact",
                "zone": "work",
                "weight": 3.0,
                "tags": ["t"],
                "trust": {"confidence": "high", "source": "me"},
                "metadata": {"k": [1, -2, 2.5, None, True]},
            }
        ],
    }


def test_array_forms_read_like_object_forms():
    as_arrays = '[["p","1.0.0",null,null,null,null,null],[["c","fact",null,2.5,[],null,null]]]'
    as_objects = '{"pack":{"name":"p","version":"1.0.0"},"memories":[{"content":"c","level":"fact","weight":2.5}]}'
    assert read_pack(as_arrays) == read_pack(as_objects)
    assert read_pack('[["p","1",null,null,null,null,null]]')["memories"] == []
    # a record in array form may hold null for an optional field only
    assert read_pack('[["p","1","a",null,"o",["t"],7]]')["pack"] == {
        "name": "p", "version": "1", "author": "a", "description": None,
        "orvelVersion": "o", "tags": ["t"], "memoryCount": 7,
    }


def test_null_in_an_optional_field_reads_as_absent():
    text = ('{"pack":{"name":"n","version":"1","author":null,"description":null,"orvelVersion":null,'
            '"tags":null,"memoryCount":null},"memories":[{"content":"c","level":"l","weight":0,'
            '"zone":null,"trust":null,"metadata":null}]}')
    pack = read_pack(text)
    assert pack["pack"] == {"name": "n", "version": "1", **ABSENT_META}
    assert pack["memories"][0]["zone"] is None and pack["memories"][0]["trust"] is None


@pytest.mark.parametrize("weight, expected", [("3", 3.0), ("-0.5", -0.5), ("0", 0.0), ("1e308", 1e308),
                                              ("18446744073709551616", 1.8446744073709552e19)])
def test_weight_is_any_number_as_a_double(weight, expected):
    text = '{"pack":' + META + ',"memories":[{"content":"c","level":"l","weight":' + weight + "}]}"
    assert read_pack(text)["memories"][0]["weight"] == expected


def test_undeclared_keys_are_skipped_at_every_level():
    text = ('{"x":[1,{"y":null}],"pack":{"Name":5,"name":"n","version":"1","extra":{"a":[]}},'
            '"memories":[{"id":"m1","content":"c","Content":[],"level":"fact","weight":1,"id":2}],"x":"again"}')
    pack = read_pack(text)
    assert pack["pack"]["name"] == "n"
    assert pack["memories"][0]["content"] == "c"


def test_undeclared_key_may_hold_content_nested_a_million_deep():
    depth = 1_000_000
    text = '{"deep":' + "[" * depth + "]" * depth + ',"pack":' + META + "}"
    assert "memories 为空" in validate_pack(text)["warnings"]
    text = '{"pack":' + META + ',"deep":' + '{"a":' * depth + "1" + "}" * depth + "}"
    assert read_pack(text)["pack"]["name"] == "n"


def test_generic_values_under_trust_and_metadata_count_towards_the_nesting_limit():
    def with_metadata(depth):
        return ('{"pack":' + META + ',"memories":[{"content":"c","level":"fact","weight":1,"metadata":'
                + "[" * depth + "]" * depth + "}]}")

    assert read_pack(with_metadata(124))["memories"][0]["metadata"] is not None
    text = with_metadata(125)
    assert pack_error(text) == f"recursion limit exceeded at line 1 column {text.index('[' * 125) + 125}"
    # the document is level 1, the memories array 2, a memory 3: the value's 125th bracket opens level 128


def test_empty_texts_are_read_and_left_to_the_rules():
    text = '{"pack":{"name":"","version":""},"memories":[{"content":"","level":"","weight":0}]}'
    assert read_pack(text)["memories"][0]["content"] == ""


# --- Reading: errors ------------------------------------------------------------

MEM = '"content":"c","level":"fact","weight":1'
HEAD = '{"pack":' + META + ',"memories":['
MARK = "‸"  # stands where the error is reported: the byte offset of the mark


def position(marked):
    """The text without its mark, and " at line L column C" for the mark's byte offset."""
    before, _, after = marked.partition(MARK)
    raw = before.encode()
    line = raw.count(b"\n") + 1
    column = len(raw) - (raw.rfind(b"\n") + 1)
    return before + after, f" at line {line} column {column}"


READ_ERRORS = [
    ("‸", "EOF while parsing a value"),
    ("{‸", "EOF while parsing an object"),
    ("[‸", "EOF while parsing a list"),
    ("5‸", "invalid type: integer `5`, expected struct OrvelPack"),
    ('"pack"‸', 'invalid type: string "pack", expected struct OrvelPack'),
    ("null‸", "invalid type: null, expected struct OrvelPack"),
    ("{}‸", "missing field `pack`"),
    ('{"Pack":' + META + "}‸", "missing field `pack`"),
    ("[]‸", "invalid length 0, expected struct OrvelPack with 2 elements"),
    ('{"pack":null‸}', "invalid type: null, expected struct PackMeta"),
    ('{"pack":[]‸}', "invalid length 0, expected struct PackMeta with 7 elements"),
    ('{"pack":["n","1"]‸}', "invalid length 2, expected struct PackMeta with 7 elements"),
    ('{"pack":{"version":"1"}‸}', "missing field `name`"),
    ('{"pack":{"name":"n"}‸}', "missing field `version`"),
    ('{"pack":{}‸}', "missing field `name`"),
    ('{"pack":{"name":3‸,"version":"1"}}', "invalid type: integer `3`, expected a string"),
    ('{"pack":{"name":"n","version":"1","memoryCount":-1‸}}', "invalid value: integer `-1`, expected u32"),
    ('{"pack":{"name":"n","version":"1","memoryCount":4294967296‸}}',
     "invalid value: integer `4294967296`, expected u32"),
    ('{"pack":{"name":"n","version":"1","memoryCount":2.5‸}}', "invalid type: floating point `2.5`, expected u32"),
    ('{"pack":{"name":"n","version":"1","tags":"a"‸}}', 'invalid type: string "a", expected a sequence'),
    ('{"pack":{"name":"n","version":"1","tags":[1‸]}}', "invalid type: integer `1`, expected a string"),
    # a wrong kind of container is reported at its bracket
    ('{"pack":' + META + ',"memories":‸{}}', "invalid type: map, expected a sequence"),
    ('{"pack":' + META + ',"memories":null‸}', "invalid type: null, expected a sequence"),
    (HEAD + '{"level":"fact","weight":1}‸]}', "missing field `content`"),
    (HEAD + '{"content":"c","weight":1}‸]}', "missing field `level`"),
    (HEAD + '{"content":"c","level":"fact"}‸]}', "missing field `weight`"),
    (HEAD + '{"weight":1}‸]}', "missing field `content`"),
    (HEAD + '{"content":"c","level":"fact","weight":"0.5"‸}]}', 'invalid type: string "0.5", expected f64'),
    (HEAD + '{"content":"c","level":"fact","weight":null‸}]}', "invalid type: null, expected f64"),
    (HEAD + '{"content":"c","level":"fact","weight":1e400‸}]}', "number out of range"),
    (HEAD + '{"content":"c","level":‸[],"weight":1}]}', "invalid type: sequence, expected a string"),
    (HEAD + '{' + MEM + ',"tags":null‸}]}', "invalid type: null, expected a sequence"),
    (HEAD + '{' + MEM + ',"tags":[1‸]}]}', "invalid type: integer `1`, expected a string"),
    # a repeated field is reported before its value, at the first byte after the key that is no whitespace
    (HEAD + '{' + MEM + ',"weight"‸:2}]}', "duplicate field `weight`"),
    ('{"pack":' + META + ',"pack"‸:' + META + "}", "duplicate field `pack`"),
    ('{"pack":' + META + ',"pack" \n  ‸:' + META + "}", "duplicate field `pack`"),
    ('{"pack":' + META + ',"pack"‸', "duplicate field `pack`"),
    ('{"pack":' + META + ',"pack"‸x', "duplicate field `pack`"),
    ('{"pack":' + META + ',"pack" ‸}', "duplicate field `pack`"),
    ('{"pack":{"name":"n","version":"1","name"‸:"n"}}', "duplicate field `name`"),
    (HEAD + '{' + MEM + ',"zone":null,"zone"‸:"core"}]}', "duplicate field `zone`"),
    # records in array form
    (HEAD + '["c","fact",null,1]‸]}', "invalid length 5, expected struct PackMem with 7 elements"),
    (HEAD + '["c","fact",null,1,[]]‸]}', "invalid length 5, expected struct PackMem with 7 elements"),
    (HEAD + '["c","fact",null,1,[],null]‸]}', "invalid length 6, expected struct PackMem with 7 elements"),
    (HEAD + '["c","fact",null,1,[],null,null,n‸ull]]}', "trailing characters"),
    (HEAD + '["c","fact",null,1,[],null,null,]‸]}', "trailing comma"),
    (HEAD + '["c","fact",null,1,[],null,null}‸]}', "trailing characters"),
    (HEAD + '["c","fact",null,1,[],null}‸]}', "expected `,` or `]`"),
    (HEAD + '["c","fact",null,1,[],null,]‸]}', "trailing comma"),
    ("[" + META + ",[],‸", "trailing characters"),
    ("[" + META + ",[], ‸", "trailing characters"),
    ("[" + META + ",[],]‸", "trailing comma"),
    ("[" + META + ",[] x‸", "trailing characters"),
    ("[" + META + ",[]‸", "EOF while parsing a list"),
    ("[" + META + ",‸", "EOF while parsing a value"),
    ('{"pack":' + META + "} x‸", "trailing characters"),
    # skipped content has its own messages for a comma before a closing bracket ...
    ('{"x":[1,]‸,"pack":' + META + "}", "expected value"),
    ('{"x":{"a":1,}‸,"pack":' + META + "}", "key must be a string"),
    ('{"pack":' + META + ',"x":[1 2‸]}', "expected `,` or `]`"),
    ('{"pack":' + META + ',"x":"\\q‸"}', "invalid escape"),
    ('{"pack":' + META + ',"x":nul‸', "EOF while parsing a value"),
    # ... while a declared key read as a generic value has the usual ones
    (HEAD + '{' + MEM + ',"trust":[1,]‸}]}', "trailing comma"),
    (HEAD + '{' + MEM + ',"trust":{"a":1,}‸}]}', "trailing comma"),
    (HEAD + '{' + MEM + ',"metadata":["\\ud800"‸]}]}', "unexpected end of hex escape"),
    ('{"pack":{"name":"中文","version":1‸}}', "invalid type: integer `1`, expected a string"),
]


@pytest.mark.parametrize("marked, message", READ_ERRORS)
def test_reading_errors(marked, message):
    text, where = position(marked)
    assert pack_error(text) == message + where


@pytest.mark.parametrize(
    "text",
    [
        '{"pack":' + META + ',"x":[1e300,"\\ud800",{"a":"\\udc00"}]}',  # skipped: surrogates not paired
        '{"pack":' + META + ',"memories":[{' + MEM + ',"trust":"high"}]}',
        '{"pack":' + META + ',"memories":[{' + MEM + ',"trust":{"confidence":"bogus","confidence":"high"}}]}',
        '{"pack":' + META + ',"memories":[{' + MEM + ',"trust":{"confidence":5}}]}',
        '{"pack":' + META + ',"memories":[]} \r\n\t',
    ],
)
def test_documents_that_read_and_pass(text):
    assert validate_pack(text)["valid"] is True


# --- Validation rules -------------------------------------------------------------


def test_well_formed_pack_is_valid():
    assert validate(memories=[memory()]) == {"valid": True, "errors": [], "warnings": [], "memoryCount": 1}


def test_result_keys_in_order():
    assert list(validate(memories=[memory()])) == ["valid", "errors", "warnings", "memoryCount"]


def test_missing_memories_give_a_warning_only():
    assert validate() == {"valid": True, "errors": [], "warnings": ["memories 为空"], "memoryCount": 0}
    assert validate(memories=[])["warnings"] == ["memories 为空"]


def test_empty_name_and_version():
    assert validate(name="", version="") == {
        "valid": False,
        "errors": ["pack.name 缺失", "pack.version 缺失"],
        "warnings": ["memories 为空"],
        "memoryCount": 0,
    }


@pytest.mark.parametrize(
    "name, kebab",
    [
        ("my-pack", True), ("a--b", True), ("2024", True), ("a", True), ("x-1-y", True),
        ("My-Pack", False), ("-pack", False), ("pack-", False), ("-", False), ("pack_1", False),
        ("pack.1", False), ("my pack", False), ("   ", False), ("中文", False), ("café", False),
    ],
)
def test_name_kebab_case(name, kebab):
    report = validate(name=name, memories=[memory()])
    assert report["errors"] == []
    assert report["warnings"] == ([] if kebab else ["pack.name 建议使用 kebab-case 格式"])


@pytest.mark.parametrize(
    "version, standard",
    [
        ("1.2.3", True), ("01.02.03", True), ("+1.+2.+3", True), ("4294967295.0.0", True), ("0.0.0", True),
        ("1.2", False), ("1.2.3.4", False), ("1..2", False), ("1.2.", False), (".1.2", False),
        ("1.2.3-rc", False), ("1.0.0+build.1", False), ("v1.2.3", False), ("4294967296.0.0", False),
        ("-1.2.3", False), ("1.2.3 ", False), (" 1.2.3", False), ("+.1.2", False), ("++1.2.3", False),
        ("1.2.٣", False), ("x", False),
    ],
)
def test_version_three_numbers(version, standard):
    report = validate(version=version, memories=[memory()])
    assert report["errors"] == []
    assert report["warnings"] == ([] if standard else [f"pack.version '{version}' 不是标准 semver 格式"])


def test_memory_limit():
    assert validate(memories=[memory()] * 200)["errors"] == []
    report = validate(memories=[memory()] * 200 + [memory(level="x")])
    assert report["errors"] == ["memories 超过 200 条上限 (当前: 201)", "memories[200].level 无效: x"]
    assert report["memoryCount"] == 201 and report["valid"] is False


@pytest.mark.parametrize("content, blank", [
    (" \t\n ", True), ("\u3000", True), (WHITE_SPACE, True), ("", True),
    ("\u200b", False), (" x ", False), ("\ufeff", False), ("\x1c", False),
])
def test_blank_content(content, blank):
    errors = validate(memories=[memory(content=content)])["errors"]
    assert errors == (["memories[0].content 不能为空"] if blank else [])


@pytest.mark.parametrize("field, value, message", [
    ("level", "Fact", "memories[0].level 无效: Fact"),
    ("level", "", "memories[0].level 无效: "),
    ("level", " fact", "memories[0].level 无效:  fact"),
    ("zone", "", "memories[0].zone 无效: "),
    ("zone", "Core", "memories[0].zone 无效: Core"),
    ("trust", {"confidence": "HIGH"}, "memories[0].trust.confidence 无效: HIGH"),
    ("trust", {"confidence": ""}, "memories[0].trust.confidence 无效: "),
])
def test_invalid_values(field, value, message):
    assert validate(memories=[memory(**{field: value})])["errors"] == [message]


@pytest.mark.parametrize("field, value", [
    ("level", "fact"), ("level", "cornerstone"), ("level", "activity"),
    *[("zone", z) for z in ["core", "work", "project", "episode", "general", None]],
    *[("trust", {"confidence": c}) for c in ["speculative", "uncertain", "medium", "high", "certain"]],
    ("trust", "high"), ("trust", 5), ("trust", ["bogus"]), ("trust", {}), ("trust", {"confidence": 5}),
    ("trust", {"confidence": None}), ("trust", {"confidence": {"x": "bogus"}}), ("trust", None),
])
def test_accepted_values(field, value):
    assert validate(memories=[memory(**{field: value})])["errors"] == []


def test_repeated_confidence_keeps_the_last():
    text = ('{"pack":{"name":"p","version":"1.0.0"},"memories":[{"content":"c","level":"fact","weight":1,'
            '"trust":{"confidence":"bogus","confidence":"high"}}]}')
    assert validate_pack(text)["errors"] == []
    text = text.replace('"bogus","confidence":"high"', '"high","confidence":"bogus"')
    assert validate_pack(text)["errors"] == ["memories[0].trust.confidence 无效: bogus"]


def test_confidence_is_looked_for_by_its_decoded_key_at_the_top_of_trust_only():
    head = '{"pack":{"name":"p","version":"1.0.0"},"memories":[{"content":"c","level":"fact","weight":1,"trust":'
    assert validate_pack(head + '{"confid\\u0065nce":"H\\u0049GH"}}]}')["errors"] == [
        "memories[0].trust.confidence 无效: HIGH"
    ]
    for trust in ('{"x":{"confidence":"bogus"}}', '[{"confidence":"bogus"}]', '{"Confidence":"bogus"}'):
        assert validate_pack(head + trust + "}]}")["errors"] == []


def test_texts_with_escapes_are_decoded_into_the_messages():
    # Enough escaped text that the decoded texts fill several blocks of storage.
    levels = [f"级别{i}" + r"\u00e9\n" * 40 + r"\\" for i in range(300)]
    memories = ",".join(f'{{"content":"\\u3000\\t","level":"{level}","zone":"\\"{i}","weight":1}}'
                        for i, level in enumerate(levels))
    report = validate_pack('{"pack":{"name":"p","version":"1.0.0"},"memories":[' + memories + "]}")
    expected = ["memories 超过 200 条上限 (当前: 300)"]
    for i, level in enumerate(levels):
        decoded = json.loads(f'"{level}"')
        expected += [f"memories[{i}].content 不能为空", f"memories[{i}].level 无效: {decoded}",
                     f'memories[{i}].zone 无效: "{i}']
    assert report["errors"] == expected


def test_numbers_under_trust_and_metadata_are_checked_for_their_range():
    for field in ("trust", "metadata"):
        for number in ("1e400", "1" + "0" * 250 + "e99"):
            text = '{"pack":' + META + ',"memories":[{' + MEM + ',"' + field + '":{"a":[' + number + "]}}]}"
            assert pack_error(text) == f"number out of range at line 1 column {text.index(number) + len(number)}"


OUT_OF_RANGE = ("1e400", "2e308", "-1e400", "1" + "0" * 400, "1" + "0" * 400 + "e-80", "0.5e309", "1e99999999999")


@pytest.mark.parametrize("number", OUT_OF_RANGE)
@pytest.mark.parametrize(
    "template",
    [
        '{"u":#,"pack":' + META + "}",
        '{"pack":{"name":"a","u":#,"version":"1"}}',
        '{"pack":' + META + ',"memories":[{' + MEM + ',"u":#}]}',
        '{"pack":' + META + ',"memories":[{' + MEM + "}," + "{" + MEM + ',"u":{"v":[[1,{"w":#}]]}}]}',
        '{"u":[true,{"v":[#]}],"pack":' + META + "}",
        '{"u":#',  # the document ends after the number: the range is reported first
        '{"pack":{"u":[{"a":#',
    ],
)
def test_numbers_under_undeclared_keys_are_checked_for_their_range(template, number):
    text = template.replace("#", number)
    assert pack_error(text) == f"number out of range at line 1 column {text.index(number) + len(number)}"


def test_skipped_number_out_of_range_as_reported():
    assert pack_error('{"u":1e400,"pack":{"name":"a","version":"1"}}') == "number out of range at line 1 column 10"


@pytest.mark.parametrize("number", ["1e308", "-1.7976931348623157e308", "1e-400", "-1e-99999", "1" + "0" * 300, "0." + "0" * 500 + "1"])
def test_skipped_numbers_within_range_or_underflowing_are_accepted(number):
    assert validate_pack('{"u":[' + number + '],"pack":' + META + "}")["valid"]


def test_per_memory_errors_in_rule_order_and_memory_order():
    bad = memory(content="", level="x", zone="y", trust={"confidence": "z"})
    report = validate(name="Bad", version="1", memories=[bad, memory(), memory(level="q")])
    assert report["errors"] == [
        "memories[0].content 不能为空",
        "memories[0].level 无效: x",
        "memories[0].zone 无效: y",
        "memories[0].trust.confidence 无效: z",
        "memories[2].level 无效: q",
    ]
    assert report["warnings"] == ["pack.name 建议使用 kebab-case 格式", "pack.version '1' 不是标准 semver 格式"]
    assert report["memoryCount"] == 3


def test_fields_outside_the_rules_are_not_examined():
    document = {
        "pack": {"name": "p", "version": "1.0.0", "memoryCount": 99, "tags": ["不"], "author": ""},
        "memories": [memory(weight=-5, tags=["?"], metadata={"level": "bogus"})],
    }
    assert validate_pack(json.dumps(document)) == {"valid": True, "errors": [], "warnings": [], "memoryCount": 1}


# --- The rules against a plain model ---------------------------------------------

def model_report(document):
    pack = document["pack"]
    return pack_report(pack["name"], pack["version"], document.get("memories", []))


def words(alphabet, vocabulary):
    return st.one_of(st.text(alphabet=alphabet, max_size=8), st.sampled_from(sorted(vocabulary)))


memories_strategy = st.lists(
    st.fixed_dictionaries(
        {
            "content": st.text(alphabet=" \t\n\u3000\u200bxé中", max_size=4),
            "level": words("factFACT ", LEVELS),
            "weight": st.floats(allow_nan=False, allow_infinity=False),
        },
        optional={
            "zone": st.none() | words("corewk", ZONES),
            "trust": st.none() | st.integers() | st.text(max_size=3)
            | st.fixed_dictionaries({}, optional={"confidence": st.none() | st.integers() | words("high", CONFIDENCES)}),
        },
    ),
    max_size=4,
)


@settings(max_examples=300)
@given(
    name=st.text(alphabet="ab-Z_9 中", max_size=6),
    version=st.text(alphabet="019.+-v ", max_size=9) | st.sampled_from(["1.2.3", "4294967295.0.4294967296"]),
    memories=st.none() | memories_strategy,
)
def test_rules_agree_with_a_plain_model(name, version, memories):
    document = {"pack": {"name": name, "version": version}}
    if memories is not None:
        document["memories"] = memories
    assert validate_pack(json.dumps(document)) == model_report(document)
