"""The prebuilt search indexes a Python user would pick instead of orvel.MemoryIndex.

Each is built from the same memories JSON text (parsed with json.loads, which counts as
part of its build, as reading the text counts in ours) and answers a top-k query with
(id, score) pairs. Their tokenizers and score formulas are their own, so their hits
differ from ours: they are latency peers, not equals.
"""

from __future__ import annotations

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
