#!/usr/bin/env python3
"""Generates src/text/unicode_tables.h from the Unicode Character Database.

Every code point gets one packed 32-bit record:

    bits  0..4   Word_Break value (numbered as the ucd::kWb... constants it writes)
    bit   5      Extended_Pictographic
    bit   6      Alphabetic
    bit   7      General_Category Nd, Nl or No
    bit   8      White_Space
    bit   9      Grapheme_Extend
    bit  10      printable (not Cc Cf Cs Co Cn Zl Zp Zs, but U+0020 is)
    bit  11      Cased
    bit  12      Case_Ignorable
    bit  13      the lower-case form is several characters (see below)
    bits 14..31  signed: lower-case code point minus the code point, or,
                 with bit 13 set, the index into kLowerSpecial

Distinct records are stored once; a two-stage table maps a code point to its
record: kStage1[c >> kBlockShift] picks a block of kStage2, and the entry at
c & kBlockMask in that block is the record index.

Usage: gen_unicode_tables.py [--ucd DIR] [--out FILE]

The data is read from data/ucd/<UCD_VERSION>/ (the version written into the
header and into kUnicodeVersion); the generator stops if the files there
declare another version.

When the Unicode version changes, set UCD_VERSION, put the new files under
data/ucd/<version>/, regenerate, and review:

  * Word_Break values: a new value stops the generator. Add it to
    WORD_BREAK_VALUES and to the numbering in src/text that unicode.cpp checks
    with static_asserts, then read UAX #29 for changed rules and carry them
    into word_break.cpp (one branch per rule) and into every tokenizer fast
    path whose table names the rules and character classes it relies on.
    WordBreakTest.txt of the new version is the test.
  * Lower-casing: new multi-character forms of SpecialCasing.txt (kLowerSpecialMax
    may grow), deltas that no longer fit in the record (the generator stops),
    and the Cased / Case_Ignorable sets behind the final-sigma rule.
  * White_Space: tests/oracles.py writes the set out by hand; a test compares it
    with PropList.txt and with the tables.
  * The general categories behind "printable" and the number flag.
  * tools/gen_emoji_widths.py, which keeps its own UCD_VERSION, and the
    version the README states. The tests compare the tables with Python's
    unicodedata only when the interpreter has the same Unicode version.
"""

import argparse
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
UCD_VERSION = "15.1.0"
DEFAULT_UCD = ROOT / "data" / "ucd" / UCD_VERSION
DEFAULT_OUT = ROOT / "src" / "text" / "unicode_tables.h"

MAX_CODE_POINT = 0x10FFFF
CODE_SPACE = MAX_CODE_POINT + 1

# The numbering of the kWb... constants written below; the fast paths of the
# tokenizer check their class lists against the tables with static_assert, and
# tests/test_unicode.py reads the values in this order.
WORD_BREAK_VALUES = [
    "Other",
    "CR",
    "LF",
    "Newline",
    "Extend",
    "ZWJ",
    "Regional_Indicator",
    "Format",
    "Katakana",
    "Hebrew_Letter",
    "ALetter",
    "Single_Quote",
    "Double_Quote",
    "MidNumLet",
    "MidLetter",
    "MidNum",
    "Numeric",
    "ExtendNumLet",
    "WSegSpace",
]

FLAG_BITS = [
    ("kExtendedPictographic", 5),
    ("kAlphabetic", 6),
    ("kNumber", 7),
    ("kWhiteSpace", 8),
    ("kGraphemeExtend", 9),
    ("kPrintable", 10),
    ("kCased", 11),
    ("kCaseIgnorable", 12),
    ("kLowerSpecial", 13),
]
FLAG = {name: 1 << bit for name, bit in FLAG_BITS}
WORD_BREAK_MASK = 0x1F
LOWER_SHIFT = 14
LOWER_BITS = 32 - LOWER_SHIFT

NOT_PRINTABLE_CATEGORIES = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs"}
NUMBER_CATEGORIES = {"Nd", "Nl", "No"}


def data_lines(path):
    """Yields the fields of each data line of a UCD file, comments removed."""
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                yield [field.strip() for field in line.split(";")]


def code_range(text):
    first, _, last = text.partition("..")
    return range(int(first, 16), int(last or first, 16) + 1)


def read_property_file(path, wanted=None):
    """Maps each property value of a `CODE[..CODE] ; Value` file to its code points."""
    values = {}
    for fields in data_lines(path):
        if wanted is None or fields[1] in wanted:
            values.setdefault(fields[1], set()).update(code_range(fields[0]))
    return values


