"""Wall-clock timing of repeated calls, progress logging and returning freed memory."""
from __future__ import annotations

import ctypes
import gc
import sys
import time

try:
    _LIBC = ctypes.CDLL("libc.so.6")
except OSError:          # pragma: no cover
    _LIBC = None


def malloc_trim() -> None:
    gc.collect()
    if _LIBC is not None:
        _LIBC.malloc_trim(0)


def log(*a) -> None:
    print(f"[{time.strftime('%H:%M:%S')}]", *a, file=sys.stderr, flush=True)


def timed(fn, reps: int, per: int = 1) -> list[float]:
    """Runs fn() reps times; returns the seconds of each run divided by per."""
    out = []
    for _ in range(reps):
        gc.collect()
        gc.disable()
        try:
            t0 = time.perf_counter()
            fn()
            t1 = time.perf_counter()
        finally:
            gc.enable()
        out.append((t1 - t0) / per)
    return out


def timed_result(fn, reps: int, trim: bool = False) -> tuple[list[float], object]:
    """Like timed(), and also returns what the last call of fn() returned. The previous
    call's result is dropped before each call, outside the timing (and, with trim,
    handed back to the system by malloc_trim())."""
    slot = [None]

    def call():
        slot[0] = fn()
    times: list[float] = []
    for _ in range(reps):
        slot[0] = None
        if trim:
            malloc_trim()
        times += timed(call, 1)
    return times, slot[0]


def timed_group(fns: list, reps: int, per: int) -> list[list[float]]:
    """Like timed() for several functions, interleaved: repetition r runs every
    function once (in alternating order), so that a burst of load from other
    processes falls on all of them rather than on one."""
    out: list[list[float]] = [[] for _ in fns]
    for r in range(reps):
        order = list(range(len(fns)))
        if r % 2:
            order.reverse()
        for i in order:
            out[i] += timed(fns[i], 1, per)
    return out


def us(seconds: list[float]) -> list[float]:
    return [s * 1e6 for s in seconds]


def rates(amount: float, seconds: list[float]) -> list[float]:
    """amount per second for each timing (documents/s, GB/s, MB/s, ...)."""
    return [amount / s for s in seconds]


def group_rates(per_call: list[float], groups: int = 5) -> list[float]:
    """Calls per second in up to `groups` consecutive equal groups of single-call times
    (the repetitions of a one-call-at-a-time measurement); a remainder is dropped."""
    g = max(1, len(per_call) // groups)
    chunks = [per_call[j:j + g] for j in range(0, len(per_call) - g + 1, g)][:groups]
    return [len(x) / sum(x) for x in chunks]


def warm(fn, items, k: int = 3) -> None:
    """A few untimed calls first (JIT compilation, caches, lazy initialisation)."""
    for x in items[:k]:
        fn(*x) if isinstance(x, tuple) else fn(x)
