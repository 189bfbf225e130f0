"""The prebuilt search indexes a Python user would pick instead of orvel.MemoryIndex.

Each is built from the same memories JSON text (parsed with json.loads, which counts as
part of its build, as reading the text counts in ours) and answers a top-k query with
(id, score) pairs. Their tokenizers and score formulas are their own, so their hits
differ from ours: they are latency peers, not equals.
"""

from __future__ import annotations

import collections
import copy
import json


class Bm25sIndex:
    """bm25s with its own tokenizer (lower case, runs of two or more word characters)
    and its defaults (method "lucene", k1 1.5, b 0.75, float32 scores). No stop words
    are removed, so that it scores the same query words as ours."""

    def __init__(self, memories_json: str):
        import bm25s
        from bm25s.tokenization import Tokenizer

        memories = [m if isinstance(m, dict) else {} for m in json.loads(memories_json)]
        self.ids = [m.get("id", "?") for m in memories]
        self.tokenizer = Tokenizer(stopwords=None)
        tokens = self.tokenizer.tokenize([m.get("content", "") for m in memories], return_as="tuple",
                                         show_progress=False)
        self.retriever = bm25s.BM25()
        self.retriever.index(tokens, show_progress=False)

    def search(self, query: str, k: int = 10) -> list[tuple[str, float]]:
        # Words the collection lacks are dropped; a query of none of its words scores
        # bm25s's empty token, which every memory lacks.
        tokens = self.tokenizer.tokenize([query], update_vocab=False, return_as="ids", show_progress=False)
        docs, scores = self.retriever.retrieve(tokens, k=k, show_progress=False, n_threads=0)
        return [(self.ids[d], float(s)) for d, s in zip(docs[0].tolist(), scores[0].tolist()) if s > 0]


class TantivyIndex:
    """tantivy with an index in memory: the content in one text field with tantivy's
    default tokenizer (lower case, split at non-alphanumeric characters) and term
    frequencies without positions (BM25 needs no positions), the id stored. The writer
    uses tantivy's default heap and threads; the build ends with the commit, the merges
    finished and the reader reloaded."""

    def __init__(self, memories_json: str):
        import tantivy

        builder = tantivy.SchemaBuilder()
        builder.add_text_field("id", stored=True, tokenizer_name="raw", index_option="basic")
        builder.add_text_field("content", index_option="freq")
        self.index = tantivy.Index(builder.build())
        writer = self.index.writer()
        for m in json.loads(memories_json):
            m = m if isinstance(m, dict) else {}
            writer.add_document(tantivy.Document(id=m.get("id", "?"), content=m.get("content", "")))
        writer.commit()
        writer.wait_merging_threads()
        self.index.reload()
        self.searcher = self.index.searcher()

    def search_addresses(self, query: str, k: int = 10) -> list:
        """(score, document address) of the top k: the query words joined by OR,
        tantivy's default, scored with its BM25."""
        return self.searcher.search(self.index.parse_query(query, ["content"]), k).hits

    def search(self, query: str, k: int = 10) -> list[tuple[str, float]]:
        """(id, score) of the top k, each id read from the document store."""
        return [(self.searcher.doc(address)["id"][0], score) for score, address in self.search_addresses(query, k)]


# --- peers fed with orvel_core's tokens (bench/index_scale.py) ------------------------
#
# Each is given the token lists that orvel_core.tokenize makes of the memories and of
# the queries, so that every engine indexes and looks up the same terms; what differs
# is the scoring (each its own BM25 variant) and the machinery. A query's tokens keep
# their repeats, as in ours (a token twice in the query counts twice).