def read_unicode_data(path):
    """Simple lower-case mappings of UnicodeData.txt (field 13)."""
    lower = {}
    range_first = None
    for fields in data_lines(path):
        code = int(fields[0], 16)
        name = fields[1]
        if name.endswith(", First>"):
            range_first = code
            continue
        codes = range(range_first, code + 1) if name.endswith(", Last>") else [code]
        range_first = None
        if fields[13]:
            for c in codes:
                lower[c] = int(fields[13], 16)
    return lower


def read_special_lower(path):
    """Unconditional lower-case mappings of SpecialCasing.txt."""
    special = {}
    for fields in data_lines(path):
        # code; lower; title; upper; [condition;] -> a trailing empty field
        conditions = fields[4] if len(fields) > 4 else ""
        if conditions:
            continue
        special[int(fields[0], 16)] = [int(x, 16) for x in fields[1].split()]
    return special


def declared_version(ucd):
    """The Unicode version that the data files name in their first line, if they agree."""
    versions = set()
    for path in sorted(ucd.glob("*.txt")):
        with open(path, encoding="utf-8") as f:
            match = re.search(r"\b(\d+\.\d+\.\d+)\b", f.readline())
        if match:
            versions.add(match[1])
    if len(versions) != 1:
        sys.exit(f"{ucd}: the data files name the versions {sorted(versions)}, expected one")
    return versions.pop()


def build_records(ucd):
    word_break = read_property_file(ucd / "WordBreakProperty.txt")
    core = read_property_file(
        ucd / "DerivedCoreProperties.txt",
        {"Alphabetic", "Grapheme_Extend", "Cased", "Case_Ignorable"},
    )
    white_space = read_property_file(ucd / "PropList.txt", {"White_Space"})["White_Space"]
    pictographic = read_property_file(ucd / "emoji-data.txt", {"Extended_Pictographic"})[
        "Extended_Pictographic"
    ]
    categories = read_property_file(ucd / "DerivedGeneralCategory.txt")
    simple_lower = read_unicode_data(ucd / "UnicodeData.txt")
    special_lower = read_special_lower(ucd / "SpecialCasing.txt")

    unknown = set(word_break) - set(WORD_BREAK_VALUES)
    if unknown:
        sys.exit(f"unknown Word_Break values: {sorted(unknown)}")

    record = [0] * CODE_SPACE
    for value, codes in word_break.items():
        index = WORD_BREAK_VALUES.index(value)
        for c in codes:
            record[c] |= index

    def set_flag(codes, flag):
        for c in codes:
            record[c] |= flag

    set_flag(pictographic, FLAG["kExtendedPictographic"])
    set_flag(core.get("Alphabetic", ()), FLAG["kAlphabetic"])
    set_flag(white_space, FLAG["kWhiteSpace"])
    set_flag(core.get("Grapheme_Extend", ()), FLAG["kGraphemeExtend"])
    set_flag(core.get("Cased", ()), FLAG["kCased"])
    set_flag(core.get("Case_Ignorable", ()), FLAG["kCaseIgnorable"])

    category = ["Cn"] * CODE_SPACE
    for value, codes in categories.items():
        for c in codes:
            category[c] = value
    for c in range(CODE_SPACE):
        if category[c] in NUMBER_CATEGORIES:
            record[c] |= FLAG["kNumber"]
        if category[c] not in NOT_PRINTABLE_CATEGORIES or c == 0x20:
            record[c] |= FLAG["kPrintable"]

    special_list = []
    lower_limit = 1 << (LOWER_BITS - 1)
    for c in range(CODE_SPACE):
        mapping = special_lower.get(c)
        if mapping is None and c in simple_lower:
            mapping = [simple_lower[c]]
        if mapping is None or mapping == [c]:
            continue
        if len(mapping) == 1:
            delta = mapping[0] - c
        else:
            record[c] |= FLAG["kLowerSpecial"]
            delta = len(special_list)
            special_list.append(mapping)
        if not -lower_limit <= delta < lower_limit:
            sys.exit(f"lower-case delta of U+{c:04X} does not fit in {LOWER_BITS} bits")
        record[c] |= (delta & ((1 << LOWER_BITS) - 1)) << LOWER_SHIFT

    return record, special_list


def two_stage(values, shift):
    """Splits `values` into blocks of 2**shift entries, storing each distinct block once."""
    size = 1 << shift
    blocks = {}
    stage1 = []
    stage2 = []
    for start in range(0, len(values), size):
        block = tuple(values[start : start + size])
        if block not in blocks:
            blocks[block] = len(blocks)
            stage2.extend(block)
        stage1.append(blocks[block])
    return stage1, stage2


def c_type(max_value):
    if max_value < 1 << 8:
        return "std::uint8_t", 1
    if max_value < 1 << 16:
        return "std::uint16_t", 2
    return "std::uint32_t", 4


