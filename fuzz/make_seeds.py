"""Writes the starting corpus of each fuzz harness into OUT/<harness>/.

Seeds come from the JSON conformance files, the example documents and the
test fixtures; the text harnesses get the texts found in those documents plus
a few samples of each script. Usage: make_seeds.py OUT
"""

import hashlib
import json
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
CONFORMANCE = ROOT / "tests" / "data" / "jsontestsuite" / "test_parsing"
DOCUMENTS = sorted((ROOT / "examples").glob("*.json")) + sorted((ROOT / "tests" / "data" / "cli").glob("*.json"))

SAMPLE_TEXTS = [
    "",
    "   ",
    "Hello, World! It's 2024 and I'm testing release 2.0 of the API.",
    "我们使用BM25算法。",
    "用Python写代码",
    "foo_bar-baz e.g. 1,000 3.14 2024-01-15",
    "ΟΔΟΣ Σ ς İstanbul KELVIN \u212a",
    "!!! → -> ?",
    "😀👍🏽 🇫🇷 a\u0301 \u200d\u200b",
    "カタカナ ひらがな 한국어 단어 ภาษาไทย العربية",
    "aaaaaaaaaaaa because therefore → 因为 所以 api json sql",
    "line\r\nbreak\ttab\u3000ideographic\u2029para",
    "１２ ٣٤ utf8 __init__ don't 3.14:x a.b",
]

JSON_SNIPPETS = [
    '[{"id":"a","content":"x","loadedCount":4294967297,"referencedCount":-1}]',
    '[1,"s",null,true,[],{}]',
    '[{"id":"\\ud83d\\ude00","content":"\\u6570\\u636e","id":"b"}]',
    "[" * 127 + "]" * 127,
    "[" * 128,
    '{"pack":{"name":"n","version":"1.0.0"},"memories":[{"content":"c","level":"fact","weight":1}]}',
    '{"pack":["n","1.0.0"],"memories":[["c","fact",null,0.5]]}',
    '{"pack":{"name":"","version":"1.2"},"x":' + "[" * 300 + "]" * 300 + "}",
    '{"pack":{"name":"My-Pack","version":"v1"},"memories":[{"content":" ","level":"x","zone":"y",'
    '"weight":1e3,"trust":{"confidence":"z"}}]}',
]


def write(directory, data):
    directory.mkdir(parents=True, exist_ok=True)
    (directory / hashlib.sha1(data).hexdigest()).write_bytes(data)


def strings_in(value, out):
    if isinstance(value, str):
        out.append(value)
    elif isinstance(value, list):
        for item in value:
            strings_in(item, out)
    elif isinstance(value, dict):
        for key, item in value.items():
            out.append(key)
            strings_in(item, out)


def main(out):
    documents = [path.read_bytes() for path in sorted(CONFORMANCE.glob("*.json"))]
    documents += [path.read_bytes() for path in DOCUMENTS]
    documents += [snippet.encode() for snippet in JSON_SNIPPETS]

    texts = list(SAMPLE_TEXTS)
    for data in documents:
        try:
            strings_in(json.loads(data), texts)
        except (ValueError, RecursionError):
            pass
    texts = [text for text in dict.fromkeys(texts) if len(text) < 2000]
    encoded = [text.encode("utf-8", "replace") for text in texts]

    for harness in ("memories", "pack"):
        for data in documents:
            write(out / harness, data)
    for data in documents[-len(JSON_SNIPPETS) - len(DOCUMENTS):]:
        write(out / "memories", "api 数据".encode() + b"\xff" + data)
    for harness in ("tokenize", "text"):
        for data in encoded:
            write(out / harness, data)
    for i, data in enumerate(encoded):
        other = encoded[(i * 7 + 3) % len(encoded)]
        write(out / "lcs", bytes([i % 3]) + data + b"\xff" + other)
        write(out / "lcs", bytes([i % 3]) + data + b"\xff" + data[len(data) // 3 :])

    # Operation sequences: a few memories, then every operation in turn.
    for seed in range(8):
        ops = bytes([seed % 6]) + bytes((seed * 37 + k * 11) % 251 for k in range(40))
        write(out / "index_ops", ops + bytes(b for op in range(8) for b in (op + 8 * seed, seed, 3, 1, 2, 0)))
    # States: a body of two records, with and without the header and checksum.
    body = (2).to_bytes(8, "little")
    for loaded, referenced, ident, content in ((0, 3, b"a", "api test".encode()), (7, 0, b"b", "数据".encode())):
        body += loaded.to_bytes(4, "little") + referenced.to_bytes(4, "little")
        body += len(ident).to_bytes(8, "little") + ident + len(content).to_bytes(8, "little") + content
    header = b"ORVELIDX" + (1).to_bytes(4, "little")
    write(out / "index_state", b"\x01" + body)
    write(out / "index_state", b"\x00" + header + body + hashlib.sha256(header + body).digest())
    write(out / "index_state", b"\x00" + header + body)
    # Index files: saved files are committed in fuzz/corpus/index_file (the seeds
    # cannot be made without the module); here only a bare magic and version.
    write(out / "index_file", b"\x00\x89ORVIX\r\n" + (1).to_bytes(4, "little"))


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1]))
