"""Deterministic benchmark data: every input is generated here from a fixed seed.

Words are drawn from small built-in vocabularies with a Zipf law (rank r has weight
1 / r**1.1), which gives the skewed term frequencies of real text. Nothing is read from
the network or from files outside this directory.
"""

from __future__ import annotations

import itertools
import json
import random

ENGLISH = """
the of and to in is that for it as was with be by on not he this are or his from at which
but have an they you were her she there been one all we their has would when if so what
can more about other into some could them time these two may then do first any my now
such like our over man me even most made after also did many before must through back
years where much your way well down should because each just those people how too little
state good very make world still own see men work long get here between both life being
under never day same another know while last might us great old year off come since
against go came right used take three states himself few house use during without again
place american around however home small found thought went say part once general high
upon school every does group number until always away something fact though water less
public put think almost hand enough far took head yet government system better set told
nothing night end why called asked later knew point city going need business give
interest best question possible young memory search index query token score weight level
zone pack trust content record value table field result order error warning version
update engine module function interface protocol algorithm data state config cache
server client request response thread process buffer stream signal message channel
market family music river garden window letter picture doctor island forest mountain
summer winter morning evening kitchen bridge station village country history science
nature travel dinner friend teacher student office problem answer reason solution
because therefore simple quick bright quiet happy strong gentle careful honest modern
ancient famous hidden secret silver golden yellow purple orange green winter spring
""".split()

GERMAN = """
der die das und ist nicht ein eine zu den mit von sich des auf für im dem als auch es an
werden aus er hat dass sie nach wird bei einer um am sind noch wie einem über einen so
zum war haben nur oder aber vor zur bis mehr durch man sein wurde sei prozent hatte kann
gegen vom können schon wenn habe seine ihre dann unter wir soll ich eines jahr zwei diese
größer Straße Übung Bücher Mädchen schön fünf Grüße Fußball Käse Brötchen Äpfel Öffnung
""".split()

RUSSIAN = """
и в не на я быть он с что а по это она этот к но они мы как из у который то за свой
что весь год от так о для ты же все тот мочь вы человек такой его сказать только или
еще бы себя один как уже до время если сам когда другой вот говорить наш мой знать стать
при чтобы дело жизнь кто первый очень два день её новый рука даже во со раз где там под
Москва Россия Память Поиск Индекс Запрос Ответ Решение Причина Проблема
""".split()

# Frequent Han characters, most frequent first.
CHINESE = (
    "的一是在不了有和人这中大为上个国我以要他时来用们生到作地于出就分对成会可主发年动同工也能下过子说产种面"
    "而方后多定行学法所民得经十三之进着等部度家电力里如水化高自二理起小物现实加量都两体制机当使点从业本去把性"
    "好应开它合还因由其些然前外天政四日那社义事平形相全表间样与关各重新线内数正心反你明看原又么利比或但质气第向"
    "道命此变条只没结解问意建月公无系军很情者最立代想已通并提直题党程展五果料象员革位入常文总次品式活设及管特件"
    "长求老头基资边流路级少图山统接知较将组见计别她手角期根论运农指几九区强放决西被干做必战先回则任取据处理搜索"
    "索引数据库算法测试类型函数模块架构接口协议引擎配置状态记忆内容信任版本"
)

CHINESE_PUNCT = "，，，。、；："

EMOJI = [chr(c) for c in (0x1F600, 0x1F602, 0x1F60D, 0x1F44D, 0x1F680, 0x1F525, 0x2764, 0x1F389,
                          0x1F914, 0x1F4A1, 0x1F4DD, 0x1F9E0, 0x2705, 0x1F30D, 0x1F3B5, 0x1F436)]

URLS = ["https://example.com/docs/search?q=bm25&lang=en", "http://localhost:8080/api/v1/memories",
        "https://wiki.example.org/wiki/Unicode_Standard_Annex_29"]


def zipf_cum_weights(n: int, s: float = 1.1) -> list[float]:
    return list(itertools.accumulate(1.0 / (r ** s) for r in range(1, n + 1)))


