"""Typical use of vesk_core, type-checked by tests/test_module.py with mypy --strict."""

import vesk_core
from vesk_core import (
    AddDocumentsOptions,
    DocumentInfo,
    GetDocumentsOptions,
    Index,
    IndexInfo,
    ModelRef,
    QueryResultDocumentInfo,
    SearchResult,
    SerializedIndex,
)


def build() -> Index:
    idx = Index("docs", "vesk-minilm")
    docs = [DocumentInfo("a", "first text", {"k": "v"}), DocumentInfo(id="b", text="second")]
    added, updated = idx.add_documents(docs, [[0.1] * 384, [0.2] * 384])
    assert added + updated == 2
    idx.add_documents(docs[:1], [[0.3] * 384], AddDocumentsOptions(upsert=False))
    return idx


def search(idx: Index) -> list[tuple[str, float]]:
    result: SearchResult = idx.query("first", 3, [0.1] * 384)
    fused = idx.query("first", top_k=3, query_embedding=[0.1] * 384, alpha=0.5)
    docs: list[QueryResultDocumentInfo] = result.docs + fused.docs
    elapsed: int | None = result.time_taken_ms
    assert elapsed is None or elapsed >= 0
    return [(d.id, d.score) for d in docs]


def persist(idx: Index) -> bytes:
    data: SerializedIndex = idx.serialize()
    blob: bytes = vesk_core.serializeToBinary(data)
    back = vesk_core.deserializeFromBinary(blob)
    model: ModelRef = back.model
    rows: list[list[float]] = back.embeddings
    other = Index("copy", model.id)
    other.deserialize(back)
    assert other.doc_count == len(rows)
    return blob


def inspect_index(idx: Index) -> str:
    info: IndexInfo = idx.get_info()
    wanted = idx.get_documents(GetDocumentsOptions(["a"]))
    everything = idx.get_documents()
    meta = wanted[0].metadata if wanted else None
    status: str = info.status
    if status == vesk_core.IndexStatus.Ready and meta is not None:
        return meta.get("k", "") + str(len(everything))
    n: int = idx.delete_documents(["a", "b"])
    idx.clear()
    return f"{vesk_core.SDK_VERSION_NUMBER} {n} {vesk_core.IndexStatusValues['Ready']}"


if __name__ == "__main__":
    index = build()
    print(search(index), len(persist(index)), inspect_index(index))
