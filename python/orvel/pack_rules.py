"""The rules a pack is judged by, one row each: a stable id for tools, the
module's (Chinese) message as a template, and what it means in English.

The module reports plain messages; the command line recognises each message
by its template to attach the rule id and the field path it concerns."""

from __future__ import annotations

import re

# Placeholders of the templates: what each stands for in a message.
_PLACEHOLDERS = {"{i}": r"(?P<i>\d+)", "{n}": r"\d+", "{text}": r".*"}


class Rule:
    """One rule: `template` is the module's message, with {i} for a memory's
    index, {n} for a count and {text} for the pack's own text."""

    __slots__ = ("id", "severity", "template", "meaning")

    def __init__(self, id: str, severity: str, template: str, meaning: str) -> None:
        self.id = id
        self.severity = severity  # "error" or "warning"
        self.template = template
        self.meaning = meaning

    @property
    def pattern(self) -> re.Pattern[str]:
        return _compiled(self.template)

    def path(self, index: str | None) -> str:
        """The field path the message concerns: its first word, index filled in."""
        field = self.template.split(" ", 1)[0]
        return field.replace("{i}", index) if index is not None else field


RULES = (
    Rule("pack-name-missing", "error", "pack.name 缺失", "The pack's name is empty."),
    Rule(
        "pack-name-not-kebab-case",
        "warning",
        "pack.name 建议使用 kebab-case 格式",
        "The pack's name should be kebab-case: lower-case ASCII letters, digits and hyphens, "
        "not starting or ending with a hyphen.",
    ),
    Rule("pack-version-missing", "error", "pack.version 缺失", "The pack's version is empty."),
    Rule(
        "pack-version-not-semver",
        "warning",
        "pack.version '{text}' 不是标准 semver 格式",
        "The pack's version is not three dot-separated numbers such as 1.0.0 "
        "(no v prefix, pre-release or build suffix).",
    ),
    Rule("memories-empty", "warning", "memories 为空", "The pack has no memories."),
    Rule(
        "memories-over-limit",
        "error",
        "memories 超过 200 条上限 (当前: {n})",
        "The pack has more than 200 memories (the count is given).",
    ),
    Rule(
        "memory-content-blank",
        "error",
        "memories[{i}].content 不能为空",
        "A memory's content is empty or only white space.",
    ),
    Rule(
        "memory-level-invalid",
        "error",
        "memories[{i}].level 无效: {text}",
        "A memory's level is none of activity, fact, cornerstone.",
    ),
    Rule(
        "memory-zone-invalid",
        "error",
        "memories[{i}].zone 无效: {text}",
        "A memory's zone is none of core, work, project, episode, general.",
    ),
    Rule(
        "memory-confidence-invalid",
        "error",
        "memories[{i}].trust.confidence 无效: {text}",
        "A memory's trust.confidence is none of speculative, uncertain, medium, high, certain.",
    ),
)

# Problems with the file rather than with the pack's content.
UNREADABLE_FILE = Rule(
    "file-unreadable", "error", "", "The file cannot be read: missing, a directory, or not UTF-8."
)
UNREADABLE_JSON = Rule(
    "pack-unreadable",
    "error",
    "",
    "The text is not a pack document: not JSON, a required key missing, or a value of the wrong type.",
)
# A message this table does not know (a newer module): reported, never lost.
UNKNOWN = Rule("unknown", "error", "", "A message this version of orvel does not know.")

_cache: dict[str, re.Pattern[str]] = {}


def _compiled(template: str) -> re.Pattern[str]:
    if template not in _cache:
        source = re.escape(template)
        for placeholder, group in _PLACEHOLDERS.items():
            source = source.replace(re.escape(placeholder), group)
        _cache[template] = re.compile(source, re.S)
    return _cache[template]


class Finding:
    """One message of a report with the rule behind it and the field it names."""

    __slots__ = ("rule", "severity", "path", "message")

    def __init__(self, rule: Rule, severity: str, path: str | None, message: str) -> None:
        self.rule = rule
        self.severity = severity
        self.path = path
        self.message = message


def classify(message: str, severity: str) -> Finding:
    """The rule behind one of the module's messages, and the field it names."""
    for rule in RULES:
        if rule.severity == severity:
            found = rule.pattern.fullmatch(message)
            if found:
                return Finding(rule, severity, rule.path(found.groupdict().get("i")), message)
    return Finding(UNKNOWN, severity, None, message)


def findings(errors: list[str], warnings: list[str]) -> list[Finding]:
    """Every message of a report, errors first, in the module's order."""
    return [classify(m, "error") for m in errors] + [classify(m, "warning") for m in warnings]
