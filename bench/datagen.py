"""Deterministic generator of English-like documents, embeddings and queries.

Documents are drawn from a Zipf-Mandelbrot distribution over the ranked word
list in bench/words.txt (real English words, the most common ones first), with
sentences, punctuation, numbers, hyphenated compounds, contractions and
possessives, plus a few metadata pairs. Embeddings are unit-length float32
vectors clustered around topic centres; each query embedding is a perturbed
copy of one document's embedding, so every query has close neighbours.

The document stream is generated in chunks with per-chunk seeds, so the first
n documents are the same whatever total is asked for: the 10,000-document
corpus is a prefix of the 100,000-document one.
"""
from __future__ import annotations

import os
import re
from dataclasses import dataclass

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
WORDS_PATH = os.path.join(HERE, "words.txt")

DIM = 384
CHUNK = 10_000
SEED = 20261208
N_TOPICS = 256
ZIPF_S = 1.07      # exponent of the Zipf-Mandelbrot law
ZIPF_Q = 2.7       # its rank offset
MIN_WORDS, MAX_WORDS = 50, 300

FIRST_NAMES = ("ann bob carol david emma frank grace henry irene jack karen liam maria "
               "noah olivia peter quinn rachel sam tina victor wendy".split())
LAST_NAMES = ("adams baker clark davis evans fisher green harris irving jones king lewis "
              "moore nelson owens parker reed smith turner walker young".split())
CATEGORIES = ("science history sports politics music travel health business technology "
              "education food film art nature law religion fashion gardening finance "
              "weather".split())
SOURCES = "web news forum wiki blog book journal archive".split()
CONTRACTIONS = ("don't it's can't isn't won't they're we're you'll didn't doesn't "
                "wasn't couldn't i'm that's there's").split()


def load_words(path: str = WORDS_PATH) -> list[str]:
    with open(path, encoding="utf-8") as f:
        return [w.strip() for w in f if w.strip() and not w.startswith("#")]


_WORDS: list[str] | None = None
_PROBS: np.ndarray | None = None


def vocabulary() -> tuple[list[str], np.ndarray]:
    """The ranked words and their Zipf-Mandelbrot probabilities."""
    global _WORDS, _PROBS
    if _WORDS is None:
        _WORDS = load_words()
        ranks = np.arange(1, len(_WORDS) + 1, dtype=np.float64)
        p = 1.0 / (ranks + ZIPF_Q) ** ZIPF_S
        _PROBS = p / p.sum()
    return _WORDS, _PROBS


def _topic_centres() -> np.ndarray:
    rng = np.random.default_rng([SEED, 7])
    c = rng.standard_normal((N_TOPICS, DIM), dtype=np.float32)
    c /= np.linalg.norm(c, axis=1, keepdims=True)
    return c


def _unit(rows: np.ndarray) -> np.ndarray:
    rows /= np.linalg.norm(rows, axis=1, keepdims=True)
    return rows


def _chunk_embeddings(chunk: int, count: int, centres: np.ndarray) -> np.ndarray:
    rng = np.random.default_rng([SEED, 2, chunk])
    topics = rng.integers(0, N_TOPICS, size=count)
    e = rng.standard_normal((count, DIM), dtype=np.float32)
    e *= np.float32(0.06)          # noise of norm ~1.2 around a unit centre
    e += centres[topics]
    return _unit(e)


def _cap(s: str) -> str:
    return s[:1].upper() + s[1:]