class TokenPisa:
    """PISA through pyterrier-pisa: the token counts indexed as given (no stemming, no
    stop words, tf not rescaled), BM25 with our k1 and b, the default block_simdbp
    encoding with its block maxima. The index lives in files under `path`; the
    retrieval context (PISA's compressed index and its score bounds, made on first use
    and kept in the same folder) is loaded once. One thread."""

    def __init__(self, path: str, token_lists=None):
        import numpy as np
        import pyterrier_pisa
        from pyterrier_pisa import _pisathon

        self._retrieve = _pisathon.retrieve
        index = pyterrier_pisa.PisaIndex(path, stemmer="none", stops="none", threads=1)
        if token_lists is not None:
            index.toks_indexer(scale=1.0).index(
                {"docno": str(i), "toks": dict(collections.Counter(tokens))} for i, tokens in enumerate(token_lists))
        self.context = index.bm25(k1=1.5, b=0.75, threads=1, query_weighted=True)._ctxt
        self._np = np
        self._size = 0
        self._grow(16)

    def _grow(self, k: int) -> None:
        if k > self._size:
            np = self._np
            self._size = k
            self._out = {"result_qidxs": np.empty(k, np.int32), "result_docnos": np.empty(k, object),
                         "result_ranks": np.empty(k, np.int32), "result_scores": np.empty(k, np.float32)}

    @staticmethod
    def prepare(tokens: list[str]) -> list:
        return [(0, {t: float(c) for t, c in collections.Counter(tokens).items()})]

    def search(self, algorithm: str, query: list, k: int) -> list[tuple[int, float]]:
        """(position, score) of the top k with the query algorithm named (PISA's names:
        "maxscore", "block_max_wand", "ranked_or", ...)."""
        self._grow(k)
        out = self._out
        n = self._retrieve(self.context, algorithm, query, k=k, threads=1, query_weighted=1, pretokenised=True,
                           **out)
        return list(zip(out["result_docnos"][:n].tolist(), out["result_scores"][:n].tolist()))


class TokenTantivy:
    """tantivy with the tokens joined by spaces in one text field read by its whitespace
    tokenizer (term frequencies, no positions) and the id stored; a query is one OR
    (Should) of term queries. One writer thread, so that the build is one segment made
    by one thread, as the search runs on one."""

    def __init__(self, token_lists, ids: list[str]):
        import tantivy

        self._tantivy = tantivy
        builder = tantivy.SchemaBuilder()
        builder.add_text_field("id", stored=True, tokenizer_name="raw", index_option="basic")
        builder.add_text_field("content", tokenizer_name="whitespace", index_option="freq")
        self.schema = builder.build()
        self.index = tantivy.Index(self.schema)
        writer = self.index.writer(heap_size=256_000_000, num_threads=1)
        for tokens, memory_id in zip(token_lists, ids):
            writer.add_document(tantivy.Document(id=memory_id, content=" ".join(tokens)))
        writer.commit()
        writer.wait_merging_threads()
        self.index.reload()
        self.searcher = self.index.searcher()

    @staticmethod
    def prepare(tokens: list[str]) -> list[str]:
        return tokens

    def _query(self, tokens: list[str]):
        t = self._tantivy
        return t.Query.boolean_query([(t.Occur.Should, t.Query.term_query(self.schema, "content", w))
                                      for w in tokens])

    def search(self, tokens: list[str], k: int) -> list[tuple[str, float]]:
        """(id, score) of the top k, each id read from the document store."""
        searcher = self.searcher
        return [(searcher.doc(address)["id"][0], score)
                for score, address in searcher.search(self._query(tokens), k).hits]

    def search_addresses(self, tokens: list[str], k: int) -> list:
        return self.searcher.search(self._query(tokens), k).hits


class TokenBm25s:
    """bm25s over the token lists (its defaults: Lucene's BM25 with k1 1.5 and b 0.75,
    float32 scores), with the numpy or the numba backend; one thread. `numba_twin`
    shares the index with a retriever that uses the numba backend."""

    def __init__(self, token_lists, backend: str = "numpy"):
        import bm25s

        self.retriever = bm25s.BM25(backend=backend)
        self.retriever.index(token_lists, show_progress=False)
        self.vocabulary = self.retriever.vocab_dict

    def numba_twin(self) -> "TokenBm25s":
        twin = copy.copy(self)
        twin.retriever = copy.copy(self.retriever)
        twin.retriever.backend = "numba"
        return twin

    def prepare(self, tokens: list[str]) -> list[list[int]]:
        # Tokens the collection lacks are left out; bm25s scores a query of none of its
        # words with its empty token, which no memory holds.
        known = [self.vocabulary[t] for t in tokens if t in self.vocabulary]
        return [known or [self.vocabulary[""]]]

    def search(self, query: list[list[int]], k: int) -> list[tuple[int, float]]:
        docs, scores = self.retriever.retrieve(query, k=k, show_progress=False, n_threads=0)
        return [(d, s) for d, s in zip(docs[0].tolist(), scores[0].tolist()) if s > 0]
