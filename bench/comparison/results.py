"""The measured rows of a run and how a figure is printed."""
from __future__ import annotations

import math
import statistics
from dataclasses import dataclass, field

from .timing import log


@dataclass
class Row:
    section: str          # "dense", "keyword", ...
    size: int
    name: str             # library / variant
    unit: str
    values: list[float]
    higher_better: bool
    kind: str = "peer"    # "vesk", "peer", "baseline", "info"
    note: str = ""

    @property
    def median(self) -> float:
        return statistics.median(self.values)


@dataclass
class Results:
    rows: list[Row] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)
    relevance: list[dict] = field(default_factory=list)
    errors: list[str] = field(default_factory=list)
    stem_diff: dict | None = None
    kw_diag: list = field(default_factory=list)
    memory_split: dict | None = None     # bench_index_memory's JSON, when it ran
    plots: dict[str, str] = field(default_factory=dict)   # section -> PNG file name

    def add(self, *a, **kw) -> Row:
        r = Row(*a, **kw)
        self.rows.append(r)
        v = r.median
        log(f"  {r.section:13s} {r.size:>9,d} {r.name:45s} {fmt(v)} {r.unit}")
        return r

    def find(self, section: str, size: int, name: str, unit: str | None = None) -> Row | None:
        """The first row of that section, size and name (and unit, if given)."""
        for r in self.rows:
            if (r.section == section and r.size == size and r.name == name
                    and (unit is None or r.unit == unit)):
                return r
        return None


def fmt(v: float) -> str:
    if v is None or (isinstance(v, float) and math.isnan(v)):
        return "n/a"
    a = abs(v)
    if a >= 1000:
        return f"{v:,.0f}"
    if a >= 100:
        return f"{v:.0f}"
    if a >= 10:
        return f"{v:.1f}"
    if a >= 1:
        return f"{v:.2f}"
    return f"{v:.3g}"