def _chunk_texts(chunk: int, count: int) -> tuple[list[str], list[dict[str, str]]]:
    words, probs = vocabulary()
    vocab = np.array(words, dtype=object)
    rng = np.random.default_rng([SEED, 1, chunk])
    lengths = rng.integers(MIN_WORDS, MAX_WORDS + 1, size=count)
    total = int(lengths.sum())
    idx = rng.choice(len(words), size=total, p=probs)
    tok = vocab[idx]

    r = rng.random(total)
    # Special tokens replace ordinary words at a few positions.
    m = r < 0.004                                   # plain integers
    tok[m] = [str(v) for v in rng.integers(0, 100, size=int(m.sum()))]
    m = (r >= 0.004) & (r < 0.006)                  # years
    tok[m] = [str(v) for v in rng.integers(1900, 2030, size=int(m.sum()))]
    m = (r >= 0.006) & (r < 0.007)                  # thousands with a comma
    tok[m] = [f"{a},{b:03d}" for a, b in zip(rng.integers(1, 10, size=int(m.sum())),
                                             rng.integers(0, 1000, size=int(m.sum())))]
    m = (r >= 0.007) & (r < 0.008)                  # decimals
    tok[m] = [f"{a}.{b}" for a, b in zip(rng.integers(0, 100, size=int(m.sum())),
                                         rng.integers(0, 10, size=int(m.sum())))]
    m = (r >= 0.008) & (r < 0.018)                  # hyphenated compounds
    other = vocab[rng.choice(len(words), size=int(m.sum()), p=probs)]
    tok[m] = tok[m] + "-" + other
    m = (r >= 0.018) & (r < 0.023)                  # contractions
    tok[m] = np.array(CONTRACTIONS, dtype=object)[rng.integers(0, len(CONTRACTIONS),
                                                                 size=int(m.sum()))]
    m = (r >= 0.023) & (r < 0.028)                  # possessives
    tok[m] = tok[m] + "'s"
    m = (r >= 0.028) & (r < 0.031)                  # parentheses
    tok[m] = "(" + tok[m] + ")"
    m = (r >= 0.031) & (r < 0.034)                  # quotes
    tok[m] = '"' + tok[m] + '"'

    # Sentence structure: ends after ~1 in 14 words and at the end of each document.
    ends = np.cumsum(lengths)
    starts = ends - lengths
    r2 = rng.random(total)
    end_mask = r2 < 1.0 / 14.0
    end_mask[ends - 1] = True
    start_mask = np.zeros(total, dtype=bool)
    start_mask[starts] = True
    start_mask[1:] |= end_mask[:-1]
    tok[start_mask] = [_cap(s) for s in tok[start_mask]]
    comma = (~end_mask) & (r2 >= 0.10) & (r2 < 0.16)
    tok[comma] = tok[comma] + ","
    semi = (~end_mask) & (r2 >= 0.16) & (r2 < 0.165)
    tok[semi] = tok[semi] + ";"
    colon = (~end_mask) & (r2 >= 0.165) & (r2 < 0.17)
    tok[colon] = tok[colon] + ":"
    r3 = rng.random(total)
    punct = np.where(r3 < 0.05, "?", np.where(r3 < 0.08, "!", "."))
    tok[end_mask] = tok[end_mask] + punct[end_mask].astype(object)

    toks = tok.tolist()
    texts = [" ".join(toks[s:e]) for s, e in zip(starts.tolist(), ends.tolist())]

    metas = []
    fi = rng.integers(0, len(FIRST_NAMES), size=count)
    la = rng.integers(0, len(LAST_NAMES), size=count)
    ca = rng.integers(0, len(CATEGORIES), size=count)
    yr = rng.integers(1990, 2026, size=count)
    so = rng.integers(0, len(SOURCES) * 2, size=count)
    for i in range(count):
        md = {"author": f"{_cap(FIRST_NAMES[fi[i]])} {_cap(LAST_NAMES[la[i]])}",
              "category": CATEGORIES[ca[i]], "year": str(int(yr[i]))}
        if so[i] < len(SOURCES):
            md["source"] = SOURCES[so[i]]
        metas.append(md)
    return texts, metas


def doc_id(i: int) -> str:
    return f"doc-{i:07d}"


@dataclass
class Corpus:
    ids: list[str]
    texts: list[str]              # empty strings when generated without text
    metadata: list[dict | None]
    embeddings: np.ndarray        # (n, DIM) float32, C-contiguous, unit rows

    def __len__(self) -> int:
        return len(self.ids)

    def slice(self, a: int, b: int) -> "Corpus":
        return Corpus(self.ids[a:b], self.texts[a:b], self.metadata[a:b],
                      np.ascontiguousarray(self.embeddings[a:b]))