def layout(record):
    """Deduplicates the records and picks the block size with the smallest tables."""
    distinct = sorted(set(record))
    # Record 0 must be the all-zero record of an unassigned code point: the
    # lookup returns it for values beyond U+10FFFF.
    assert distinct[0] == 0
    index_of = {value: i for i, value in enumerate(distinct)}
    indices = [index_of[value] for value in record]
    best = None
    for shift in range(4, 11):
        stage1, stage2 = two_stage(indices, shift)
        size = len(stage1) * c_type(max(stage1))[1] + len(stage2) * c_type(max(stage2))[1]
        if best is None or size < best[0]:
            best = (size, shift, stage1, stage2)
    _, shift, stage1, stage2 = best
    return distinct, shift, stage1, stage2


def array_text(name, ctype, values, per_line, width):
    lines = [f"inline constexpr {ctype} {name}[{len(values)}] = {{"]
    for start in range(0, len(values), per_line):
        chunk = values[start : start + per_line]
        lines.append("    " + " ".join(f"{v:#0{width}x}," for v in chunk))
    lines.append("};")
    return "\n".join(lines)


def render(record, special_list):
    distinct, shift, stage1, stage2 = layout(record)
    stage1_type = c_type(max(stage1))[0]
    stage2_type = c_type(max(stage2))[0]
    longest_special = max(len(m) for m in special_list)

    out = []
    out.append(f"// generated by tools/gen_unicode_tables.py from UCD {UCD_VERSION}, do not edit")
    out.append("//")
    out.append("// One packed record per code point (layout in the generator's docstring),")
    out.append("// reached through a two-stage table: kStage1 picks a block of kStage2,")
    out.append("// whose entry is an index into kRecords.")
    out.append("#pragma once")
    out.append("")
    out.append("#include <cstdint>")
    out.append("")
    out.append("namespace orvel::text::ucd {")
    out.append("")
    out.append(f'inline constexpr char kUnicodeVersion[] = "{UCD_VERSION}";')
    out.append("")
    out.append("// Word_Break values in the low bits of a record.")
    out.append(f"inline constexpr std::uint32_t kWordBreakMask = {WORD_BREAK_MASK:#x};")
    for i, value in enumerate(WORD_BREAK_VALUES):
        out.append(f"inline constexpr std::uint32_t kWb{value.replace('_', '')} = {i};")
    out.append("")
    out.append("// Property flags.")
    for name, bit in FLAG_BITS:
        out.append(f"inline constexpr std::uint32_t {name} = 1u << {bit};")
    out.append("")
    out.append("// The signed lower-case delta (or kLowerSpecial index) in the high bits.")
    out.append(f"inline constexpr int kLowerShift = {LOWER_SHIFT};")
    out.append("")
    out.append(f"inline constexpr int kBlockShift = {shift};")
    out.append(f"inline constexpr std::uint32_t kBlockMask = {(1 << shift) - 1:#x};")
    out.append("")
    out.append(array_text("kRecords", "std::uint32_t", distinct, 6, 10))
    out.append("")
    out.append(array_text("kStage1", stage1_type, stage1, 12, 6 if max(stage1) > 255 else 4))
    out.append("")
    out.append(array_text("kStage2", stage2_type, stage2, 12, 6 if max(stage2) > 255 else 4))
    out.append("")
    out.append("// Lower-case forms of more than one character, zero-padded.")
    out.append(f"inline constexpr int kLowerSpecialMax = {longest_special};")
    out.append(
        f"inline constexpr char32_t kLowerSpecialForms[{len(special_list)}][{longest_special}] = {{"
    )
    for mapping in special_list:
        padded = mapping + [0] * (longest_special - len(mapping))
        out.append("    {" + ", ".join(f"{c:#06x}" for c in padded) + "},")
    out.append("};")
    out.append("")
    out.append("// The packed record of `c`; values beyond U+10FFFF get the record of an")
    out.append("// unassigned code point.")
    out.append("inline std::uint32_t lookup(char32_t c) {")
    out.append("    if (c > 0x10FFFF) return 0;")
    out.append("    return kRecords[kStage2[(std::uint32_t(kStage1[c >> kBlockShift]) << kBlockShift) |")
    out.append("                            (c & kBlockMask)]];")
    out.append("}")
    out.append("")
    out.append("}  // namespace orvel::text::ucd")
    out.append("")
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ucd", type=pathlib.Path, default=DEFAULT_UCD)
    parser.add_argument("--out", type=pathlib.Path, default=DEFAULT_OUT)
    args = parser.parse_args()
    version = declared_version(args.ucd)
    if version != UCD_VERSION:
        sys.exit(f"{args.ucd} holds Unicode {version}, but the tables are labelled {UCD_VERSION}")
    record, special_list = build_records(args.ucd)
    args.out.write_text(render(record, special_list), encoding="utf-8")


if __name__ == "__main__":
    main()