class Words:
    """Seeded Zipf sampler over one vocabulary."""

    def __init__(self, vocabulary, seed: int):
        self.vocabulary = list(vocabulary)
        self.cum = zipf_cum_weights(len(self.vocabulary))
        self.rng = random.Random(seed)

    def take(self, k: int) -> list[str]:
        return self.rng.choices(self.vocabulary, cum_weights=self.cum, k=k)


def latin_sentence_text(words: Words, chars: int) -> str:
    """Sentences of Zipf words, capitalised, with commas and full stops, about `chars` long.
    No digits and no apostrophes, so that every word tokenizer splits it the same way."""
    rng = words.rng
    out: list[str] = []
    length = 0
    while length < chars:
        sentence = words.take(rng.randint(5, 14))
        sentence[0] = sentence[0].capitalize()
        if len(sentence) > 6 and rng.random() < 0.5:
            sentence[rng.randint(2, len(sentence) - 3)] += ","
        text = " ".join(sentence) + "."
        out.append(text)
        length += len(text) + 1
    return " ".join(out)[:chars].rstrip()


def chinese_text(words: Words, chars: int) -> str:
    rng = words.rng
    out: list[str] = []
    while len(out) < chars:
        out.extend(words.take(rng.randint(6, 18)))
        out.append(rng.choice(CHINESE_PUNCT))
    return "".join(out[:chars])


class Corpus:
    """Memories of about 300 characters: English sentences, with a share of Chinese ones."""

    def __init__(self, seed: int = 20240601):
        self.english = Words(ENGLISH, seed)
        self.chinese = Words(CHINESE, seed + 1)
        self.rng = random.Random(seed + 2)

    def memory_text(self, chinese: bool, chars: int = 300) -> str:
        if chinese:
            return chinese_text(self.chinese, chars)
        return latin_sentence_text(self.english, chars)

    def memories(self, n: int, chinese_share: float, with_counts: bool = True) -> list[dict]:
        rng = self.rng
        result = []
        for i in range(n):
            chinese = rng.random() < chinese_share
            memory = {
                "id": f"mem-{i:06d}",
                "content": self.memory_text(chinese, rng.randint(240, 360)),
                "level": rng.choice(("activity", "fact", "cornerstone")),
                "weight": round(rng.random(), 3),
            }
            if with_counts:
                memory["loadedCount"] = rng.randint(0, 40)
                memory["referencedCount"] = rng.randint(0, 10)
            result.append(memory)
        return result

    def queries(self, count: int, chinese_share: float) -> list[str]:
        """Queries of 3 to 6 distinct words, drawn from the ranks where words are
        neither everywhere nor nowhere (ranks 10 to 200 of each vocabulary)."""
        rng = self.rng
        result = []
        for _ in range(count):
            k = rng.randint(3, 6)
            if rng.random() < chinese_share:
                chars = rng.sample(CHINESE[10:200], k)
                result.append(" ".join(chars))
            else:
                result.append(" ".join(rng.sample(ENGLISH[10:200], k)))
        return result


def memories_json(memories: list[dict]) -> str:
    return json.dumps(memories, ensure_ascii=False)


# --- tokenize -------------------------------------------------------------------------

def language_text(language: str, chars: int, seed: int = 7) -> str:
    """Running text of about `chars` characters in one language."""
    if language == "english":
        return latin_sentence_text(Words(ENGLISH, seed), chars)
    if language == "german":
        return latin_sentence_text(Words(GERMAN, seed), chars)
    if language == "russian":
        return latin_sentence_text(Words(RUSSIAN, seed), chars)
    if language == "chinese":
        return chinese_text(Words(CHINESE, seed), chars)
    if language == "mixed":
        rng = random.Random(seed + 17)
        english, chinese = Words(ENGLISH, seed), Words(CHINESE, seed + 1)
        parts: list[str] = []
        length = 0
        while length < chars:
            roll = rng.random()
            if roll < 0.45:
                piece = latin_sentence_text(english, rng.randint(20, 60))
            elif roll < 0.75:
                piece = chinese_text(chinese, rng.randint(5, 20))
            elif roll < 0.9:
                piece = "".join(rng.choices(EMOJI, k=rng.randint(1, 3)))
            else:
                piece = rng.choice(URLS)
            parts.append(piece)
            length += len(piece) + 1
        return " ".join(parts)[:chars]
    raise ValueError(language)


