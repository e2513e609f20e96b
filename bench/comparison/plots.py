"""Pictures of the tables that span several index sizes: the median against the number of
documents, one line per library (min–max as error bars), log-log, written as PNG files
next to the report and linked from it."""
from __future__ import annotations

import os

from . import VESK
from .results import Results
from .timing import log

# section -> (unit plotted, title, y label)
PLOTTED = {
    "dense": ("µs/query", "Dense top-10", "µs per query (lower is better)"),
    "keyword": ("µs/query", "Keyword top-10, short queries", "µs per query (lower is better)"),
    "keyword-long": ("µs/query", "Keyword top-10, long queries (10–20 words)",
                     "µs per query (lower is better)"),
    "hybrid": ("µs/query", "Hybrid top-10", "µs per query (lower is better)"),
    "build": ("docs/s", "Bulk indexing", "documents per second (higher is better)"),
    "add1": ("adds/s", "One-document-at-a-time adds", "adds per second (higher is better)"),
    "ops": ("µs/call", "Single-document changes (C++)", "µs per call (lower is better)"),
}


def plot_file(out: str, section: str) -> str:
    stem = os.path.splitext(os.path.basename(out))[0]
    return f"{stem}-{section}.png"


def write_plots(res: Results, out: str) -> None:
    """One PNG per section of PLOTTED whose rows cover at least two sizes; records the
    file names in res.plots. Without matplotlib, notes that and writes nothing."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib import ticker
    except ImportError:
        res.notes.append("No plots: matplotlib is not installed (bench/requirements.txt).")
        return
    folder = os.path.dirname(os.path.abspath(out))
    os.makedirs(folder, exist_ok=True)
    for section, (unit, title, ylabel) in PLOTTED.items():
        rows = [r for r in res.rows if r.section == section and r.unit == unit
                and r.kind in ("vesk", "peer", "baseline")]
        if len({r.size for r in rows}) < 2:
            continue
        lines: dict[str, list] = {}
        for r in rows:
            lines.setdefault(r.name, []).append(r)
        fig, ax = plt.subplots(figsize=(7.5, 4.6), dpi=110)
        for name, rs in lines.items():
            rs.sort(key=lambda r: r.size)
            x = [r.size for r in rs]
            y = [r.median for r in rs]
            err = [[r.median - min(r.values) for r in rs], [max(r.values) - r.median for r in rs]]
            is_vesk = rs[0].kind == "vesk"
            style = dict(marker="o", linewidth=2.6 if is_vesk else 1.4, capsize=3,
                         linestyle="--" if rs[0].kind == "baseline" else "-",
                         color="black" if is_vesk and name.startswith(VESK) else None,
                         zorder=3 if is_vesk else 2)
            ax.errorbar(x, y, yerr=err, label=name, **style)
        ax.set_xscale("log")
        ax.set_yscale("log")
        sizes = sorted({r.size for r in rows})
        ax.set_xticks(sizes)
        ax.set_xticklabels([f"{s:,}" for s in sizes])
        ax.minorticks_off()
        # Labelled ticks at 1, 2 and 5 times each power of ten: the lines often span
        # less than a decade.
        ax.yaxis.set_major_locator(ticker.LogLocator(base=10, subs=(1.0, 2.0, 5.0)))
        ax.yaxis.set_major_formatter(ticker.FuncFormatter(lambda v, _: f"{v:,.{0 if v >= 1 else 2}f}"))
        ax.set_xlabel("documents in the index")
        ax.set_ylabel(ylabel)
        ax.set_title(title)
        ax.grid(True, which="major", alpha=0.3)
        ax.legend(fontsize=8, loc="best")
        fig.tight_layout()
        name = plot_file(out, section)
        fig.savefig(os.path.join(folder, name))
        plt.close(fig)
        res.plots[section] = name
        log(f"  plot {os.path.join(folder, name)}")
