"""Initialize the `vesk` Python package."""

from collections.abc import Buffer, Sequence
from typing import ClassVar, Final, SupportsFloat, SupportsIndex, final

# Embeddings: any sequence of numbers; NumPy arrays, array.array and
# memoryviews of float32/float64 are read directly.
_Embedding = Sequence[SupportsFloat] | Buffer
_Embeddings = Sequence[_Embedding] | Buffer

__all__ = [
    "ModelRef",
    "IndexStatus",
    "IndexInfo",
    "DocumentInfo",
    "QueryResultDocumentInfo",
    "SearchResult",
    "AddDocumentsOptions",
    "GetDocumentsOptions",
    "SerializedIndex",
    "IndexStatusValues",
    "serializeToBinary",
    "deserializeFromBinary",
    "Index",
    "MODEL_DOWNLOAD_URL",
    "SDK_VERSION_NUMBER",
    "CLOUD_API_BASE_URL",
]

@final
class ModelRef:
    def __new__(cls, id: str, version: str) -> ModelRef: ...
    id: str
    version: str

@final
class IndexStatus:
    NotStarted: ClassVar[str]
    Building: ClassVar[str]
    Ready: ClassVar[str]
    Failed: ClassVar[str]
    def __new__(cls, value: str) -> IndexStatus: ...
    value: str

@final
class IndexInfo:
    def __new__(
        cls,
        id: str,
        name: str,
        version: str,
        status: str,
        doc_count: SupportsIndex,
        created_at: str,
        updated_at: str,
        model: ModelRef,
    ) -> IndexInfo: ...
    id: str
    name: str
    version: str
    status: str
    """Stored as string; see PyIndexStatus for constants."""
    @property
    def doc_count(self) -> int: ...
    @doc_count.setter
    def doc_count(self, value: SupportsIndex) -> None: ...
    created_at: str
    updated_at: str
    model: ModelRef

@final
class DocumentInfo:
    def __new__(cls, id: str, text: str, metadata: dict[str, str] | None = None) -> DocumentInfo: ...
    id: str
    text: str
    metadata: dict[str, str] | None

@final
class QueryResultDocumentInfo:
    def __new__(
        cls,
        id: str,
        text: str,
        metadata: dict[str, str] | None = None,
        score: SupportsFloat | SupportsIndex = 0.0,
    ) -> QueryResultDocumentInfo: ...
    id: str
    text: str
    metadata: dict[str, str] | None
    @property
    def score(self) -> float: ...
    @score.setter
    def score(self, value: SupportsFloat | SupportsIndex) -> None: ...

@final
class SearchResult:
    def __new__(
        cls,
        docs: Sequence[QueryResultDocumentInfo],
        query: str,
        index_name: str | None = None,
        time_taken_ms: SupportsIndex | None = None,
    ) -> SearchResult: ...
    @property
    def docs(self) -> list[QueryResultDocumentInfo]: ...
    @docs.setter
    def docs(self, value: Sequence[QueryResultDocumentInfo]) -> None: ...
    query: str
    index_name: str | None
    @property
    def time_taken_ms(self) -> int | None: ...
    @time_taken_ms.setter
    def time_taken_ms(self, value: SupportsIndex | None) -> None: ...

@final
class AddDocumentsOptions:
    def __new__(cls, upsert: bool = True) -> AddDocumentsOptions: ...
    upsert: bool

@final
class GetDocumentsOptions:
    def __new__(cls, doc_ids: Sequence[str] | None = None) -> GetDocumentsOptions: ...
    @property
    def doc_ids(self) -> list[str] | None: ...
    @doc_ids.setter
    def doc_ids(self, value: Sequence[str] | None) -> None: ...

@final
class SerializedIndex:
    def __new__(
        cls,
        name: str,
        version: str,
        model: ModelRef,
        dimension: SupportsIndex,
        embeddings: _Embeddings,
        doc_ids: Sequence[str],
    ) -> SerializedIndex: ...
    name: str
    version: str
    model: ModelRef
    @property
    def dimension(self) -> int: ...
    @dimension.setter
    def dimension(self, value: SupportsIndex) -> None: ...
    @property
    def embeddings(self) -> list[list[float]]: ...
    @embeddings.setter
    def embeddings(self, value: _Embeddings) -> None: ...
    @property
    def doc_ids(self) -> list[str]: ...
    @doc_ids.setter
    def doc_ids(self, value: Sequence[str]) -> None: ...

IndexStatusValues: dict[str, str]

def serializeToBinary(index: SerializedIndex) -> bytes:
    """Serialize a SerializedIndex into binary (.vesk file format)."""

def deserializeFromBinary(blob: bytes) -> SerializedIndex:
    """Deserialize a binary blob into a SerializedIndex (Python object)."""

@final
class Index:
    def __new__(cls, name: str, model_id: str) -> Index: ...
    def get_info(self) -> IndexInfo:
        """Get metadata about this index."""
    def add_documents(
        self,
        docs: Sequence[DocumentInfo],
        embeddings: _Embeddings,
        options: AddDocumentsOptions | None = None,
    ) -> tuple[int, int]:
        """Add or update documents in the index.

        Embeddings **must** be precomputed and provided.

        Returns:
            (added, updated)
        """
    def delete_documents(self, doc_ids: Sequence[str]) -> int:
        """Delete documents by their IDs. Returns the number deleted."""
    def get_documents(self, options: GetDocumentsOptions | None = None) -> list[DocumentInfo]:
        """Get documents (optionally filtered by IDs)."""
    def query(
        self,
        query: str,
        top_k: SupportsIndex,
        query_embedding: _Embedding,
        alpha: SupportsFloat | SupportsIndex | None = None,
    ) -> SearchResult:
        """Perform a semantic search using a **precomputed** query embedding.

        Args:
            query: The search text.
            top_k: Max number of results (default 5).
            query_embedding: Precomputed embedding vector for `query`.
            alpha: Weight for hybrid search fusion (default 0.8). A value of 0.8 favors
                semantic search over keyword search. Higher values (closer to 1.0) give
                more weight to semantic search, while lower values (closer to 0.0) favor
                keyword search.
        """
    def serialize(self) -> SerializedIndex:
        """Serialize this index to a `SerializedIndex`."""
    def deserialize(self, data: SerializedIndex) -> None:
        """Load serialized metadata/embeddings into this index."""
    @property
    def doc_count(self) -> int:
        """Number of documents in the index."""
    def clear(self) -> None:
        """Clear all documents and embeddings."""

MODEL_DOWNLOAD_URL: Final[str]
SDK_VERSION_NUMBER: Final[str]
CLOUD_API_BASE_URL: Final[str]