LANGUAGES = ("english", "german", "russian", "chinese", "mixed")


# --- packs ----------------------------------------------------------------------------

def pack_document(n: int, broken: str | None = None, seed: int = 99) -> str:
    """A pack of n memories in object form. broken="first" or "last" leaves out the
    required "weight" of that memory, so that reading fails there."""
    corpus = Corpus(seed)
    rng = random.Random(seed)
    memories = []
    for i in range(n):
        memory = {
            "content": corpus.memory_text(rng.random() < 0.1, 300),
            "level": rng.choice(("activity", "fact", "cornerstone")),
            "zone": rng.choice(("core", "work", "project", "episode", "general", None)),
            "weight": round(rng.random(), 3),
            "tags": rng.sample(["rust", "python", "search", "memory", "pack", "unicode"], 2),
            "trust": {"confidence": rng.choice(("speculative", "uncertain", "medium", "high", "certain")),
                      "source": "user"},
            "metadata": {"createdAt": "2024-06-01T12:00:00Z", "views": rng.randint(0, 999)},
        }
        memories.append(memory)
    if broken == "first":
        del memories[0]["weight"]
    elif broken == "last":
        del memories[-1]["weight"]
    document = {
        "pack": {"name": "bench-pack", "version": "1.0.0", "author": "bench",
                 "description": "generated for benchmarks", "orvelVersion": "0.1.0",
                 "tags": ["bench"], "memoryCount": n},
        "memories": memories,
    }
    return json.dumps(document, ensure_ascii=False)


# --- similarity and hashing -----------------------------------------------------------

def alphabet_text(script: str, chars: int, seed: int) -> str:
    if script == "ascii":
        return latin_sentence_text(Words(ENGLISH, seed), chars).ljust(chars, ".")
    if script == "chinese":
        return chinese_text(Words(CHINESE, seed), chars)
    if script == "emoji":
        rng = random.Random(seed + 17)
        # Emoji with some Latin words between them: 4-byte characters dominate.
        english = Words(ENGLISH, seed)
        parts: list[str] = []
        length = 0
        while length < chars:
            piece = "".join(rng.choices(EMOJI, k=rng.randint(2, 6))) + " " + " ".join(english.take(2)) + " "
            parts.append(piece)
            length += len(piece)
        return "".join(parts)[:chars]
    raise ValueError(script)


def near_duplicate(text: str, seed: int, edits_per_1000: int = 5) -> str:
    """`text` with scattered single-character substitutions, insertions and deletions."""
    rng = random.Random(seed)
    pool = sorted(set(text))
    positions = sorted(rng.randrange(len(text)) for _ in range(max(1, len(text) * edits_per_1000 // 1000)))
    out: list[str] = []
    start = 0
    for i in positions:
        if i < start:
            continue
        out.append(text[start:i])
        op = rng.random()
        if op < 0.4:
            out.append(rng.choice(pool))
            start = i + 1
        elif op < 0.7:
            out.append(rng.choice(pool))
            start = i
        else:
            start = i + 1
    out.append(text[start:])
    return "".join(out)


def lcs_pair(script: str, chars: int, kind: str) -> tuple[str, str]:
    a = alphabet_text(script, chars, seed=chars + 1)
    if kind == "near":
        return a, near_duplicate(a, seed=chars + 2)
    return a, alphabet_text(script, chars, seed=chars + 3)


def hash_text(chars: int, ascii_only: bool) -> str:
    """A text with Unicode white space around it (ideographic space, em space, tab, line feed)."""
    body = alphabet_text("ascii", chars, seed=chars) if ascii_only else language_text("mixed", chars, seed=chars)
    return "\u3000\t " + body + " \u2003\n"
