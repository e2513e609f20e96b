"""vesk answers exactly what vesk_core answers, except where it keeps distinct terms apart."""

from __future__ import annotations

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vesk_core
from vesk import Collection

DIM = 384
WORDS = (
    "river stone bridge tower field garden market window winter summer coffee engine "
    "signal planet orange silver forest island doctor letter paper school"
).split()


def pairs(hits) -> list[tuple[str, float]]:
    return [(h.id, h.score) for h in hits]


def twin_indexes(seed: int, n: int):
    """The same English documents (no metadata) in a vesk Collection and a vesk_core Index,
    after a round of upserts and deletes applied to both."""
    rng = np.random.default_rng(seed)
    ids = [f"d{i}" for i in range(n)]
    texts = [" ".join(rng.choice(WORDS, size=rng.integers(1, 12))) for _ in range(n)]
    emb = rng.standard_normal((n, DIM)).astype(np.float32)
    col = Collection(dim=DIM)
    core = vesk_core.Index("twin", "vesk-minilm")
    col.add(ids, texts, emb)
    core.add_documents([vesk_core.DocumentInfo(i, t) for i, t in zip(ids, texts)], emb)

    changed = rng.choice(n, size=n // 4, replace=False)
    new_texts = [" ".join(rng.choice(WORDS, size=rng.integers(1, 12))) for _ in changed]
    new_emb = rng.standard_normal((len(changed), DIM)).astype(np.float32)
    col.add([ids[i] for i in changed], new_texts, new_emb)
    core.add_documents([vesk_core.DocumentInfo(ids[i], t) for i, t in zip(changed, new_texts)], new_emb)
    gone = [ids[i] for i in rng.choice(n, size=n // 3, replace=False)]  # enough to compact
    assert col.delete(gone) == core.delete_documents(gone)
    return col, core, rng


@settings(max_examples=15, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), n=st.integers(5, 120), k=st.integers(1, 15))
def test_keyword_semantic_and_fused_results_equal_vesk_core_bit_for_bit(seed, n, k):
    col, core, rng = twin_indexes(seed, n)
    for _ in range(4):
        text = " ".join(rng.choice(WORDS, size=rng.integers(1, 4)))
        vec = rng.standard_normal(DIM).astype(np.float32)
        assert pairs(col.search(text, k=k)) == pairs(core.query(text, k, vec, alpha=0.0).docs)
        assert pairs(col.search(vector=vec, k=k)) == pairs(core.query(text, k, vec, alpha=1.0).docs)
        for alpha in (0.3, 0.5, 0.8):
            assert pairs(col.search(text, vec, k=k, alpha=alpha, depth=k)) == pairs(
                core.query(text, k, vec, alpha=alpha).docs
            )


def test_distinct_terms_stay_distinct():
    """The stems of "plaque" and "plain" share a 32-bit token hash: vesk_core merges them, vesk does not."""
    texts = {
        "xray": "A plain radiograph of the chest, a plain film.",
        "teeth": "Dental plaque builds up on the teeth between cleanings at the dentist.",
    }
    emb = np.eye(2, DIM, dtype=np.float32)
    core = vesk_core.Index("hash", "vesk-minilm")
    core.add_documents([vesk_core.DocumentInfo(i, t) for i, t in texts.items()], emb)
    merged = [d.id for d in core.query("plaque", 2, emb[0], alpha=0.0).docs]
    assert merged[0] == "xray", "the pair no longer collides in vesk_core; pick another pair"
    assert core.query("plain", 2, emb[0], alpha=0.0).docs[0].id == "xray"

    col = Collection(dim=DIM)
    col.add(list(texts), list(texts.values()), emb)
    assert [h.id for h in col.search("plaque")] == ["teeth"]
    assert [h.id for h in col.search("plain")] == ["xray"]
    assert [t["term"] for t in col.explain("teeth", "plaque")["keyword"]["terms"]] == ["plaqu"]
