"""Exact and fast computations over memories and packs."""

from typing import TypedDict, type_check_only

__all__ = [
    "tokenize",
    "lcs_similarity",
    "canonical_hash",
    "assess_text_quality",
    "calculate_curation_score",
    "validate_pack",
    "bm25_search_json",
]

# The dictionaries below exist for type checkers only: the module itself holds
# nothing but its seven functions. Import them under `if TYPE_CHECKING:`.

@type_check_only
class SearchHit(TypedDict):
    """One ranked memory of a search."""

    id: str
    score: float
    content: str

@type_check_only
class SearchResult(TypedDict):
    """The ranked hits, highest score first, and their number."""

    hits: list[SearchHit]
    total: int

@type_check_only
class PackReport(TypedDict):
    """The verdict on a pack: valid exactly when `errors` is empty."""

    valid: bool
    errors: list[str]
    warnings: list[str]
    memoryCount: int

@type_check_only
class CurationParams(TypedDict, total=False):
    """What the host knows about a memory. Every key may be left out; a value
    of the wrong type or range is treated as if it were left out."""

    weight: float
    confidenceFactor: float
    daysSinceUpdate: int
    loadedCount: int
    referencedCount: int
    disputeDecay: float
    level: str
    content: str

@type_check_only
class CurationResult(TypedDict):
    """A memory's curation score and three of the factors that went into it."""

    score: float
    textQuality: float
    freshness: float
    usageBonus: float

def tokenize(text: str) -> list[str]:
    """The search tokens of `text`: Unicode word boundaries, lower-cased."""

def lcs_similarity(a: str, b: str) -> float:
    """Longest common substring length over the longer text's length, 0.0 to 1.0."""

def canonical_hash(content: str) -> str:
    """16 hex digits of SHA-256 of the trimmed, lower-cased text."""

def assess_text_quality(content: str) -> float:
    """A quality score of a memory's text, 0.03 to 1.0."""

def calculate_curation_score(params: CurationParams) -> CurationResult:
    """A memory's curation score from its weight, confidence, age, usage, disputes, level and text."""

def validate_pack(json_str: str) -> PackReport:
    """Errors and warnings for a pack document.

    Raises ValueError ("Invalid pack JSON: ...") when the text cannot be read as a pack.
    """

def bm25_search_json(query: str, memories_json: str) -> SearchResult:
    """The memories of a JSON array that match `query`, ranked by BM25 with a usage factor.

    Raises ValueError ("Invalid memories JSON: ...") when the text cannot be read.
    """