def make_corpus(n: int, with_text: bool = True) -> Corpus:
    """The first n documents of the deterministic stream."""
    centres = _topic_centres()
    emb = np.empty((n, DIM), dtype=np.float32)
    texts: list[str] = []
    metas: list[dict | None] = []
    for c in range((n + CHUNK - 1) // CHUNK):
        a, b = c * CHUNK, min(n, (c + 1) * CHUNK)
        # Always generate whole chunks so that prefixes agree for every n.
        full = _chunk_embeddings(c, CHUNK, centres)
        emb[a:b] = full[: b - a]
        if with_text:
            t, md = _chunk_texts(c, CHUNK)
            texts.extend(t[: b - a])
            metas.extend(md[: b - a])
    if not with_text:
        texts = [""] * n
        metas = [None] * n
    return Corpus([doc_id(i) for i in range(n)], texts, metas, emb)


@dataclass
class Queries:
    texts: list[str]
    embeddings: np.ndarray        # (nq, DIM) float32 unit rows


def make_queries(nq: int, corpus_embeddings: np.ndarray, seed: int = 0) -> Queries:
    """nq queries of 2-8 words; each embedding is a noisy copy of a document's."""
    words, probs = vocabulary()
    rng = np.random.default_rng([SEED, 3, seed, len(corpus_embeddings)])
    # Query words lean towards content words: the head of the ranking is mostly
    # function words, so the query distribution skips its first 60 ranks three
    # times out of four.
    tail = probs.copy()
    tail[:60] = 0.0
    tail /= tail.sum()
    texts = []
    for _ in range(nq):
        k = int(rng.integers(2, 9))
        p = tail if rng.random() < 0.75 else probs
        ws = [words[i] for i in rng.choice(len(words), size=k, p=p)]
        texts.append(" ".join(ws))
    src = rng.integers(0, len(corpus_embeddings), size=nq)
    e = corpus_embeddings[src].copy()
    e += rng.standard_normal(e.shape, dtype=np.float32) * np.float32(0.03)
    return Queries(texts, _unit(e))


# Long natural-language queries: questions and claims of 10-20 words. Content
# words come from the same ranking as the documents (without its first 60 ranks,
# like the short queries); the glue between them is the ranking's own function
# words, so a query is English-shaped: "Which methods reduce heat transfer in
# supersonic flow over a flat plate?", "Boundary layer separation is delayed by
# suction near the leading edge."
LONG_MIN_WORDS, LONG_MAX_WORDS = 10, 20
QUESTION_OPENERS = ("which", "what", "how does", "how do", "how can", "why is", "why are",
                    "why do", "does", "can", "is there", "are", "when do", "where do",
                    "what is the", "which of the")
CLAIM_VERBS = ("is", "are", "was", "can be", "has been", "is not", "may be", "were")
PREPOSITIONS = ("of", "in", "for", "on", "with", "by", "from", "over", "at", "to", "near",
                "between", "under", "during", "after", "into", "through", "about",
                "without", "within", "across", "along", "against")
JOINERS = ("and", "or", "than", "that", "when")
ARTICLES = ("the", "a", "their", "this", "these", "its")


def make_long_queries(nq: int, corpus_embeddings: np.ndarray | None = None,
                      seed: int = 0) -> Queries:
    """nq questions or claims of LONG_MIN_WORDS-LONG_MAX_WORDS words.

    The texts depend only on seed (the same queries at every corpus size); each
    embedding is a noisy copy of a document's, as in make_queries (an empty
    matrix when corpus_embeddings is None)."""
    words, probs = vocabulary()
    rng = np.random.default_rng([SEED, 4, seed])
    tail = probs.copy()
    tail[:60] = 0.0
    tail /= tail.sum()
    # One draw of content words up front, consumed in order: every query takes
    # the same random stream whatever the others look like.
    per = LONG_MAX_WORDS + 1          # at most one content word per word, plus one
    pool = rng.choice(len(words), size=nq * per, p=tail).tolist()
    texts = []
    for qi in range(nq):
        content = iter(pool[qi * per:(qi + 1) * per])
        length = int(rng.integers(LONG_MIN_WORDS, LONG_MAX_WORDS + 1))
        question = rng.random() < 0.6
        out: list[str] = []
        if question:
            out += QUESTION_OPENERS[int(rng.integers(len(QUESTION_OPENERS)))].split()
        elif rng.random() < 0.3:
            out.append(ARTICLES[int(rng.integers(len(ARTICLES)))])
        runs = 0
        kinds: list[bool] = [False] * len(out)       # True = content word
        while len(out) < length:
            for _ in range(int(rng.integers(1, 4))):  # a noun phrase of 1-3 words
                if len(out) < length:
                    out.append(words[next(content)])
                    kinds.append(True)
            runs += 1
            if len(out) >= length:
                break
            if runs == 1 and not question:
                glue = CLAIM_VERBS[int(rng.integers(len(CLAIM_VERBS)))].split()
                if rng.random() < 0.5:
                    glue += [words[next(content)], "by"]   # "is delayed by"
            elif rng.random() < 0.8:
                glue = [PREPOSITIONS[int(rng.integers(len(PREPOSITIONS)))]]
                if rng.random() < 0.5:
                    glue.append(ARTICLES[int(rng.integers(len(ARTICLES)))])
            else:
                glue = [JOINERS[int(rng.integers(len(JOINERS)))]]
            out += glue
            kinds += [False] * len(glue)
        del out[length:], kinds[length:]
        if not kinds[-1]:                             # end on a content word
            out[-1] = words[next(content)]
        texts.append(_cap(" ".join(out)) + ("?" if question else "."))
    if corpus_embeddings is None:
        return Queries(texts, np.empty((0, DIM), dtype=np.float32))
    rng = np.random.default_rng([SEED, 5, seed, len(corpus_embeddings)])
    src = rng.integers(0, len(corpus_embeddings), size=nq)
    e = corpus_embeddings[src].copy()
    e += rng.standard_normal(e.shape, dtype=np.float32) * np.float32(0.03)
    return Queries(texts, _unit(e))


# --- The keyword tokenizer, restated in Python for the relevance cross-check ---
#
# Lowercase, then split at word boundaries. For ASCII text (all the generator
# emits) the Unicode default word-boundary rules reduce to: runs of letters,
# digits and "_" join; a letter run continues across one ":", "." or "'" that
# stands between two letters; a digit run continues across one ",", ";", "."
# or "'" between two digits. Segments without a letter or digit are dropped,
# then the NLTK English stop words, then the Snowball English stemmer.

WORD_RE = re.compile(
    r"[a-z0-9_]+(?:(?:(?<=[a-z])[:.'](?=[a-z])|(?<=[0-9])[,;.'](?=[0-9]))[a-z0-9_]+)*")
_ALNUM = re.compile(r"[a-z0-9]")


def stopwords_path() -> str:
    root = os.path.dirname(HERE)
    for p in (os.path.join(root, "bm25", "data", "nltk-stopwords", "english"),
              "/work/shared/data/nltk-stopwords/english"):
        if os.path.exists(p):
            return p
    raise FileNotFoundError("NLTK English stop-word list not found")


def load_stopwords() -> list[str]:
    with open(stopwords_path(), encoding="utf-8") as f:
        return [w.strip() for w in f if w.strip()]


class LibStemmer:
    """The C Snowball library (libstemmer) through ctypes: the stemmer vesk_core links."""

    def __init__(self, path: str = "libstemmer.so.0d"):
        import ctypes
        lib = ctypes.CDLL(path)
        lib.sb_stemmer_new.restype = ctypes.c_void_p
        lib.sb_stemmer_new.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
        lib.sb_stemmer_stem.restype = ctypes.c_void_p
        lib.sb_stemmer_stem.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        lib.sb_stemmer_length.restype = ctypes.c_int
        lib.sb_stemmer_length.argtypes = [ctypes.c_void_p]
        self._lib, self._ct = lib, ctypes
        self._st = lib.sb_stemmer_new(b"english", b"UTF_8")
        if not self._st:
            raise OSError("libstemmer has no English stemmer")

    def stemWord(self, w: str) -> str:  # noqa: N802 (same name as PyStemmer's)
        b = w.encode()
        p = self._lib.sb_stemmer_stem(self._st, b, len(b))
        return self._ct.string_at(p, self._lib.sb_stemmer_length(self._st)).decode()


class RefTokenizer:
    """stemmer: "pystemmer" (PyStemmer's bundled Snowball) or "libstemmer" (the
    system's C library, as linked by vesk_core)."""

    def __init__(self, stemmer: str = "pystemmer"):
        self.stop = set(load_stopwords())
        if stemmer == "libstemmer":
            self.stemmer = LibStemmer()
        else:
            import Stemmer
            self.stemmer = Stemmer.Stemmer("english")
        self.cache: dict[str, str] = {}

    def words(self, text: str) -> list[str]:
        """The kept segments, before stemming."""
        stop = self.stop
        return [w for w in WORD_RE.findall(text.lower())
                if w not in stop and _ALNUM.search(w)]

    def stem(self, w: str) -> str:
        s = self.cache.get(w)
        if s is None:
            s = self.cache[w] = self.stemmer.stemWord(w)
        return s

    def __call__(self, text: str) -> list[str]:
        return [self.stem(w) for w in self.words(text)]


def fxhash32(token: str) -> int:
    """The 32-bit token hash that maps a term to its dimension in vesk_core: FxHash
    over the UTF-8 bytes (little-endian 4-byte words, then single bytes), then 0xFF."""
    m = 0xFFFFFFFF
    b = token.encode()
    h = 0

    def step(h: int, w: int) -> int:
        return ((((h << 5) | (h >> 27)) & m) ^ w) * 0x27220A95 & m
    i = 0
    while len(b) - i >= 4:
        h = step(h, int.from_bytes(b[i:i + 4], "little"))
        i += 4
    for x in b[i:]:
        h = step(h, x)
    return step(h, 0xFF)


def searchable_text(text: str, metadata: dict | None) -> str:
    """Text followed by the metadata rendered as 'key value' pieces."""
    pieces = []
    for k, v in (metadata or {}).items():
        k, v = k.strip(), v.strip()
        if k and v:
            pieces.append(f"{k} {v}")
        elif k or v:
            pieces.append(k or v)
    t = text.strip()
    md = " ".join(pieces)
    return f"{t} {md}" if t and md else (t or md)


# --- Corpus files for the C++ benchmarks ---

CORPUS_TEXT = "docs.tsv"          # one document a line: id, text, then key, value, ...
CORPUS_EMBEDDINGS = "embeddings.f32"   # n x DIM float32, row-major, little-endian


def write_corpus_files(c: Corpus, folder: str) -> None:
    """Writes c to folder as CORPUS_TEXT (tab-separated, UTF-8) and CORPUS_EMBEDDINGS,
    the form bench/bench_index_memory.cc and bench/bench_index_ops.cc read with --corpus.
    The generator never puts a tab or a line break in an id, text or metadata value."""
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, CORPUS_TEXT), "w", encoding="utf-8", newline="\n") as f:
        for i, t, m in zip(c.ids, c.texts, c.metadata):
            fields = [i, t] + [x for kv in (m or {}).items() for x in kv]
            if any("\t" in x or "\n" in x for x in fields):
                raise ValueError(f"document {i} holds a tab or a line break")
            f.write("\t".join(fields) + "\n")
    c.embeddings.astype("<f4", copy=False).tofile(os.path.join(folder, CORPUS_EMBEDDINGS))


if __name__ == "__main__":
    import sys
    if len(sys.argv) != 3:
        sys.exit("usage: python bench/datagen.py N FOLDER  (writes the first N documents for "
                 "the C++ benchmarks' --corpus)")
    write_corpus_files(make_corpus(int(sys.argv[1].replace("_", ""))), sys.argv[2])
